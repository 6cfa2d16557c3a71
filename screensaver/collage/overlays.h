// The overlays of a collage: which corner gets the widget stack, the logo in
// the other bottom corner, the notice strip, and composing the picture that
// goes on screen (the collage's bitmap with the overlays drawn on a copy, so
// the clock shows the time the collage is shown, not when it was built).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "screensaver/collage/collage_generator.h"

namespace quol {
class CCobrandableModule;
}

namespace quol::saver {

// Everything the overlays ask of the rest of the screen saver. Unset
// functions mean "no": no Shift+D, no appointments, no upgrade.
struct OverlayEnvironment {
  bool debug_mode = false;
  // Whether Shift and D are both held right now (read from the X server).
  std::function<bool()> shift_d_held;
  // The appointments widget of a new collage; null when it has nothing to show.
  std::function<std::unique_ptr<ISlideWidget>()> make_appointments;
  // Whether an upgrade of the client is ready to install.
  std::function<bool()> upgrade_available;
  // Whether the session is restricted (screen locked or secure, or root);
  // unset: the session status of the widgets.
  std::function<bool()> restricted_session;
  // Where partner artwork comes from; null: the program's own only.
  const CCobrandableModule* module = nullptr;
  int primary_screen_width = 0;
};

// The four notice texts, by restriction and screen width (<= 800).
std::string NoticeText(bool restricted, bool narrow_screen);

class CollageOverlays : public ICollageOverlays {
 public:
  explicit CollageOverlays(OverlayEnvironment environment);

  int ChooseStackCorner() override;
  WidgetSize MeasureStack(Collage& collage, cairo_t* cr) override;
  void PlaceLogo(Collage& collage, cairo_t* cr, int corner) override;
  void PlaceStack(Collage& collage, WidgetSize size, int corner, cairo_t* cr) override;
  void PlaceNoticeStrip(Collage& collage, cairo_t* cr) override;
  int BottomBandHeight(const Collage& collage) override;

 private:
  CollageWidgetStack& GetOrCreateStack(Collage& collage);
  WidgetSize ClockSize(Collage& collage, cairo_t* cr);

  OverlayEnvironment environment_;
  // Every other strip placed while an upgrade waits carries the message.
  bool notice_toggle_ = false;
};

// The picture to show: a copy of the collage's bitmap with logo, notice
// strip and widget stack drawn on it (unchanged copy for collages without a
// stack). Null when the collage has no bitmap.
SurfacePtr ComposeDisplayBitmap(Collage& collage);

}  // namespace quol::saver
