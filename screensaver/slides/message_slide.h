// Message slides: a black screen with a small panel (logo above a centred
// text) at a random place. Notices say why there are no collages or that an
// upgrade is needed; tips advertise what the service can do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

inline constexpr int kPanelWidth = 550;

// The panel for `text`: 550 pixels wide, opaque black, the no-photos logo on
// top and the text below it, wrapped at word boundaries.
SurfacePtr RenderMessagePanel(const std::string& text);

// A screen-sized opaque black picture with the panel at a random place at
// least 50 pixels from the left and top edges, shrunk (PanelScale) on a
// screen too small for it so that it is always whole.
SurfacePtr RenderMessageSlide(const std::string& text, int screen_width, int screen_height);

inline constexpr int kPanelMargin = 50;

// How much a panel of (w, h) is shrunk on a (W, H) screen: 1 when it fits
// with 50 pixels to spare each side, else as much as it takes to fit (with a
// tenth of the screen each side on screens under 500 pixels).
double PanelScale(int screen_width, int screen_height, int panel_width, int panel_height);

// Where a panel of (w, h) goes on a (W, H) screen for the random numbers r1,
// r2: at least 50 pixels from the left and top edges, 50 + r mod (W - w -
// 100) across; centred along a side too short for both margins.
void PlacePanel(int screen_width, int screen_height, int panel_width, int panel_height,
                std::uint32_t r1, std::uint32_t r2, int* x, int* y);

// The notice waiting to be shown. A sticky notice stays after it is shown and
// is not replaced by a non-sticky one.
class PendingNotice {
 public:
  void Set(const std::string& text, bool sticky);
  bool pending() const { return !text_.empty(); }
  const std::string& text() const { return text_; }
  bool sticky() const { return sticky_; }
  // Called after the notice was shown: a non-sticky notice is cleared.
  void Shown();

 private:
  std::string text_;
  bool sticky_ = false;
};

inline constexpr char kRequiredUpgradeNotice[] =
    "A required upgrade to this Quol Collage screen saver has been released. To install it, run "
    "Quol from the Start menu.";
inline constexpr char kNoPhotosNotice[] =
    "To see your photos in this screen saver, use Quol's Settings area to indicate where you keep "
    "your photos.";
inline constexpr char kNewVersionTip[] =
    "There is a new version of Quol available.  To install it, run Quol from the Start menu.";

// The tips shown between collages.
class TipList {
 public:
  // With an upgrade waiting, only the new-version tip. Otherwise the
  // configured tips in order; those starting with "!" only in unrestricted
  // sessions, without the "!".
  void Fill(bool upgrade_available, const std::vector<std::string>& configured_tips,
            bool restricted_session);
  const std::vector<std::string>& tips() const { return tips_; }
  // A random tip; when every tip was for unrestricted sessions only and the
  // session is restricted, the product's name stands in.
  std::string Pick() const;

 private:
  std::vector<std::string> tips_;
};

}  // namespace quol::saver
