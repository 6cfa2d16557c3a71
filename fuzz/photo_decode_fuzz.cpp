// Photo files (JPEG with EXIF, PNG) decoded as the collage loads them, on a
// full-HD and a small screen (which takes the reduced and thumbnail paths).
#include <cairo.h>

#include <span>

#include "fuzz/fuzz_support.h"
#include "screensaver/photos/photo_decode.h"

namespace {

void Decode(std::span<const unsigned char> bytes, int screen_width, int screen_height) {
  quol::saver::DecodedPhoto photo =
      quol::saver::DecodePhotoData(bytes, screen_width, screen_height);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  const std::span<const unsigned char> bytes(data, size);
  quol::saver::JpegExifOrientation(bytes);
  Decode(bytes, 1920, 1080);
  Decode(bytes, 320, 240);
  return 0;
}
