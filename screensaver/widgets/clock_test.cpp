#include "screensaver/widgets/clock.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"
#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver {
namespace {

using test::Pixel;
using test::PixelAt;

platform::CalendarTime At(int hour, int minute, int second) {
  platform::CalendarTime t;
  t.year = 2026;
  t.month = 3;
  t.day = 14;
  t.day_of_week = 6;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

TEST(ClockTimeTextTest, TwelveHourTimesLoseSecondsMarkerAndPadding) {
  EXPECT_EQ(FormatClockTime("%I:%M:%S %p", At(21, 5, 33)), "9:05");
  EXPECT_EQ(FormatClockTime("%r", At(21, 5, 33)), "9:05");
  EXPECT_EQ(FormatClockTime("%l:%M:%S %P", At(9, 5, 0)), "9:05");  // lower-case marker
  EXPECT_EQ(FormatClockTime("%I:%M %p", At(0, 30, 0)), "12:30");
  // Marker first, as some locales write it: no blank left in front.
  EXPECT_EQ(FormatClockTime("%p %I:%M:%S", At(21, 5, 33)), "9:05");
  EXPECT_EQ(FormatClockTime("%p\u00A0%I:%M", At(21, 5, 33)), "9:05");
}

TEST(ClockTimeTextTest, TwentyFourHourTimesOnlyLoseSeconds) {
  EXPECT_EQ(FormatClockTime("%H:%M:%S", At(15, 7, 59)), "15:07");
  EXPECT_EQ(FormatClockTime("%T", At(15, 7, 59)), "15:07");
  EXPECT_EQ(FormatClockTime("%H:%M", At(7, 30, 0)), "07:30");
  EXPECT_EQ(FormatClockTime("%H.%M.%S", At(15, 7, 59)), "15.07");
  EXPECT_EQ(FormatClockTime("%k:%M:%S", At(7, 30, 0)), "7:30");
  // Seconds written with a unit after them, not a separator before.
  EXPECT_EQ(FormatClockTime("%H\u6642%M\u5206%S\u79D2", At(15, 7, 59)), "15\u6642" "07\u5206");
  EXPECT_EQ(TimeFormatWithoutSeconds("%OH:%OM:%OS"), "%OH:%OM");
  EXPECT_EQ(TimeFormatWithoutSeconds("%I:%M:%S %p"), "%-I:%M %p");
}

TEST(ClockTimeTextTest, UserFormatIsAUsableTimeFormat) {
  const std::string format = UserTimeFormat();
  EXPECT_NE(format.find('%'), std::string::npos) << format;
  const std::string text = UserClockTime(At(15, 7, 59));
  EXPECT_NE(text.find("07"), std::string::npos) << text;
  EXPECT_EQ(text.find("59"), std::string::npos) << text;
}

class ClockWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPrivateFont();
    fake_.SetLocal(At(15, 7, 0));
    platform::SetClockForTesting(&fake_);
  }
  void TearDown() override { platform::SetClockForTesting(nullptr); }

  platform::FakeClock fake_;
};

TEST_F(ClockWidgetTest, ShowsTheFakeTimeAndMeasuresTheTextPlusSeventyPercent) {
  Clock clock("%H:%M:%S");
  EXPECT_EQ(clock.Text(), "15:07");

  FontHandle font = MakeFont(kPrivateFontFamily, Clock::kPoints);
  ContextPtr cr = MakeMeasuringContext();
  LayoutPtr layout = MakeLayout(cr.get(), font.get(), "15:07");
  PangoRectangle logical;
  pango_layout_get_extents(layout.get(), nullptr, &logical);
  const int text_height = logical.height / PANGO_SCALE;
  ASSERT_GT(text_height, 50);  // 50 pt is 66.7 px

  const WidgetSize size = clock.Measure(nullptr);
  EXPECT_EQ(size.width, logical.width / PANGO_SCALE);
  EXPECT_EQ(size.height, static_cast<int>(text_height * 1.7));
  EXPECT_EQ(clock.Measure(cr.get()), size);
}

TEST_F(ClockWidgetTest, DrawsWhiteFiguresOverAFainterReflection) {
  Clock clock("%H:%M");
  const WidgetSize size = clock.Measure(nullptr);
  SurfacePtr surface = MakeArgbSurface(size.width, size.height);
  ContextPtr cr = MakeContext(surface.get());
  clock.Draw(cr.get(), 0, 0, size.width, size.height);

  const int text_height = static_cast<int>(size.height / 1.7);
  int top_max = 0, below_max = 0, below_count = 0;
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const Pixel p = PixelAt(surface.get(), x, y);
      // White everywhere: premultiplied channels equal alpha.
      ASSERT_EQ(p.r, p.a) << x << "," << y;
      ASSERT_EQ(p.b, p.a) << x << "," << y;
      if (y < text_height / 2) top_max = std::max(top_max, p.a);
      if (y > text_height + 1) {
        below_max = std::max(below_max, p.a);
        if (p.a > 0) ++below_count;
      }
    }
  }
  EXPECT_EQ(top_max, 255);
  EXPECT_GT(below_count, 50);
  EXPECT_GT(below_max, 0x10);
  EXPECT_LE(below_max, 0x5A);
}

TEST_F(ClockWidgetTest, StretchesIntoItsRectangleOrShiftsWhenAlignedRight) {
  Clock clock("%H:%M");
  const WidgetSize size = clock.Measure(nullptr);
  auto ink = [](cairo_surface_t* s) { return test::BoundsOf(s, [](Pixel p) { return p.a > 0x80; }); };

  SurfacePtr natural = MakeArgbSurface(size.width * 2, size.height);
  clock.Draw(MakeContext(natural.get()).get(), 0, 0, size.width, size.height);
  const test::Box at_size = ink(natural.get());
  ASSERT_GT(at_size.width, 0);

  SurfacePtr squeezed = MakeArgbSurface(size.width * 2, size.height);
  clock.Draw(MakeContext(squeezed.get()).get(), 0, 0, size.width / 2, size.height);
  EXPECT_LE(ink(squeezed.get()).width, at_size.width / 2 + 2);

  clock.set_alignment(Clock::kRight);
  SurfacePtr right = MakeArgbSurface(size.width * 2, size.height);
  clock.Draw(MakeContext(right.get()).get(), 0, 0, size.width * 2, size.height);
  const test::Box shifted = ink(right.get());
  EXPECT_EQ(shifted.x, at_size.x + size.width);
  EXPECT_EQ(shifted.width, at_size.width);
}

}  // namespace
}  // namespace quol::saver
