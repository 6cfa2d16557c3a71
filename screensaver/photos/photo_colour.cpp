#include "screensaver/photos/photo_colour.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace quol::saver {
namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
  void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using TransformPtr = std::unique_ptr<void, TransformDeleter>;

// An RGB space of `primaries` with the sRGB transfer curve, as phones tag
// their photos (nclx colour primaries 12 for Display P3, 9 for BT.2020).
ProfilePtr ProfileOf(const RgbPrimaries& p) {
  const cmsCIExyY white{p.white_x, p.white_y, 1.0};
  const cmsCIExyYTRIPLE primaries{
      {p.red_x, p.red_y, 1.0}, {p.green_x, p.green_y, 1.0}, {p.blue_x, p.blue_y, 1.0}};
  // The sRGB curve as an ICC parametric curve of type 4.
  const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
  std::unique_ptr<cmsToneCurve, void (*)(cmsToneCurve*)> curve(
      cmsBuildParametricToneCurve(nullptr, 4, srgb), &cmsFreeToneCurve);
  if (!curve) return nullptr;
  cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
  return ProfilePtr(cmsCreateRGBProfile(&white, &primaries, curves));
}

bool Chromaticity(double x, double y) {
  return std::isfinite(x) && std::isfinite(y) && x >= 0 && x <= 1 && y > 0 && y <= 1;
}

// Cairo's ARGB32 pixels are native-endian words: B, G, R, A in memory on
// little-endian machines.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr cmsUInt32Number kCairoPixels = TYPE_BGRA_8_PREMUL;
#else
constexpr cmsUInt32Number kCairoPixels = TYPE_ARGB_8_PREMUL;
#endif

// 4 x 4 Bayer matrix: thresholds 0..15, each used once per 4 x 4 block.
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

std::uint32_t Pack(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a) {
  if (a != 255) {
    r = (r * a + 127) / 255;
    g = (g * a + 127) / 255;
    b = (b * a + 127) / 255;
  }
  return (a << 24) | (r << 16) | (g << 8) | b;
}

}  // namespace

bool RgbPrimaries::Valid() const {
  return Chromaticity(red_x, red_y) && Chromaticity(green_x, green_y) &&
         Chromaticity(blue_x, blue_y) && Chromaticity(white_x, white_y);
}

bool RgbPrimaries::IsSrgb() const {
  // Files keep chromaticities in 16-bit or float fields: a few thousandths.
  constexpr double kTolerance = 0.002;
  const double values[8] = {red_x, red_y, green_x, green_y, blue_x, blue_y, white_x, white_y};
  const double srgb[8] = {0.640, 0.330, 0.300, 0.600, 0.150, 0.060, 0.3127, 0.3290};
  for (int i = 0; i < 8; ++i) {
    if (!(std::fabs(values[i] - srgb[i]) <= kTolerance)) return false;
  }
  return true;
}

bool ConvertToSrgb(cairo_surface_t* surface, const PhotoColourSpace& space) {
  if (space.IsSrgb()) return true;
  ProfilePtr source;
  if (!space.icc.empty()) {
    source.reset(cmsOpenProfileFromMem(space.icc.data(),
                                       static_cast<cmsUInt32Number>(space.icc.size())));
  } else {
    if (!space.primaries->Valid()) return false;
    if (space.primaries->IsSrgb()) return true;
    source = ProfileOf(*space.primaries);
  }
  if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData) return false;
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!srgb) return false;
  // Perceptual: profiles with a perceptual table map out-of-gamut colours
  // gently; matrix-shaper profiles (P3, BT.2020 included) clip, as every viewer does.
  TransformPtr transform(cmsCreateTransform(source.get(), kCairoPixels, srgb.get(), kCairoPixels,
                                            INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA));
  if (!transform) return false;
  cairo_surface_flush(surface);
  unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  if (pixels == nullptr || width <= 0 || height <= 0) return false;
  cmsDoTransformLineStride(transform.get(), pixels, pixels, static_cast<cmsUInt32Number>(width),
                           static_cast<cmsUInt32Number>(height),
                           static_cast<cmsUInt32Number>(stride),
                           static_cast<cmsUInt32Number>(stride), 0, 0);
  cairo_surface_mark_dirty(surface);
  return true;
}

void RgbRowToArgb(const unsigned char* samples, int width, int channels, unsigned char* out) {
  for (int x = 0; x < width; ++x) {
    const unsigned char* p = samples + static_cast<std::size_t>(x) * channels;
    const std::uint32_t pixel = Pack(p[0], p[1], p[2], channels == 4 ? p[3] : 255);
    std::memcpy(out + static_cast<std::size_t>(x) * 4, &pixel, sizeof pixel);
  }
}

void HighBitRowToArgb(const unsigned char* samples, int width, int channels, int bits, int y,
                      unsigned char* out) {
  const std::uint32_t max = (1u << bits) - 1;
  const int* thresholds = kBayer[y & 3];
  auto sample = [samples](std::size_t index) {
    const unsigned char* p = samples + index * 2;
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
  };
  for (int x = 0; x < width; ++x) {
    const std::size_t base = static_cast<std::size_t>(x) * channels;
    // floor(v * 255 / max + (t + 0.5) / 16): adds at most 31/32 of a level,
    // so full scale stays 255 and the mean over a block is the exact value.
    const std::uint32_t offset = static_cast<std::uint32_t>(2 * thresholds[x & 3] + 1) * max;
    auto reduce = [&](std::uint32_t v) {
      if (v > max) v = max;
      return (v * 255u * 32u + offset) / (max * 32u);
    };
    const std::uint32_t a =
        channels == 4 ? (std::min(sample(base + 3), max) * 255u + max / 2) / max : 255u;
    const std::uint32_t pixel = Pack(reduce(sample(base)), reduce(sample(base + 1)),
                                     reduce(sample(base + 2)), a);
    std::memcpy(out + static_cast<std::size_t>(x) * 4, &pixel, sizeof pixel);
  }
}

}  // namespace quol::saver
