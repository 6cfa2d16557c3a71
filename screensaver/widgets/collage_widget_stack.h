// The widgets in one bottom corner of a collage (clock, appointments, debug
// panel), stacked upwards: the first widget sits at the bottom, each next
// one 10 pixels above the one before.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

class CollageWidgetStack : public ISlideWidget {
 public:
  enum Alignment : int { kLeft = 0, kRight = 2 };
  static constexpr int kSpacing = 10;

  explicit CollageWidgetStack(Alignment alignment = kLeft) : alignment_(alignment) {}

  void Add(std::unique_ptr<ISlideWidget> widget);
  std::size_t count() const { return widgets_.size(); }
  ISlideWidget& widget(std::size_t index) { return *widgets_.at(index); }

  Alignment alignment() const { return alignment_; }
  void set_alignment(Alignment alignment) { alignment_ = alignment; }

  // Width: the widest widget. Height: the widgets' heights, with kSpacing
  // before each one once the running total is above zero (so widgets of
  // height 0 at the start add no spacing). (0, 0) when empty.
  WidgetSize Measure(cairo_t* cr) override;

  // Lays the widgets out bottom-up in (x, y, width, height): each gets at
  // most the stack's width and the height still free, is flush with the
  // stack's left or right edge, and sits on the bottom of the free space.
  // Each widget is clipped to its rectangle plus one pixel right and below;
  // that clip replaces the caller's and the last one is left in place, so
  // callers save and restore the context around Draw. A widget that no
  // longer finds any room gets an empty clip and is not drawn.
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

 private:
  Alignment alignment_;
  std::vector<std::unique_ptr<ISlideWidget>> widgets_;
};

}  // namespace quol::saver
