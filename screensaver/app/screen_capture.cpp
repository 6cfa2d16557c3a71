#include "screensaver/app/screen_capture.h"

#include <X11/Xutil.h>

#include <cstring>

#include "screensaver/x11/x_display.h"

namespace quol::saver {

SurfacePtr CaptureScreen(Display* display, int x, int y, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  XImage* image = nullptr;
  {
    XErrorTrap trap(display);
    image = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (trap.HasError() && image != nullptr) {
      XDestroyImage(image);
      image = nullptr;
    }
  }
  if (image == nullptr) return nullptr;
  SurfacePtr surface = MakeArgbSurface(width, height);
  if (surface && image->bits_per_pixel == 32) {
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int row = 0; row < height; ++row) {
      auto* out = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(row) * stride);
      const auto* in = reinterpret_cast<const std::uint32_t*>(
          image->data + static_cast<std::size_t>(row) * image->bytes_per_line);
      for (int col = 0; col < width; ++col) out[col] = in[col] | 0xFF000000u;
    }
    cairo_surface_mark_dirty(surface.get());
  } else if (surface) {
    // Other depths: pixel by pixel through the visual's masks.
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int row = 0; row < height; ++row) {
      auto* out = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(row) * stride);
      for (int col = 0; col < width; ++col) {
        const unsigned long p = XGetPixel(image, col, row);
        auto channel = [p](unsigned long mask) -> std::uint32_t {
          if (mask == 0) return 0;
          int shift = 0;
          while (((mask >> shift) & 1) == 0) ++shift;
          const unsigned long max = mask >> shift;
          return static_cast<std::uint32_t>(((p & mask) >> shift) * 255 / max);
        };
        out[col] = 0xFF000000u | channel(image->red_mask) << 16 | channel(image->green_mask) << 8 |
                   channel(image->blue_mask);
      }
    }
    cairo_surface_mark_dirty(surface.get());
  }
  XDestroyImage(image);
  return surface;
}

}  // namespace quol::saver
