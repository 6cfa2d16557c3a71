// The frame's tools menu (about, check for updates, feedback, the hidden
// Advanced submenu) and the update notifications: the update timer, the
// outcome of a check shown as boxes and message bars, and starting an
// upgrade. GTK main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <gtk/gtk.h>

#include "client/frame/frame_host.h"

namespace quol {
class UpdateChecker;
}

namespace quol::client {

class CUpdateNotifier {
 public:
  // `frame` and `checker` outlive the notifier. `installation_folder` holds
  // Updater.
  static std::unique_ptr<CUpdateNotifier> Create(IFrameHost& frame, UpdateChecker& checker,
                                                 const std::string& installation_folder);
  virtual ~CUpdateNotifier() = default;
  // Binds the checker to the frame (CheckForReadyUpgrade); once, after the
  // frame exists.
  virtual void Attach() = 0;
  // Arms the update timer for the checker's next due time (now when `force`,
  // which also marks the check as asked for by the user). One timer at most.
  virtual void ScheduleUpdateCheck(bool force) = 0;
  // The frame's handler of kUpdateResultMessage.
  virtual void OnUpdateResult(std::uint16_t result, std::uint16_t flag) = 0;
  // The user agreed to install: hands the package to Updater and closes the
  // frame; refused when started from the screen saver.
  virtual void StartUpgrade() = 0;
  // Marks the next result as one the user asked for ("Check for updates...").
  virtual void set_user_initiated(bool user_initiated) = 0;
  virtual bool user_initiated() const = 0;
  // The update timer is armed (at most one is).
  virtual bool update_timer_armed() const = 0;
  // How often the update timer fired and started a check, for tests and
  // the diagnostics.
  virtual int update_checks_started() const = 0;
};

// System-menu command identifiers of the tools entries.
inline constexpr unsigned kCommandAbout = 0x10;
inline constexpr unsigned kCommandCheckForUpdates = 0x20;
inline constexpr unsigned kCommandFeedback = 0x30;
inline constexpr unsigned kCommandSwitchAccount = 0x40;
inline constexpr unsigned kCommandDiagnostics = 0x50;

// Message boxes of the tools and the update notices go through this seam
// (tests record them). `yes_no`: Yes and No buttons, returns true for Yes;
// otherwise an OK box that returns true. `error`: the error icon instead of
// the information icon.
struct MessageBoxRequest {
  std::string title;
  std::string text;
  bool yes_no = false;
  bool error = false;
};
using MessageBoxFunction = std::function<bool(GtkWindow* parent, const MessageBoxRequest&)>;
// Null restores the real GTK message dialog.
void SetMessageBoxForTesting(MessageBoxFunction function);
bool ShowMessageBox(GtkWindow* parent, const MessageBoxRequest& request);

// The product display name (string 4000), the title of every box here.
std::string ProductDisplayName();

// Runs a tools command (as the frame's WM_SYSCOMMAND handler and the page
// script's ShowAboutDlg / CheckForUpdates do). `browser_version` is the about
// box's browser line ("" when the browser cannot tell). False for an id that
// is not a tools command (the frame's default handling then applies).
bool RunToolsCommand(unsigned command, IFrameHost& frame, CUpdateNotifier& updates,
                     const std::string& browser_version);

// "mailto:" + the feedback address + subject and body, the body's blanks as
// %20; `file_version` "%u.%u.%u.%u".
std::string FeedbackMailUrl(const std::string& file_version);

// The test-account file: LocalConfig.xml in the data folder, and the exact
// text the switch writes into it.
std::string TestAccountFilePath();
std::string TestAccountFileContent();
// The account switch: deletes the file when it exists ("production"),
// otherwise creates the data folder and writes the file atomically
// ("dogfood"); then shows the box that says which, or an error box when the
// file could not be written or deleted. True when the switch took effect.
bool SwitchTestAccount(GtkWindow* parent);

// The diagnostics page (HTML, UTF-8), as served at
// res://<program>/diagnostics.htm; kDiagnosticsPageResource is its GResource
// path.
inline constexpr char kDiagnosticsPageResource[] = "/quol/pages/diagnostics.htm";
inline constexpr char kDiagnosticsPageName[] = "diagnostics.htm";
std::string DiagnosticsPageHtml();

// Puts the tools items into the frame's window menu (above "Close"), with
// "Advanced" first when `advanced` (left Shift and left Ctrl held at start).
// `menu` is the frame's window menu.
void AddToolsMenuItems(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates,
                       bool advanced);
// The same; `browser_version` is asked when the about box opens (the
// browser's "Internet Explorer %s" text, "" when it cannot tell).
void AddToolsMenuItems(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates,
                       bool advanced, std::function<std::string()> browser_version);

}  // namespace quol::client
