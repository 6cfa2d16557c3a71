// What the parts of the client ask of the main frame (CMainFrame implements
// it): navigation with retry, the error page, the message bar, the progress
// window, showing the frame, posted frame messages, and the update check.
// GTK main thread only, except PostFrameMessage.
#pragma once

#include <cstdint>
#include <string>

#include <gtk/gtk.h>

namespace quol::client {

// Frame messages (posted to the GTK main loop, never called directly).
inline constexpr unsigned kUpdateResultMessage = 0x85DB;
inline constexpr unsigned kNavigationErrorMessage = 0x85DD;
inline constexpr unsigned kRetryNavigationMessage = 0x85DE;

// Message bar kinds.
enum MessageBarKind : int {
  kBarInfo = 0,
  kBarSignedOut = 1,
  kBarWarning = 2,
  kBarWhatsNew = 3,
  kBarUpgrade = 4,
};

// Launch modes, sent as mode= of the home URL.
enum LaunchMode : std::uint32_t {
  kLaunchNormal = 0,
  kLaunchFirstTime = 1,
  kLaunchPostUpgrade = 2,
  kLaunchPostLogout = 3,
  kLaunchCancelLogin = 4,
  kLaunchScreensaver = 5,
  kLaunchScreensaverFirstTime = 6,
};

class IFrameHost {
 public:
  virtual ~IFrameHost() = default;
  virtual GtkWindow* window() = 0;
  // Navigates the browser; a navigation that cannot start is kept as the
  // pending URL and retried through kRetryNavigationMessage (bounded).
  virtual void Navigate(const std::string& url) = 0;
  // kind: "offline", "connect" or "http"; code: the status or error code.
  virtual void ShowErrorPage(const std::string& kind, int code) = 0;
  virtual void ShowMessageBar(int kind, bool with_icon, const std::string& text,
                              const std::string& link) = 0;
  virtual void HideMessageBar() = 0;
  virtual int MessageBarKindShown() = 0;  // -1 when hidden
  virtual void ShowFrameOnce() = 0;
  virtual bool FrameVisible() = 0;
  virtual void ShowProgress() = 0;
  virtual void HideProgress() = 0;
  // Any thread: runs the frame's handler of `message` on the main loop.
  virtual void PostFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
  virtual void ScheduleUpdateCheck(bool force) = 0;
  virtual void StartUpgrade() = 0;
  // Opens an http(s) or mailto URL with the desktop's default handler
  // (argument vector; anything else is refused and logged). Tests record it
  // through QUOL_URL_OPENER.
  virtual void OpenInDefaultBrowser(const std::string& url) = 0;
  virtual std::uint32_t launch_mode() = 0;
  virtual void set_launch_mode(std::uint32_t mode) = 0;
  virtual std::string start_url() = 0;
  virtual bool started_from_screensaver() = 0;
};

}  // namespace quol::client
