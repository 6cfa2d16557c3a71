// The client's side of the update check: when to check, what to tell the
// user about the outcome, and handing a ready package to Updater.
#include <glib.h>

#include "client/tools/client_tools.h"
#include "foundation/log/process_log.h"
#include "foundation/update/update_checker.h"

namespace quol::client {
namespace {

constexpr char kUpToDate[] =
    "Quol is already up to date, but will continue periodically checking for new updates.";
constexpr char kCheckFailed[] = "Sorry, the check for updates failed, please try later";
constexpr char kAskToInstall[] = "An update to Quol is available.\r\nWould you like to install it now?";
constexpr char kUpgradeBar[] =
    "A new version of Quol is available, please click this message to upgrade.";
constexpr char kRefusedFromSaver[] =
    "Sorry, the upgrade cannot be started because Quol was started from the screen saver.\r\n"
    "Please exit and restart Quol and we'll take it from there";

// A task the checker's worker hands to the main loop.
gboolean RunPostedTask(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}
void DeletePostedTask(gpointer data) { delete static_cast<std::function<void()>*>(data); }

class UpdateNotifier final : public CUpdateNotifier {
 public:
  UpdateNotifier(IFrameHost& frame, UpdateChecker& checker, std::string installation_folder)
      : frame_(frame), checker_(checker), installation_folder_(std::move(installation_folder)) {}

  ~UpdateNotifier() override { KillTimer(); }

  void Attach() override {
    UpdateCheckWindow window;
    // Any thread: queued on the default main context, which the GTK main
    // thread runs.
    window.post = [](std::function<void()> task) {
      g_idle_add_full(G_PRIORITY_DEFAULT, &RunPostedTask, new std::function<void()>(std::move(task)),
                      &DeletePostedTask);
    };
    // Main thread (inside the posted task): the frame handles the message
    // like every other posted frame message and calls OnUpdateResult.
    IFrameHost* frame = &frame_;
    window.on_message = [frame](unsigned, std::uint16_t result, std::uint16_t flag) {
      frame->PostFrameMessage(kUpdateResultMessage, result, flag);
    };
    checker_.CheckForReadyUpgrade(std::move(window));
  }

  void ScheduleUpdateCheck(bool force) override {
    KillTimer();
    if (force) user_initiated_ = true;
    const std::uint32_t seconds = checker_.SecondsUntilNextCheck();
    LogInfo("Checking for updates in %d minutes (force:%d)", static_cast<int>(seconds / 60),
            force ? 1 : 0);
    // Whole seconds for the periodic timer: the period is a day, whose
    // milliseconds would not fit the timer's 32 bits beyond 49 days.
    if (force || seconds == 0) {
      timer_ = g_timeout_add(0, &UpdateNotifier::OnTimer, this);
    } else {
      timer_ = g_timeout_add_seconds(seconds, &UpdateNotifier::OnTimer, this);
    }
  }

  void OnUpdateResult(std::uint16_t result, std::uint16_t flag) override {
    frame_.HideMessageBar();
    if (result == 0 || result == 2) {
      if (user_initiated_) {
        ShowMessageBox(frame_.window(),
                       {ProductDisplayName(), result == 2 ? kCheckFailed : kUpToDate, false, false});
      }
      user_initiated_ = false;
      ScheduleUpdateCheck(false);
      return;
    }
    if (result != 1) return;
    // A package is ready: this run checks no more and waits for the user.
    KillTimer();
    if (flag == 1 && checker_.IsUpgradeRequired()) {
      user_initiated_ = false;
      frame_.ShowErrorPage("upgrade", 0);
      return;
    }
    if (user_initiated_) {
      user_initiated_ = false;
      if (ShowMessageBox(frame_.window(), {ProductDisplayName(), kAskToInstall, true, false})) {
        StartUpgrade();  // may destroy the frame: nothing may follow
      }
      return;
    }
    frame_.ShowMessageBar(kBarUpgrade, true, kUpgradeBar, "");
  }

  void StartUpgrade() override {
    GtkWindow* window = frame_.window();
    if (frame_.started_from_screensaver()) {
      ShowMessageBox(window, {ProductDisplayName(), kRefusedFromSaver, false, false});
      DestroyFrame(window);
      return;
    }
    if (installation_folder_.empty()) {
      LogError("No installation folder; the upgrade is not started.");
      return;
    }
    std::string error_text;
    const HRESULT hr = checker_.LaunchInstaller(installation_folder_, &error_text);
    if (hr == S_FALSE) {
      LogError("No upgrade package is ready; the upgrade is not started.");
      return;
    }
    if (Failed(hr)) {
      // Closing now would leave the user with neither the old client nor
      // the new one: stay, and say why.
      LogError("Could not start Updater: %s", error_text.c_str());
      ShowMessageBox(window, {ProductDisplayName(), error_text.empty() ? "Error" : error_text,
                              false, true});
      return;
    }
    // Updater waits for this process to end before the installer runs.
    DestroyFrame(window);
  }

  void set_user_initiated(bool user_initiated) override { user_initiated_ = user_initiated; }
  bool user_initiated() const override { return user_initiated_; }
  bool update_timer_armed() const override { return timer_ != 0; }
  int update_checks_started() const override { return checks_started_; }

 private:
  void KillTimer() {
    if (timer_ != 0) {
      g_source_remove(timer_);
      timer_ = 0;
    }
  }

  static void DestroyFrame(GtkWindow* window) {
    if (window != nullptr) gtk_widget_destroy(GTK_WIDGET(window));
  }

  static gboolean OnTimer(gpointer self) {
    auto* notifier = static_cast<UpdateNotifier*>(self);
    notifier->timer_ = 0;
    ++notifier->checks_started_;
    // A check still running reports its own result, which schedules the
    // next one; nothing is lost by not starting another.
    if (!notifier->checker_.StartCheck()) LogInfo("An update check is already running.");
    return G_SOURCE_REMOVE;
  }

  IFrameHost& frame_;
  UpdateChecker& checker_;
  const std::string installation_folder_;
  guint timer_ = 0;
  bool user_initiated_ = false;
  int checks_started_ = 0;
};

}  // namespace

std::unique_ptr<CUpdateNotifier> CUpdateNotifier::Create(IFrameHost& frame, UpdateChecker& checker,
                                                         const std::string& installation_folder) {
  return std::make_unique<UpdateNotifier>(frame, checker, installation_folder);
}

}  // namespace quol::client
