#include "screensaver/widgets/text_widget.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver {
namespace {

using test::Pixel;

test::Box WhiteInk(cairo_surface_t* s) {
  return test::BoundsOf(s, [](Pixel p) { return p.a > 0; });
}

TEST(TextWidgetTest, MeasuresTheWholeTextOnOneLine) {
  TextWidget word("Upgrade");
  TextWidget sentence("Upgrade available: Press \u201cC\u201d. And then a good deal more text");
  const WidgetSize one = word.Measure(nullptr);
  const WidgetSize many = sentence.Measure(nullptr);
  EXPECT_GT(one.width, 40);
  EXPECT_GT(many.width, 4 * one.width);
  EXPECT_EQ(many.height, one.height);  // never wrapped
  EXPECT_GE(one.height, 18);           // 14 pt is 18.7 px
  EXPECT_LE(one.height, 30);
  EXPECT_EQ(TextWidget("").Measure(nullptr).width, 0);
}

TEST(TextWidgetTest, DrawsOpaqueWhiteCentredInTheRectangle) {
  TextWidget text("Quol");
  SurfacePtr surface = MakeArgbSurface(300, 100);
  text.Draw(MakeContext(surface.get()).get(), 50, 20, 200, 60);
  const test::Box ink = WhiteInk(surface.get());
  ASSERT_GT(ink.width, 0);
  EXPECT_NEAR(ink.x + ink.width / 2.0, 150, 3);
  EXPECT_NEAR(ink.y + ink.height / 2.0, 50, 6);
  int brightest = 0;
  for (int y = ink.y; y < ink.y + ink.height; ++y) {
    for (int x = ink.x; x < ink.x + ink.width; ++x) {
      const Pixel p = test::PixelAt(surface.get(), x, y);
      ASSERT_TRUE(p.r == p.a && p.g == p.a && p.b == p.a);
      brightest = std::max(brightest, p.a);
    }
  }
  EXPECT_EQ(brightest, 255);
}

TEST(TextWidgetTest, TooLongTextEndsInAnEllipsisInsideTheRectangle) {
  TextWidget text("An upgrade for this screen saver is available. Run Quol from the Start menu.");
  SurfacePtr surface = MakeArgbSurface(400, 60);
  text.Draw(MakeContext(surface.get()).get(), 100, 0, 150, 60);
  const test::Box ink = WhiteInk(surface.get());
  ASSERT_GT(ink.width, 100);  // fills the width
  EXPECT_GE(ink.x, 100);
  EXPECT_LE(ink.x + ink.width, 250);
}

}  // namespace
}  // namespace quol::saver
