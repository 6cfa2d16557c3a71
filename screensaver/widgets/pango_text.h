// Small helpers the widgets share for laying out text with PangoCairo.
#pragma once

#include <pango/pangocairo.h>

#include <memory>
#include <string_view>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, GObjectDeleter>;

struct PatternDeleter {
  void operator()(cairo_pattern_t* pattern) const { cairo_pattern_destroy(pattern); }
};
using PatternPtr = std::unique_ptr<cairo_pattern_t, PatternDeleter>;

// A context on a 1 x 1 image surface, for widgets measured without one
// (Measure(nullptr)).
ContextPtr MakeMeasuringContext();

// A layout for `cr` in `font`, anti-aliased in grey, holding `text` as one
// paragraph (line breaks do not start new lines).
LayoutPtr MakeLayout(cairo_t* cr, const PangoFontDescription* font, std::string_view text);

// The layout's logical size in pixels, fractions cut off.
WidgetSize LogicalPixelSize(PangoLayout* layout);

// Vertical metrics of the layout's font, in pixels. The font height is
// ascent + descent (the line gap is not part of it).
struct FontMetricsPx {
  double ascent = 0;
  double descent = 0;
  double height() const { return ascent + descent; }
};
FontMetricsPx LayoutFontMetrics(PangoLayout* layout);
// The same for `font` as it would be laid out on `cr` (null: a measuring
// context).
FontMetricsPx FontMetricsFor(cairo_t* cr, const PangoFontDescription* font);

}  // namespace quol::saver
