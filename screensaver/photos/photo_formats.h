// What the photo decoders of the different file kinds share: the size a
// photo is decoded to, bitmaps, random access to a file or to bytes in
// memory, and the entry points of the HEIF (HEIC, AVIF) and WebP decoders.
// Internal to screensaver/photos; the rest of the saver goes through
// photo_decode.h.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "screensaver/photos/photo_decode.h"

namespace quol::saver::photo_formats {

inline bool FitsBitmap(int width, int height, std::uint64_t limit) {
  return width > 0 && height > 0 &&
         static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 <= limit;
}

// An ARGB32 image surface, or nullptr.
CairoSurfacePtr NewSurface(int width, int height);

// The size a photo is decoded to. With a place: exactly the place's size
// (given as shown, after orientation), whatever the photo's own size, so
// that it is resampled once and drawn pixel for pixel. Without one (a photo
// loaded before it is placed): the reduction by the screen size, which
// bounds what a photo holds until its place is known.
struct DecodeTarget {
  std::optional<PixelSize> place;
  int screen_width = 0;
  int screen_height = 0;

  // The size in the file's own orientation, for a photo stored at
  // width x height that is turned by `rotate_flip` afterwards.
  std::optional<PixelSize> StoredSize(int width, int height, int rotate_flip) const;
};

// Random access to a photo's bytes, from a file or from memory: HEIF keeps
// its boxes anywhere in the file, and its headers are read without reading
// the image data between them.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Exactly out.size() bytes from `offset`; false when they are not all there.
  virtual bool ReadAt(std::uint64_t offset, std::span<unsigned char> out) = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const unsigned char> data) : data_(data) {}
  std::uint64_t size() const override { return data_.size(); }
  bool ReadAt(std::uint64_t offset, std::span<unsigned char> out) override;
  std::span<const unsigned char> data() const { return data_; }

 private:
  std::span<const unsigned char> data_;
};

// Over an open regular file; its size is taken once, when made.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(std::FILE* file);
  std::uint64_t size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::span<unsigned char> out) override;

 private:
  std::FILE* file_;
  std::uint64_t size_ = 0;
};

// The EXIF orientation in an EXIF block as other containers than JPEG carry
// it: a TIFF header ("II*\0" or "MM\0*"), possibly after "Exif\0\0" or after
// a 4-byte offset to the TIFF header (HEIF's Exif item). 0 when there is none.
int ExifOrientationOf(std::span<const unsigned char> exif);

// ---------------------------------------------------------------- HEIF

// An ISO base media file whose ftyp box names a HEIF brand (HEIC, HEIF,
// AVIF, their sequences): decided from its first bytes (at least 12, the
// brands within the first 64 are looked at).
bool LooksLikeHeif(std::span<const unsigned char> start);
std::optional<PhotoHeader> ReadHeifHeader(ByteSource& source);

// A reduced copy of a HEIF photo made by the same decode (for the photo
// cache): at `size` (as shown; it must cover the decode's own size), upright
// and in sRGB. Made only from the full image of an opaque photo; the decode
// is then resampled from the copy, never from fewer pixels than its size.
struct HeifCopy {
  PixelSize size;
  CairoSurfacePtr surface;  // nullptr when no copy was made
};
DecodedPhoto DecodeHeif(ByteSource& source, const DecodeTarget& wanted, HeifCopy* copy = nullptr);

// ---------------------------------------------------------------- JPEG

// A JPEG's bytes decoded as any JPEG photo is (DCT scaling, one resampling,
// EXIF orientation); the photo cache decodes its copies through it.
DecodedPhoto DecodeJpegData(std::span<const unsigned char> data, const DecodeTarget& wanted);

// ---------------------------------------------------------------- WebP

// "RIFF" <size> "WEBP": decided from the first 12 bytes.
bool LooksLikeWebp(std::span<const unsigned char> start);
std::optional<PhotoHeader> ReadWebpHeader(ByteSource& source);
DecodedPhoto DecodeWebp(ByteSource& source, const DecodeTarget& wanted);

}  // namespace quol::saver::photo_formats
