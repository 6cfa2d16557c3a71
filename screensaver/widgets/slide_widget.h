// The overlays painted on a collage (clock, appointments, debug panel, logo,
// notice strip) share one small interface. Widgets are measured again on
// every draw; nothing measured is cached.
#pragma once

#include <cairo.h>

namespace quol::saver {

struct WidgetSize {
  int width = 0;
  int height = 0;
  bool operator==(const WidgetSize&) const = default;
};

class ISlideWidget {
 public:
  virtual ~ISlideWidget() = default;
  // The size the widget needs, in whole pixels, when drawn on `cr`.
  virtual WidgetSize Measure(cairo_t* cr) = 0;
  // Paints the widget into the pixel rectangle (x, y, width, height).
  virtual void Draw(cairo_t* cr, int x, int y, int width, int height) = 0;
};

}  // namespace quol::saver
