#include "screensaver/slides/message_slide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "foundation/config/global_config.h"
#include "screensaver/common/random.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"

namespace quol::saver {
namespace {

TEST(MessageSlideTest, PanelKeepsFiftyPixelsFromTheTopLeft) {
  int x = 0, y = 0;
  PlacePanel(1024, 768, 550, 300, 0, 0, &x, &y);
  EXPECT_EQ(x, 50);
  EXPECT_EQ(y, 50);
  PlacePanel(1024, 768, 550, 300, 373, 1000, &x, &y);
  EXPECT_EQ(x, 423);  // dx = 1024 - 550 - 100 = 374
  EXPECT_EQ(y, 50 + 1000 % 368);
  PlacePanel(1024, 768, 550, 300, 374, 0, &x, &y);
  EXPECT_EQ(x, 50);
  PlacePanel(650, 400, 550, 300, 12345, 777, &x, &y);  // no room: divisor 1
  EXPECT_EQ(x, 50);
  EXPECT_EQ(y, 50);
}

TEST(MessageSlideTest, SlideIsBlackWithAWhiteTextPanel) {
  RegisterPrivateFont();
  EnsureSaverResourcesRegistered();
  SurfacePtr panel = RenderMessagePanel(kNoPhotosNotice);
  ASSERT_TRUE(panel);
  EXPECT_EQ(cairo_image_surface_get_width(panel.get()), 550);
  const int panel_height = cairo_image_surface_get_height(panel.get());
  EXPECT_GT(panel_height, 187);  // logo plus seven lines

  SetDebugRandom(true);
  SeedThreadRandomWith(3);
  SurfacePtr slide = RenderMessageSlide(kNoPhotosNotice, 1024, 768);
  SetDebugRandom(false);
  ASSERT_TRUE(slide);
  cairo_surface_flush(slide.get());
  const auto* pixels = reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(slide.get()));
  const int stride = cairo_image_surface_get_stride(slide.get()) / 4;
  int white = 0;
  for (int y = 0; y < 768; ++y) {
    for (int x = 0; x < 1024; ++x) {
      const std::uint32_t p = pixels[y * stride + x];
      ASSERT_EQ(p >> 24, 0xFFu);
      if (x < 50 || y < 50) {
        ASSERT_EQ(p, 0xFF000000u) << x << "," << y;
      }
      if (p == 0xFFFFFFFFu) ++white;
    }
  }
  EXPECT_GT(white, 100);
}

TEST(MessageSlideTest, PanelShrinksOnlyWhereItWouldNotFit) {
  struct Case {
    int screen_width, screen_height, panel_width, panel_height;
    double scale;
  };
  const Case cases[] = {
      {1024, 768, 550, 340, 1.0},
      {650, 440, 550, 340, 1.0},           // exactly 50 to spare each side
      {600, 800, 550, 340, 500.0 / 550},   // too narrow
      {1024, 500, 550, 440, 400.0 / 440},  // too low
      {300, 200, 550, 340, 240.0 / 550},   // tiny: a tenth of the screen each side
      {0, 0, 550, 340, 0.0},
      {300, 200, 0, 0, 1.0},               // no panel
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.screen_width << "x" << c.screen_height);
    EXPECT_DOUBLE_EQ(PanelScale(c.screen_width, c.screen_height, c.panel_width, c.panel_height),
                     c.scale);
  }
  int x = -1, y = -1;
  PlacePanel(300, 200, 240, 148, 12345, 777, &x, &y);  // no room for 50 each side
  EXPECT_EQ(x, 30);
  EXPECT_EQ(y, 26);
}

// On any screen, whatever the random place, the whole panel is on it: text
// and logo show, and nothing reaches the edges.
TEST(MessageSlideTest, PanelIsWholeOnSmallScreens) {
  RegisterPrivateFont();
  EnsureSaverResourcesRegistered();
  struct Case {
    int width, height;
  };
  for (const Case& c : {Case{1024, 768}, Case{649, 480}, Case{600, 400}, Case{300, 200}}) {
    for (std::uint32_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " seed " << seed);
      SetDebugRandom(true);
      SeedThreadRandomWith(seed);
      SurfacePtr slide = RenderMessageSlide(kNoPhotosNotice, c.width, c.height);
      SetDebugRandom(false);
      ASSERT_TRUE(slide);
      cairo_surface_flush(slide.get());
      const auto* pixels =
          reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(slide.get()));
      const int stride = cairo_image_surface_get_stride(slide.get()) / 4;
      int lit = 0, left = c.width, right = -1, top = c.height, bottom = -1;
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
          if ((pixels[y * stride + x] & 0xFFFFFFu) < 0x404040u) continue;
          ++lit;
          left = std::min(left, x);
          right = std::max(right, x);
          top = std::min(top, y);
          bottom = std::max(bottom, y);
        }
      }
      EXPECT_GT(lit, c.width * c.height / 400) << "the slide is (nearly) all black";
      EXPECT_GT(left, 0);
      EXPECT_GT(top, 0);
      EXPECT_LT(right, c.width - 1);
      EXPECT_LT(bottom, c.height - 1);
    }
  }
}

TEST(NoticeTest, StickyNoticesStay) {
  PendingNotice notice;
  EXPECT_FALSE(notice.pending());
  notice.Set("once", false);
  notice.Shown();
  EXPECT_FALSE(notice.pending());
  notice.Set(kNoPhotosNotice, true);
  notice.Set("not sticky", false);
  EXPECT_EQ(notice.text(), kNoPhotosNotice);
  notice.Shown();
  EXPECT_TRUE(notice.pending());
  notice.Set(kRequiredUpgradeNotice, true);
  EXPECT_EQ(notice.text(), kRequiredUpgradeNotice);
}

TEST(TipListTest, BangTipsOnlyInUnrestrictedSessions) {
  const std::vector<std::string> builtin = CGlobalConfig::BuiltInTips();
  TipList open;
  open.Fill(false, builtin, false);
  ASSERT_EQ(open.tips().size(), 16u);
  EXPECT_EQ(open.tips()[0].substr(0, 5), "Tip: ");
  TipList restricted;
  restricted.Fill(false, builtin, true);
  ASSERT_EQ(restricted.tips().size(), 12u);
  for (const std::string& tip : restricted.tips()) EXPECT_NE(tip.find("\u201cC\u201d"), 0u);
  EXPECT_EQ(restricted.tips()[0], builtin[4]);

  TipList upgrade;
  upgrade.Fill(true, builtin, false);
  ASSERT_EQ(upgrade.tips().size(), 1u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(upgrade.Pick(), kNewVersionTip);

  TipList none;
  none.Fill(false, {"!only for open sessions"}, true);
  EXPECT_FALSE(none.Pick().empty());
}

}  // namespace
}  // namespace quol::saver
