// One line of text (the notice strip): white, centred in its rectangle.
#pragma once

#include <string>

#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

class TextWidget : public ISlideWidget {
 public:
  static constexpr double kPoints = 14;  // in the generic sans-serif family

  explicit TextWidget(std::string text);

  const std::string& text() const { return text_; }

  // The whole text on one line, unwrapped, fractions cut off. Empty text is
  // zero wide and one line high. `cr` may be null.
  WidgetSize Measure(cairo_t* cr) override;
  // Opaque white, centred both ways. Text wider than the rectangle ends in
  // an ellipsis. Pango cuts at a character, not at a word boundary, so a
  // word may be cut in the middle.
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

 private:
  std::string text_;
};

}  // namespace quol::saver
