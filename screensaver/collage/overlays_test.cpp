#include "screensaver/collage/overlays.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock/clock.h"
#include "screensaver/common/random.h"
#include "screensaver/widgets/collage_widget_stack.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"

namespace quol::saver {
namespace {

// A widget of a fixed size that paints itself one colour.
class Block : public ISlideWidget {
 public:
  explicit Block(WidgetSize size) : size_(size) {}
  WidgetSize Measure(cairo_t*) override { return size_; }
  void Draw(cairo_t* cr, int x, int y, int w, int h) override {
    cairo_set_source_rgb(cr, 1, 0, 0);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
  }

 private:
  WidgetSize size_;
};

class OverlaysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPrivateFont();
    EnsureSaverResourcesRegistered();
    platform::SetClockForTesting(&clock_);
    SetUtcMinute(10);
  }
  void TearDown() override { platform::SetClockForTesting(nullptr); }
  void SetUtcMinute(int minute) {
    platform::CalendarTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 7;
    t.hour = 14;
    t.minute = minute;
    clock_.Set(platform::FromUtcTime(t));
  }

  platform::FakeClock clock_;
};

TEST(NoticeTextTest, FourTextsByRestrictionAndWidth) {
  EXPECT_EQ(NoticeText(false, true), "Upgrade available: Press \u201cC\u201d.");
  EXPECT_EQ(NoticeText(false, false),
            "An upgrade for this screen saver is available \u2014 Press the \u201cC\u201d key to "
            "install it.");
  EXPECT_EQ(NoticeText(true, true), "Upgrade available: Please run Quol.");
  EXPECT_EQ(NoticeText(true, false),
            "An upgrade for this screen saver is available. Run Quol from the Start menu.");
}

TEST_F(OverlaysTest, StackCornerFollowsTheQuarterHour) {
  CollageOverlays overlays{OverlayEnvironment{}};
  SetUtcMinute(14);
  EXPECT_EQ(overlays.ChooseStackCorner(), 2);
  SetUtcMinute(15);
  EXPECT_EQ(overlays.ChooseStackCorner(), 3);
  SetUtcMinute(44);
  EXPECT_EQ(overlays.ChooseStackCorner(), 2);
  SetUtcMinute(59);
  EXPECT_EQ(overlays.ChooseStackCorner(), 3);
}

TEST_F(OverlaysTest, StackHoldsTheClockThenAppointmentsThenDebugPanel) {
  OverlayEnvironment environment;
  CollageOverlays plain(environment);
  Collage collage(1920, 1080);
  const WidgetSize clock_only = plain.MeasureStack(collage, nullptr);
  ASSERT_EQ(collage.stack->count(), 1u);
  EXPECT_EQ(clock_only, collage.stack->widget(0).Measure(nullptr));

  environment.make_appointments = [] { return std::make_unique<Block>(WidgetSize{300, 120}); };
  environment.shift_d_held = [] { return true; };
  CollageOverlays full(environment);
  Collage busy(1920, 1080);
  const WidgetSize size = full.MeasureStack(busy, nullptr);
  ASSERT_EQ(busy.stack->count(), 3u);
  EXPECT_EQ(size.height, clock_only.height + 10 + 120 + 10 +
                             busy.stack->widget(2).Measure(nullptr).height);

  environment.make_appointments = [] { return std::unique_ptr<ISlideWidget>(); };
  environment.shift_d_held = nullptr;
  CollageOverlays nothing_to_show(environment);
  Collage quiet(1920, 1080);
  nothing_to_show.MeasureStack(quiet, nullptr);
  EXPECT_EQ(quiet.stack->count(), 1u);
}

TEST_F(OverlaysTest, LogoAndStackSitInOppositeBottomCorners) {
  CollageOverlays overlays{OverlayEnvironment{}};
  Collage collage(1920, 1080);
  const WidgetSize stack = overlays.MeasureStack(collage, nullptr);
  overlays.PlaceLogo(collage, nullptr, 3);
  EXPECT_EQ(collage.logo_rect, (Rect{1920 - 27 - 124, 1080 - 27 - 88, 124, 88}));
  EXPECT_EQ(overlays.BottomBandHeight(collage), 88 + 27);
  overlays.PlaceStack(collage, stack, 2, nullptr);
  const int ch = collage.stack->widget(0).Measure(nullptr).height;
  EXPECT_EQ(collage.stack_rect, (Rect{18, ch / 6 + 1080 - stack.height, stack.width, stack.height}));

  Collage mirrored(1920, 1080);
  overlays.MeasureStack(mirrored, nullptr);
  overlays.PlaceLogo(mirrored, nullptr, 2);
  EXPECT_EQ(mirrored.logo_rect, (Rect{27, 1080 - 27 - 88, 124, 88}));
  overlays.PlaceStack(mirrored, WidgetSize{200, 100}, 3, nullptr);
  EXPECT_EQ(mirrored.stack_rect, (Rect{1920 - 18 - 200, ch / 6 + 980, 200, 100}));
}

TEST_F(OverlaysTest, NoticeStripAlternatesWhileAnUpgradeWaits) {
  OverlayEnvironment environment;
  environment.upgrade_available = [] { return true; };
  environment.restricted_session = [] { return false; };
  environment.primary_screen_width = 1920;
  CollageOverlays overlays(environment);
  std::vector<bool> carries;
  for (int i = 0; i < 4; ++i) {
    Collage collage(1920, 1080);
    const WidgetSize stack = overlays.MeasureStack(collage, nullptr);
    overlays.PlaceStack(collage, stack, 2, nullptr);
    overlays.PlaceNoticeStrip(collage, nullptr);
    carries.push_back(collage.strip->Measure(nullptr).width > 0);
    const int cw = collage.stack->widget(0).Measure(nullptr).width;
    EXPECT_EQ(collage.strip_rect.x, cw);
    EXPECT_EQ(collage.strip_rect.width, 1920 - 2 * cw);
    EXPECT_EQ(collage.strip_rect.bottom(), 1080);
    EXPECT_EQ(overlays.BottomBandHeight(collage),
              std::max(collage.strip_rect.height, 3 * collage.m()));
  }
  EXPECT_EQ(carries, (std::vector<bool>{true, false, true, false}));

  environment.upgrade_available = nullptr;
  CollageOverlays no_upgrade(environment);
  Collage collage(1920, 1080);
  no_upgrade.PlaceNoticeStrip(collage, nullptr);
  EXPECT_EQ(collage.strip->Measure(nullptr).width, 0);
}

TEST_F(OverlaysTest, DisplayBitmapIsACopyWithOverlays) {
  CollageOverlays overlays{OverlayEnvironment{}};
  Collage collage(640, 480);
  collage.Finish();
  SurfacePtr plain = ComposeDisplayBitmap(collage);  // no stack: unchanged copy
  ASSERT_TRUE(plain);
  EXPECT_NE(plain.get(), collage.bitmap());
  const int bytes = cairo_image_surface_get_stride(plain.get()) * 480;
  EXPECT_EQ(std::memcmp(cairo_image_surface_get_data(plain.get()),
                        cairo_image_surface_get_data(collage.bitmap()), bytes),
            0);

  overlays.MeasureStack(collage, nullptr);
  overlays.PlaceLogo(collage, nullptr, 3);
  collage.stack_rect = Rect{10, 300, 200, 150};
  SurfacePtr shown = ComposeDisplayBitmap(collage);
  ASSERT_TRUE(shown);
  EXPECT_NE(std::memcmp(cairo_image_surface_get_data(shown.get()),
                        cairo_image_surface_get_data(collage.bitmap()), bytes),
            0);
  // The collage's own bitmap stays black.
  const auto* pixels = reinterpret_cast<const std::uint32_t*>(
      cairo_image_surface_get_data(collage.bitmap()));
  for (int i = 0; i < 640 * 480; ++i) ASSERT_EQ(pixels[i], 0xFF000000u) << i;
}

}  // namespace
}  // namespace quol::saver
