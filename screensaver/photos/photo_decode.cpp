#include "screensaver/photos/photo_decode.h"

#include <libexif/exif-data.h>
#include <png.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "screensaver/photos/photo_cache.h"
#include "screensaver/photos/photo_formats.h"
#include "screensaver/photos/photo_resample.h"

namespace quol::saver {
namespace {

using photo_formats::DecodeTarget;
using photo_formats::FitsBitmap;
using photo_formats::NewSurface;

// ---------------------------------------------------------------- helpers

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct TjDestroyer {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandlePtr = std::unique_ptr<void, TjDestroyer>;

struct ExifDataUnref {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataUnref>;

struct CairoDestroyer {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDestroyer>;

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t ReadBigEndian32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::uint16_t ReadBigEndian16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// ---------------------------------------------------------------- JPEG

// What the markers before the first scan tell about a JPEG.
struct JpegLayout {
  std::span<const unsigned char> exif;  // APP1 payload from "Exif\0\0" on
  bool frame_found = false;
  bool scan_found = false;
  bool progressive = false;
  bool adobe = false;  // an Adobe APP14 segment: CMYK stored inverted
  int frame_width = 0;
  int frame_height = 0;
  int scan_components = 0;
  struct Component {
    int h = 1;
    int v = 1;
  };
  std::vector<Component> components;
};

JpegLayout ScanJpegMarkers(std::span<const unsigned char> data) {
  JpegLayout layout;
  std::size_t pos = 2;  // after SOI
  while (pos + 4 <= data.size()) {
    if (data[pos] != 0xFF) break;
    unsigned char marker = data[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += 2;
      continue;
    }
    if (marker == 0xD9) break;
    std::size_t length = ReadBigEndian16(&data[pos + 2]);
    if (length < 2 || pos + 2 + length > data.size()) break;
    std::span<const unsigned char> segment = data.subspan(pos + 4, length - 2);
    if (marker == 0xE1 && layout.exif.empty() && segment.size() >= 6 &&
        std::memcmp(segment.data(), "Exif\0\0", 6) == 0) {
      layout.exif = segment;
    } else if (marker == 0xEE && segment.size() >= 12 &&
               std::memcmp(segment.data(), "Adobe", 5) == 0) {
      layout.adobe = true;
    } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
               marker != 0xCC && !layout.frame_found) {
      layout.frame_found = true;
      layout.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      if (segment.size() >= 6) {
        layout.frame_height = ReadBigEndian16(&segment[1]);
        layout.frame_width = ReadBigEndian16(&segment[3]);
        std::size_t count = segment[5];
        for (std::size_t i = 0; i < count && 6 + 3 * i + 2 < segment.size(); ++i) {
          unsigned char factors = segment[6 + 3 * i + 1];
          int h = std::clamp(factors >> 4, 1, 4);
          int v = std::clamp(factors & 0x0F, 1, 4);
          layout.components.push_back({h, v});
        }
      }
    } else if (marker == 0xDA) {
      layout.scan_found = true;
      if (!segment.empty()) layout.scan_components = segment[0];
      break;
    }
    pos += 2 + length;
  }
  return layout;
}

// The memory libjpeg keeps for the whole image's DCT coefficients when the
// image is progressive or split over several scans; 0 for a single
// interleaved scan, which is decoded a row of blocks at a time.
std::uint64_t WholeImageCoefficientBytes(const JpegLayout& layout, int width, int height) {
  std::uint64_t w = static_cast<std::uint64_t>(width);
  std::uint64_t h = static_cast<std::uint64_t>(height);
  if (!layout.frame_found || !layout.scan_found || layout.components.empty()) {
    return w * h * 3 * 2;  // unknown: assume the worst of the usual layouts
  }
  bool multi_scan = layout.scan_components < static_cast<int>(layout.components.size());
  if (!layout.progressive && !multi_scan) return 0;
  int h_max = 1, v_max = 1;
  for (const auto& c : layout.components) {
    h_max = std::max(h_max, c.h);
    v_max = std::max(v_max, c.v);
  }
  std::uint64_t bytes = 0;
  for (const auto& c : layout.components) {
    std::uint64_t cw = (w * static_cast<std::uint64_t>(c.h) + h_max - 1) / h_max;
    std::uint64_t ch = (h * static_cast<std::uint64_t>(c.v) + v_max - 1) / v_max;
    std::uint64_t blocks_x = (cw + 7) / 8 + static_cast<std::uint64_t>(c.h);
    std::uint64_t blocks_y = (ch + 7) / 8 + static_cast<std::uint64_t>(c.v);
    bytes += blocks_x * blocks_y * 64 * 2;
  }
  return bytes;
}

// Turns the CMYK bytes TurboJPEG left in an ARGB32 bitmap into opaque RGB.
// `inverted`: 255 means no ink (what Adobe's applications write, and with
// them most CMYK files); otherwise 255 means full ink.
void CmykToRgbInPlace(cairo_surface_t* surface, bool inverted) {
  int width = cairo_image_surface_get_width(surface);
  int height = cairo_image_surface_get_height(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  std::size_t stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
  for (int y = 0; y < height; ++y) {
    unsigned char* row = data + stride * static_cast<std::size_t>(y);
    for (int x = 0; x < width; ++x) {
      unsigned char* p = row + static_cast<std::size_t>(x) * 4;
      std::uint32_t c = p[0], m = p[1], ye = p[2], k = p[3];
      if (!inverted) {
        c = 255 - c;
        m = 255 - m;
        ye = 255 - ye;
        k = 255 - k;
      }
      // Now 255 means no ink: each channel is what the ink lets through.
      std::uint32_t r = (c * k + 127) / 255;
      std::uint32_t g = (m * k + 127) / 255;
      std::uint32_t b = (ye * k + 127) / 255;
      std::uint32_t pixel = 0xFF000000u | (r << 16) | (g << 8) | b;
      std::memcpy(p, &pixel, sizeof pixel);
    }
  }
}

bool ReadWholeFile(std::FILE* file, std::vector<unsigned char>* data) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size <= 0 || static_cast<std::uint64_t>(info.st_size) > kMaxJpegFileBytes) {
    return false;
  }
  data->resize(static_cast<std::size_t>(info.st_size));
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  std::size_t got = std::fread(data->data(), 1, data->size(), file);
  data->resize(got);
  return got > 0;
}

DecodedPhoto DecodeJpeg(std::span<const unsigned char> data, const DecodeTarget& wanted) {
  DecodedPhoto result;
  TjHandlePtr tj(tjInitDecompress());
  if (!tj) return result;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.get(), data.data(), static_cast<unsigned long>(data.size()), &width,
                          &height, &subsampling, &colorspace) != 0) {
    return result;
  }
  if (width <= kMinPhotoSide || height <= kMinPhotoSide) return result;
  if (width > kMaxJpegSide || height > kMaxJpegSide) return result;
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxJpegPixels) {
    return result;
  }
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
  // Portrait-stored photos are shown as stored.
  const int rotate_flip =
      width > height ? RotateFlipForOrientation(JpegExifOrientation(data)) : 0;
  std::optional<PixelSize> target = wanted.StoredSize(width, height, rotate_flip);
  if (!target) return result;

  JpegLayout layout = ScanJpegMarkers(data);
  if (WholeImageCoefficientBytes(layout, width, height) > kMaxCoefficientBytes) return result;

  tjscalingfactor chosen{1, JpegScaleDenominator(width, height, *target)};
  int decoded_width = TJSCALED(width, chosen);
  int decoded_height = TJSCALED(height, chosen);
  if (!FitsBitmap(decoded_width, decoded_height, kMaxDecodeBytes)) return result;

  CairoSurfacePtr decoded = NewSurface(decoded_width, decoded_height);
  if (!decoded) return result;
  cairo_surface_flush(decoded.get());
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr int kPixelFormat = TJPF_BGRA;  // ARGB32 words as bytes
#else
  constexpr int kPixelFormat = TJPF_ARGB;
#endif
  // TurboJPEG turns CMYK and YCCK files only into CMYK pixels; those have
  // four bytes too, so they land in the bitmap itself and are turned into
  // RGB there, with no second buffer.
  // Any warning (a truncated or damaged file) fails the load rather than
  // showing a half-grey photo.
  if (tjDecompress2(tj.get(), data.data(), static_cast<unsigned long>(data.size()),
                    cairo_image_surface_get_data(decoded.get()), decoded_width,
                    cairo_image_surface_get_stride(decoded.get()), decoded_height,
                    cmyk ? TJPF_CMYK : kPixelFormat,
                    TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0) {
    return result;
  }
  if (cmyk) {
    // YCCK is always written inverted (it comes from Adobe's transform).
    CmykToRgbInPlace(decoded.get(), layout.adobe || colorspace == TJCS_YCCK);
  }
  cairo_surface_mark_dirty(decoded.get());

  // One resampling step from the DCT-scaled pixels to the final size.
  CairoSurfacePtr reduced = decoded_width == target->width && decoded_height == target->height
                                ? std::move(decoded)
                                : ResampleSurface(decoded.get(), *target);
  if (!reduced) return result;
  decoded.reset();

  if (rotate_flip != 0) {
    reduced = ApplyRotateFlip(reduced.get(), rotate_flip);
    if (!reduced) return result;
  }
  result.surface = std::move(reduced);
  result.rotate_flip = rotate_flip;
  return result;
}

// ---------------------------------------------------------------- PNG

// Turns libpng's straight-alpha RGBA rows into premultiplied ARGB32 pixels
// and streams them into the resampler, so that only one row of the full
// image is ever held.
class PngRowFeeder {
 public:
  PngRowFeeder(std::uint32_t width, std::uint32_t height, cairo_surface_t* target)
      : resampler_(static_cast<int>(width), static_cast<int>(height), target),
        row_(static_cast<std::size_t>(width) * 4) {}

  bool ok() const { return resampler_.ok(); }
  bool complete() const { return resampler_.complete(); }

  void AddRow(const unsigned char* rgba) {
    const std::size_t width = row_.size() / 4;
    for (std::size_t x = 0; x < width; ++x) {
      const unsigned char* p = rgba + x * 4;
      std::uint32_t a = p[3];
      std::uint32_t r = (p[0] * a + 127) / 255;
      std::uint32_t g = (p[1] * a + 127) / 255;
      std::uint32_t b = (p[2] * a + 127) / 255;
      std::uint32_t pixel = (a << 24) | (r << 16) | (g << 8) | b;
      std::memcpy(&row_[x * 4], &pixel, sizeof pixel);
    }
    resampler_.AddRow(row_.data());
  }

 private:
  PhotoResampler resampler_;
  std::vector<unsigned char> row_;
};

struct PngReadDestroyer {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngReadDestroyer() {
    if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  }
};

struct PngHeader {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int interlace = 0;
};

// libpng reports errors by longjmp to the setjmp in the function that made
// the failing call. The functions holding a setjmp below keep only plain
// locals and call nothing with destructors between libpng calls, so the jump
// skips no C++ cleanup.
[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

bool PngReadHeader(png_structp png, png_infop info, std::FILE* file, PngHeader* header) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_sig_bytes(png, 8);
  png_set_user_limits(png, 1000000, 1000000);
  png_set_chunk_malloc_max(png, 8u << 20);
  png_read_info(png, info);
  header->width = png_get_image_width(png, info);
  header->height = png_get_image_height(png, info);
  header->interlace = png_get_interlace_type(png, info);
  return true;
}

// Asks libpng for 8-bit RGBA rows; false unless rows of width * 4 bytes
// will arrive.
bool PngRequestRgba(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  int color_type = png_get_color_type(png, info);
  int bit_depth = png_get_bit_depth(png, info);
  bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (color_type == PNG_COLOR_TYPE_PALETTE || bit_depth < 8 || has_trns) png_set_expand(png);
  if (bit_depth == 16) png_set_scale_16(png);
  if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
    png_set_gray_to_rgb(png);
  }
  if ((color_type & PNG_COLOR_MASK_ALPHA) == 0 && !has_trns) {
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return png_get_bit_depth(png, info) == 8 && png_get_channels(png, info) == 4 &&
         png_get_rowbytes(png, info) == static_cast<std::size_t>(png_get_image_width(png, info)) * 4;
}

using PngRowSink = void (*)(void* context, const unsigned char* row);

bool PngReadRows(png_structp png, unsigned char* row, png_uint_32 height, PngRowSink sink,
                 void* context) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (png_uint_32 y = 0; y < height; ++y) {
    png_read_row(png, row, nullptr);
    sink(context, row);
  }
  return true;
}

bool PngReadImage(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  return true;
}

void AddRowToFeeder(void* feeder, const unsigned char* row) {
  static_cast<PngRowFeeder*>(feeder)->AddRow(row);
}

// `file` is positioned after the signature.
DecodedPhoto DecodePng(std::FILE* file, const DecodeTarget& wanted) {
  DecodedPhoto result;
  PngReadDestroyer handles;
  handles.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (handles.png == nullptr) return result;
  handles.info = png_create_info_struct(handles.png);
  if (handles.info == nullptr) return result;

  PngHeader header;
  if (!PngReadHeader(handles.png, handles.info, file, &header)) return result;
  if (header.width <= static_cast<png_uint_32>(kMinPhotoSide) ||
      header.height <= static_cast<png_uint_32>(kMinPhotoSide)) {
    return result;
  }
  if (static_cast<std::uint64_t>(header.width) * header.height > kMaxPngPixels) return result;
  int width = static_cast<int>(header.width);
  int height = static_cast<int>(header.height);
  // PNG photos carry no orientation.
  std::optional<PixelSize> target = wanted.StoredSize(width, height, 0);
  if (!target) return result;
  if (!PngRequestRgba(handles.png, handles.info)) return result;

  CairoSurfacePtr surface = NewSurface(target->width, target->height);
  if (!surface) return result;
  cairo_surface_flush(surface.get());
  PngRowFeeder reducer(header.width, header.height, surface.get());
  if (!reducer.ok()) return result;
  std::size_t row_bytes = static_cast<std::size_t>(header.width) * 4;
  if (header.interlace == PNG_INTERLACE_NONE) {
    std::vector<unsigned char> row(row_bytes);
    if (!PngReadRows(handles.png, row.data(), header.height, AddRowToFeeder, &reducer)) {
      return result;
    }
  } else {
    // Interlaced rows are only whole after the last pass, so the image is
    // read whole; only sizes within the decode limit are accepted.
    if (!FitsBitmap(width, height, kMaxDecodeBytes)) return result;
    std::vector<unsigned char> image(row_bytes * header.height);
    std::vector<png_bytep> rows(header.height);
    for (png_uint_32 y = 0; y < header.height; ++y) rows[y] = image.data() + row_bytes * y;
    if (!PngReadImage(handles.png, rows.data())) return result;
    for (png_uint_32 y = 0; y < header.height; ++y) reducer.AddRow(rows[y]);
  }
  if (!reducer.complete()) return result;
  cairo_surface_mark_dirty(surface.get());
  result.surface = std::move(surface);
  return result;
}

}  // namespace

// ---------------------------------------------------------------- shared

namespace photo_formats {

CairoSurfacePtr NewSurface(int width, int height) {
  CairoSurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  return surface;
}

std::optional<PixelSize> DecodeTarget::StoredSize(int width, int height, int rotate_flip) const {
  std::optional<PixelSize> size;
  if (place) {
    size = (rotate_flip & 1) != 0 ? PixelSize{place->height, place->width} : *place;
  } else {
    size = ReducedSize(width, height, screen_width, screen_height);
  }
  if (!size || !FitsBitmap(size->width, size->height, kMaxBitmapBytes)) return std::nullopt;
  return size;
}

DecodedPhoto DecodeJpegData(std::span<const unsigned char> data, const DecodeTarget& wanted) {
  if (data.size() < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF ||
      data.size() > kMaxJpegFileBytes) {
    return {};
  }
  return DecodeJpeg(data, wanted);
}

bool MemorySource::ReadAt(std::uint64_t offset, std::span<unsigned char> out) {
  if (offset > data_.size() || out.size() > data_.size() - offset) return false;
  if (!out.empty()) std::memcpy(out.data(), data_.data() + offset, out.size());
  return true;
}

FileSource::FileSource(std::FILE* file) : file_(file) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    size_ = static_cast<std::uint64_t>(info.st_size);
  }
}

bool FileSource::ReadAt(std::uint64_t offset, std::span<unsigned char> out) {
  if (offset > size_ || out.size() > size_ - offset) return false;
  if (::fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(out.data(), 1, out.size(), file_) == out.size();
}

}  // namespace photo_formats

// ---------------------------------------------------------------- public

std::optional<PixelSize> ReducedSize(int width, int height, int screen_width, int screen_height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  std::uint64_t w = static_cast<std::uint64_t>(width);
  std::uint64_t h = static_cast<std::uint64_t>(height);
  std::uint64_t screen = static_cast<std::uint64_t>(std::max(screen_width, 0)) *
                         static_cast<std::uint64_t>(std::max(screen_height, 0));
  std::uint64_t pixels = w * h;
  std::uint64_t target_width = w;
  std::uint64_t target_height = h;
  if (pixels <= screen) {
    // Shown at its own size.
  } else if (pixels <= kThumbnailPixels) {
    target_width = static_cast<std::uint64_t>(std::max(screen_width, 0) / 2);
    target_height = target_width * h / w;
  } else {
    target_width = kThumbnailWidth;
    target_height = h * kThumbnailWidth / w;
  }
  if (target_width == 0 || target_height == 0 || target_width > 0x7FFFFFFF ||
      target_height > 0x7FFFFFFF) {
    return std::nullopt;
  }
  return PixelSize{static_cast<int>(target_width), static_cast<int>(target_height)};
}

int JpegScaleDenominator(int width, int height, PixelSize target) {
  int factor_count = 0;
  tjscalingfactor* factors = tjGetScalingFactors(&factor_count);
  int chosen = 1;
  for (int i = 0; factors != nullptr && i < factor_count; ++i) {
    tjscalingfactor f = factors[i];
    if (f.num != 1 || (f.denom != 2 && f.denom != 4 && f.denom != 8)) continue;
    if (TJSCALED(width, f) >= target.width && TJSCALED(height, f) >= target.height &&
        f.denom > chosen) {
      chosen = f.denom;
    }
  }
  return chosen;
}

int RotateFlipForOrientation(int orientation) {
  switch (orientation) {
    case 2: return 4;
    case 3: return 2;
    case 4: return 6;
    case 5: return 5;
    case 6: return 1;
    case 7: return 7;
    case 8: return 3;
    default: return 0;
  }
}

namespace {

// The orientation tag of an EXIF block that starts with "Exif\0\0".
int OrientationOfExifBlock(std::span<const unsigned char> block) {
  if (block.empty() || block.size() > 0xFFFF) return 0;
  ExifDataPtr exif(exif_data_new());
  if (!exif) return 0;
  // Read the tags exactly as stored: every libexif option (1, 2, 4) off, so
  // nothing is added, converted or dropped while loading.
  for (int option = 1; option <= 4; option <<= 1) {
    exif_data_unset_option(exif.get(), static_cast<ExifDataOption>(option));
  }
  exif_data_load_data(exif.get(), block.data(), static_cast<unsigned int>(block.size()));
  ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->components != 1 ||
      entry->data == nullptr || entry->size < 2) {
    return 0;
  }
  return exif_get_short(entry->data, exif_data_get_byte_order(exif.get()));
}

bool StartsWithTiffHeader(std::span<const unsigned char> data) {
  return data.size() >= 4 && ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
                              (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42));
}

}  // namespace

int JpegExifOrientation(std::span<const unsigned char> jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return 0;
  JpegLayout layout = ScanJpegMarkers(jpeg);
  return OrientationOfExifBlock(layout.exif);
}

int photo_formats::ExifOrientationOf(std::span<const unsigned char> exif) {
  constexpr std::size_t kMaxExifBytes = 0xFFFF - 8;
  if (exif.size() >= 6 && std::memcmp(exif.data(), "Exif\0\0", 6) == 0) {
    return OrientationOfExifBlock(exif);
  }
  std::span<const unsigned char> tiff;
  // HEIF's Exif item: a 4-byte big-endian offset from its end to the TIFF
  // header (0, or 6 past an "Exif\0\0", as most writers put it).
  const std::uint64_t offset =
      exif.size() >= 4 ? (static_cast<std::uint64_t>(exif[0]) << 24) |
                             (static_cast<std::uint64_t>(exif[1]) << 16) |
                             (static_cast<std::uint64_t>(exif[2]) << 8) | exif[3]
                       : 0;
  if (StartsWithTiffHeader(exif)) {
    tiff = exif;
  } else if (exif.size() >= 8 && offset <= exif.size() - 8 &&
             StartsWithTiffHeader(exif.subspan(4 + offset))) {
    tiff = exif.subspan(4 + offset);
  } else if (exif.size() >= 8 && StartsWithTiffHeader(exif.subspan(4))) {
    tiff = exif.subspan(4);  // an offset that is wrong but the header right after it
  } else if (exif.size() >= 10 && std::memcmp(exif.data() + 4, "Exif\0\0", 6) == 0) {
    return OrientationOfExifBlock(exif.subspan(4));
  } else {
    return 0;
  }
  if (tiff.size() > kMaxExifBytes) return 0;
  // libexif wants the block as JPEG carries it.
  std::vector<unsigned char> block(6 + tiff.size());
  std::memcpy(block.data(), "Exif\0\0", 6);
  std::memcpy(block.data() + 6, tiff.data(), tiff.size());
  return OrientationOfExifBlock(block);
}

CairoSurfacePtr ApplyRotateFlip(cairo_surface_t* source, int rotate_flip) {
  int width = cairo_image_surface_get_width(source);
  int height = cairo_image_surface_get_height(source);
  int rotation = rotate_flip & 3;
  bool flip = (rotate_flip & 4) != 0;
  bool swap = (rotation & 1) != 0;
  int out_width = swap ? height : width;
  int out_height = swap ? width : height;
  CairoSurfacePtr target = NewSurface(out_width, out_height);
  if (!target) return nullptr;
  cairo_surface_flush(source);
  cairo_surface_flush(target.get());
  const unsigned char* in = cairo_image_surface_get_data(source);
  unsigned char* out = cairo_image_surface_get_data(target.get());
  std::size_t in_stride = static_cast<std::size_t>(cairo_image_surface_get_stride(source));
  std::size_t out_stride = static_cast<std::size_t>(cairo_image_surface_get_stride(target.get()));
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(in + in_stride * y);
    for (int x = 0; x < width; ++x) {
      int dx = x, dy = y;
      switch (rotation) {
        case 1: dx = height - 1 - y; dy = x; break;
        case 2: dx = width - 1 - x; dy = height - 1 - y; break;
        case 3: dx = y; dy = width - 1 - x; break;
        default: break;
      }
      if (flip) dx = out_width - 1 - dx;
      reinterpret_cast<std::uint32_t*>(out + out_stride * dy)[dx] = row[x];
    }
  }
  cairo_surface_mark_dirty(target.get());
  return target;
}

// Opens a photo for reading only when it is a regular file. The open itself
// does not wait: a FIFO under a photo's name would otherwise hold the builder
// until someone writes into it.
FilePtr OpenRegularFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  FilePtr file(::fdopen(fd, "rb"));
  if (!file) ::close(fd);
  return file;
}

namespace {

// The bytes a file kind is told by: enough for every signature, HEIF's
// brands included.
constexpr std::size_t kSignatureBytes = 64;

DecodedPhoto DecodeFile(const std::string& path, const DecodeTarget& wanted) {
  FilePtr file = OpenRegularFile(path);
  if (!file) return {};
  unsigned char start[kSignatureBytes] = {};
  const std::size_t got = std::fread(start, 1, sizeof start, file.get());
  if (got < sizeof kPngSignature) return {};
  const std::span<const unsigned char> signature(start, got);
  if (std::memcmp(start, kPngSignature, sizeof kPngSignature) == 0) {
    if (std::fseek(file.get(), sizeof kPngSignature, SEEK_SET) != 0) return {};
    return DecodePng(file.get(), wanted);
  }
  if (start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF) {
    std::vector<unsigned char> data;
    if (!ReadWholeFile(file.get(), &data)) return {};
    file.reset();
    return DecodeJpeg(data, wanted);
  }
  if (photo_formats::LooksLikeHeif(signature)) {
    return photo_formats::DecodeHeifFile(path, file.get(), wanted);
  }
  if (photo_formats::LooksLikeWebp(signature)) {
    photo_formats::FileSource source(file.get());
    return photo_formats::DecodeWebp(source, wanted);
  }
  return {};
}

DecodedPhoto DecodeData(std::span<const unsigned char> data, const DecodeTarget& wanted) {
  if (data.size() < sizeof kPngSignature) return {};
  if (std::memcmp(data.data(), kPngSignature, sizeof kPngSignature) == 0) {
    // libpng reads through stdio; a memory stream serves the same calls.
    FilePtr file(::fmemopen(const_cast<unsigned char*>(data.data()), data.size(), "rb"));
    if (!file || std::fseek(file.get(), sizeof kPngSignature, SEEK_SET) != 0) return {};
    return DecodePng(file.get(), wanted);
  }
  if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF && data.size() <= kMaxJpegFileBytes) {
    return DecodeJpeg(data, wanted);
  }
  if (photo_formats::LooksLikeHeif(data)) {
    photo_formats::MemorySource source(data);
    return photo_formats::DecodeHeif(source, wanted);
  }
  if (photo_formats::LooksLikeWebp(data)) {
    photo_formats::MemorySource source(data);
    return photo_formats::DecodeWebp(source, wanted);
  }
  return {};
}

bool Placeable(PixelSize shown) { return shown.width > 0 && shown.height > 0; }

std::optional<PhotoHeader> JpegHeader(std::span<const unsigned char> prefix) {
  JpegLayout layout = ScanJpegMarkers(prefix);
  if (!layout.frame_found) return std::nullopt;
  const int width = layout.frame_width;
  const int height = layout.frame_height;
  if (width <= kMinPhotoSide || height <= kMinPhotoSide || width > kMaxJpegSide ||
      height > kMaxJpegSide ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxJpegPixels) {
    return std::nullopt;
  }
  PhotoHeader header;
  header.stored = PixelSize{width, height};
  header.rotate_flip = width > height ? RotateFlipForOrientation(JpegExifOrientation(prefix)) : 0;
  return header;
}

// From the signature and the IHDR chunk, the first 24 bytes.
std::optional<PhotoHeader> PngHeaderFrom(std::span<const unsigned char> start) {
  if (start.size() < 24 || std::memcmp(start.data() + 12, "IHDR", 4) != 0) return std::nullopt;
  const std::uint32_t width = ReadBigEndian32(start.data() + 16);
  const std::uint32_t height = ReadBigEndian32(start.data() + 20);
  // The decoder's own row limit is 1000000 pixels each way.
  if (width <= static_cast<std::uint32_t>(kMinPhotoSide) ||
      height <= static_cast<std::uint32_t>(kMinPhotoSide) || width > 1000000 ||
      height > 1000000 || static_cast<std::uint64_t>(width) * height > kMaxPngPixels) {
    return std::nullopt;
  }
  PhotoHeader header;
  header.stored = PixelSize{static_cast<int>(width), static_cast<int>(height)};
  return header;
}

// JPEG headers are read from the file's start in growing steps: the frame
// header usually sits within the first few kilobytes, after the Exif block.
constexpr std::size_t kFirstHeaderRead = 64u << 10;
constexpr std::size_t kMaxHeaderRead = 4u << 20;

}  // namespace

PixelSize PhotoHeader::shown() const {
  return (rotate_flip & 1) != 0 ? PixelSize{stored.height, stored.width} : stored;
}

std::optional<PhotoHeader> ReadPhotoHeaderData(std::span<const unsigned char> data) {
  if (data.size() >= sizeof kPngSignature &&
      std::memcmp(data.data(), kPngSignature, sizeof kPngSignature) == 0) {
    return PngHeaderFrom(data);
  }
  if (data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
    return JpegHeader(data.first(std::min(data.size(), kMaxHeaderRead)));
  }
  if (photo_formats::LooksLikeHeif(data)) {
    photo_formats::MemorySource source(data);
    return photo_formats::ReadHeifHeader(source);
  }
  if (photo_formats::LooksLikeWebp(data)) {
    photo_formats::MemorySource source(data);
    return photo_formats::ReadWebpHeader(source);
  }
  return std::nullopt;
}

std::optional<PhotoHeader> ReadPhotoHeader(const std::string& path) {
  FilePtr file = OpenRegularFile(path);
  if (!file) return std::nullopt;
  std::vector<unsigned char> prefix;
  for (std::size_t want = kFirstHeaderRead; want <= kMaxHeaderRead; want *= 4) {
    const std::size_t have = prefix.size();
    prefix.resize(want);
    const std::size_t got = std::fread(prefix.data() + have, 1, want - have, file.get());
    prefix.resize(have + got);
    const bool whole_file = have + got < want;
    // HEIF and WebP headers are read by walking their boxes and chunks in
    // the file itself, whatever lies between them.
    if (have == 0 && photo_formats::LooksLikeHeif(prefix)) {
      photo_formats::FileSource source(file.get());
      return photo_formats::ReadHeifHeader(source);
    }
    if (have == 0 && photo_formats::LooksLikeWebp(prefix)) {
      photo_formats::FileSource source(file.get());
      return photo_formats::ReadWebpHeader(source);
    }
    if (prefix.size() >= 3 && prefix[0] == 0xFF && prefix[1] == 0xD8 && prefix[2] == 0xFF &&
        !whole_file && !ScanJpegMarkers(prefix).frame_found) {
      continue;  // the frame header lies further on
    }
    return ReadPhotoHeaderData(prefix);
  }
  return std::nullopt;
}

DecodedPhoto DecodePhotoFile(const std::string& path, int screen_width, int screen_height) {
  return DecodeFile(path, DecodeTarget{std::nullopt, screen_width, screen_height});
}

DecodedPhoto DecodePhotoData(std::span<const unsigned char> data, int screen_width,
                             int screen_height) {
  return DecodeData(data, DecodeTarget{std::nullopt, screen_width, screen_height});
}

DecodedPhoto DecodePhotoFileAt(const std::string& path, PixelSize shown) {
  if (!Placeable(shown)) return {};
  return DecodeFile(path, DecodeTarget{shown, 0, 0});
}

DecodedPhoto DecodePhotoDataAt(std::span<const unsigned char> data, PixelSize shown) {
  if (!Placeable(shown)) return {};
  return DecodeData(data, DecodeTarget{shown, 0, 0});
}

}  // namespace quol::saver
