// A picture (a logo) shown at its natural size.
#pragma once

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

class ImageWidget : public ISlideWidget {
 public:
  explicit ImageWidget(SurfacePtr image);

  // The picture's size; (0, 0) without one. `cr` is not used.
  WidgetSize Measure(cairo_t* cr) override;
  // Paints the whole picture with its top-left corner at (x, y), unscaled;
  // width and height are not used (the caller's clip applies).
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

  cairo_surface_t* image() const { return image_.get(); }

 private:
  SurfacePtr image_;
};

}  // namespace quol::saver
