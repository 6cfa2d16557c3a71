// The client's small windows: the splash at start-up, the progress window
// shown while a page loads, and the about box. GTK main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtk/gtk.h>

namespace quol::client {

// Registers the client's own resource bundle (pictures 5000, 502 and 102,
// sound 501, font 105 under /quol/resources/) with the process; later calls
// return at once. Main thread.
void EnsureClientResourcesRegistered();

// A client resource by name ("5000"): the partner edition's when its bundle
// has it (CCobrandableModule), else the program's own.
bool LoadClientResource(const std::string& name, std::string* bytes);

// Makes the bundled font (resource 105) known to fontconfig for this process
// under the family "Futura Bk BT"; the about box and the splash's partner
// pictures are laid out in it. Once per process; false when it cannot be.
bool RegisterClientPrivateFont();

// Starts playing sound `sound_id` (501) from the resources without waiting:
// through $QUOL_SOUND_PLAYER when set (empty: never play), else the first of
// canberra-gtk-play, paplay, aplay found. False, silently, when there is no
// such sound or no player; the player is reaped from the main loop.
bool PlayResourceSound(int sound_id);

inline constexpr int kSplashBitmap = 5000;
inline constexpr int kSplashTimeoutMs = 2000;
inline constexpr int kStartupSound = 501;
inline constexpr int kIconResource = 502;
inline constexpr int kAboutPicture = 102;

class CSplashWindow {
 public:
  // Shows bitmap `bitmap_id` (5000: the product's, or the partner edition's)
  // centred over where the frame will be, topmost, without a taskbar entry,
  // for `timeout_ms`; plays sound 501 where the desktop can. Null when it
  // cannot be shown (no bitmap); the client then starts without a splash.
  static std::unique_ptr<CSplashWindow> Create(int bitmap_id, GtkWindow* frame, int timeout_ms);
  // The same; `on_timeout` runs on the main loop when the timeout closes the
  // splash (the frame shows itself once there), not after Close().
  static std::unique_ptr<CSplashWindow> Create(int bitmap_id, GtkWindow* frame, int timeout_ms,
                                               std::function<void()> on_timeout);
  virtual ~CSplashWindow() = default;
  virtual bool visible() const = 0;
  virtual void Close() = 0;
  // The splash's own window (null once closed), for tests and screenshots.
  virtual GtkWindow* window() const = 0;
};

class CProgressWindow {
 public:
  static std::unique_ptr<CProgressWindow> Create(GtkWindow* owner);
  virtual ~CProgressWindow() = default;
  virtual void Show() = 0;
  // Hides after the 200 ms delay unless Show comes first ("keep").
  virtual void RequestHide() = 0;
  virtual void Recentre() = 0;
  virtual bool visible() const = 0;
  // A RequestHide is waiting out its delay.
  virtual bool hide_pending() const = 0;
  virtual GtkWindow* window() const = 0;
};

// The about box's texts; empty fields are filled in by RunAboutDialog and
// CreateAboutDialog: the product display name (string 4000), the program's
// file version ("%u.%u.%u.%u").
struct AboutDialogContent {
  std::string product_name;
  std::string file_version;
  std::string browser_version;  // empty: unknown
};

// The title font size in tenths of a point: 240 up to 24 characters, else
// 5760 / length, so a long name keeps about the width of a short one.
int AboutTitleFontTenths(const std::string& product_name);
// What the browser line shows: the text when given and shorter than 64
// characters, else "(Unknown Browser)".
std::string AboutBrowserLine(const std::string& browser_version);

// The about box, built and centred over `parent` but not run (tests and
// screenshots); the caller destroys it. Widgets are named by control id
// ("1", "2001", "2002", "2004", "2005").
GtkWidget* CreateAboutDialog(GtkWindow* parent, const AboutDialogContent& content);

// Modal about box over `parent`; `browser_version` empty: "(Unknown Browser)".
void RunAboutDialog(GtkWindow* parent, const std::string& browser_version);

}  // namespace quol::client
