#include "screensaver/widgets/collage_widget_stack.h"

#include <gtest/gtest.h>

#include <vector>

#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver {
namespace {

using test::PixelAt;

struct DrawCall {
  int x, y, w, h;
  bool operator==(const DrawCall&) const = default;
};

// A widget of a fixed size that records where it was drawn and paints the
// whole surface green (so the clip shows).
class FakeWidget : public ISlideWidget {
 public:
  explicit FakeWidget(WidgetSize size, std::vector<DrawCall>* calls = nullptr)
      : size_(size), calls_(calls) {}
  WidgetSize Measure(cairo_t*) override { return size_; }
  void Draw(cairo_t* cr, int x, int y, int w, int h) override {
    if (calls_ != nullptr) calls_->push_back(DrawCall{x, y, w, h});
    cairo_set_source_rgb(cr, 0, 1, 0);
    cairo_paint(cr);
  }

 private:
  WidgetSize size_;
  std::vector<DrawCall>* calls_;
};

std::unique_ptr<ISlideWidget> Fake(int w, int h, std::vector<DrawCall>* calls = nullptr) {
  return std::make_unique<FakeWidget>(WidgetSize{w, h}, calls);
}

TEST(CollageWidgetStackTest, MeasureAddsHeightsWithSpacingAndTakesTheWidestWidth) {
  CollageWidgetStack empty;
  EXPECT_EQ(empty.Measure(nullptr), (WidgetSize{0, 0}));

  CollageWidgetStack clock_only;
  clock_only.Add(Fake(312, 100));
  EXPECT_EQ(clock_only.Measure(nullptr), (WidgetSize{312, 100}));

  CollageWidgetStack clock_and_panel;
  clock_and_panel.Add(Fake(150, 100));
  clock_and_panel.Add(Fake(190, 96));
  EXPECT_EQ(clock_and_panel.Measure(nullptr), (WidgetSize{190, 206}));

  // No spacing while nothing has height yet.
  CollageWidgetStack starts_empty;
  starts_empty.Add(Fake(40, 0));
  starts_empty.Add(Fake(30, 50));
  starts_empty.Add(Fake(20, 5));
  EXPECT_EQ(starts_empty.Measure(nullptr), (WidgetSize{40, 65}));
}

TEST(CollageWidgetStackTest, DrawStacksUpwardsFromTheBottomOnEitherSide) {
  for (auto alignment : {CollageWidgetStack::kLeft, CollageWidgetStack::kRight}) {
    std::vector<DrawCall> first, second;
    CollageWidgetStack stack(alignment);
    stack.Add(Fake(100, 40, &first));
    stack.Add(Fake(60, 30, &second));
    SurfacePtr surface = MakeArgbSurface(200, 260);
    ContextPtr cr = MakeContext(surface.get());
    stack.Draw(cr.get(), 10, 20, 120, 200);

    const bool right = alignment == CollageWidgetStack::kRight;
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0], (DrawCall{right ? 30 : 10, 180, 100, 40}));
    EXPECT_EQ(second[0], (DrawCall{right ? 70 : 10, 140, 60, 30}));

    // The clip of the last widget (one pixel wider and taller) stays.
    double x1, y1, x2, y2;
    cairo_clip_extents(cr.get(), &x1, &y1, &x2, &y2);
    EXPECT_EQ(x1, right ? 70 : 10);
    EXPECT_EQ(y1, 140);
    EXPECT_EQ(x2 - x1, 61);
    EXPECT_EQ(y2 - y1, 31);
  }
}

TEST(CollageWidgetStackTest, OversizedWidgetsAreCutToTheStack) {
  std::vector<DrawCall> tall, after;
  CollageWidgetStack stack(CollageWidgetStack::kRight);
  stack.Add(Fake(300, 500, &tall));  // wider and taller than the stack
  stack.Add(Fake(20, 20, &after));   // no room left
  SurfacePtr surface = MakeArgbSurface(200, 200);
  ContextPtr cr = MakeContext(surface.get());
  stack.Draw(cr.get(), 30, 40, 100, 80);

  ASSERT_EQ(tall.size(), 1u);
  EXPECT_EQ(tall[0], (DrawCall{30, 40, 100, 80}));
  EXPECT_TRUE(after.empty());

  // Painted exactly inside (30, 40, 101, 81), untouched elsewhere.
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 200; ++x) {
      const bool inside = x >= 30 && x < 131 && y >= 40 && y < 121;
      ASSERT_EQ(PixelAt(surface.get(), x, y).g, inside ? 255 : 0) << x << "," << y;
    }
  }
}

// Measure and Draw agree: a stack drawn at its measured size fits exactly.
TEST(CollageWidgetStackTest, StackDrawnAtItsMeasuredSizeFitsExactly) {
  std::vector<DrawCall> calls;
  CollageWidgetStack stack;
  stack.Add(Fake(50, 20, &calls));
  stack.Add(Fake(0, 0, &calls));
  stack.Add(Fake(70, 25, &calls));
  SurfacePtr surface = MakeArgbSurface(300, 300);
  ContextPtr cr = MakeContext(surface.get());
  const WidgetSize size = stack.Measure(cr.get());
  stack.Draw(cr.get(), 0, 0, size.width, size.height);
  EXPECT_EQ(size, (WidgetSize{70, 65}));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], (DrawCall{0, 45, 50, 20}));
  EXPECT_EQ(calls[1], (DrawCall{0, 35, 0, 0}));
  EXPECT_EQ(calls[2], (DrawCall{0, 0, 70, 25}));
}

}  // namespace
}  // namespace quol::saver
