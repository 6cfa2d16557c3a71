#include "screensaver/app/slide_canvas.h"

#include <algorithm>
#include <cmath>

namespace quol::saver {

WidgetSize SlideCanvasSize(int window_width, int window_height) {
  const double width = std::max(window_width, 1);
  const double height = std::max(window_height, 1);
  double scale = std::max({1.0, kMinCanvasWidth / width, kMinCanvasHeight / height});
  scale = std::min(scale, std::max(1.0, kMaxCanvasSide / std::max(width, height)));
  auto side = [scale](double length) {
    return static_cast<int>(std::clamp(std::lround(length * scale), 1L,
                                       static_cast<long>(std::max<double>(kMaxCanvasSide, length))));
  };
  return WidgetSize{side(width), side(height)};
}

SurfacePtr FitPicture(cairo_surface_t* picture, int width, int height) {
  if (picture == nullptr || width <= 0 || height <= 0) return nullptr;
  const int source_width = cairo_image_surface_get_width(picture);
  const int source_height = cairo_image_surface_get_height(picture);
  if (source_width == width && source_height == height) {
    return SurfacePtr(cairo_surface_reference(picture));
  }
  SurfacePtr fitted = MakeArgbSurface(width, height);
  if (!fitted || source_width <= 0 || source_height <= 0) return fitted;
  ContextPtr holder = MakeContext(fitted.get());
  cairo_t* cr = holder.get();
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);

  double scale_x = static_cast<double>(width) / source_width;
  double scale_y = static_cast<double>(height) / source_height;
  double left = 0, top = 0;
  if (std::abs(scale_x / scale_y - 1.0) > 0.02) {
    const double scale = std::min(scale_x, scale_y);
    scale_x = scale_y = scale;
    left = (width - source_width * scale) / 2;
    top = (height - source_height * scale) / 2;
  }
  cairo_translate(cr, left, top);
  cairo_scale(cr, scale_x, scale_y);
  cairo_set_source_surface(cr, picture, 0, 0);
  // GOOD averages when shrinking: a canvas drawn at several times the
  // window's size stays smooth, and this runs once per slide, not per frame.
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_rectangle(cr, 0, 0, source_width, source_height);
  cairo_fill(cr);
  cairo_surface_flush(fitted.get());
  return fitted;
}

}  // namespace quol::saver
