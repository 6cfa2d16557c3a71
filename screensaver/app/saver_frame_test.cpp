// The saver window's rules that need no X server: the monitor-off flag and
// the minute timer. The windows themselves are tested end to end in
// saver_x11_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "foundation/testing/log_capture.h"
#include "screensaver/app/message_loop.h"
#include "screensaver/app/saver_frame.h"

namespace quol::saver {
namespace {

using namespace std::chrono_literals;

// One tick of the slide timer with the power state the fake reports, or
// the user touching a key or the mouse (which clears the flag).
struct PowerStep {
  enum Kind { kTick, kInput } kind;
  int state;         // for kTick
  bool off_after;    // the monitor-off flag afterwards
};

TEST(MonitorPowerTest, TheFlagFollowsChangesOfThePowerStateAndInputClearsIt) {
  constexpr int kOff = MonitorPower::kOff, kOn = MonitorPower::kOn;
  struct Case {
    const char* name;
    std::vector<PowerStep> steps;
    std::vector<std::string> logged;
  };
  const Case cases[] = {
      {"on all the time: nothing logged",
       {{PowerStep::kTick, kOn, false}, {PowerStep::kTick, kOn, false}},
       {}},
      {"switched off then on",
       {{PowerStep::kTick, kOn, false},
        {PowerStep::kTick, kOff, true},
        {PowerStep::kTick, kOff, true},
        {PowerStep::kTick, kOn, false}},
       {"Monitor power change: 2", "Monitor power change: -1"}},
      {"a key while still off clears it for good",
       {{PowerStep::kTick, kOff, true},
        {PowerStep::kInput, 0, false},
        {PowerStep::kTick, kOff, false},
        {PowerStep::kTick, kOff, false}},
       {"Monitor power change: 2"}},
      {"off again after coming back on",
       {{PowerStep::kTick, kOff, true},
        {PowerStep::kInput, 0, false},
        {PowerStep::kTick, kOn, false},
        {PowerStep::kTick, kOff, true}},
       {"Monitor power change: 2", "Monitor power change: -1", "Monitor power change: 2"}},
      {"standby and suspend read as on (only 2 is off)",
       {{PowerStep::kTick, 1, false}, {PowerStep::kTick, 3, false}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    MonitorPower power;
    bool off = false;
    for (const PowerStep& step : c.steps) {
      off = step.kind == PowerStep::kInput ? false : power.Observe(step.state, off);
      EXPECT_EQ(off, step.off_after);
    }
    std::string expected;
    for (const std::string& line : c.logged) expected += line;
    std::string seen;
    const std::string text = log.Text();
    for (std::size_t at = text.find("Monitor power change: "); at != std::string::npos;
         at = text.find("Monitor power change: ", at + 1)) {
      seen += text.substr(at, text.find_first_of("\r\n", at) - at);
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST(MinuteTimerTest, RunsOnlyForVeryLongIntervalsAndAimsAtTheNextFullMinute) {
  constexpr int kId = 2;
  struct Case {
    const char* name;
    int interval_seconds;
    std::chrono::milliseconds running_before;  // 0: not running
    int utc_second;
    std::chrono::milliseconds after;           // 0: not running
  };
  const Case cases[] = {
      {"the settings' longest interval: never", 3600, 0ms, 17, 0ms},
      {"just below the threshold", 29999, 0ms, 17, 0ms},
      {"started at second 17", 30000, 0ms, 17, 43000ms},
      {"started on the minute", 40000, 0ms, 0, 60000ms},
      {"running, re-armed off the minute", 30000, 60000ms, 42, 18000ms},
      {"running, re-armed on the minute: kept", 30000, 25000ms, 0, 25000ms},
      {"a leap second reads as 59", 30000, 0ms, 60, 1000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageLoop loop(nullptr);
    int fired = 0;
    if (c.running_before > 0ms) loop.SetTimer(kId, c.running_before, [](int) {});
    ArmMinuteTimer(loop, kId, c.interval_seconds, c.utc_second, [&](int) { ++fired; });
    EXPECT_EQ(loop.TimerInterval(kId), c.after);
    EXPECT_EQ(fired, 0);
  }
}

}  // namespace
}  // namespace quol::saver
