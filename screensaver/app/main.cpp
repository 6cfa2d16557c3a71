// QuolScreensaver: the photo-collage screen saver program.
#include <X11/Xlib.h>
#include <cairo.h>
#include <gtk/gtk.h>
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/saverinstall/saver_install.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/update/update_checker.h"
#include "foundation/wizard/settings_sheet.h"
#include "platform/clipboard/clipboard.h"
#include "platform/crash/crash_handler.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/idle/idle_time.h"
#include "platform/process/spawn.h"
#include "platform/registry/registry.h"
#include "screensaver/app/command_line.h"
#include "screensaver/app/message_loop.h"
#include "screensaver/app/saver_frame.h"
#include "screensaver/appointments/appointment_reminders.h"
#include "screensaver/appointments/appointment_snapshot.h"
#include "screensaver/collage/collage_generator.h"
#include "screensaver/common/random.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"
#include "screensaver/widgets/session_status.h"
#include "screensaver/x11/x_display.h"

namespace {

using namespace quol;
using namespace quol::saver;

// How long the end of the run waits for worker threads. Escape must end the
// saver at once whatever they do; a worker stuck in the kernel (a photo on a
// hung mount, a service that never answers) is left behind, and the process
// then ends with _exit so that nothing it still uses is destroyed.
constexpr std::chrono::milliseconds kBuilderStopWait{500};
constexpr std::chrono::milliseconds kAppointmentsStopWait{300};
// A download ends at once when asked; a configuration refresh runs to its
// own time-out, and is left behind after this.
constexpr std::chrono::milliseconds kUpdateStopWait{300};
constexpr int kExitConnectionLost = 1;

MessageLoop* g_loop = nullptr;
bool g_workers_left_behind = false;

void OnTerminate(int) {
  if (g_loop != nullptr) g_loop->QuitFromSignal();
}

// The X server went away: no window can be closed any more, but the
// settings are saved and the end is logged as on any other exit.
void OnXConnectionLost() {
  LogError("Lost the connection to the X server; ending");
  static_cast<void>(CSuiteSettings::Instance().Save());  // logs its own failures
}

// The update checker as the saver uses it: a check from the window's timer
// when one is due, the upgrade flags for the slides. The outcome message
// needs no handling here: the slides ask the flags when they are made.
class SaverUpdates : public IUpdateStatus {
  class OnceTask {
   public:
    explicit OnceTask(std::function<void()> task) : task_(std::move(task)) {}
    void Run() {
      if (!ran_.exchange(true)) task_();
    }

   private:
    std::function<void()> task_;
    std::atomic<bool> ran_{false};
  };

 public:
  explicit SaverUpdates(UpdateChecker& checker) : checker_(checker) {}
  void MainWindowCreated(std::function<void(std::function<void()>)> post) override {
    // Each outcome is also kept here until it has run, so that one the
    // loop did not get to before it ended is still applied (and saved).
    auto keep_and_post = [this, post = std::move(post)](std::function<void()> task) {
      auto once = std::make_shared<OnceTask>(std::move(task));
      {
        std::lock_guard lock(mutex_);
        pending_.push_back(once);
      }
      post([once] { once->Run(); });
    };
    checker_.CheckForReadyUpgrade(
        {std::move(keep_and_post), [](unsigned, std::uint16_t, std::uint16_t) {}});
  }
  // Window thread, after the loop has ended and the check has stopped.
  void RunLeftOverOutcomes() {
    std::vector<std::shared_ptr<OnceTask>> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    for (const auto& task : pending) task->Run();
  }
  int SecondsUntilCheck() override {
    return static_cast<int>(std::min<std::uint32_t>(checker_.SecondsUntilNextCheck(), 1u << 30));
  }
  void StartBackgroundCheck() override { checker_.StartCheck(); }
  bool UpgradeAvailable() override { return checker_.package_ready(); }
  bool RequiredUpgrade() override { return checker_.IsUpgradeRequired(); }

 private:
  UpdateChecker& checker_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<OnceTask>> pending_;
};

// The settings pages over the running saver (the "/" key). The sheet is an
// ordinary managed window on GTK's own connection; the frame has released
// its grabs and shown the pointer before this runs.
class SaverSettingsWindow : public ISettingsWindow {
 public:
  int Run(int mode, unsigned long parent) override {
    if (!gtk_init_check(nullptr, nullptr)) {
      LogError("Settings mode %d: no display for the settings window", mode);
      return 1;
    }
    ShowSettingsOptions options;
    options.from_running_saver = true;
    static_cast<void>(ShowSettings(parent, mode, options));  // saved by the sheet on OK
    return 0;
  }
};

// Asks a running check to end and waits a little; a check still running
// after that is left behind (see g_workers_left_behind).
bool StopUpdateCheck(UpdateChecker& checker) {
  checker.RequestStop();
  const auto deadline = std::chrono::steady_clock::now() + kUpdateStopWait;
  while (checker.checking() && std::chrono::steady_clock::now() < deadline) {
    usleep(10000);
  }
  if (checker.checking()) return false;
  checker.Stop();  // joins the finished worker
  return true;
}

// The "C" key: the desktop client, started with "/S".
void LaunchClient() {
  const std::string path = InstalledClientPath();
  if (path.empty()) return;
  int error = 0;
  if (Failed(platform::SpawnProcess(path, {"/S"}, nullptr, &error))) {
    LogError("Could not start %s: %d", path.c_str(), error);
  }
}

// The "S" key: the picture goes to the clipboard and, when a clipboard
// manager runs, stays there after the saver has ended.
bool CopyToClipboard(cairo_surface_t* picture) {
  cairo_surface_flush(picture);
  platform::ClipboardImage image;
  image.pixels = cairo_image_surface_get_data(picture);
  image.width = cairo_image_surface_get_width(picture);
  image.height = cairo_image_surface_get_height(picture);
  image.stride = cairo_image_surface_get_stride(picture);
  image.has_alpha = cairo_image_surface_get_format(picture) != CAIRO_FORMAT_RGB24;
  return platform::MakeDesktopClipboard()->SetImage(image);
}

// Mesa unloads its driver when the last display closes, and what the driver
// still holds then is reported as leaked from an unknown module by the leak
// checker of the sanitizer builds (the suppressions cannot name a module that
// is gone). Drivers loaded so far stay until the process ends.
void KeepGlDriversLoaded() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        const char* name = info->dlpi_name;
        if (name != nullptr && std::strstr(name, "_dri.so") != nullptr) {
          // NOLOAD: only what is loaded; NODELETE: the reference is meant to stay.
          dlopen(name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        }
        return 0;
      },
      nullptr);
}

// Whether the user touched the computer within the last minute (or nobody
// can tell): then the saver was started by hand.
bool StartedByHand(Display* display) {
  std::uint64_t idle_ms = 0;
  if (!platform::IdleMilliseconds(display, &idle_ms)) return true;
  return idle_ms < 60000;
}

int Run(const SaverCommandLine& line) {
  LogInfo("Startup %s: %s", platform::ProgramFileVersionText().c_str(),
          line.text.empty() ? "null" : line.text.c_str());
  // A store that does not load keeps its defaults (and logs why): the saver
  // still runs, with the built-in settings.
  CSuiteSettings& settings = CSuiteSettings::Instance();
  if (Failed(settings.Load())) LogError("Settings not loaded; running with the defaults");
  CGlobalConfig& config = CGlobalConfig::Instance();
  if (Failed(config.Load())) LogError("Configuration not loaded; running with the defaults");
  const std::string product = CCobrandableModule::Instance().LoadString(kStringCollageProductName);

  SetDebugRandom(line.debug);
  SeedThreadRandom();

  RegisterPrivateFont();  // the settings pages are set in it too
  EnsureSaverResourcesRegistered();

  if (line.ui_mode != 0) {
    // The pages save the settings themselves when they end with OK; either
    // way the settings modes end with 0. The parent id counts only when it
    // names a window (the sheet checks).
    if (!gtk_init_check(nullptr, nullptr)) {
      std::fprintf(stderr, "%s: cannot open the X display for the settings\n", product.c_str());
      LogError("Settings mode %d: cannot open the X display", line.ui_mode);
      return 1;
    }
    static_cast<void>(ShowSettings(static_cast<unsigned long>(line.parent_window), line.ui_mode));
    if (wizard::SignInChecker::WorkersLeftBehind() > 0) g_workers_left_behind = true;
    return 0;
  }

  XInitThreads();
  XDisplay display = XDisplay::Open();
  if (!display) {
    std::fprintf(stderr, "QuolScreensaver: cannot open the X display '%s'\n",
                 std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "");
    LogError("Cannot open the X display");
    return 1;
  }
  InstallNonFatalXErrorHandler();
  InstallXConnectionLossHandler(&OnXConnectionLost, kExitConnectionLost);

  MessageLoop loop(display.get());
  g_loop = &loop;
  struct sigaction action {};
  action.sa_handler = &OnTerminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  int result = 0;
  if (line.preview && WindowExists(display.get(), line.parent_window) && !line.embedded) {
    std::unique_ptr<PreviewWindow> preview;
    if (Succeeded(PreviewWindow::Create(display.get(), &loop, line.parent_window, &preview))) {
      result = loop.Run();
    }
  } else {
    SaverFrame::Options options;
    options.debug = line.debug;
    options.photo_interval_seconds = settings.inter_photo_interval();
    options.slides.started_by_hand = StartedByHand(display.get());
    options.slides.restricted_session = IsRestrictedSession();
    for (int i = 0; i < config.tip_count(); ++i) {
      options.slides.configured_tips.push_back(config.GetTip(i));
    }
    options.slides.show_my_pictures = settings.show_my_pictures();
    options.slides.show_shared_pictures = settings.show_shared_pictures();
    options.slides.folders = settings.folders();
    options.slides.running_as_root = RunningAsRoot();
    options.slides.overlays.module = &CCobrandableModule::Instance();
    options.slides.overlays.make_appointments = &MakeAppointmentsWidget;
    options.launch_client = &LaunchClient;
    options.copy_to_clipboard = &CopyToClipboard;
    options.slides.builder_stop_wait = kBuilderStopWait;
    SaverUpdates updates(UpdateChecker::Instance());
    options.updates = &updates;
    SaverSettingsWindow settings_window;
    options.settings = &settings_window;
    SaverFrame frame(display.get(), &loop, options);
    const bool created = line.embedded ? frame.CreateEmbedded(line.embed_window)
                                       : frame.CreateFullScreen();
    if (!created) {
      std::fprintf(stderr, "QuolScreensaver: cannot create the saver's window\n");
      result = 1;
    } else {
      LogInfo("Screen saver ready");
      result = loop.Run();
    }
    // A running calendar call ends while the builder is being stopped.
    AppointmentSnapshot::Instance().RequestStop();
    // After SIGTERM too: grabs released and windows gone before any wait.
    frame.CloseAll();
    if (StopUpdateCheck(UpdateChecker::Instance())) {
      updates.RunLeftOverOutcomes();
    } else {
      g_workers_left_behind = true;
    }
  }
  g_loop = nullptr;
  if (!AppointmentSnapshot::Instance().Shutdown(kAppointmentsStopWait) ||
      BackgroundCollageGenerator::AbandonedBuilders() > 0 ||
      wizard::SignInChecker::WorkersLeftBehind() > 0) {
    g_workers_left_behind = true;
  }
  KeepGlDriversLoaded();  // before the display closes
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], kApplyChoiceFlag) == 0) {
    // The elevated half of "make it the screen saver for everyone" (run by
    // pkexec): only the choice, nothing else of the saver, and nothing from
    // the environment.
    const bool valid = argc == 3 && std::strlen(argv[2]) == 1 && argv[2][0] >= '1' && argv[2][0] <= '3';
    if (!valid) {
      std::fprintf(stderr, "QuolScreensaver: %s takes one of 1 (everyone), 2 (just me), 3 (nobody)\n",
                   kApplyChoiceFlag);
      return kApplyChoiceBadUsage;
    }
    return ApplyChoiceCommand(argv[2][0] - '0');
  }
  platform::InstallCrashHandler(platform::JoinPath(platform::DataFolderPath(), "crash.dmp"),
                      std::string("QuolScreensaver ") + QUOL_VERSION_TEXT);
  std::vector<std::string> args(argv + 1, argv + argc);
  SaverCommandLine line;
  std::string error;
  if (!ParseSaverCommandLine(args, std::getenv("XSCREENSAVER_WINDOW"), &line, &error)) {
    std::fprintf(stderr, "QuolScreensaver: %s\n", error.c_str());
    return 2;
  }
  if (line.help) {
    std::fputs(kSaverUsage, stdout);
    return 0;
  }
  const int result = Run(line);
  static_cast<void>(CSuiteSettings::Instance().Save());  // logs its own failures
  if (g_workers_left_behind) {
    // Destructors of process-wide objects must not run under a worker that
    // still uses them.
    LogError("Ending with worker threads still busy");
    // Only our own streams: a stuck worker may hold the lock of a photo's
    // FILE, and flushing every stream would wait for it.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(result);
  }
  return result;
}
