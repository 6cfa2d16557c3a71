#include "screensaver/widgets/text_widget.h"

#include <utility>

#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"

namespace quol::saver {

TextWidget::TextWidget(std::string text) : text_(std::move(text)) {}

WidgetSize TextWidget::Measure(cairo_t* cr) {
  ContextPtr scratch;
  if (cr == nullptr) {
    scratch = MakeMeasuringContext();
    cr = scratch.get();
  }
  FontHandle font = MakeFont(kSansSerifFamily, kPoints);
  LayoutPtr layout = MakeLayout(cr, font.get(), text_);
  return LogicalPixelSize(layout.get());
}

void TextWidget::Draw(cairo_t* cr, int x, int y, int width, int height) {
  if (text_.empty() || width <= 0) return;
  FontHandle font = MakeFont(kSansSerifFamily, kPoints);
  LayoutPtr layout = MakeLayout(cr, font.get(), text_);
  pango_layout_set_width(layout.get(), width * PANGO_SCALE);
  pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
  pango_layout_set_alignment(layout.get(), PANGO_ALIGN_CENTER);
  const WidgetSize size = LogicalPixelSize(layout.get());
  cairo_save(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 1);
  cairo_move_to(cr, x, y + (height - size.height) / 2);
  pango_cairo_show_layout(cr, layout.get());
  cairo_restore(cr);
}

}  // namespace quol::saver
