#include "screensaver/fader/frame_pacer.h"

#include <gtest/gtest.h>

#include <X11/extensions/randr.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/clock/clock.h"

namespace quol::saver {
namespace {

using std::chrono::milliseconds;

class FramePacerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockForTesting(&clock_);
    // Waiting is time passing on the test clock.
    pacer_.set_wait([this](std::uint64_t ms) { clock_.Advance(milliseconds(ms)); });
  }
  void TearDown() override { platform::SetClockForTesting(nullptr); }

  // Tick times of the frames a caller asking as fast as it can gets in
  // `span_ms`.
  std::vector<std::uint64_t> BusyCaller(std::uint64_t span_ms) {
    std::vector<std::uint64_t> frames;
    const std::uint64_t end = platform::TickMs() + span_ms;
    for (int call = 0; call < 100000 && platform::TickMs() < end; ++call) {
      if (pacer_.NextFrame()) frames.push_back(platform::TickMs());
    }
    return frames;
  }

  platform::FakeClock clock_;
  FramePacer pacer_;
};

TEST_F(FramePacerTest, ABusyCallerGetsFramesAtTheRefreshRateNeverFaster) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::optional<double> reported;
    double paced_hz;
  };
  const Case cases[] = {
      {std::nullopt, 60}, {60, 60}, {144, 144}, {30, 30}, {59.94, 59.94},
      // A mode that reports nonsense counts as unknown.
      {nan, 60}, {0.5, 60}, {5000, 60}, {-75, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "reported " << (c.reported ? *c.reported : -1.0));
    pacer_.set_refresh_hz(c.reported);
    EXPECT_DOUBLE_EQ(pacer_.refresh_hz(), c.paced_hz);
    clock_.Advance(milliseconds(1000));  // well past the previous case's frames
    const std::vector<std::uint64_t> frames = BusyCaller(1000);
    const double period_ms = 1000.0 / c.paced_hz;
    for (std::size_t i = 1; i < frames.size(); ++i) {
      ASSERT_GE(static_cast<double>(frames[i] - frames[i - 1]), period_ms) << "frame " << i;
    }
    EXPECT_LE(static_cast<double>(frames.size()), c.paced_hz + 1);
    // Paced, not starved: the rounding to whole milliseconds costs little.
    EXPECT_GE(static_cast<double>(frames.size()), c.paced_hz * 0.9);
  }
}

TEST_F(FramePacerTest, AWaitCutShortByInputDrawsNothingUntilThePeriodIsOver) {
  bool time_passes = false;
  pacer_.set_wait([&](std::uint64_t ms) {
    if (time_passes) clock_.Advance(milliseconds(ms));
  });
  EXPECT_TRUE(pacer_.NextFrame()) << "the first frame comes at once";
  EXPECT_FALSE(pacer_.NextFrame());
  clock_.Advance(milliseconds(16));
  EXPECT_FALSE(pacer_.NextFrame()) << "16 ms is short of a 60 Hz period";
  clock_.Advance(milliseconds(1));
  EXPECT_TRUE(pacer_.NextFrame());
  time_passes = true;
  EXPECT_TRUE(pacer_.NextFrame()) << "after waiting out the period";
}

TEST_F(FramePacerTest, SwitchedOffEveryCallIsAFrame) {
  pacer_.set_enabled(false);
  pacer_.set_wait([](std::uint64_t) { ADD_FAILURE() << "an unpaced frame waited"; });
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(pacer_.NextFrame());
}

TEST(RefreshHzOfModeTest, TimingGivesTheRateNoTimingGivesNone) {
  struct Case {
    unsigned long dot_clock;
    unsigned int h_total, v_total;
    unsigned long flags;
    double hz;  // 0: none
  };
  const Case cases[] = {
      {148500000, 2200, 1125, 0, 60},                       // 1920x1080
      {594000000, 4400, 2250, 0, 60},                       // 3840x2160
      {74250000, 2200, 1125, RR_Interlace, 60},             // 1080i: 60 fields a second
      {25175000, 800, 525, RR_DoubleScan, 29.97},           // each line drawn twice
      {241500000, 2720, 1481, 0, 59.95},                    // 2560x1440 reduced blanking
      {0, 640, 480, 0, 0},                                  // Xvfb: no timing at all
      {148500000, 0, 1125, 0, 0},
      {148500000, 2200, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dot_clock << " " << c.h_total << "x" << c.v_total);
    const std::optional<double> hz = RefreshHzOfMode(c.dot_clock, c.h_total, c.v_total, c.flags);
    if (c.hz == 0) {
      EXPECT_FALSE(hz.has_value());
    } else {
      ASSERT_TRUE(hz.has_value());
      EXPECT_NEAR(*hz, c.hz, 0.01);
    }
  }
}

}  // namespace
}  // namespace quol::saver
