// Photo files (JPEG with EXIF, PNG) decoded as the collage loads them: the
// header read that lays collages out, decoding straight to a place's size
// (shrunk, enlarged and odd shapes), and the screen-sized load on a full-HD
// and a small screen (which takes the reduced and thumbnail paths).
#include <cairo.h>

#include <algorithm>
#include <optional>
#include <span>

#include "fuzz/fuzz_support.h"
#include "screensaver/photos/photo_decode.h"

namespace {

void Check(const quol::saver::DecodedPhoto& photo) {
  if (!photo.surface) return;
  cairo_surface_t* surface = photo.surface.get();
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  if (width <= 0 || height <= 0 ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 >
          quol::saver::kMaxBitmapBytes) {
    quol::fuzz::Broken("a kept bitmap is outside its bounds");
  }
  if (photo.rotate_flip < 0 || photo.rotate_flip > 7) quol::fuzz::Broken("bad rotate-flip code");
  // Touch every row the way drawing would.
  cairo_surface_flush(surface);
  const unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  unsigned sum = 0;
  for (int y = 0; y < height; ++y) sum += pixels[static_cast<std::size_t>(stride) * y];
  (void)sum;
}

void Decode(std::span<const unsigned char> bytes, int screen_width, int screen_height) {
  Check(quol::saver::DecodePhotoData(bytes, screen_width, screen_height));
}

void DecodeAtPlaces(std::span<const unsigned char> bytes) {
  const std::optional<quol::saver::PhotoHeader> header = quol::saver::ReadPhotoHeaderData(bytes);
  if (!header) return;
  const quol::saver::PixelSize shown = header->shown();
  if (shown.width <= 0 || shown.height <= 0) quol::fuzz::Broken("a header with no size");
  // Places as a collage hands them out: half size, a little larger than the
  // photo, and a strip of another shape.
  const quol::saver::PixelSize places[] = {
      {std::max(1, shown.width / 2), std::max(1, shown.height / 2)},
      {std::min(shown.width + 7, 2000), std::min(shown.height + 5, 2000)},
      {97, 13}};
  for (const quol::saver::PixelSize& place : places) {
    quol::saver::DecodedPhoto photo = quol::saver::DecodePhotoDataAt(bytes, place);
    if (photo.surface && (cairo_image_surface_get_width(photo.surface.get()) <= 0 ||
                          cairo_image_surface_get_height(photo.surface.get()) <= 0)) {
      quol::fuzz::Broken("an empty bitmap for a place");
    }
    Check(photo);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  const std::span<const unsigned char> bytes(data, size);
  quol::saver::JpegExifOrientation(bytes);
  DecodeAtPlaces(bytes);
  Decode(bytes, 1920, 1080);
  Decode(bytes, 320, 240);
  return 0;
}
