// Owning handles for Cairo objects.
#pragma once

#include <cairo.h>

#include <memory>

namespace quol::saver {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

// A W x H ARGB surface, fully transparent. Null when Cairo cannot make it.
inline SurfacePtr MakeArgbSurface(int width, int height) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  return surface;
}

inline ContextPtr MakeContext(cairo_surface_t* surface) { return ContextPtr(cairo_create(surface)); }

// A pixel-for-pixel copy of an image surface.
inline SurfacePtr CopySurface(cairo_surface_t* source) {
  const int w = cairo_image_surface_get_width(source);
  const int h = cairo_image_surface_get_height(source);
  SurfacePtr copy = MakeArgbSurface(w, h);
  if (!copy) return nullptr;
  ContextPtr cr = MakeContext(copy.get());
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr.get(), source, 0, 0);
  cairo_paint(cr.get());
  return copy;
}

}  // namespace quol::saver
