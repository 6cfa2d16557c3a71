#include "client/app/client_app.h"

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "client/app/command_line.h"
#include "client/app/open_request.h"
#include "client/frame/window_placement.h"
#include "client/windows/client_windows.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/saverinstall/saver_install.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/update/update_checker.h"
#include "foundation/wizard/settings_sheet.h"
#include "platform/identity/identity.h"
#include "platform/mutex/named_mutex.h"
#include "platform/text/utf.h"

namespace quol::client {
namespace {

constexpr int kSendTimeoutMs = 5000;
constexpr char kClientMutex[] = "Local\\QuolDevuzez";
constexpr char kConfigMutex[] = "Local\\QuolDevuzezConfig";

std::vector<std::string> ArgumentList(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc && args.size() < 64; ++i) {
    std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (arg.size() > kMaxArgumentTextLength) arg.resize(kMaxArgumentTextLength);
    args.push_back(std::move(arg));
  }
  return args;
}

bool OpenDisplay() {
  if (!gtk_init_check(nullptr, nullptr)) return false;
  // The window class the single-instance socket is named after. Set after
  // GTK's start, which sets its own (and would drop ours unfreed).
  gdk_set_program_class(kFrameWindowClass);
  return true;
}

const char* DisplayName() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr ? name : "";
}

int RunSettingsMode(int mode, const std::string& text, const ClientParts& parts) {
  if (!OpenDisplay()) {
    std::fprintf(stderr, "QuolDevuzez: cannot open the display '%s' for the settings\n",
                 DisplayName());
    LogError("Settings mode %d: cannot open the display", mode);
    return 1;
  }
  if (parts.register_resources) parts.register_resources();
  unsigned long parent = ParseParentWindow(text);
  if (parent != 0 && !ParentWindowExists(parent)) {
    LogInfo("Parent window %lu does not exist; the dialog has none", parent);
    parent = 0;
  }
  static_cast<void>(ShowSettings(parent, mode));  // the sheet saves on OK
  static_cast<void>(CSuiteSettings::Instance().Save());
  return 0;
}

}  // namespace

bool ParentWindowExists(unsigned long xid) {
  if (xid == 0) return false;
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) return false;
  gdk_x11_display_error_trap_push(display);
  XWindowAttributes attributes;
  const Status status = XGetWindowAttributes(GDK_DISPLAY_XDISPLAY(display), xid, &attributes);
  const int error = gdk_x11_display_error_trap_pop(display);
  return status != 0 && error == 0;
}

int RunSecondInstance(const std::string& argument_text, const std::vector<std::string>& args) {
  OpenRequest request;
  if (platform::StartsWithIgnoreCase(argument_text, "/n")) {
    const ClientArguments parsed = ReadClientArguments(args, {});
    // "/n" without a usable path only brings the client to the front; it
    // does not send the client to the root of the site.
    if (parsed.start_path_flag) {
      request.command = kOpenCommandPath;
      request.path = parsed.start_path;
    }
  }
  std::string message;
  if (!EncodeOpenRequest(request, &message)) {
    LogInfo("Second start: the path does not fit the request; nothing sent");
    return 0;
  }
  const SendResult result = SendOpenRequest(OpenRequestSocketPath(), message, kSendTimeoutMs);
  LogInfo("Second start: request %u %s", request.command,
          result == SendResult::kAccepted  ? "accepted"
          : result == SendResult::kRefused ? "refused"
                                           : "not sent (no running client)");
  return 0;
}

namespace {

// SIGTERM or SIGINT: the modal dialogs are closed first (as if their close
// button was pressed: the sheet cancels, a box answers), because each runs
// a main loop of its own that would keep the program alive; the frame is
// closed once they have unwound, from the loop that is then running.
struct EndRequest {
  CMainFrame* frame;
  guint idle = 0;

  static gboolean OnSignal(gpointer data) {
    auto* self = static_cast<EndRequest*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
      GtkWindow* window = GTK_WINDOW(item->data);
      if (window == self->frame->window() || !gtk_widget_get_visible(GTK_WIDGET(window))) continue;
      if (!GTK_IS_DIALOG(window) && !gtk_window_get_modal(window)) continue;
      GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
      if (surface == nullptr) continue;
      GdkEvent* event = gdk_event_new(GDK_DELETE);
      event->any.window = GDK_WINDOW(g_object_ref(surface));
      event->any.send_event = TRUE;
      gtk_main_do_event(event);
      gdk_event_free(event);
    }
    g_list_free(windows);
    if (self->idle == 0) {
      self->idle = g_idle_add(
          [](gpointer data) -> gboolean {
            auto* self = static_cast<EndRequest*>(data);
            self->idle = 0;
            self->frame->Close();
            return G_SOURCE_REMOVE;
          },
          self);
    }
    return G_SOURCE_CONTINUE;
  }
  void Cancel() {
    if (idle != 0) g_source_remove(idle);
    idle = 0;
  }
};

}  // namespace

int RunQuolDevuzez(int argc, char** argv, const ClientParts& parts) {
  const std::vector<std::string> args = ArgumentList(argc, argv);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kClientUsage, stdout);
    return 0;
  }
  const std::string text = JoinArguments(argc, argv);
  const int mode = DecideMode(text);

  platform::NamedMutex mutex;
  if (mode == kModeClient || mode == kModeWizard || mode == kModeSettings) {
    const HRESULT hr = mutex.Create(mode == kModeClient ? kClientMutex : kConfigMutex);
    if (hr == S_FALSE) return RunSecondInstance(text, args);
    if (Failed(hr)) LogError("Single-instance lock not taken: %x", static_cast<unsigned>(hr));
  }
  LogInfo("QuolDevuzez %s, mode %d: %s", platform::ProgramFileVersionText().c_str(), mode,
          text.empty() ? "null" : text.c_str());

  if (mode == kModeAllUsersSaver) {
    if (GetScreenSaverChoice() != kSaverForEveryone) ApplyScreenSaverChoice(kSaverForEveryone);
    return 0;
  }

  LogInfo("Starting...");
  CSuiteSettings& settings = CSuiteSettings::Instance();
  if (Failed(settings.Load())) LogError("Settings not loaded; running with the defaults");
  CGlobalConfig& config = CGlobalConfig::Instance();
  if (Failed(config.Load())) LogError("Configuration not loaded; running with the defaults");

  if (mode != kModeClient) return RunSettingsMode(mode, text, parts);

  WindowPlacement placement;
  placement.Load();
  FrameOptions options;
  options.product_name = CCobrandableModule::Instance().LoadString(kStringProductName);
  options.start_url = config.home_page_url();
  options.whats_new_url = config.whats_new_url();
  const ClientArguments parsed =
      ReadClientArguments(args, [](const std::string& url) { return IsUrlSafe(url, nullptr, true); });
  if (!parsed.start_url.empty()) options.start_url = parsed.start_url;
  if (parsed.from_screensaver) {
    placement.set_launch_mode(UpdateChecker::Instance().package_ready() ? kLaunchScreensaverFirstTime
                                                                        : kLaunchScreensaver);
    options.started_from_screensaver = true;
  }
  options.start_path_flag = parsed.start_path_flag;
  options.start_path = parsed.start_path;

  if (!OpenDisplay()) {
    std::fprintf(stderr, "QuolDevuzez: cannot open the display '%s'\n", DisplayName());
    LogError("Cannot open the display");
    return 1;
  }
  if (parts.register_resources) parts.register_resources();

  int exit_code = 0;
  {
    FrameServices services = parts.frame_services ? parts.frame_services() : FrameServices{};
    CMainFrame frame(options, std::move(services), placement, settings);
    if (!frame.Create()) {
      LogError("The main frame could not be created");
      return 0;  // the settings are not saved
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    frame.set_on_closed([loop] { g_main_loop_quit(loop); });
    std::unique_ptr<CSplashWindow> splash;
    if (parts.make_splash) {
      splash = parts.make_splash(frame.window(), [&frame] { frame.ShowFrameOnce(); });
    }
    if (splash) {
      // On screen before the browser is made (which takes a few hundred
      // milliseconds): its map and first draw are handled now, not when the
      // main loop first runs. Bounded: only what is pending.
      gdk_display_sync(gdk_display_get_default());
      for (int i = 0; i < 64 && g_main_context_iteration(nullptr, FALSE); ++i) {
      }
      gdk_display_flush(gdk_display_get_default());
    } else {
      frame.ShowFrameOnce();
    }
    frame.Initialise();

    std::string error;
    auto listener = OpenRequestListener::Create(
        OpenRequestSocketPath(), [&frame](const OpenRequest& request) { frame.HandleOpenRequest(request); },
        &error);
    if (!listener) LogError("Second starts cannot reach this client: %s", error.c_str());

    // A polite end (log-out, kill) closes the frame as its close button does,
    // also while a dialog runs a loop of its own (the sign-in sheet, a box).
    EndRequest end{&frame};
    const guint term = g_unix_signal_add(SIGTERM, &EndRequest::OnSignal, &end);
    const guint interrupt = g_unix_signal_add(SIGINT, &EndRequest::OnSignal, &end);
    g_main_loop_run(loop);
    g_source_remove(term);
    g_source_remove(interrupt);
    end.Cancel();
    listener.reset();
    if (splash) splash->Close();
    splash.reset();
    g_main_loop_unref(loop);
    exit_code = 1;  // a normal close of the frame
    LogInfo("Exiting with %d", exit_code);
  }
  UpdateChecker::Instance().Stop();
  static_cast<void>(settings.Save());  // logs its own failures
  return exit_code;
}

}  // namespace quol::client
