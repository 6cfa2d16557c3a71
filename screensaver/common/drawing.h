// Shapes the saver's pictures share.
#pragma once

#include <cairo.h>

namespace quol::saver {

// Adds a closed rounded rectangle (x, y, w, h) with corner radius e to the
// path: top edge, top-right arc, right edge, bottom-right arc, bottom edge,
// bottom-left arc, left edge, top-left arc. The radius is limited to half
// the shorter side.
void RoundedRectanglePath(cairo_t* cr, double x, double y, double w, double h, double e);

}  // namespace quol::saver
