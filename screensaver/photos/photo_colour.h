// The colours of phone photos: wide-gamut photos (Display P3, BT.2020, any
// other primaries, or any embedded ICC profile) turned into sRGB, which is what the screen is taken
// to show, and high-bit-depth samples reduced to the 8 bits of a Cairo
// bitmap without banding.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quol::saver {

// The chromaticities (CIE x, y) of an RGB space's primaries and white.
struct RgbPrimaries {
  double red_x = 0, red_y = 0;
  double green_x = 0, green_y = 0;
  double blue_x = 0, blue_y = 0;
  double white_x = 0, white_y = 0;
  // Each within the chromaticity diagram's square, y above 0; a space made
  // of anything else cannot be converted from.
  bool Valid() const;
  // sRGB's own (BT.709 and D65), give or take what a file's rounding leaves.
  bool IsSrgb() const;
};

inline constexpr RgbPrimaries kDisplayP3Primaries{0.680, 0.320, 0.265, 0.690,
                                                  0.150, 0.060, 0.3127, 0.3290};

// Where a photo's colour values are defined. Nothing set means sRGB.
struct PhotoColourSpace {
  std::vector<unsigned char> icc;  // an embedded ICC profile, used when set
  // Otherwise: other primaries than sRGB's (Display P3, BT.2020, ...) with
  // the sRGB transfer curve, as phones tag them in a HEIF nclx box.
  std::optional<RgbPrimaries> primaries;
  bool IsSrgb() const { return icc.empty() && !primaries; }
};

// Turns the pixels of an ARGB32 surface (premultiplied) into sRGB, in place.
// False, with the pixels left as they were, when the profile cannot be used
// (damaged, not RGB); true when there was nothing to do.
bool ConvertToSrgb(cairo_surface_t* surface, const PhotoColourSpace& space);

// One row of interleaved 8-bit RGB or RGBA samples (`channels` 3 or 4,
// straight alpha) as premultiplied ARGB32 pixels (native-endian words).
void RgbRowToArgb(const unsigned char* samples, int width, int channels, unsigned char* out);

// The same for samples of `bits` (9 to 16) in 16-bit little-endian words.
// Reduced to 8 bits with a 4 x 4 ordered dither keyed on (x, y): a smooth
// gradient keeps steps of at most one level and no flat bands, and averaging
// (the reduction to a place's size) recovers the finer levels.
void HighBitRowToArgb(const unsigned char* samples, int width, int channels, int bits, int y,
                      unsigned char* out);

}  // namespace quol::saver
