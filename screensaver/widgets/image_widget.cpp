#include "screensaver/widgets/image_widget.h"

#include <utility>

namespace quol::saver {

ImageWidget::ImageWidget(SurfacePtr image) : image_(std::move(image)) {}

WidgetSize ImageWidget::Measure(cairo_t*) {
  if (!image_) return {};
  return WidgetSize{cairo_image_surface_get_width(image_.get()),
                    cairo_image_surface_get_height(image_.get())};
}

void ImageWidget::Draw(cairo_t* cr, int x, int y, int, int) {
  if (!image_) return;
  cairo_save(cr);
  cairo_set_source_surface(cr, image_.get(), x, y);
  cairo_paint(cr);
  cairo_restore(cr);
}

}  // namespace quol::saver
