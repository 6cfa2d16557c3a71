#include "screensaver/app/slide_canvas.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quol::saver {
namespace {

TEST(SlideCanvasTest, SmallWindowsGetALargerCanvasOfTheirShape) {
  struct Case {
    int window_width, window_height;
    WidgetSize canvas;
  };
  const Case cases[] = {
      {1920, 1080, {1920, 1080}},  // a screen: its own size
      {800, 480, {800, 480}},      // exactly the minimum
      {800, 500, {800, 500}},
      {300, 200, {800, 533}},      // a settings preview, width decides
      {640, 200, {1536, 480}},     // a wide strip, height decides
      {649, 400, {800, 493}},      // too narrow for the message panel
      {1, 1, {800, 800}},
      {0, -5, {800, 800}},         // nonsense counts as 1 x 1
      {10, 4000, {20, 8192}},      // no side beyond the bound
      {9000, 100, {9000, 100}},    // larger than the bound already: left alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.window_width << "x" << c.window_height);
    EXPECT_EQ(SlideCanvasSize(c.window_width, c.window_height), c.canvas);
  }
}

std::uint32_t Pixel(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const auto* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
  return reinterpret_cast<const std::uint32_t*>(row)[x] & 0xFFFFFFu;
}

SurfacePtr Solid(int width, int height, double r, double g, double b) {
  SurfacePtr surface = MakeArgbSurface(width, height);
  ContextPtr cr = MakeContext(surface.get());
  cairo_set_source_rgb(cr.get(), r, g, b);
  cairo_paint(cr.get());
  return surface;
}

TEST(SlideCanvasTest, FitPictureScalesIntoTheWindowWithoutGarbage) {
  struct Case {
    const char* name;
    int picture_width, picture_height, width, height;
    // Points of the result that show the picture, and points that are black.
    std::vector<std::pair<int, int>> red, black;
  };
  const Case cases[] = {
      {"canvas shrunk to a preview", 800, 533, 300, 200, {{0, 0}, {299, 199}, {150, 100}}, {}},
      {"grown host, other shape: bars left and right", 800, 500, 1600, 900,
       {{80, 0}, {1519, 899}, {800, 450}}, {{0, 450}, {60, 450}, {1599, 450}, {1540, 0}}},
      {"shrunk host, taller: bars above and below", 1600, 900, 800, 800,
       {{0, 175}, {799, 624}}, {{400, 0}, {400, 150}, {400, 799}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SurfacePtr picture = Solid(c.picture_width, c.picture_height, 1, 0, 0);
    SurfacePtr fitted = FitPicture(picture.get(), c.width, c.height);
    ASSERT_TRUE(fitted);
    ASSERT_EQ(cairo_image_surface_get_width(fitted.get()), c.width);
    ASSERT_EQ(cairo_image_surface_get_height(fitted.get()), c.height);
    for (auto [x, y] : c.red) EXPECT_EQ(Pixel(fitted.get(), x, y), 0xFF0000u) << x << "," << y;
    for (auto [x, y] : c.black) EXPECT_EQ(Pixel(fitted.get(), x, y), 0u) << x << "," << y;
  }
}

TEST(SlideCanvasTest, FitPictureOfTheRightSizeIsThePictureItself) {
  SurfacePtr picture = Solid(640, 400, 0, 1, 0);
  SurfacePtr same = FitPicture(picture.get(), 640, 400);
  EXPECT_EQ(same.get(), picture.get());
  EXPECT_EQ(FitPicture(nullptr, 640, 400), nullptr);
  EXPECT_EQ(FitPicture(picture.get(), 0, 400), nullptr);
}

}  // namespace
}  // namespace quol::saver
