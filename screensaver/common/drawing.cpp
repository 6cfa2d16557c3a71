#include "screensaver/common/drawing.h"

#include <algorithm>
#include <cmath>

namespace quol::saver {

void RoundedRectanglePath(cairo_t* cr, double x, double y, double w, double h, double e) {
  e = std::min(e, std::min(w, h) / 2);
  cairo_new_sub_path(cr);
  cairo_move_to(cr, x + e, y);
  cairo_line_to(cr, x + w - e, y);
  cairo_arc(cr, x + w - e, y + e, e, -M_PI / 2, 0);
  cairo_line_to(cr, x + w, y + h - e);
  cairo_arc(cr, x + w - e, y + h - e, e, 0, M_PI / 2);
  cairo_line_to(cr, x + e, y + h);
  cairo_arc(cr, x + e, y + h - e, e, M_PI / 2, M_PI);
  cairo_line_to(cr, x, y + e);
  cairo_arc(cr, x + e, y + e, e, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

}  // namespace quol::saver
