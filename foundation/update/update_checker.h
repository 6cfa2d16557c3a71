// The background update check: once per configured period the configuration
// is refreshed from the update service, the service's latest version is
// compared with the running one, and a newer package is downloaded into the
// shared packages folder, its signature checked and the package remembered
// as ready. The owning program hears of the outcome through the update-check
// message (kUpdateCheckMessage), posted to its UI thread.
//
// Threads. The owning program's UI thread ("owner thread") calls
// CheckForReadyUpgrade, StartCheck, Stop, LaunchInstaller and reads the
// getters. Each check runs on a worker thread owned (and joined) by the
// checker. The worker never touches the suite settings itself: it posts its
// results through the window's `post`, and the posted task applies them
// (last update time, available version, package ready) on the owner thread
// before it calls `on_message`. With no window (`post` empty, tools and
// tests only) the results are applied on the worker under the checker's
// lock, while nobody else may be using the settings.
//
// Only one process of the machine checks at a time: the worker holds the
// machine-wide mutex kMutexName for the whole check; a process that finds it
// taken reports (2, 0) and tries again at its next due time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "foundation/settings/version_number.h"
#include "platform/common/hresult.h"

namespace quol {

class CGlobalConfig;
class CSuiteSettings;

// The message number of the update check's outcome.
inline constexpr unsigned kUpdateCheckMessage = 0x85DB;

// Where the update check's outcome goes. `post` queues a task on the owning
// program's UI loop (the screen saver's MessageLoop::PostTask, the client's
// g_main_context_invoke); `on_message` runs there, inside that task, with
// the message number and its two 16-bit parameters:
//   (0, 0) no newer version, or none that could be used
//   (1, 1) at start-up: a verified package for a newer version is on disk
//   (1, 0) after a check: a newer version was downloaded and verified
//   (2, 0) the check failed, or another process is checking right now
// An empty `post` means nobody is told.
struct UpdateCheckWindow {
  std::function<void(std::function<void()> task)> post;
  std::function<void(unsigned message, std::uint16_t result, std::uint16_t flag)> on_message;
};

// Check states, as the service's diagnostics number them.
enum UpdateCheckState : int {
  kCheckIdle = 0,
  kCheckChecking = 1,
  kCheckUpToDate = 2,
  kCheckDownloading = 3,
  kCheckDownloaded = 4,
  kCheckFailed = 8,
};

class UpdateChecker {
 public:
  static constexpr char kMutexName[] = "Global\\QuolDevuzez_SingleAutoUpdate";
  static constexpr char kUserAgentPrefix[] = "QuolDevuzezAutoupdate/";
  // Packages larger than this are refused: no upgrade of ours comes near it,
  // and a broken or hostile server must not fill the disk.
  static constexpr std::size_t kMaxPackageBytes = std::size_t{1} << 30;
  // Download URLs this long or shorter are no URLs at all.
  static constexpr std::size_t kMinDownloadUrlLength = 12;

  // `config` and `settings` must outlive the checker. `running_version` is
  // the version compared against the service's ("%u.%u.%u.%u"); empty: the
  // running program's own file version.
  UpdateChecker(CGlobalConfig& config, CSuiteSettings& settings, std::string running_version = {});
  // Stops and joins a running check.
  ~UpdateChecker();
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;

  // The process's checker, bound to the process's configuration and settings.
  static UpdateChecker& Instance();

  // Owner thread, once its window exists: remembers the window, takes the
  // last check time from the settings and looks for a package of the
  // settings' available version. One that is there and still verifies makes
  // the package ready and posts (1, 1); otherwise every stored package is
  // deleted and (0, 0) is posted.
  void CheckForReadyUpgrade(UpdateCheckWindow window);

  // Seconds until the next check is due; 0 means now (also when never
  // checked, and when the clock was set back). Any thread.
  std::uint32_t SecondsUntilNextCheck() const;

  // Owner thread. Notes now as the last check time and starts a check on the
  // worker thread. A finished worker is joined first; while one still runs,
  // nothing happens and false is returned.
  bool StartCheck();

  // Owner thread. Asks a running check to end (an ongoing download ends at
  // once; a configuration refresh runs to its own time-out) and joins it. A
  // check that was stopped reports nothing, unless it had a package ready. The destructor calls it.
  void Stop();
  // Any thread: asks a running check to end without waiting for it. A
  // program that must not be held up at exit calls this, waits as long as
  // it can afford for checking() to turn false, and leaves a worker still
  // refreshing the configuration behind (then ending without destructors).
  void RequestStop() { stop_.store(true); }

  // True when a package is ready and the configuration's minimum version is
  // valid and newer than the running version.
  bool IsUpgradeRequired() const;

  // What the UI reads; safe from any thread.
  bool package_ready() const { return package_ready_.load(); }
  std::string package_path() const;
  VersionNumber version() const;
  int check_state() const { return check_state_.load(); }
  // A worker is running (not yet finished).
  bool checking() const { return worker_running_.load(); }
  const std::string& running_version() const { return running_version_; }

  // Clears the version, returns to idle and deletes the package and its
  // .minisig (failures logged).
  void DiscardPackage();

  // GETs `url` into `target` (status 200 only), through a temporary file in
  // the target's folder that is renamed when the transfer is complete, so
  // the target holds the whole answer or nothing. Fails when the target
  // exists. Redirects only to addresses the URL policy accepts. Ends at once
  // when the checker is stopped.
  // `max_bytes` bounds the answer (a package by default).
  bool DownloadFile(const std::string& url, const std::string& target,
                    std::size_t max_bytes = kMaxPackageBytes);

  // Desktop client, owner thread: hands the ready package to the Updater
  // program in `installation_folder` (see platform/process/launch_updater.h).
  // S_FALSE and nothing started when there is no package. When Updater
  // cannot be started, `error_text` (when given) receives "Error %d" for the
  // caller to show in an information box.
  HRESULT LaunchInstaller(const std::string& installation_folder, std::string* error_text);

  // The packages folder: the data folder + "/Packages/".
  static std::string PackageFolder();
  // "Pkg_<version, dots as _>.deb"; empty for a version whose text holds
  // anything but digits and dots (it could not name a file safely).
  static std::string PackageFileName(const VersionNumber& version);
  // Deletes every regular file "Pkg*.deb" of the packages folder and each
  // one's .minisig; failures logged.
  static void DeleteAllPackages();
  // Seconds since 1 January 2008 UTC of a file time (100 ns since 1601), as
  // the unsigned 32-bit number the check period is measured in.
  static std::uint32_t SecondsSince2008(std::uint64_t file_time);

 private:
  // What a check found, applied on the owner thread (see the top).
  struct Outcome {
    std::uint16_t result = 0;
    std::uint16_t flag = 0;
    bool set_last_update = false;
    std::uint64_t last_update = 0;
    enum class Available { kKeep, kSet, kClear } available = Available::kKeep;
    VersionNumber version;
    bool package_ready = false;
    // The package that was ready failed its check and was deleted.
    bool package_gone = false;
  };

  // The check itself, on the worker, holding the machine-wide mutex;
  // nothing when it was stopped.
  std::optional<Outcome> Run();
  bool CheckForUpgrade();
  bool DownloadPackage();
  bool PreparePackagePath();
  // Whether the URL policy lets a package (or a redirect) come from `url`:
  // http or https only.
  bool IsFetchable(const std::string& url) const;
  // Posts `outcome` to `window`, or applies it here when nobody listens.
  void Deliver(const UpdateCheckWindow& window, const Outcome& outcome);
  void Apply(const Outcome& outcome);
  void Post(const UpdateCheckWindow& window, std::uint16_t result, std::uint16_t flag);
  void SetPackagePath(std::string path);
  void SetVersion(const VersionNumber& version);
  std::string download_url() const;
  // Deletes the package and its .minisig, logging what fails.
  static void DeletePackageFiles(const std::string& path);

  CGlobalConfig& config_;
  CSuiteSettings& settings_;
  const std::string running_version_;

  // Guards version_, download_url_ and package_path_; also the settings
  // when results are applied on the worker.
  mutable std::mutex mutex_;
  VersionNumber version_;
  std::string download_url_;
  std::string package_path_;
  UpdateCheckWindow window_;  // owner thread only

  std::atomic<bool> package_ready_{false};
  std::atomic<int> check_state_{kCheckIdle};
  std::atomic<std::uint64_t> last_check_time_{0};  // file time; 0: never

  std::thread worker_;
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> stop_{false};
  // Posted tasks hold a weak reference, so one that runs after the checker
  // is gone does nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace quol
