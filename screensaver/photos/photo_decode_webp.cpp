// WebP photos through libwebp: still images decoded straight to their
// place's size by libwebp's own scaler, animations (stickers, messaging
// apps) shown by their first frame, EXIF orientation applied as for JPEG,
// an embedded ICC profile converted to sRGB.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "screensaver/photos/photo_colour.h"
#include "screensaver/photos/photo_formats.h"
#include "screensaver/photos/photo_resample.h"

namespace quol::saver::photo_formats {
namespace {

// Chunks looked at in a header read, while searching the EXIF and ICCP
// chunks or counting an animation's frames (one chunk each). An animation
// whose chunks do not all fit within it is refused: libwebp's animation
// decoder parses every frame before it gives the first one.
constexpr int kMaxChunksWalked = 4096;
constexpr std::uint32_t kMaxExifChunkBytes = 0xFFFF - 8;
constexpr std::uint32_t kMaxIccChunkBytes = 4u << 20;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr WEBP_CSP_MODE kCairoMode = MODE_bgrA;  // premultiplied B, G, R, A bytes
#else
constexpr WEBP_CSP_MODE kCairoMode = MODE_Argb;
#endif

std::uint32_t ReadLittleEndian32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct WebpFacts {
  int width = 0;   // the canvas, for animations
  int height = 0;
  bool animated = false;
  int rotate_flip = 0;  // EXIF orientation, landscape-stored photos only (as JPEG)
  std::vector<unsigned char> icc;
};

bool WithinLimits(int width, int height) {
  return width > kMinPhotoSide && height > kMinPhotoSide &&
         static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kMaxWebpPixels;
}

// Size, animation flag, orientation and profile, reading only the first
// bytes and the chunk headers (plus the EXIF and ICCP chunks themselves).
std::optional<WebpFacts> ReadFacts(ByteSource& source) {
  if (source.size() < 20 || source.size() > kMaxWebpFileBytes) return std::nullopt;
  unsigned char start[64] = {};
  const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(source.size(), 64));
  if (!source.ReadAt(0, {start, first})) return std::nullopt;
  WebPBitstreamFeatures features{};
  if (WebPGetFeatures(start, first, &features) != VP8_STATUS_OK) return std::nullopt;
  WebpFacts facts;
  facts.width = features.width;
  facts.height = features.height;
  facts.animated = features.has_animation != 0;
  if (!WithinLimits(facts.width, facts.height)) return std::nullopt;
  // The animation decoder holds the whole canvas twice (the frame being
  // composed and the previous one): refused here already, so that a photo
  // that cannot be decoded is never given a place.
  if (facts.animated && !FitsBitmap(facts.width, facts.height, kMaxDecodeBytes / 2)) {
    return std::nullopt;
  }
  if (std::memcmp(start + 12, "VP8X", 4) != 0) return facts;  // no metadata chunks
  const unsigned char flags = start[20];
  const bool has_icc = (flags & 0x20) != 0;
  // An animation's orientation is not applied, so its EXIF is not looked for.
  const bool has_exif = (flags & 0x08) != 0 && !facts.animated;
  std::uint64_t at = 12;
  const std::uint64_t end = std::min<std::uint64_t>(source.size(), 8ull + ReadLittleEndian32(start + 4));
  int orientation = 0;
  int frames = 0;
  for (int walked = 0;
       walked < kMaxChunksWalked && at + 8 <= end && (has_icc || has_exif || facts.animated);
       ++walked) {
    unsigned char chunk[8];
    if (!source.ReadAt(at, {chunk, 8})) break;
    const std::uint32_t size = ReadLittleEndian32(chunk + 4);
    const std::uint64_t body = at + 8;
    if (size > end - body) break;
    if (std::memcmp(chunk, "ANMF", 4) == 0) ++frames;
    if (has_exif && std::memcmp(chunk, "EXIF", 4) == 0 && size <= kMaxExifChunkBytes) {
      std::vector<unsigned char> exif(size);
      if (source.ReadAt(body, exif)) orientation = ExifOrientationOf(exif);
      if (!has_icc || !facts.icc.empty()) break;
    } else if (has_icc && std::memcmp(chunk, "ICCP", 4) == 0 && size <= kMaxIccChunkBytes &&
               facts.icc.empty()) {
      facts.icc.resize(size);
      if (!source.ReadAt(body, facts.icc)) facts.icc.clear();
    }
    at = body + size + (size & 1);  // chunks are padded to even sizes
  }
  // A walk that stopped early (the bound, a chunk running past the end)
  // leaves `at` short of the end.
  if (facts.animated && (at + 8 <= end || frames == 0)) return std::nullopt;
  // Like JPEG: portrait-stored photos are shown as stored.
  if (!facts.animated && facts.width > facts.height) {
    facts.rotate_flip = RotateFlipForOrientation(orientation);
  }
  return facts;
}

// A still image decoded straight into a bitmap of `size` (stored
// orientation) by libwebp's scaler.
CairoSurfacePtr DecodeStill(std::span<const unsigned char> data, const WebpFacts& facts,
                            PixelSize size) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return nullptr;
  CairoSurfacePtr surface = NewSurface(size.width, size.height);
  if (!surface) return nullptr;
  cairo_surface_flush(surface.get());
  if (size.width != facts.width || size.height != facts.height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = size.width;
    config.options.scaled_height = size.height;
  }
  const int stride = cairo_image_surface_get_stride(surface.get());
  config.output.colorspace = kCairoMode;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = cairo_image_surface_get_data(surface.get());
  config.output.u.RGBA.stride = stride;
  config.output.u.RGBA.size = static_cast<std::size_t>(stride) * size.height;
  const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) return nullptr;
  cairo_surface_mark_dirty(surface.get());
  return surface;
}

struct AnimDecoderDelete {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};

// An animation's first frame, composed on its canvas, resampled to `size`.
CairoSurfacePtr DecodeFirstFrame(std::span<const unsigned char> data, PixelSize size) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return nullptr;
  options.color_mode = kCairoMode;
  options.use_threads = 0;
  const WebPData webp{data.data(), data.size()};
  std::unique_ptr<WebPAnimDecoder, AnimDecoderDelete> decoder(WebPAnimDecoderNew(&webp, &options));
  if (!decoder) return nullptr;
  WebPAnimInfo info{};
  if (!WebPAnimDecoderGetInfo(decoder.get(), &info) || info.frame_count < 1) return nullptr;
  const int width = static_cast<int>(info.canvas_width);
  const int height = static_cast<int>(info.canvas_height);
  // The decoder holds the whole canvas (twice, with the previous frame).
  if (!WithinLimits(width, height) || !FitsBitmap(width, height, kMaxDecodeBytes / 2)) {
    return nullptr;
  }
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || canvas == nullptr) {
    return nullptr;
  }
  // Cairo's ARGB32 stride is exactly four bytes a pixel, as the canvas is.
  if (cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width) != width * 4) return nullptr;
  CairoSurfacePtr frame(cairo_image_surface_create_for_data(canvas, CAIRO_FORMAT_ARGB32, width,
                                                            height, width * 4));
  if (cairo_surface_status(frame.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  CairoSurfacePtr result = size.width == width && size.height == height
                               ? CopySurface(frame.get())
                               : ResampleSurface(frame.get(), size);
  frame.reset();  // before the decoder that owns its pixels
  return result;
}

}  // namespace

bool LooksLikeWebp(std::span<const unsigned char> start) {
  return start.size() >= 12 && std::memcmp(start.data(), "RIFF", 4) == 0 &&
         std::memcmp(start.data() + 8, "WEBP", 4) == 0;
}

std::optional<PhotoHeader> ReadWebpHeader(ByteSource& source) {
  std::optional<WebpFacts> facts = ReadFacts(source);
  if (!facts) return std::nullopt;
  PhotoHeader header;
  header.stored = PixelSize{facts->width, facts->height};
  header.rotate_flip = facts->rotate_flip;
  return header;
}

DecodedPhoto DecodeWebp(ByteSource& source, const DecodeTarget& wanted) {
  DecodedPhoto result;
  std::optional<WebpFacts> facts = ReadFacts(source);
  if (!facts) return result;
  const std::optional<PixelSize> target =
      wanted.StoredSize(facts->width, facts->height, facts->rotate_flip);
  if (!target) return result;
  // libwebp decodes from memory; the file is within kMaxWebpFileBytes.
  std::vector<unsigned char> data(static_cast<std::size_t>(source.size()));
  if (!source.ReadAt(0, data)) return result;
  CairoSurfacePtr surface = facts->animated ? DecodeFirstFrame(data, *target)
                                            : DecodeStill(data, *facts, *target);
  if (!surface) return result;
  data = {};
  PhotoColourSpace space;
  space.icc = std::move(facts->icc);
  ConvertToSrgb(surface.get(), space);
  if (facts->rotate_flip != 0) {
    surface = ApplyRotateFlip(surface.get(), facts->rotate_flip);
    if (!surface) return result;
  }
  result.surface = std::move(surface);
  result.rotate_flip = facts->rotate_flip;
  return result;
}

}  // namespace quol::saver::photo_formats
