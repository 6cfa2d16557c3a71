// Pixel helpers for the widget tests.
#pragma once

#include <cairo.h>

#include <cstdint>

#include "screensaver/common/cairo_ptr.h"

namespace quol::saver::test {

struct Pixel {
  int a = 0, r = 0, g = 0, b = 0;  // premultiplied, as Cairo keeps them
};

inline Pixel PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const unsigned char* row =
      cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
  const std::uint32_t v = reinterpret_cast<const std::uint32_t*>(row)[x];
  return Pixel{static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
               static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)};
}

// The bounding box of the pixels for which `pick` is true; empty (width 0)
// when there are none.
struct Box {
  int x = 0, y = 0, width = 0, height = 0;
};

template <typename Pick>
Box BoundsOf(cairo_surface_t* surface, Pick pick) {
  const int w = cairo_image_surface_get_width(surface);
  const int h = cairo_image_surface_get_height(surface);
  int x0 = w, y0 = h, x1 = -1, y1 = -1;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (!pick(PixelAt(surface, x, y))) continue;
      if (x < x0) x0 = x;
      if (y < y0) y0 = y;
      if (x > x1) x1 = x;
      if (y > y1) y1 = y;
    }
  }
  if (x1 < 0) return {};
  return Box{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// A surface filled with one opaque colour.
inline SurfacePtr FilledSurface(int w, int h, double r, double g, double b) {
  SurfacePtr surface = MakeArgbSurface(w, h);
  ContextPtr cr = MakeContext(surface.get());
  cairo_set_source_rgb(cr.get(), r, g, b);
  cairo_paint(cr.get());
  return surface;
}

}  // namespace quol::saver::test
