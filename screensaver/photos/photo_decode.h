// Decoding photo files into reduced Cairo bitmaps (the work behind
// PhotoImage::Load), with the limits that keep a broken or hostile file from
// costing more than a bounded amount of memory.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

// The photo code's older name for the one owning surface handle.
using CairoSurfacePtr = SurfacePtr;

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

// Limits. A bitmap kept for drawing holds at most kMaxBitmapBytes (an 8K
// screen's worth at full size); the scaled JPEG decode and a whole
// interlaced PNG at most kMaxDecodeBytes; a JPEG that needs the whole image's
// coefficients in memory (progressive or multi-scan) at most
// kMaxCoefficientBytes of them.
inline constexpr std::uint64_t kMaxBitmapBytes = 128ull << 20;
inline constexpr std::uint64_t kMaxDecodeBytes = 128ull << 20;
inline constexpr std::uint64_t kMaxCoefficientBytes = 256ull << 20;
inline constexpr std::uint64_t kMaxJpegFileBytes = 256ull << 20;
inline constexpr int kMaxJpegSide = 65500;
// Pixel counts bound the decoding time, checked from the header before any
// image data is read. A collage waits for its photos, and a 32000 x 32000
// PNG (a 1 MB file of one grey) takes over ten seconds to decode.
// - JPEG: decoded at 1/8 for anything this large, so the cost is mostly the
//   entropy decoding of every block; 120 MP admits the 100 MP medium-format
//   cameras with room to spare and still decodes in well under a second.
// - PNG: cannot be decoded scaled, every pixel goes through zlib and the
//   reduction; 40 MP keeps one photo near half a second and is above what
//   photos are saved as in PNG (screenshots, scans, exports).
inline constexpr std::uint64_t kMaxJpegPixels = 120000000;
inline constexpr std::uint64_t kMaxPngPixels = 40000000;
// Phone formats, also checked from the header before any image data is
// decoded:
// - HEIF (HEIC, AVIF): decoded whole (HEVC and AV1 have no scaled decode),
//   so 50 MP admits the largest phone photos (48 MP) and bounds the time;
//   the same bounds apply to the size the coded stream itself declares
//   (HEVC SPS, AV1 sequence header), read from the boxes, since the decoder
//   allocates that whatever the container's ispe claims.
// - WebP: the format's own sides stop at 16383; decoded scaled by libwebp,
//   but every block is still decoded, so the same 50 MP.
inline constexpr std::uint64_t kMaxHeifFileBytes = 256ull << 20;
inline constexpr std::uint64_t kMaxHeifPixels = 50000000;
inline constexpr int kMaxHeifSide = 32768;
inline constexpr std::uint64_t kMaxWebpFileBytes = 128ull << 20;
inline constexpr std::uint64_t kMaxWebpPixels = 50000000;
// Photos this size or smaller in either direction are not shown.
inline constexpr int kMinPhotoSide = 100;
// Above this many pixels a photo loaded without a place is only kept as a
// small thumbnail.
inline constexpr std::uint64_t kThumbnailPixels = 15000000;
inline constexpr int kThumbnailWidth = 256;

// The size a w x h photo is kept at on a screen of sw x sh while its place
// on a collage is not known (half the screen width, or a thumbnail above
// kThumbnailPixels); nullopt when the result would be empty. Once placed, a
// photo is decoded at its place's size instead, never at less.
std::optional<PixelSize> ReducedSize(int width, int height, int screen_width, int screen_height);

// The DCT scale 1/d (d = 1, 2, 4 or 8) a w x h JPEG is decoded at to be
// reduced to `target`: the smallest that still covers it.
int JpegScaleDenominator(int width, int height, PixelSize target);

// The rotate-flip code (see PhotoImage::rotate_flip) that shows a photo with
// the given EXIF orientation upright.
int RotateFlipForOrientation(int orientation);

// The EXIF orientation of a JPEG file's bytes; 0 when there is none.
int JpegExifOrientation(std::span<const unsigned char> jpeg);

// A new bitmap: `source` turned by the rotate-flip code (rotation clockwise
// first, then the horizontal flip). nullptr when it cannot be made.
CairoSurfacePtr ApplyRotateFlip(cairo_surface_t* source, int rotate_flip);

struct DecodedPhoto {
  CairoSurfacePtr surface;  // nullptr when the file cannot be shown
  int rotate_flip = 0;      // already applied to `surface`
};

// What a photo file's header says, read without decoding any image data:
// enough to lay a collage out before a single pixel is decoded.
struct PhotoHeader {
  PixelSize stored;     // as stored in the file
  int rotate_flip = 0;  // turns it upright (EXIF orientation, landscape-stored only)
  // The full size as shown: stored, turned a quarter when rotate_flip says so.
  PixelSize shown() const;
};

// The header of a JPEG (frame header and Exif orientation, read from the
// first few kilobytes), PNG (IHDR), HEIF (HEIC or AVIF: the primary image's
// size as shown, read from the boxes) or WebP (its size and EXIF
// orientation, read from the chunks); nullopt when the file is not one, or
// its size is outside the limits above (so the photo would be refused).
std::optional<PhotoHeader> ReadPhotoHeader(const std::string& path);
std::optional<PhotoHeader> ReadPhotoHeaderData(std::span<const unsigned char> data);

// Decodes a JPEG, PNG, HEIF or WebP file (told apart by their signatures) at its reduced
// size, turned upright.
DecodedPhoto DecodePhotoFile(const std::string& path, int screen_width, int screen_height);

// The same for a file's bytes already in memory.
DecodedPhoto DecodePhotoData(std::span<const unsigned char> data, int screen_width,
                             int screen_height);

// Decodes a photo straight to the size it is shown at (`shown`, after
// orientation): a JPEG at the smallest DCT scale that still covers it, a
// PNG row by row, then resampled once with a bicubic filter and turned
// upright. The photo's own aspect ratio is not kept: `shown` is taken as is.
DecodedPhoto DecodePhotoFileAt(const std::string& path, PixelSize shown);
DecodedPhoto DecodePhotoDataAt(std::span<const unsigned char> data, PixelSize shown);

}  // namespace quol::saver
