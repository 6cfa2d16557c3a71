#include "client/frame/main_frame.h"

#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "client/app/open_request.h"
#include "client/tools/client_tools.h"
#include "client/windows/client_windows.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "platform/identity/identity.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol::client {

// Where posted frame messages go. The frame clears `frame` when it goes
// away; a message still queued then finds nobody and is dropped. Both
// happen on the main thread, so no lock is needed for `frame` itself; other
// threads only copy the shared pointer.
struct CMainFrame::Mailbox {
  CMainFrame* frame = nullptr;
};

namespace {

struct PostedMessage {
  std::shared_ptr<CMainFrame::Mailbox> mailbox;
  unsigned message = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
};

// Bounds of what a page may hand to the frame.
constexpr std::size_t kMaxUrlLength = 4096;
constexpr std::size_t kMaxSettingValueLength = 64 * 1024;

bool IsHttpUrl(const std::string& url) {
  return platform::StartsWithIgnoreCase(url, "http://") ||
         platform::StartsWithIgnoreCase(url, "https://");
}

const char* ModeName(std::uint32_t launch_mode) {
  switch (launch_mode) {
    case kLaunchFirstTime: return "FirstTime";
    case kLaunchPostUpgrade: return "PostUpgrade";
    case kLaunchPostLogout: return "PostLogout";
    case kLaunchCancelLogin: return "CancelLogin";
    case kLaunchScreensaver: return "ScreenSaverLaunch";
    case kLaunchScreensaverFirstTime: return "ScreenSaverLaunchWithUpgrade";
    default: return "";
  }
}

std::string BuildHomeUrl(const std::string& start_url, std::uint32_t launch_mode) {
  std::string url = start_url;
  url += url.find('?') != std::string::npos ? "&" : "?";
  const std::string mode = ModeName(launch_mode);
  if (!mode.empty()) url += "mode=" + mode + "&";
  const CCobrandableModule& module = CCobrandableModule::Instance();
  url += "cobrand=" + module.cobrand_id() + "&v=" + platform::ProgramFileVersionText();
  if (module.sku_index() == 1 || module.sku_index() == 2) {
    url += std::string("&sku=") + CCobrandableModule::SkuName(module.sku_index());
  }
  return url;
}

class BasicNavigation : public CFrameNavigation {
 public:
  BasicNavigation(IFrameHost& frame, CAbstractBrowser* browser) : frame_(frame), browser_(browser) {}
  bool OnBeforeNavigate(const std::string&, const std::string&) override {
    if (frame_.MessageBarKindShown() == kBarSignedOut) frame_.HideMessageBar();
    return true;
  }
  bool OnNewWindow(const std::string&, const std::string&) override { return true; }
  bool OnNavigateError(int status, const std::string& url) override {
    if (status == 404) return true;
    platform::WebUrl target, start;
    if (Failed(platform::ParseWebUrl(url, &target)) ||
        Failed(platform::ParseWebUrl(frame_.start_url(), &start)) || target.host != start.host) {
      return true;
    }
    frame_.PostFrameMessage(kNavigationErrorMessage, 0, status);
    return false;
  }
  void OnDocumentComplete() override {
    frame_.ShowFrameOnce();
    frame_.HideProgress();
  }
  void OnNavigateComplete(const std::string&) override { frame_.ShowFrameOnce(); }
  void OnNavigationErrorMessage(int status) override {
    frame_.ShowFrameOnce();
    const bool online = browser_ == nullptr || browser_->IsOnline();
    frame_.ShowErrorPage(!online ? "offline" : status < 0 ? "connect" : "http", status);
  }
  std::string HomeURL(std::uint32_t launch_mode) override {
    return BuildHomeUrl(frame_.start_url(), launch_mode);
  }
  std::string CombinedURL(const std::string& start_path) override {
    const std::string start = frame_.start_url();
    if (start.empty()) return start_path;
    std::string combined;
    if (Failed(platform::ResolveUrl(start, start_path, &combined))) combined = start;
    return IsUrlSafe(combined, nullptr, true) ? combined : std::string();
  }

 private:
  IFrameHost& frame_;
  CAbstractBrowser* browser_;
};

}  // namespace

std::unique_ptr<CFrameNavigation> MakeBasicNavigation(IFrameHost& frame, CAbstractBrowser* browser) {
  return std::make_unique<BasicNavigation>(frame, browser);
}

CMainFrame::CMainFrame(FrameOptions options, FrameServices services, WindowPlacement& placement,
                       CSuiteSettings& settings)
    : options_(std::move(options)),
      services_(std::move(services)),
      placement_(placement),
      settings_(settings),
      mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->frame = this;
}

CMainFrame::~CMainFrame() {
  mailbox_->frame = nullptr;
  ReleaseChildren();
  message_bar_.reset();
  if (window_ != nullptr) {
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_widget_destroy(window_);
    g_object_unref(window_);
    window_ = nullptr;
  }
}

bool CMainFrame::Create() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (window_ == nullptr) return false;
  g_object_ref_sink(window_);
  gtk_widget_set_name(window_, kFrameWindowClass);
  gtk_window_set_title(GTK_WINDOW(window_), options_.product_name.c_str());
  gtk_window_set_icon_name(GTK_WINDOW(window_), "web-browser");
  GdkGeometry hints{};
  hints.min_width = kMinFrameWidth;
  hints.min_height = kMinFrameHeight;
  gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &hints, GDK_HINT_MIN_SIZE);
  gtk_window_set_default_size(GTK_WINDOW(window_), 1024, 768);

  header_ = gtk_header_bar_new();
  gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(header_), TRUE);
  gtk_header_bar_set_title(GTK_HEADER_BAR(header_), options_.product_name.c_str());
  GtkWidget* menu_button = gtk_menu_button_new();
  gtk_widget_set_name(menu_button, "window-menu-button");
  gtk_button_set_image(GTK_BUTTON(menu_button),
                       gtk_image_new_from_icon_name("open-menu-symbolic", GTK_ICON_SIZE_BUTTON));
  window_menu_ = gtk_menu_new();
  gtk_widget_set_name(window_menu_, "window-menu");
  GtkWidget* close_item = gtk_menu_item_new_with_mnemonic("_Close");
  gtk_widget_set_name(close_item, "close");
  g_signal_connect(close_item, "activate", G_CALLBACK(&OnCloseItem), this);
  gtk_menu_shell_append(GTK_MENU_SHELL(window_menu_), close_item);
  gtk_widget_show_all(window_menu_);
  gtk_menu_button_set_popup(GTK_MENU_BUTTON(menu_button), window_menu_);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header_), menu_button);
  gtk_window_set_titlebar(GTK_WINDOW(window_), header_);

  content_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_), content_);
  GdkPixbuf* icon = services_.message_bar_icon ? services_.message_bar_icon() : nullptr;
  message_bar_ = std::make_unique<MessageBar>(
      icon, [this] { OnMessageBarIconClick(); }, [this] { OnMessageBarTextClick(); });
  if (icon != nullptr) g_object_unref(icon);
  // Along the bottom of the window, as a status bar: the page ends above it.
  gtk_box_pack_end(GTK_BOX(content_), message_bar_->widget(), FALSE, FALSE, 0);

  g_signal_connect(window_, "delete-event", G_CALLBACK(&OnDeleteEvent), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(&OnDestroy), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(&OnKeyPress), this);
  g_signal_connect(window_, "configure-event", G_CALLBACK(&OnConfigure), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(&OnWindowState), this);

  // A valid record puts the window back where it was, still hidden; it shows
  // through ShowFrameOnce.
  if (placement_.valid()) {
    const FrameRect& rect = placement_.rect();
    gtk_window_move(GTK_WINDOW(window_), rect.left, rect.top);
    gtk_window_resize(GTK_WINDOW(window_), std::max(rect.width(), kMinFrameWidth),
                      std::max(rect.height(), kMinFrameHeight));
    normal_rect_ = rect;
    show_command_ = placement_.state() == kShowMaximize ? kShowMaximize : kShowRestore;
  } else {
    normal_rect_ = {0, 0, 1024, 768};
    show_command_ = kShowMaximize;
  }
  if (services_.make_updates) updates_ = services_.make_updates(*this);
  if (updates_ && services_.add_tools_menu) {
    services_.add_tools_menu(GTK_MENU_SHELL(window_menu_), *this, *updates_);
  }
  gtk_widget_show_all(content_);
  gtk_widget_show_all(header_);
  return true;
}

void CMainFrame::Initialise() {
  gtk_window_set_title(GTK_WINDOW(window_), options_.product_name.c_str());
  if (services_.make_progress) progress_ = services_.make_progress(GTK_WINDOW(window_));
  if (services_.make_browser) browser_ = services_.make_browser(*this);
  navigation_ = services_.make_navigation ? services_.make_navigation(*this, browser_.get())
                                          : MakeBasicNavigation(*this, browser_.get());
  if (!browser_ || !browser_->IsCreated()) {
    LogError("No browser control; the frame stays empty");
    initialised_ = true;
    if (updates_) updates_->Attach();
    return;
  }
  GtkWidget* view = browser_->widget();
  if (view != nullptr) {
    gtk_box_pack_start(GTK_BOX(content_), view, TRUE, TRUE, 0);
    gtk_widget_show(view);
  }
  if (placement_.launch_mode() == kLaunchPostUpgrade && !options_.whats_new_url.empty()) {
    ShowMessageBar(kBarWhatsNew, true, kWhatsNewText, options_.whats_new_url);
  }
  auto first_navigation = [mailbox = std::weak_ptr<Mailbox>(mailbox_)] {
    auto box = mailbox.lock();
    if (!box || box->frame == nullptr) return;
    CMainFrame& self = *box->frame;
    if (!self.browser_) return;
    if (!self.browser_->IsOnline()) {
      self.ShowErrorPage("offline", 0);
    } else if (self.options_.start_path_flag) {
      self.Navigate(self.navigation_->CombinedURL(self.options_.start_path));
    } else {
      self.Navigate(self.navigation_->HomeURL(self.placement_.launch_mode()));
    }
  };
  // The sign-in cookie must be in place before the first page asks for it.
  if (services_.set_auth_cookies) {
    services_.set_auth_cookies(options_.start_url, first_navigation);
  } else {
    first_navigation();
  }
  initialised_ = true;
  if (updates_) updates_->Attach();
}

void CMainFrame::ReleaseChildren() {
  if (browser_) browser_->Close();
  navigation_.reset();
  browser_.reset();
  progress_.reset();
  updates_.reset();
}

FrameRect CMainFrame::CurrentRect() const {
  int x = 0, y = 0, width = 0, height = 0;
  gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window_), &width, &height);
  return {x, y, x + width, y + height};
}

FrameRect CMainFrame::RectToSave() const {
  return size_mode_ != kSizeNormal ? saved_rect_ : normal_rect_;
}

void CMainFrame::Close() {
  if (closed_ || window_ == nullptr) return;
  const std::uint32_t show = size_mode_ != kSizeNormal ? saved_show_ : show_command_;
  static_cast<void>(placement_.Save(RectToSave(), show));  // failures logged, not shown
  closed_ = true;
  mailbox_->frame = nullptr;
  ReleaseChildren();
  gtk_widget_hide(window_);
  if (on_closed_) {
    auto done = std::move(on_closed_);
    done();
  }
}

gboolean CMainFrame::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<CMainFrame*>(self)->Close();
  return TRUE;  // the frame's owner destroys the window
}

// Another part destroyed the window (an upgrade hands over and ends the
// client): the end of the frame without a close, so nothing is saved.
void CMainFrame::OnDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<CMainFrame*>(data);
  if (self->closed_) return;
  self->closed_ = true;
  self->mailbox_->frame = nullptr;
  self->ReleaseChildren();
  if (self->on_closed_) {
    auto done = std::move(self->on_closed_);
    done();
  }
}

void CMainFrame::OnCloseItem(GtkMenuItem*, gpointer self) {
  static_cast<CMainFrame*>(self)->Close();
}

gboolean CMainFrame::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
  // Runs before the focused widget (the web view) sees the key, so F11
  // works whatever has the focus, and is not handed on twice.
  if (event->keyval != GDK_KEY_F11) return FALSE;
  const bool ctrl = (event->state & GDK_CONTROL_MASK) != 0;
  const bool alt = (event->state & GDK_MOD1_MASK) != 0;
  const bool shift = (event->state & GDK_SHIFT_MASK) != 0;
  static_cast<CMainFrame*>(self)->OnKeyDown(GDK_KEY_F11, ctrl, alt, shift);
  return TRUE;
}

gboolean CMainFrame::OnConfigure(GtkWidget*, GdkEventConfigure*, gpointer data) {
  auto* self = static_cast<CMainFrame*>(data);
  const FrameRect now = self->CurrentRect();
  if (self->initialised_ && (self->size_mode_ == kSize800 || self->size_mode_ == kSize1024) &&
      (now.width() != self->expected_width_ || now.height() != self->expected_height_)) {
    // The user resized the window by hand: back to the normal mode, without
    // putting the old rectangle back.
    self->size_mode_ = kSizeNormal;
  }
  if (self->size_mode_ == kSizeNormal && !gtk_window_is_maximized(GTK_WINDOW(self->window_)) &&
      gtk_widget_get_visible(self->window_)) {
    self->normal_rect_ = now;
  }
  if (self->progress_) self->progress_->Recentre();
  return FALSE;
}

gboolean CMainFrame::OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  auto* self = static_cast<CMainFrame*>(data);
  if (!self->initialised_) return FALSE;
  const GdkWindowState state = event->new_window_state;
  if ((state & (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_FULLSCREEN)) != 0) {
    if ((state & GDK_WINDOW_STATE_ICONIFIED) != 0) self->HideProgress();
    return FALSE;
  }
  self->show_command_ = (state & GDK_WINDOW_STATE_MAXIMIZED) != 0 ? kShowMaximize : kShowRestore;
  return FALSE;
}

void CMainFrame::OnKeyDown(unsigned key, bool ctrl, bool alt, bool shift) {
  if (key != GDK_KEY_F11 || ctrl || alt || closed_) return;
  if (shift) {
    SetSizeMode(size_mode_ != kSize800 ? kSize800 : kSize1024);
  } else {
    SetSizeMode(size_mode_ != kSizeFullScreen ? kSizeFullScreen : kSizeNormal);
  }
}

void CMainFrame::SetSizeMode(int mode) {
  GtkWindow* window = GTK_WINDOW(window_);
  if (size_mode_ == kSizeNormal && mode != kSizeNormal) {
    saved_rect_ = normal_rect_;
    saved_show_ = show_command_;
  }
  if (size_mode_ == kSizeFullScreen && mode != kSizeFullScreen) {
    gtk_window_set_keep_above(window, FALSE);
    gtk_window_unfullscreen(window);
    gtk_widget_show(header_);
  }
  const int old_mode = size_mode_;
  size_mode_ = mode;
  switch (mode) {
    case kSize800:
      ApplyFixedSize(800, 600);
      break;
    case kSize1024:
      ApplyFixedSize(1024, 768);
      break;
    case kSizeFullScreen: {
      GdkDisplay* display = gtk_widget_get_display(window_);
      GdkWindow* gdk_window = gtk_widget_get_window(window_);
      GdkMonitor* monitor = gdk_window != nullptr
                                ? gdk_display_get_monitor_at_window(display, gdk_window)
                                : gdk_display_get_primary_monitor(display);
      if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
      GdkRectangle area{0, 0, 1024, 768};
      if (monitor != nullptr) gdk_monitor_get_geometry(monitor, &area);
      gtk_widget_hide(header_);
      gtk_window_unmaximize(window);
      gtk_window_set_keep_above(window, TRUE);
      // Without a window manager nobody honours the full-screen request, so
      // the window covers the monitor by itself as well.
      gtk_window_move(window, area.x, area.y);
      gtk_window_resize(window, area.width, area.height);
      expected_width_ = area.width;
      expected_height_ = area.height;
      if (monitor != nullptr) {
        int index = 0;
        for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
          if (gdk_display_get_monitor(display, i) == monitor) index = i;
        }
        gtk_window_fullscreen_on_monitor(window, gtk_widget_get_screen(window_), index);
      } else {
        gtk_window_fullscreen(window);
      }
      break;
    }
    default:
      if (old_mode != kSizeNormal) {
        gtk_window_move(window, saved_rect_.left, saved_rect_.top);
        gtk_window_resize(window, std::max(saved_rect_.width(), kMinFrameWidth),
                          std::max(saved_rect_.height(), kMinFrameHeight));
        normal_rect_ = saved_rect_;
        show_command_ = kShowRestore;
        if (saved_show_ == kShowMaximize) {
          gtk_window_maximize(window);
          show_command_ = kShowMaximize;
        }
      }
      break;
  }
}

void CMainFrame::ApplyFixedSize(int width, int height) {
  GtkWindow* window = GTK_WINDOW(window_);
  gtk_window_unmaximize(window);
  expected_width_ = width;
  expected_height_ = height;
  gtk_window_resize(window, width, height);
}

void CMainFrame::ShowFrameOnce() {
  if (shown_ || closed_ || window_ == nullptr) return;
  shown_ = true;
  if (show_command_ == kShowMaximize) gtk_window_maximize(GTK_WINDOW(window_));
  gtk_window_present(GTK_WINDOW(window_));
}

bool CMainFrame::FrameVisible() { return window_ != nullptr && gtk_widget_get_visible(window_); }

void CMainFrame::ShowProgress() {
  if (progress_) progress_->Show();
}

void CMainFrame::HideProgress() {
  if (progress_) progress_->RequestHide();
}

void CMainFrame::Navigate(const std::string& url) {
  if (closed_) return;
  if (url.empty() || url.size() > kMaxUrlLength) {
    LogError("Not navigating to an empty or over-long URL (%zu characters)", url.size());
    return;
  }
  if (browser_ && browser_->Navigate(url)) {
    pending_url_.clear();
    navigate_retries_ = 0;
    return;
  }
  pending_url_ = url;
  PostFrameMessage(kRetryNavigationMessage, 0, 0);
}

void CMainFrame::ShowErrorPage(const std::string& kind, int code) {
  char url[512];
  std::snprintf(url, sizeof url, "res://%s/offline.htm#error=%s&code=%d",
                options_.program_file_name.c_str(), kind.substr(0, 16).c_str(), code);
  Navigate(url);
}

void CMainFrame::ShowMessageBar(int kind, bool with_icon, const std::string& text,
                                const std::string& link) {
  if (!message_bar_) return;
  const bool clickable = kind == kBarInfo || kind == kBarWhatsNew || kind == kBarUpgrade;
  message_bar_->Show(with_icon, text, clickable);
  message_bar_kind_ = kind;
  if (kind == kBarWhatsNew) message_bar_link_ = link.size() <= kMaxUrlLength ? link : "";
}

void CMainFrame::HideMessageBar() {
  if (!message_bar_ || !message_bar_->visible()) return;
  message_bar_->Hide();
  message_bar_kind_ = kBarWarning;
}

int CMainFrame::MessageBarKindShown() {
  return message_bar_ && message_bar_->visible() ? message_bar_kind_ : -1;
}

void CMainFrame::OnMessageBarIconClick() { HideMessageBar(); }

void CMainFrame::OnMessageBarTextClick() {
  switch (message_bar_kind_) {
    case kBarInfo:
      HideMessageBar();
      break;
    case kBarWhatsNew: {
      const std::string link = message_bar_link_;
      if (!link.empty()) Navigate(link);
      HideMessageBar();
      break;
    }
    case kBarUpgrade:
      if (services_.package_ready && services_.package_ready()) StartUpgrade();
      break;
    default:
      break;  // the signed-out notice stays until the next navigation
  }
}

void CMainFrame::PostFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
  // A heap copy for the loop; an idle source is always run later, never
  // inside this call, so a handler never re-enters its poster.
  auto* posted = new PostedMessage{mailbox_, message, wparam, lparam};
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        auto* item = static_cast<PostedMessage*>(data);
        if (item->mailbox->frame != nullptr) {
          item->mailbox->frame->OnFrameMessage(item->message, item->wparam, item->lparam);
        }
        return G_SOURCE_REMOVE;
      },
      posted, [](gpointer data) { delete static_cast<PostedMessage*>(data); });
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

void CMainFrame::PostSysCommand(unsigned command) {
  // Window-menu commands travel as their own kind of posted message.
  PostFrameMessage(0x0112 /* the system-command message */, command, 0);
}

void CMainFrame::OnFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (closed_) return;
  switch (message) {
    case kUpdateResultMessage:
      if (updates_) {
        updates_->OnUpdateResult(static_cast<std::uint16_t>(wparam),
                                 static_cast<std::uint16_t>(lparam));
      }
      break;
    case kNavigationErrorMessage:
      if (navigation_) navigation_->OnNavigationErrorMessage(static_cast<int>(lparam));
      break;
    case kRetryNavigationMessage:
      if (pending_url_.empty()) break;
      if (++navigate_retries_ > kMaxNavigateRetries) {
        LogError("Navigation to '%s' could not be started; giving up", pending_url_.c_str());
        const bool was_error_page =
            platform::StartsWithIgnoreCase(pending_url_, "res://");
        pending_url_.clear();
        navigate_retries_ = 0;
        // The error page itself failing to start ends the retries for good.
        if (!was_error_page) {
          ShowFrameOnce();
          ShowErrorPage("connect", kNavigateStartFailedCode);
          navigate_retries_ = kMaxNavigateRetries;
        }
        break;
      }
      Navigate(pending_url_);
      break;
    case 0x0112:
      OnSysCommand(static_cast<unsigned>(wparam));
      break;
    default:
      break;
  }
}

void CMainFrame::OnSysCommand(unsigned command) {
  if (services_.run_tools_command && updates_) {
    std::string version;
    if (!browser_ || !browser_->GetVersion(&version)) version.clear();
    static_cast<void>(services_.run_tools_command(command & ~0xFu, *this, *updates_, version));
    return;
  }
  switch (command & ~0xFu) {
    case kSysCommandAbout: {
      std::string version;
      if (!browser_ || !browser_->GetVersion(&version)) version.clear();
      if (services_.run_about) services_.run_about(GTK_WINDOW(window_), version);
      break;
    }
    case kSysCommandCheckUpdates:
      ShowMessageBar(kBarInfo, true, kCheckingForUpdatesText, "");
      ScheduleUpdateCheck(true);
      break;
    default:
      break;
  }
}

void CMainFrame::ScheduleUpdateCheck(bool force) {
  if (updates_) updates_->ScheduleUpdateCheck(force);
}

void CMainFrame::StartUpgrade() {
  if (updates_) updates_->StartUpgrade();
}

void CMainFrame::OpenInDefaultBrowser(const std::string& url) {
  const bool allowed = url.size() <= kMaxUrlLength &&
                       (IsHttpUrl(url) || platform::StartsWithIgnoreCase(url, "mailto:"));
  if (!allowed) {
    LogError("Not opening '%.200s' outside the client", url.c_str());
    return;
  }
  if (!services_.open_uri || !services_.open_uri(url)) {
    LogError("Could not open '%.200s' with the default handler", url.c_str());
  }
}

void CMainFrame::HandleOpenRequest(const OpenRequest& request) {
  if (closed_) return;
  if (request.command == kOpenCommandPath) {
    std::string path = request.path;
    if (path.empty() || path[0] != '/') path.insert(0, "/");
    const std::string url = navigation_ ? navigation_->CombinedURL(path) : std::string();
    if (!url.empty() && IsHttpUrl(url) && IsUrlSafe(url, nullptr, true)) {
      LogInfo("Second start: opening '%s'", url.c_str());
      Navigate(url);
    } else {
      LogInfo("Second start: path '%.300s' not opened", path.c_str());
    }
  } else if (request.command == kOpenCommandToFront) {
    LogInfo("Second start: to the front");
  } else {
    return;
  }
  ShowFrameOnce();
  gtk_window_present(GTK_WINDOW(window_));
}

// CAbstractBrowserEvents: the navigation events go to the policy.

void CMainFrame::OnDocumentComplete() {
  if (navigation_) navigation_->OnDocumentComplete();
}

bool CMainFrame::OnBeforeNavigate(const std::string& url, const std::string& top_document_url) {
  return navigation_ ? navigation_->OnBeforeNavigate(url, top_document_url) : true;
}

bool CMainFrame::OnNewWindow(const std::string& url, const std::string& referrer) {
  return navigation_ ? navigation_->OnNewWindow(url, referrer) : false;
}

bool CMainFrame::OnNavigateError(int status, const std::string& url) {
  return navigation_ ? navigation_->OnNavigateError(status, url) : true;
}

void CMainFrame::OnTitleChange(const std::string&) {}

void CMainFrame::OnNavigateComplete(const std::string& url) {
  if (navigation_) navigation_->OnNavigateComplete(url);
}

// What the page's window.external asks for.

void CMainFrame::RefreshScript() {
  if (browser_) browser_->RefreshScriptState();
}

HRESULT CMainFrame::SetCredentials(const std::string& user_name, const std::string& password) {
  settings_.SetEmailAddress(user_name);
  HRESULT hr = settings_.SetPassword(password);
  settings_.SetAccountId("");
  static_cast<void>(settings_.Save());  // a failed save is logged by the store
  if (services_.set_auth_cookies) services_.set_auth_cookies(options_.start_url, [] {});
  RefreshScript();
  return Failed(hr) ? hr : S_OK;
}

bool CMainFrame::HasCredentials() {
  return !settings_.email_address().empty() && !settings_.password().empty();
}

HRESULT CMainFrame::SetSetting(const std::string& name, const std::string& value) {
  if (value.size() > kMaxSettingValueLength) return E_INVALIDARG;
  const HRESULT hr = settings_.SetWebClientValue(name, value);
  if (Failed(hr)) return hr;
  static_cast<void>(settings_.Save());
  RefreshScript();
  return S_OK;
}

HRESULT CMainFrame::GetSetting(const std::string& name, std::string* value) {
  value->clear();
  return settings_.GetWebClientValue(name, value) ? S_OK : S_FALSE;
}

HRESULT CMainFrame::ShowCollageSettingsDlg() {
  if (services_.show_settings) services_.show_settings(GTK_WINDOW(window_), 2);
  if (closed_) return S_OK;
  // The sign-in page of the sheet may have changed the credentials.
  if (services_.set_auth_cookies) services_.set_auth_cookies(options_.start_url, [] {});
  RefreshScript();
  return S_OK;
}

HRESULT CMainFrame::StartCollage() {
  const std::string path = services_.saver_path ? services_.saver_path() : std::string();
  if (path.empty() || !services_.spawn || !services_.spawn(path, {"/P"})) {
    LogError("Could not start the screen saver '%s'", path.c_str());
  }
  return S_OK;
}

HRESULT CMainFrame::ShowAboutDlg() {
  PostSysCommand(kSysCommandAbout);
  return S_OK;
}

HRESULT CMainFrame::CheckForUpdates() {
  PostSysCommand(kSysCommandCheckUpdates);
  return S_OK;
}

HRESULT CMainFrame::UpgradeNow() {
  if (services_.package_ready && services_.package_ready()) StartUpgrade();
  return S_OK;
}

HRESULT CMainFrame::ShowStatusMessage(const std::string& message, const std::string& url) {
  if (message.empty()) {
    HideMessageBar();
  } else if (url.size() >= 5) {
    ShowMessageBar(kBarWhatsNew, true, message, url);
  } else {
    ShowMessageBar(kBarInfo, true, message, "");
  }
  return S_OK;
}

HRESULT CMainFrame::OpenHomePage() {
  if (navigation_) Navigate(navigation_->HomeURL(kLaunchNormal));
  return S_OK;
}

HRESULT CMainFrame::SetupScreensaver(const std::string&) {
  const std::string client = InstalledClientPath();
  if (client.empty()) return S_OK;
  // The dialog asks for the rights it needs when the choice is applied
  // (pkexec), so the client itself is started as this user.
  unsigned long xid = 0;
  GdkWindow* gdk_window = gtk_widget_get_window(window_);
#ifdef GDK_WINDOWING_X11
  if (gdk_window != nullptr && GDK_IS_X11_WINDOW(gdk_window)) xid = gdk_x11_window_get_xid(gdk_window);
#endif
  if (!services_.spawn || !services_.spawn(client, {"/e", std::to_string(xid)})) {
    LogError("Could not start %s for the screen saver choice", client.c_str());
  }
  return S_OK;
}

int CMainFrame::ScreensaverSetup() {
  if (services_.elevated && services_.elevated()) return 0;
  return services_.saver_choice ? services_.saver_choice() : 0;
}

}  // namespace quol::client
