#include "screensaver/fader/frame_pacer.h"

#include <gtest/gtest.h>

#include <X11/extensions/randr.h>

#include <limits>

namespace quol::saver {
namespace {

// How the pacer holds to a rate is checked through the faders; here, which
// rate it takes.
TEST(FramePacerTest, ImplausibleOrUnknownRatesCountAsSixtyHertz) {
  struct Case {
    std::optional<double> reported;
    double paced_hz;
  };
  const Case cases[] = {
      {std::nullopt, 60}, {60, 60}, {144, 144}, {59.94, 59.94}, {10, 10},
      {std::numeric_limits<double>::quiet_NaN(), 60}, {0.5, 60}, {5000, 60}, {-75, 60},
  };
  for (const Case& c : cases) {
    FramePacer pacer;
    pacer.set_refresh_hz(c.reported);
    EXPECT_DOUBLE_EQ(pacer.refresh_hz(), c.paced_hz) << (c.reported ? *c.reported : -1.0);
  }
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
