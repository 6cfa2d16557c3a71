// QuolDevuzez: the desktop client program. Wires the client's parts into
// the frame; everything else happens in RunQuolDevuzez (client_app.h).
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "client/app/client_app.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/saverinstall/saver_install.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/update/update_checker.h"
#include "foundation/wizard/settings_sheet.h"
#include "platform/crash/crash_handler.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/process/spawn.h"
#include "platform/registry/registry.h"
#if QUOL_CLIENT_HAS_BROWSER
#include "client/browser/builtin_pages.h"
#include "client/browser/internet_explorer.h"
#include "client/browser/navigation_policy.h"
#endif
#if QUOL_CLIENT_HAS_WINDOWS
#include "client/windows/client_windows.h"
#endif
#if QUOL_CLIENT_HAS_TOOLS
#include "client/tools/client_tools.h"
#endif

namespace {

using namespace quol;
using namespace quol::client;

// Left Shift and left Ctrl held while the client starts open the hidden
// "Advanced" submenu.
[[maybe_unused]] bool AdvancedKeysHeld() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) return false;
  Display* x = GDK_DISPLAY_XDISPLAY(display);
  char keys[32] = {};
  XQueryKeymap(x, keys);
  auto held = [&](KeySym sym) {
    const KeyCode code = XKeysymToKeycode(x, sym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
  };
  return held(XK_Shift_L) && held(XK_Control_L);
}

// The folder Updater is in: the installed client's ("Vevuvov" of the
// machine hive), else this program's own.
[[maybe_unused]] std::string InstallationFolder() {
  const std::string path = InstalledClientPath();
  if (!path.empty()) return platform::DirName(path);
  return platform::DirName(platform::ExecutablePath());
}

#if QUOL_CLIENT_HAS_BROWSER
// The browser part's policy as the frame sees it.
class PolicyNavigation : public CFrameNavigation {
 public:
  PolicyNavigation(IFrameHost& frame, CAbstractBrowser* browser)
      : policy_(frame, CGlobalConfig::Instance(), CSuiteSettings::Instance(),
                CCobrandableModule::Instance()) {
    policy_.AttachBrowser(browser);
  }
  ~PolicyNavigation() override { policy_.AttachBrowser(nullptr); }
  bool OnBeforeNavigate(const std::string& url, const std::string& top) override {
    return policy_.OnBeforeNavigate(url, top);
  }
  bool OnNewWindow(const std::string& url, const std::string& referrer) override {
    return policy_.OnNewWindow(url, referrer);
  }
  bool OnNavigateError(int status, const std::string& url) override {
    return policy_.OnNavigateError(status, url);
  }
  void OnDocumentComplete() override { policy_.OnDocumentComplete(); }
  void OnNavigateComplete(const std::string& url) override { policy_.OnNavigateComplete(url); }
  void OnNavigationErrorMessage(int status) override { policy_.OnNavigationErrorMessage(status); }
  std::string HomeURL(std::uint32_t mode) override { return policy_.HomeURL(mode); }
  std::string CombinedURL(const std::string& path) override { return policy_.CombinedURL(path); }
  CSignInCookies& signin() { return policy_.signin(); }

 private:
  CNavigationPolicy policy_;
};
#endif

FrameServices MakeFrameServices() {
  FrameServices services;
  // The policy exists once the frame has made it; the cookie service asks
  // it then.
  struct Shared {
    CFrameNavigation* navigation = nullptr;
    CAbstractBrowser* browser = nullptr;  // for the about box's browser line
  };
  auto shared = std::make_shared<Shared>();
#if QUOL_CLIENT_HAS_BROWSER
  services.make_browser = [](CAbstractBrowserEvents& events) -> std::unique_ptr<CAbstractBrowser> {
    return CInternetExplorer::Create(&events);
  };
  services.make_navigation = [shared](IFrameHost& frame, CAbstractBrowser* browser) {
    auto navigation = std::make_unique<PolicyNavigation>(frame, browser);
    shared->navigation = navigation.get();
    shared->browser = browser;
    return std::unique_ptr<CFrameNavigation>(std::move(navigation));
  };
  services.set_auth_cookies = [shared](const std::string& url, std::function<void()> done) {
    auto* navigation = static_cast<PolicyNavigation*>(shared->navigation);
    if (navigation == nullptr) {
      done();
      return;
    }
    navigation->signin().SetAuthCookies(url, std::move(done));
  };
#endif
#if QUOL_CLIENT_HAS_WINDOWS
  services.make_progress = [](GtkWindow* owner) { return CProgressWindow::Create(owner); };
  services.run_about = [](GtkWindow* parent, const std::string& version) {
    RunAboutDialog(parent, version);
  };
  services.message_bar_icon = []() -> GdkPixbuf* {
    std::string bytes;
    if (!LoadClientResource(std::to_string(kIconResource), &bytes)) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    GdkPixbuf* icon = nullptr;
    if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(),
                                nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
      icon = gdk_pixbuf_loader_get_pixbuf(loader);
      if (icon != nullptr) g_object_ref(icon);
    } else {
      gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return icon;
  };
#endif
#if QUOL_CLIENT_HAS_TOOLS
#if QUOL_CLIENT_HAS_BROWSER
  // The tools' diagnostics page, served as a built-in res:// page.
  AddBuiltinPage(kDiagnosticsPageName, "text/html; charset=utf-8", [] { return DiagnosticsPageHtml(); });
#endif
  services.make_updates = [](IFrameHost& frame) {
    return CUpdateNotifier::Create(frame, UpdateChecker::Instance(), InstallationFolder());
  };
  const bool advanced = AdvancedKeysHeld();
  services.add_tools_menu = [advanced, shared](GtkMenuShell* menu, IFrameHost& frame,
                                               CUpdateNotifier& updates) {
    AddToolsMenuItems(menu, frame, updates, advanced, [shared] {
      std::string version;
      if (shared->browser == nullptr || !shared->browser->GetVersion(&version)) version.clear();
      return version;
    });
  };
  services.run_tools_command = [](unsigned command, IFrameHost& frame, CUpdateNotifier& updates,
                                  const std::string& version) {
    return RunToolsCommand(command, frame, updates, version);
  };
#endif
  services.show_settings = [](GtkWindow* parent, int mode) {
    unsigned long owner = 0;
    GdkWindow* window = parent != nullptr ? gtk_widget_get_window(GTK_WIDGET(parent)) : nullptr;
    if (window != nullptr && GDK_IS_X11_WINDOW(window)) owner = gdk_x11_window_get_xid(window);
    static_cast<void>(ShowSettings(owner, mode));
  };
  services.package_ready = [] { return UpdateChecker::Instance().package_ready(); };
  services.spawn = [](const std::string& path, const std::vector<std::string>& args) {
    return Succeeded(platform::SpawnProcess(path, args));
  };
  services.open_uri = [](const std::string& url) {
    // QUOL_URL_OPENER: a program given the URL instead (tests record it).
    const char* opener = std::getenv("QUOL_URL_OPENER");
    if (opener != nullptr && *opener != '\0') {
      return Succeeded(platform::SpawnProcess(opener, {url}));
    }
    return g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr) != FALSE;
  };
  services.saver_choice = [] { return GetScreenSaverChoice(); };
  services.elevated = [] { return ::geteuid() == 0; };
  services.saver_path = [] { return ScreenSaverPath(); };
  return services;
}

}  // namespace

int main(int argc, char** argv) {
  platform::InstallCrashHandler(platform::JoinPath(platform::DataFolderPath(), "crash.dmp"),
                                "QuolDevuzez " + platform::ProgramFileVersionText());
  ClientParts parts;
  parts.frame_services = &MakeFrameServices;
#if QUOL_CLIENT_HAS_WINDOWS
  parts.register_resources = [] {
    EnsureClientResourcesRegistered();
    RegisterClientPrivateFont();
  };
  parts.make_splash = [](GtkWindow* frame, std::function<void()> on_timeout) {
    return CSplashWindow::Create(kSplashBitmap, frame, kSplashTimeoutMs, std::move(on_timeout));
  };
#endif
  return RunQuolDevuzez(argc, argv, parts);
}

// GTK, Pango and fontconfig fill caches that live until the process ends,
// WebKit's JavaScript engine and the accessibility bridge keep their own;
// the leak checker of the sanitizer builds cannot trace them. They are the
// libraries' caches, not leaks of ours. Nothing calls this without the
// checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libjavascriptcoregtk-4.1.so\n"
         "leak:libatk-bridge-2.0.so\n"
         "leak:libdbus-1.so\n"
         "leak:libexpat.so\n";
}
