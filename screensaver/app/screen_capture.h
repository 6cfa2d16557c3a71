// Pictures of what is on the screen, as opaque ARGB32 surfaces.
#pragma once

#include <X11/Xlib.h>

#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

// The root window's pixels in the rectangle; null when the server refuses.
SurfacePtr CaptureScreen(Display* display, int x, int y, int width, int height);

}  // namespace quol::saver
