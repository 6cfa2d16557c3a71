#include "screensaver/widgets/pango_text.h"

#include <string>

namespace quol::saver {
namespace {

struct FontMetricsDeleter {
  void operator()(PangoFontMetrics* metrics) const { pango_font_metrics_unref(metrics); }
};
struct FontOptionsDeleter {
  void operator()(cairo_font_options_t* options) const { cairo_font_options_destroy(options); }
};

}  // namespace

ContextPtr MakeMeasuringContext() {
  SurfacePtr surface = MakeArgbSurface(1, 1);
  if (!surface) return nullptr;
  return MakeContext(surface.get());  // the context keeps its own reference
}

LayoutPtr MakeLayout(cairo_t* cr, const PangoFontDescription* font, std::string_view text) {
  LayoutPtr layout(pango_cairo_create_layout(cr));
  std::unique_ptr<cairo_font_options_t, FontOptionsDeleter> options(cairo_font_options_create());
  cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
  pango_cairo_context_set_font_options(pango_layout_get_context(layout.get()), options.get());
  pango_layout_context_changed(layout.get());
  pango_layout_set_single_paragraph_mode(layout.get(), TRUE);
  pango_layout_set_font_description(layout.get(), font);
  pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
  return layout;
}

WidgetSize LogicalPixelSize(PangoLayout* layout) {
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  return WidgetSize{logical.width / PANGO_SCALE, logical.height / PANGO_SCALE};
}

FontMetricsPx LayoutFontMetrics(PangoLayout* layout) {
  PangoContext* context = pango_layout_get_context(layout);
  const PangoFontDescription* font = pango_layout_get_font_description(layout);
  if (font == nullptr) font = pango_context_get_font_description(context);
  std::unique_ptr<PangoFontMetrics, FontMetricsDeleter> metrics(
      pango_context_get_metrics(context, font, pango_context_get_language(context)));
  if (!metrics) return {};
  return FontMetricsPx{pango_font_metrics_get_ascent(metrics.get()) / double(PANGO_SCALE),
                       pango_font_metrics_get_descent(metrics.get()) / double(PANGO_SCALE)};
}

FontMetricsPx FontMetricsFor(cairo_t* cr, const PangoFontDescription* font) {
  ContextPtr scratch;
  if (cr == nullptr) {
    scratch = MakeMeasuringContext();
    cr = scratch.get();
  }
  LayoutPtr layout = MakeLayout(cr, font, "");
  return LayoutFontMetrics(layout.get());
}

}  // namespace quol::saver
