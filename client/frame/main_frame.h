// CMainFrame: the client's one top-level window. A GtkWindow with a header
// bar (whose menu button holds the window menu: the tools items above
// "Close"), the message bar above the embedded browser, the saved window
// placement, the size modes (F11 full screen, Shift+F11 800x600/1024x768),
// the posted frame messages and the page script object's effects.
//
// Design note. The frame is the hub the other parts of the client talk to:
// the browser reports through CAbstractBrowserEvents, the tools, the update
// notices and the navigation policy ask through IFrameHost. Everything it
// needs from those parts comes in through FrameServices, so tests build a
// frame with fakes and the program wires in the real ones. The navigation
// rules themselves are not here: CFrameNavigation receives the browser's
// navigation events (the program's one forwards to the browser part's
// policy).
//
// Threads: the GTK main thread, except PostFrameMessage, which any thread
// may call; its message runs later on the main loop (never inside the call,
// even from the main thread) and is dropped once the frame is gone.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/browser/abstract_browser.h"
#include "client/frame/frame_host.h"
#include "client/frame/message_bar.h"
#include "client/frame/window_placement.h"

namespace quol {
class CSuiteSettings;
class CGlobalConfig;
}  // namespace quol

namespace quol::client {

class CProgressWindow;
class CUpdateNotifier;
struct OpenRequest;

// System commands of the window menu (the tools part adds the items).
inline constexpr unsigned kSysCommandAbout = 0x10;
inline constexpr unsigned kSysCommandCheckUpdates = 0x20;
inline constexpr int kMinFrameWidth = 640;
inline constexpr int kMinFrameHeight = 400;
// A navigation that cannot be started is retried this many times through
// the retry message; then the error page says the service cannot be reached.
inline constexpr int kMaxNavigateRetries = 5;
// The code the error page shows when navigations could not even start.
inline constexpr int kNavigateStartFailedCode = -1;

inline constexpr char kWhatsNewText[] =
    "Congratulations, you've upgraded to the latest Quol Vevuvov, click this message to find "
    "out what's new!";
inline constexpr char kCheckingForUpdatesText[] =
    "Checking for updates now, this can take a few minutes...";

// The browser's navigation events as the frame hands them on, plus the URLs
// built from the start URL. The program's implementation forwards to the
// browser part's navigation policy.
class CFrameNavigation {
 public:
  virtual ~CFrameNavigation() = default;
  virtual bool OnBeforeNavigate(const std::string& url, const std::string& top_document_url) = 0;
  virtual bool OnNewWindow(const std::string& url, const std::string& referrer) = 0;
  virtual bool OnNavigateError(int status, const std::string& url) = 0;
  virtual void OnDocumentComplete() = 0;
  virtual void OnNavigateComplete(const std::string& url) = 0;
  // The navigation-error message (kNavigationErrorMessage) on the main loop.
  virtual void OnNavigationErrorMessage(int status) = 0;
  virtual std::string HomeURL(std::uint32_t launch_mode) = 0;
  // The start path resolved against the start URL; empty when unsafe.
  virtual std::string CombinedURL(const std::string& start_path) = 0;
};

// The smallest policy that keeps a frame usable: everything loads, the
// frame shows at the first finished document, errors on the service's host
// bring the error page. Used when no other policy is given.
// `browser` may be null.
std::unique_ptr<CFrameNavigation> MakeBasicNavigation(IFrameHost& frame, CAbstractBrowser* browser);

struct FrameServices {
  // Null, or returning null: no browser control; the frame stays empty.
  std::function<std::unique_ptr<CAbstractBrowser>(CAbstractBrowserEvents& events)> make_browser;
  // Null: MakeBasicNavigation.
  std::function<std::unique_ptr<CFrameNavigation>(IFrameHost& frame, CAbstractBrowser* browser)>
      make_navigation;
  std::function<std::unique_ptr<CProgressWindow>(GtkWindow* owner)> make_progress;
  std::function<void(GtkWindow* parent, const std::string& browser_version)> run_about;
  std::function<std::unique_ptr<CUpdateNotifier>(IFrameHost& frame)> make_updates;
  std::function<void(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates)>
      add_tools_menu;
  // The tools part's handler of window-menu commands (about, check for
  // updates...); false for a command it does not know. Null: the frame
  // handles about and "check now" itself.
  std::function<bool(unsigned command, IFrameHost& frame, CUpdateNotifier& updates,
                     const std::string& browser_version)>
      run_tools_command;
  // Sets the sign-in cookies for the start URL and calls `done` (maybe
  // later) once they are in place. Null: `done` at once.
  std::function<void(const std::string& start_url, std::function<void()> done)> set_auth_cookies;
  // The settings sheet (mode 2) modal over the frame.
  std::function<void(GtkWindow* parent, int mode)> show_settings;
  std::function<bool()> package_ready;
  // Starts a program (argument vector); false when it could not start.
  std::function<bool(const std::string& path, const std::vector<std::string>& args)> spawn;
  // The desktop's default handler for http(s) and mailto URLs.
  std::function<bool(const std::string& url)> open_uri;
  // Who has the collage as screen saver (1 everyone ... 4 mixed).
  std::function<int()> saver_choice;
  std::function<bool()> elevated;
  // The saver program started by StartCollage ("ScreenSaver" of the machine
  // hive, else the installed one).
  std::function<std::string()> saver_path;
  // The small icon 502 of the message bar (null: a themed icon).
  std::function<GdkPixbuf*()> message_bar_icon;
};

struct FrameOptions {
  std::string product_name = "Quol";  // title; string 4000
  std::string start_url;
  bool start_path_flag = false;
  std::string start_path;
  std::string whats_new_url;
  // The name in built-in page URLs ("res://QuolDevuzez/offline.htm").
  std::string program_file_name = "QuolDevuzez";
  bool started_from_screensaver = false;
};

class CMainFrame : public IFrameHost, public CAbstractBrowserEvents {
 public:
  // `placement` (loaded, launch mode set), `settings` and `config` outlive
  // the frame.
  CMainFrame(FrameOptions options, FrameServices services, WindowPlacement& placement,
             CSuiteSettings& settings);
  ~CMainFrame() override;
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // Makes the (hidden) window, restores a valid placement, builds the window
  // menu. False when the window cannot be made.
  bool Create();
  // Browser, cookies, the first navigation (or the offline page).
  void Initialise();
  // As the close button: saves the placement, destroys the window. `closed`
  // turns true; `on_closed` (given before) runs once.
  void Close();
  bool closed() const { return closed_; }
  void set_on_closed(std::function<void()> on_closed) { on_closed_ = std::move(on_closed); }

  // A second start's request (main loop).
  void HandleOpenRequest(const OpenRequest& request);
  // The window menu's commands (posted, as the menu's would be).
  void PostSysCommand(unsigned command);
  void OnSysCommand(unsigned command);

  // IFrameHost
  GtkWindow* window() override { return GTK_WINDOW(window_); }
  void Navigate(const std::string& url) override;
  void ShowErrorPage(const std::string& kind, int code) override;
  void ShowMessageBar(int kind, bool with_icon, const std::string& text,
                      const std::string& link) override;
  void HideMessageBar() override;
  int MessageBarKindShown() override;
  void ShowFrameOnce() override;
  bool FrameVisible() override;
  void ShowProgress() override;
  void HideProgress() override;
  void PostFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
  void ScheduleUpdateCheck(bool force) override;
  void StartUpgrade() override;
  void OpenInDefaultBrowser(const std::string& url) override;
  std::uint32_t launch_mode() override { return placement_.launch_mode(); }
  void set_launch_mode(std::uint32_t mode) override { placement_.set_launch_mode(mode); }
  std::string start_url() override { return options_.start_url; }
  bool started_from_screensaver() override { return options_.started_from_screensaver; }

  // CAbstractBrowserEvents
  void OnDocumentComplete() override;
  bool OnBeforeNavigate(const std::string& url, const std::string& top_document_url) override;
  bool OnNewWindow(const std::string& url, const std::string& referrer) override;
  bool OnNavigateError(int status, const std::string& url) override;
  void OnTitleChange(const std::string& title) override;
  void OnNavigateComplete(const std::string& url) override;
  void OnKeyDown(unsigned key, bool ctrl, bool alt, bool shift) override;
  HRESULT SetCredentials(const std::string& user_name, const std::string& password) override;
  bool HasCredentials() override;
  HRESULT SetSetting(const std::string& name, const std::string& value) override;
  HRESULT GetSetting(const std::string& name, std::string* value) override;
  HRESULT ShowCollageSettingsDlg() override;
  HRESULT StartCollage() override;
  HRESULT ShowAboutDlg() override;
  HRESULT CheckForUpdates() override;
  HRESULT UpgradeNow() override;
  HRESULT ShowStatusMessage(const std::string& message, const std::string& url) override;
  HRESULT OpenHomePage() override;
  HRESULT SetupScreensaver(const std::string& setting) override;
  int ScreensaverSetup() override;

  // Window size modes: 0 normal, 1 800x600, 2 1024x768, 3 full screen.
  enum SizeMode : int { kSizeNormal = 0, kSize800 = 1, kSize1024 = 2, kSizeFullScreen = 3 };
  int size_mode() const { return size_mode_; }
  std::uint32_t show_command() const { return show_command_; }
  // The rectangle and show state a close would save now.
  FrameRect RectToSave() const;
  const std::string& pending_url() const { return pending_url_; }
  bool shown() const { return shown_; }
  bool initialised() const { return initialised_; }
  MessageBar* message_bar() { return message_bar_.get(); }
  const std::string& message_bar_link() const { return message_bar_link_; }
  CAbstractBrowser* browser() { return browser_.get(); }
  GtkWidget* window_menu() { return window_menu_; }
  // A click on the bar's parts (as a person's).
  void OnMessageBarIconClick();
  void OnMessageBarTextClick();

 // Where posted messages find the frame (cleared when it goes away).
  struct Mailbox;

 private:
  static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);
  static void OnDestroy(GtkWidget*, gpointer self);
  static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self);
  static gboolean OnConfigure(GtkWidget*, GdkEventConfigure* event, gpointer self);
  static gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer self);
  static void OnCloseItem(GtkMenuItem*, gpointer self);
  void OnFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
  void SetSizeMode(int mode);
  void ApplyFixedSize(int width, int height);
  FrameRect CurrentRect() const;
  void RefreshScript();
  void ReleaseChildren();

  FrameOptions options_;
  FrameServices services_;
  WindowPlacement& placement_;
  CSuiteSettings& settings_;
  std::shared_ptr<Mailbox> mailbox_;

  GtkWidget* window_ = nullptr;
  GtkWidget* header_ = nullptr;
  GtkWidget* window_menu_ = nullptr;
  GtkWidget* content_ = nullptr;
  std::unique_ptr<MessageBar> message_bar_;
  std::unique_ptr<CAbstractBrowser> browser_;
  std::unique_ptr<CFrameNavigation> navigation_;
  std::unique_ptr<CProgressWindow> progress_;
  std::unique_ptr<CUpdateNotifier> updates_;
  std::function<void()> on_closed_;

  int message_bar_kind_ = kBarWarning;
  std::string message_bar_link_;
  std::uint32_t show_command_ = kShowMaximize;
  bool shown_ = false;
  bool initialised_ = false;
  bool closed_ = false;
  std::string pending_url_;
  int navigate_retries_ = 0;
  int size_mode_ = kSizeNormal;
  FrameRect normal_rect_;  // the last rectangle in size mode 0, not maximized
  FrameRect saved_rect_;
  std::uint32_t saved_show_ = kShowRestore;
  int expected_width_ = 0, expected_height_ = 0;  // of our own fixed-size resize
};

}  // namespace quol::client
