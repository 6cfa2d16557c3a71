// Owning handles and error handling for the saver's X connection.
//
// Xlib's default error handler ends the process. The saver draws into windows
// it does not own (the preview pane, the xscreensaver daemon's window), and
// those can vanish between two requests: BadWindow/BadDrawable then arrive
// before DestroyNotify. InstallNonFatalXErrorHandler() makes such errors a log
// line; XErrorTrap collects the errors of a few requests for code that wants
// to react to them (GLX set-up, MIT-SHM attach).
#pragma once

#include <X11/Xlib.h>

#include <string>

namespace quol::saver {

// An open X connection, closed on destruction. Move-only.
class XDisplay {
 public:
  XDisplay() = default;
  explicit XDisplay(Display* adopted) : display_(adopted) {}
  ~XDisplay() { Close(); }
  XDisplay(XDisplay&& other) noexcept : display_(other.release()) {}
  XDisplay& operator=(XDisplay&& other) noexcept;
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  // Connects to `name` (":1", "host:0.0"), or to $DISPLAY when empty. The
  // result is empty (false) when the server cannot be reached.
  static XDisplay Open(const std::string& name = {});

  Display* get() const { return display_; }
  explicit operator bool() const { return display_ != nullptr; }
  Display* release();
  void Close();

 private:
  Display* display_ = nullptr;
};

// Installs, for the rest of the process, an X error handler that logs the
// error (LogError "X error ...") and carries on. Idempotent.
void InstallNonFatalXErrorHandler();
// Makes a lost X connection (the server ended or the socket broke) end the
// process the saver's way. Xlib's own handler calls exit() from inside
// whichever X call noticed, which runs the process's destructors while other
// threads still use what they destroy. Instead `on_loss` runs once (on the
// thread that noticed; a second thread noticing waits for the first), then
// the process ends with _exit(exit_code). `on_loss` must not use X.
// Installed for the rest of the process.
void InstallXConnectionLossHandler(void (*on_loss)(), int exit_code);

// X errors seen by that handler so far (errors caught by an XErrorTrap are not
// counted).
int NonFatalXErrorCount();

// Catches the X errors of the requests made while it lives, instead of the
// handler in force. Traps nest; each restores the handler it replaced.
// Single-threaded use only, like the rest of the saver's X code.
class XErrorTrap {
 public:
  // Syncs first, so errors of earlier requests are not blamed on this scope.
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Syncs, then tells whether any request since the trap was set failed.
  bool HasError();
  // The first error's code (BadWindow, BadMatch, ...); 0 without error.
  int first_error_code();

 private:
  static int Handler(Display* display, XErrorEvent* event);

  Display* display_;
  XErrorTrap* outer_;
  int (*previous_handler_)(Display*, XErrorEvent*);
  int first_error_code_ = 0;
  int error_count_ = 0;
};

// "BadWindow (invalid Window parameter)" and the like.
std::string XErrorText(Display* display, int error_code);

}  // namespace quol::saver
