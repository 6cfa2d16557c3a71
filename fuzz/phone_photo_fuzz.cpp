// Phone photo files (HEIC and AVIF through libheif, WebP still and animated
// through libwebp) decoded as the collage loads them: the header read that
// lays collages out, decoding straight to a place's size (which may take the
// embedded HEIF thumbnail, the WebP scaler, the colour conversion and the
// 10-bit reduction), and the screen-sized load. Inputs that carry neither
// signature are given one, so the fuzzer's time goes into the boxes and
// chunks rather than into finding the first twelve bytes.
#include <cairo.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "screensaver/photos/photo_decode.h"

namespace {

void Check(const quol::saver::DecodedPhoto& photo, std::optional<quol::saver::PixelSize> place) {
  if (!photo.surface) return;
  cairo_surface_t* surface = photo.surface.get();
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  if (width <= 0 || height <= 0 ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 >
          quol::saver::kMaxBitmapBytes) {
    quol::fuzz::Broken("a kept bitmap is outside its bounds");
  }
  if (place && (width != place->width || height != place->height)) {
    quol::fuzz::Broken("a placed photo is not its place's size");
  }
  if (photo.rotate_flip < 0 || photo.rotate_flip > 7) quol::fuzz::Broken("bad rotate-flip code");
  cairo_surface_flush(surface);
  const unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  unsigned sum = 0;
  for (int y = 0; y < height; ++y) sum += pixels[static_cast<std::size_t>(stride) * y];
  (void)sum;
}

// An ftyp box naming HEIC, or a RIFF header naming WebP, in front of the
// input, chosen by its first byte.
std::vector<unsigned char> WithSignature(std::span<const unsigned char> bytes) {
  static const unsigned char kHeic[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c',
                                        0, 0, 0, 0,  'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
  std::vector<unsigned char> out;
  if (!bytes.empty() && (bytes[0] & 1) != 0) {
    out.assign(std::begin(kHeic), std::end(kHeic));
  } else {
    const std::uint32_t size = static_cast<std::uint32_t>(bytes.size() + 4);
    const unsigned char riff[12] = {'R', 'I', 'F', 'F',
                                    static_cast<unsigned char>(size),
                                    static_cast<unsigned char>(size >> 8),
                                    static_cast<unsigned char>(size >> 16),
                                    static_cast<unsigned char>(size >> 24),
                                    'W', 'E', 'B', 'P'};
    out.assign(std::begin(riff), std::end(riff));
  }
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

bool HasSignature(std::span<const unsigned char> bytes) {
  if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0) return true;
  return bytes.size() >= 12 && std::memcmp(bytes.data() + 4, "ftyp", 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  std::span<const unsigned char> bytes(data, size);
  std::vector<unsigned char> signed_bytes;
  if (!HasSignature(bytes)) {
    signed_bytes = WithSignature(bytes);
    bytes = signed_bytes;
  }
  if (const std::optional<quol::saver::PhotoHeader> header =
          quol::saver::ReadPhotoHeaderData(bytes)) {
    const quol::saver::PixelSize shown = header->shown();
    if (shown.width <= quol::saver::kMinPhotoSide || shown.height <= quol::saver::kMinPhotoSide) {
      quol::fuzz::Broken("a header below the smallest side");
    }
    // Half size (a thumbnail may serve it), a little larger than the photo,
    // and a strip of another shape.
    const quol::saver::PixelSize places[] = {
        {std::max(1, shown.width / 2), std::max(1, shown.height / 2)},
        {std::min(shown.width + 7, 2000), std::min(shown.height + 5, 2000)},
        {97, 13}};
    for (const quol::saver::PixelSize& place : places) {
      Check(quol::saver::DecodePhotoDataAt(bytes, place), place);
    }
  }
  Check(quol::saver::DecodePhotoData(bytes, 1920, 1080), std::nullopt);
  return 0;
}

// libheif 1.15's AV1 plugin hands dav1d an empty data buffer for an AV1 item
// without bytes and does not release what dav1d allocated for it (160 bytes
// each time, inside libdav1d). That is the libraries' leak, reached by
// broken files only; it is ignored so the fuzzer keeps looking for ours.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libdav1d.so\n";
}
