// The client's small windows: the splash at start-up, the progress window
// shown while a page loads, and the about box. GTK main thread only.
#pragma once

#include <memory>
#include <string>

#include <gtk/gtk.h>

namespace quol::client {

class CSplashWindow {
 public:
  // Shows bitmap `bitmap_id` (5000: the product's, or the partner edition's)
  // centred over where the frame will be, topmost, without a taskbar entry,
  // for `timeout_ms`; plays sound 501 where the desktop can. Null when it
  // cannot be shown (no bitmap); the client then starts without a splash.
  static std::unique_ptr<CSplashWindow> Create(int bitmap_id, GtkWindow* frame, int timeout_ms);
  virtual ~CSplashWindow() = default;
  virtual bool visible() const = 0;
  virtual void Close() = 0;
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
};

// Modal about box over `parent`; `browser_version` empty: "(Unknown Browser)".
void RunAboutDialog(GtkWindow* parent, const std::string& browser_version);

}  // namespace quol::client
