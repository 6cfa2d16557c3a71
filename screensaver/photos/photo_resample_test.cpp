#include "screensaver/photos/photo_resample.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"
#include "screensaver/photos/photo_decode.h"

namespace quol::saver {
namespace {

using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

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

TEST(ResampleTest, SameSizeIsAnExactCopy) {
  CairoSurfacePtr noise = Filled(257, 131, [](int x, int y) {
    return 0xFF000000u | static_cast<std::uint32_t>((x * 2654435761u) ^ (y * 40503u)) % 0xFFFFFFu;
  });
  CairoSurfacePtr out = ResampleSurface(noise.get(), {257, 131});
  ASSERT_NE(out, nullptr);
  for (int y = 0; y < 131; ++y) {
    for (int x = 0; x < 257; ++x) ASSERT_EQ(Pixel(out.get(), x, y), Pixel(noise.get(), x, y));
  }
}

TEST(ResampleTest, FinestDetailReducesToEvenGreyWithoutMoire) {
  // A one-pixel checkerboard reduced by odd and even factors: every pixel,
  // edges included, comes out as the mean (a filter that skips source
  // pixels gives black and white bands instead).
  CairoSurfacePtr checker =
      Filled(600, 400, [](int x, int y) { return (x + y) % 2 == 0 ? 0xFFFFFFFFu : 0xFF000000u; });
  for (PixelSize size : {PixelSize{300, 200}, PixelSize{200, 133}, PixelSize{150, 100}}) {
    CairoSurfacePtr out = ResampleSurface(checker.get(), size);
    ASSERT_NE(out, nullptr);
    int worst = 0;
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width; ++x) {
        worst = std::max(worst, std::abs(static_cast<int>(Pixel(out.get(), x, y) & 0xFF) - 128));
      }
    }
    EXPECT_LE(worst, 16) << size.width << "x" << size.height;
  }
}

TEST(ResampleTest, UnusableSizesGiveNothing) {
  CairoSurfacePtr source = Filled(10, 10, [](int, int) { return 0xFFFFFFFFu; });
  EXPECT_EQ(ResampleSurface(source.get(), {0, 10}), nullptr);
  EXPECT_EQ(ResampleSurface(source.get(), {10, -1}), nullptr);
  // The working rows of a 1-pixel-high target from a very tall source
  // would exceed the decode limit.
  CairoSurfacePtr target(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 30000, 1));
  EXPECT_FALSE(PhotoResampler(30000, 60000, target.get()).ok());
}

// ------------------------------------------------------------- headers

std::string Jpeg(int width, int height, const std::function<unsigned char(int, int)>& grey) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels[static_cast<std::size_t>(y) * width + x] = grey(x, y);
  }
  tjhandle tj = tjInitCompress();
  unsigned char* raw = nullptr;
  unsigned long size = 0;
  const int result = tjCompress2(tj, pixels.data(), width, 0, height, TJPF_GRAY, &raw, &size,
                                 TJSAMP_GRAY, 90, 0);
  std::string out = result == 0 ? std::string(reinterpret_cast<char*>(raw), size) : "";
  tjFree(raw);
  tjDestroy(tj);
  return out;
}

void Put16(std::string& out, int value) {  // big-endian
  out += static_cast<char>((value >> 8) & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

// An APP1 Exif segment with the orientation tag, plus `padding` bytes of
// other APP segments in front of the frame header.
std::string WithExif(const std::string& jpeg, int orientation, std::size_t padding = 0) {
  std::string tiff = "MM";
  Put16(tiff, 42);
  Put16(tiff, 0);
  Put16(tiff, 8);
  Put16(tiff, 1);
  Put16(tiff, 0x0112);
  Put16(tiff, 3);
  Put16(tiff, 0);
  Put16(tiff, 1);
  Put16(tiff, orientation);
  Put16(tiff, 0);
  Put16(tiff, 0);
  Put16(tiff, 0);
  std::string payload = std::string("Exif\0\0", 6) + tiff;
  std::string segments = "\xFF\xE1";
  Put16(segments, static_cast<int>(payload.size() + 2));
  segments += payload;
  while (padding > 0) {
    const std::size_t chunk = std::min<std::size_t>(padding, 60000);
    segments += "\xFF\xE2";
    Put16(segments, static_cast<int>(chunk + 2));
    segments += std::string(chunk, 'p');
    padding -= chunk;
  }
  return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

std::string PngHeaderOnly(std::uint32_t width, std::uint32_t height) {
  std::string bytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
  for (std::uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((v >> shift) & 0xFF);
  }
  return bytes + std::string("\x08\x06\0\0\0\0\0\0\0", 9);
}

struct HeaderCase {
  const char* name;
  std::function<std::string()> bytes;
  std::optional<PixelSize> shown;  // nullopt: refused
};

void PrintTo(const HeaderCase& c, std::ostream* out) { *out << c.name; }

class PhotoHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(PhotoHeaderTest, SizeAsShownWithoutDecoding) {
  const HeaderCase& c = GetParam();
  TempDir dir;
  const std::string path = dir / "photo";
  WriteFileOrDie(path, c.bytes());
  std::optional<PhotoHeader> header = ReadPhotoHeader(path);
  ASSERT_EQ(header.has_value(), c.shown.has_value());
  if (header) {
    EXPECT_EQ(header->shown(), *c.shown);
  }
}

auto Grey(int, int) -> unsigned char { return 0x80; }

INSTANTIATE_TEST_SUITE_P(
    Files, PhotoHeaderTest,
    ::testing::Values(
        HeaderCase{"jpeg", [] { return Jpeg(600, 400, Grey); }, PixelSize{600, 400}},
        HeaderCase{"landscape_turned_quarter",
                   [] { return WithExif(Jpeg(600, 400, Grey), 6); }, PixelSize{400, 600}},
        HeaderCase{"landscape_turned_half", [] { return WithExif(Jpeg(600, 400, Grey), 3); },
                   PixelSize{600, 400}},
        HeaderCase{"portrait_keeps_stored_shape",
                   [] { return WithExif(Jpeg(400, 600, Grey), 8); }, PixelSize{400, 600}},
        HeaderCase{"frame_after_200k_of_metadata",
                   [] { return WithExif(Jpeg(600, 400, Grey), 8, 200000); },
                   PixelSize{400, 600}},
        HeaderCase{"jpeg_too_small", [] { return Jpeg(100, 800, Grey); }, std::nullopt},
        HeaderCase{"jpeg_cut_before_frame", [] { return Jpeg(600, 400, Grey).substr(0, 20); },
                   std::nullopt},
        HeaderCase{"png", [] { return PngHeaderOnly(7000, 5000); }, PixelSize{7000, 5000}},
        HeaderCase{"png_above_pixel_bound", [] { return PngHeaderOnly(8000, 5001); },
                   std::nullopt},
        HeaderCase{"png_too_small", [] { return PngHeaderOnly(101, 100); }, std::nullopt},
        HeaderCase{"neither", [] { return std::string(100, 'x'); }, std::nullopt}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- decoding at a place

// A JPEG whose left half is dark and right half light, and whose top rows
// are marked by a bright band: enough to tell turns and flips apart.
std::string MarkedJpeg(int width, int height) {
  return Jpeg(width, height, [width, height](int x, int y) -> unsigned char {
    if (y < height / 8) return 0xF0;
    return x < width / 2 ? 0x20 : 0xB0;
  });
}

int GreyAt(cairo_surface_t* surface, int x, int y) {
  return static_cast<int>(Pixel(surface, x, y) & 0xFF);
}

TEST(DecodeAtPlaceTest, DecodesToExactlyThePlaceTurnedUpright) {
  struct Case {
    const char* name;
    std::string bytes;
    PixelSize place;
    bool turned;  // stored landscape, shown portrait (orientation 6)
  };
  const std::string wide = MarkedJpeg(2400, 1600);
  const Case cases[] = {
      {"reduced_at_dct_scale", wide, {1000, 667}, false},
      {"enlarged", MarkedJpeg(600, 400), {1500, 1000}, false},
      {"turned", WithExif(wide, 6), {500, 750}, true},
  };
  for (const Case& c : cases) {
    DecodedPhoto photo = DecodePhotoDataAt(
        {reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()}, c.place);
    ASSERT_NE(photo.surface, nullptr) << c.name;
    cairo_surface_t* s = photo.surface.get();
    ASSERT_EQ(cairo_image_surface_get_width(s), c.place.width) << c.name;
    ASSERT_EQ(cairo_image_surface_get_height(s), c.place.height) << c.name;
    const int w = c.place.width, h = c.place.height;
    if (!c.turned) {
      EXPECT_NEAR(GreyAt(s, w / 4, h / 2), 0x20, 6) << c.name;
      EXPECT_NEAR(GreyAt(s, 3 * w / 4, h / 2), 0xB0, 6) << c.name;
      EXPECT_NEAR(GreyAt(s, w / 2, h / 32), 0xF0, 6) << c.name;
    } else {
      // Turned 90 degrees clockwise: the top band is on the right, the dark
      // half at the top.
      EXPECT_NEAR(GreyAt(s, w - 1 - w / 32, h / 2), 0xF0, 6) << c.name;
      EXPECT_NEAR(GreyAt(s, w / 2, h / 4), 0x20, 6) << c.name;
      EXPECT_NEAR(GreyAt(s, w / 2, 3 * h / 4), 0xB0, 6) << c.name;
    }
  }
  EXPECT_EQ(DecodePhotoDataAt({reinterpret_cast<const unsigned char*>(wide.data()), wide.size()},
                              {0, 100})
                .surface,
            nullptr);
}

}  // namespace
}  // namespace quol::saver
