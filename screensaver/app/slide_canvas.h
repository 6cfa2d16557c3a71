// The size slides are drawn at, and fitting a drawn slide to the window.
//
// Collages and message slides are laid out for a screen: a 550-pixel panel,
// a clock of 50 points, logos of 124 x 88. In a small window (a settings
// preview, a host window of a few hundred pixels) they are drawn on a larger
// canvas of the window's shape and scaled down as one picture, so the small
// window shows the saver in miniature rather than a clock that fills it and
// a panel that falls off its edge.
#pragma once

#include <cairo.h>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

// Below this a window gets a larger canvas.
inline constexpr int kMinCanvasWidth = 800;
inline constexpr int kMinCanvasHeight = 480;
// However odd the window's shape, no side of the canvas is longer than this.
inline constexpr int kMaxCanvasSide = 8192;

// The canvas for a window of (width, height): the window's own size when it
// is at least kMinCanvasWidth x kMinCanvasHeight, else the window's shape
// enlarged until both minimums are met (no side beyond kMaxCanvasSide).
// Sizes below 1 count as 1.
WidgetSize SlideCanvasSize(int window_width, int window_height);

// `picture` at (width, height): the same picture (a new reference) when it
// has that size already; otherwise scaled into it, centred on black. Shapes
// within 2 % of each other are stretched to fill, so a canvas rounded to
// whole pixels leaves no black slivers. Null for a null picture or an
// empty size.
SurfacePtr FitPicture(cairo_surface_t* picture, int width, int height);

}  // namespace quol::saver
