#include "screensaver/photos/photo_resample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "screensaver/photos/photo_decode.h"

namespace quol::saver {
namespace {

std::uint32_t Pixel(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const unsigned char* row = cairo_image_surface_get_data(surface) +
                             static_cast<std::size_t>(cairo_image_surface_get_stride(surface)) *
                                 static_cast<std::size_t>(y);
  std::uint32_t p = 0;
  std::memcpy(&p, row + static_cast<std::size_t>(x) * 4, sizeof p);
  return p;
}

CairoSurfacePtr Filled(int width, int height,
                       const std::function<std::uint32_t(int, int)>& argb) {
  CairoSurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  cairo_surface_flush(surface.get());
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint32_t p = argb(x, y);
      std::memcpy(data + static_cast<std::size_t>(stride) * y + static_cast<std::size_t>(x) * 4, &p,
                  sizeof p);
    }
  }
  cairo_surface_mark_dirty(surface.get());
  return surface;
}

// ------------------------------------------------------------- resampling

struct ResizeCase {
  const char* name;
  int from_width, from_height, to_width, to_height;
};

void PrintTo(const ResizeCase& c, std::ostream* out) { *out << c.name; }

class ResampleSizesTest : public ::testing::TestWithParam<ResizeCase> {};

// Whatever the factor, a flat picture stays exactly flat (weights sum to
// one, edges included), translucent pixels stay validly premultiplied, and
// every target pixel is written.
TEST_P(ResampleSizesTest, FlatColourStaysExact) {
  const ResizeCase& c = GetParam();
  for (std::uint32_t colour : {0xFF3C8AD2u, 0x80402010u}) {
    CairoSurfacePtr source = Filled(c.from_width, c.from_height, [&](int, int) { return colour; });
    CairoSurfacePtr out = ResampleSurface(source.get(), {c.to_width, c.to_height});
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(cairo_image_surface_get_width(out.get()), c.to_width);
    ASSERT_EQ(cairo_image_surface_get_height(out.get()), c.to_height);
    for (int y = 0; y < c.to_height; y += std::max(1, c.to_height / 13)) {
      for (int x = 0; x < c.to_width; x += std::max(1, c.to_width / 17)) {
        ASSERT_EQ(Pixel(out.get(), x, y), colour) << "at " << x << "," << y;
      }
    }
    EXPECT_EQ(Pixel(out.get(), c.to_width - 1, c.to_height - 1), colour);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Factors, ResampleSizesTest,
    ::testing::Values(ResizeCase{"same", 300, 200, 300, 200},
                      ResizeCase{"up_1_7x", 900, 600, 1512, 1008},
                      ResizeCase{"down_3_9x", 6000, 400, 1512, 101},
                      ResizeCase{"tiny_up", 3, 2, 64, 40},
                      ResizeCase{"to_one_pixel", 500, 400, 1, 1},
                      ResizeCase{"sliver", 101, 2000, 5, 97}),
    [](const ::testing::TestParamInfo<ResizeCase>& info) { return std::string(info.param.name); });

TEST(ResampleTest, UnusableSizesGiveNothing) {
  CairoSurfacePtr source = Filled(10, 10, [](int, int) { return 0xFFFFFFFFu; });
  EXPECT_EQ(ResampleSurface(source.get(), {0, 10}), nullptr);
  EXPECT_EQ(ResampleSurface(source.get(), {10, -1}), nullptr);
  // The working rows of a 1-pixel-high target from a very tall source
  // would exceed the decode limit.
  CairoSurfacePtr target(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 30000, 1));
  EXPECT_FALSE(PhotoResampler(30000, 60000, target.get()).ok());
}

}  // namespace
}  // namespace quol::saver
