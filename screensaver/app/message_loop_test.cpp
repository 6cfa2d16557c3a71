// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include "screensaver/app/message_loop.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quol::saver {
namespace {

using namespace std::chrono_literals;

// Work handed over from other threads runs on the loop's thread, in order,
// and wakes a loop that has nothing else to wait for.
TEST(MessageLoopTest, TasksPostedFromOtherThreadsRunOnTheLoopThread) {
  MessageLoop loop(nullptr);
  std::vector<int> order;
  std::vector<std::thread::id> ran_on;
  const int kTasks = 3;
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);  // the loop is asleep in poll() by now
    for (int i = 1; i <= kTasks; ++i) {
      loop.PostTask([&, i] {
        order.push_back(i);
        ran_on.push_back(std::this_thread::get_id());
        if (i == kTasks) loop.Quit(7);
      });
    }
  });
  // No timer and no display: only a posted task can end this.
  const int code = loop.Run();
  poster.join();
  EXPECT_EQ(code, 7);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (std::thread::id id : ran_on) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MessageLoopTest, TasksStillQueuedWhenTheLoopEndsAreDropped) {
  MessageLoop loop(nullptr);
  int ran = 0;
  loop.PostTask([&] {
    loop.Quit(0);
    loop.PostTask([&] { ++ran; });
  });
  loop.PostTask([&] { ++ran; });  // after the one that quits
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, 0);
}

// Timers and idle handlers, each case a script run on a loop without a
// display; the trace records what ran, in order. The loop's own clock is
// real, so the cases check order and counts, never how long anything took.
struct LoopCase {
  const char* name;
  std::function<void(MessageLoop& loop, std::vector<std::string>& trace)> script;
  std::vector<std::string> expected;
};

class MessageLoopScriptTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(MessageLoopScriptTest, RunsInOrder) {
  const LoopCase& c = GetParam();
  MessageLoop loop(nullptr);
  std::vector<std::string> trace;
  c.script(loop, trace);
  // A guard so that a loop that never quits fails instead of hanging.
  loop.SetTimer(99, 10s, [&](int) {
    trace.push_back("guard");
    loop.Quit(99);
  });
  EXPECT_EQ(loop.Run(), 0) << "the guard ended it";
  EXPECT_EQ(trace, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageLoopScriptTest,
    ::testing::Values(
        LoopCase{"RepeatingTimerFiresUntilKilled",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   auto n = std::make_shared<int>(0);
                   loop.SetTimer(1, 10ms, [&loop, &trace, n](int id) {
                     trace.push_back("t" + std::to_string(id));
                     if (++*n == 3) {
                       loop.KillTimer(1);
                       loop.Quit(0);
                     }
                   });
                 },
                 {"t1", "t1", "t1"}},
        LoopCase{"ShorterTimerFirstAndAKilledTimerNeverFires",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   loop.SetTimer(2, 300ms, [&](int) { trace.push_back("killed"); });
                   loop.SetTimer(1, 10ms, [&](int) {
                     trace.push_back("short");
                     loop.KillTimer(1);
                     loop.KillTimer(2);
                     loop.SetTimer(3, 400ms, [&](int) {
                       trace.push_back("after");
                       loop.Quit(0);
                     });
                   });
                 },
                 {"short", "after"}},
        LoopCase{"ATimerSetAgainByAnEarlierHandlerWaitsItsNewInterval",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   // Both due in the same pass; the first pushes the second
                   // back, which must then not fire in that pass.
                   loop.SetTimer(1, 20ms, [&](int) {
                     trace.push_back("first");
                     loop.KillTimer(1);
                     loop.SetTimer(2, 5s, [&](int) { trace.push_back("too early"); });
                     loop.SetTimer(3, 200ms, [&](int) {
                       trace.push_back("end");
                       loop.Quit(0);
                     });
                   });
                   loop.SetTimer(2, 20ms, [&](int) { trace.push_back("not restarted"); });
                 },
                 {"first", "end"}},
        LoopCase{"PostedTimerRunsAtOnceAndKeepsItsInterval",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   auto n = std::make_shared<int>(0);
                   loop.SetTimer(1, 5s, [&loop, &trace, n](int) {
                     trace.push_back("tick");
                     if (++*n == 2) loop.Quit(0);
                   });
                   loop.SetTimer(2, 10ms, [&](int) {
                     trace.push_back("post");
                     loop.KillTimer(2);
                     loop.PostTimer(1);
                     loop.PostTimer(1);
                   });
                   loop.PostTimer(7);  // no such timer: nothing runs
                 },
                 {"post", "tick", "tick"}},
        LoopCase{"IdleHandlersRunAgainWhileAnyHasMoreWork",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   auto frames = std::make_shared<int>(0);
                   loop.AddIdleHandler([&trace, frames] {
                     if (*frames >= 3) return false;
                     trace.push_back("frame" + std::to_string(++*frames));
                     return true;
                   });
                   // Always done, yet called on every pass of the other.
                   auto calls = std::make_shared<int>(0);
                   loop.AddIdleHandler([calls] {
                     ++*calls;
                     return false;
                   });
                   loop.SetTimer(1, 100ms, [&loop, &trace, calls](int) {
                     trace.push_back("idle passes " + std::to_string(*calls));
                     loop.Quit(0);
                   });
                 },
                 {"frame1", "frame2", "frame3", "idle passes 4"}},
        LoopCase{"IdleHandlersWaitForATimerOrTaskOnceDone",
                 [](MessageLoop& loop, std::vector<std::string>& trace) {
                   auto calls = std::make_shared<int>(0);
                   loop.AddIdleHandler([&trace, calls] {
                     trace.push_back("idle" + std::to_string(++*calls));
                     return false;
                   });
                   auto ticks = std::make_shared<int>(0);
                   loop.SetTimer(1, 30ms, [&loop, &trace, ticks](int) {
                     trace.push_back("tick");
                     if (++*ticks == 2) {
                       loop.KillTimer(1);
                       loop.PostTask([&] {
                         trace.push_back("task");
                         loop.SetTimer(2, 30ms, [&](int) {
                           trace.push_back("end");
                           loop.Quit(0);
                         });
                       });
                     }
                   });
                 },
                 {"idle1", "tick", "idle2", "tick", "task", "idle3", "end"}}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

TEST(MessageLoopTest, TimerIntervalIsAtLeastTenMilliseconds) {
  MessageLoop loop(nullptr);
  loop.SetTimer(1, 0ms, [](int) {});
  loop.SetTimer(2, 1500ms, [](int) {});
  EXPECT_EQ(loop.TimerInterval(1), 10ms);
  EXPECT_EQ(loop.TimerInterval(2), 1500ms);
  EXPECT_EQ(loop.TimerInterval(3), 0ms);
}

}  // namespace
}  // namespace quol::saver
