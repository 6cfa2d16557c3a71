#include "screensaver/widgets/collage_widget_stack.h"

#include <algorithm>
#include <utility>

namespace quol::saver {

void CollageWidgetStack::Add(std::unique_ptr<ISlideWidget> widget) {
  if (widget) widgets_.push_back(std::move(widget));
}

WidgetSize CollageWidgetStack::Measure(cairo_t* cr) {
  WidgetSize total;
  for (const auto& widget : widgets_) {
    const WidgetSize size = widget->Measure(cr);
    total.width = std::max(total.width, size.width);
    if (total.height != 0) total.height += kSpacing;
    total.height += size.height;
  }
  return total;
}

void CollageWidgetStack::Draw(cairo_t* cr, int x, int y, int width, int height) {
  int available = height;
  for (const auto& widget : widgets_) {
    const WidgetSize size = widget->Measure(cr);
    const int ww = std::min(size.width, width);
    const int wh = std::min(size.height, available);
    const int wx = alignment_ == kRight ? x + width - ww : x;
    const int wy = y + available - wh;
    cairo_reset_clip(cr);
    cairo_new_path(cr);
    if (ww < 0 || wh < 0) {
      cairo_rectangle(cr, wx, wy, 0, 0);
      cairo_clip(cr);
    } else {
      cairo_rectangle(cr, wx, wy, ww + 1, wh + 1);
      cairo_clip(cr);
      widget->Draw(cr, wx, wy, ww, wh);
    }
    available -= wh + kSpacing;
  }
}

}  // namespace quol::saver

