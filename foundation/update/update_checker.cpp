#include "foundation/update/update_checker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "platform/clock/clock.h"
#include "platform/crash/crash_handler.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/identity/identity.h"
#include "platform/mutex/named_mutex.h"
#include "platform/process/launch_updater.h"
#include "platform/text/utf.h"
#include "platform/trust/minisign.h"

namespace quol {
namespace {

constexpr char kPackagesFolderName[] = "Packages";
constexpr char kPackagePrefix[] = "Pkg";
constexpr char kPackageExtension[] = ".deb";
constexpr char kSignatureExtension[] = ".minisig";
// The temporary file of a download; mkstemp fills in the X's.
constexpr char kTemporaryPattern[] = "QUOXXXXXX";
// Versions come from the service and from Settings.xml; no real one is
// anywhere near this long.
constexpr std::size_t kMaxVersionTextLength = 64;

constexpr std::uint64_t kFileTimeUnitsPerSecond = 10'000'000;
// 1 January 2008 00:00:00 UTC in seconds since 1 January 1601.
constexpr std::uint64_t kSeconds1601To2008 = 11'644'473'600ull + 1'199'145'600ull;

bool IsHttpKind(int kind) { return kind == 1 || kind == 2; }

bool RemoveFile(const std::string& path, int* error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = errno;
  return false;
}

}  // namespace

UpdateChecker::UpdateChecker(CGlobalConfig& config, CSuiteSettings& settings,
                             std::string running_version)
    : config_(config),
      settings_(settings),
      running_version_(running_version.empty() ? platform::ProgramFileVersionText()
                                               : std::move(running_version)) {}

UpdateChecker::~UpdateChecker() { Stop(); }

UpdateChecker& UpdateChecker::Instance() {
  static UpdateChecker checker(CGlobalConfig::Instance(), CSuiteSettings::Instance());
  return checker;
}

std::uint32_t UpdateChecker::SecondsSince2008(std::uint64_t file_time) {
  // Times before 2008 wrap around, as the unsigned arithmetic expects.
  return static_cast<std::uint32_t>(file_time / kFileTimeUnitsPerSecond - kSeconds1601To2008);
}

std::string UpdateChecker::PackageFolder() {
  const std::string data = platform::DataFolderPath();
  if (data.empty()) return {};
  return platform::JoinPath(data, kPackagesFolderName) + "/";
}

std::string UpdateChecker::PackageFileName(const VersionNumber& version) {
  const std::string& text = version.text();
  if (text.empty() || text.size() > kMaxVersionTextLength) return {};
  std::string name = std::string(kPackagePrefix) + "_";
  for (char c : text) {
    if (c == '.') {
      name += '_';
    } else if (c >= '0' && c <= '9') {
      name += c;
    } else {
      return {};
    }
  }
  return name + kPackageExtension;
}

void UpdateChecker::DeleteAllPackages() {
  const std::string folder = PackageFolder();
  if (folder.empty() || !platform::IsDirectory(folder)) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return;
  // Names first: deleting while reading the folder may skip entries.
  std::vector<std::string> packages;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() < 7 || !platform::StartsWithIgnoreCase(name, kPackagePrefix) ||
        !platform::EqualsIgnoreCase(name.substr(name.size() - 4), kPackageExtension)) {
      continue;
    }
    const std::string full = folder + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    packages.push_back(full);
  }
  for (const std::string& package : packages) {
    for (const std::string& path : {package, package + kSignatureExtension}) {
      int error = 0;
      if (!RemoveFile(path, &error)) LogError("Could not delete %s, %d", path.c_str(), error);
    }
  }
}

void UpdateChecker::DeletePackageFiles(const std::string& path) {
  for (const std::string& file : {path, path + kSignatureExtension}) {
    int error = 0;
    if (!RemoveFile(file, &error)) LogError("Failed to delete %s, %d", file.c_str(), error);
  }
}

std::string UpdateChecker::package_path() const {
  std::lock_guard lock(mutex_);
  return package_path_;
}

VersionNumber UpdateChecker::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

std::string UpdateChecker::download_url() const {
  std::lock_guard lock(mutex_);
  return download_url_;
}

void UpdateChecker::SetPackagePath(std::string path) {
  std::lock_guard lock(mutex_);
  package_path_ = std::move(path);
}

void UpdateChecker::SetVersion(const VersionNumber& version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}

void UpdateChecker::Post(const UpdateCheckWindow& window, std::uint16_t result,
                         std::uint16_t flag) {
  Outcome outcome;
  outcome.result = result;
  outcome.flag = flag;
  Deliver(window, outcome);
}

void UpdateChecker::Deliver(const UpdateCheckWindow& window, const Outcome& outcome) {
  if (!window.post) {
    // Nobody runs a loop for us (tools, tests): apply here, under the lock.
    std::lock_guard lock(mutex_);
    Apply(outcome);
    return;
  }
  // Hand-over to the owner thread: everything the check changes in shared
  // state happens inside this task, on that thread.
  std::weak_ptr<int> alive = alive_;
  auto on_message = window.on_message;
  window.post([this, alive, on_message, outcome] {
    if (alive.expired()) return;
    Apply(outcome);
    if (on_message) on_message(kUpdateCheckMessage, outcome.result, outcome.flag);
  });
}

void UpdateChecker::Apply(const Outcome& outcome) {
  if (outcome.set_last_update) {
    settings_.SetLastUpdateTime(static_cast<std::int32_t>(outcome.last_update & 0xFFFFFFFFu),
                                static_cast<std::int32_t>(outcome.last_update >> 32));
  }
  switch (outcome.available) {
    case Outcome::Available::kSet:
      settings_.SetAvailableVersion(outcome.version);
      break;
    case Outcome::Available::kClear:
      settings_.ClearAvailableVersion();
      break;
    case Outcome::Available::kKeep:
      break;
  }
  if (outcome.package_ready) package_ready_.store(true);
  if (outcome.package_gone) package_ready_.store(false);
}

void UpdateChecker::CheckForReadyUpgrade(UpdateCheckWindow window) {
  window_ = std::move(window);
  last_check_time_.store(settings_.last_update_file_time());

  const VersionNumber available = settings_.available_version();
  const VersionNumber running(running_version_);
  if (!available.valid() || available.Compare(running) <= 0) {
    DeleteAllPackages();
    Post(window_, 0, 0);
    return;
  }
  SetVersion(available);
  const bool prepared = PreparePackagePath();
  const std::string path = package_path();
  if (prepared && platform::FileExists(path)) {
    // Checked again, not only when it was downloaded: the packages folder
    // is shared, and what lies there now is what Updater would be given.
    if (Succeeded(platform::VerifyFileSignature(path))) {
      LogInfo("Upgrade available: %s", path.c_str());
      package_ready_.store(true);
      Post(window_, 1, 1);
      return;
    }
    DeletePackageFiles(path);
  }
  SetPackagePath({});
  SetVersion(VersionNumber());
  DeleteAllPackages();
  Post(window_, 0, 0);
}

std::uint32_t UpdateChecker::SecondsUntilNextCheck() const {
  const std::uint64_t last = last_check_time_.load();
  if (last == 0) return 0;
  const std::uint32_t now = SecondsSince2008(platform::ToFileTime(platform::Now()));
  // Unsigned: a clock set back makes this huge, so a check is due at once.
  const std::uint32_t elapsed = now - SecondsSince2008(last);
  const std::uint32_t period = static_cast<std::uint32_t>(config_.ttl_minutes()) * 60u;
  return elapsed < period ? period - elapsed : 0;
}

bool UpdateChecker::StartCheck() {
  if (worker_running_.load()) return false;
  if (worker_.joinable()) worker_.join();
  stop_.store(false);
  last_check_time_.store(platform::ToFileTime(platform::Now()));
  worker_running_.store(true);
  worker_ = std::thread([this, window = window_] {
    platform::ScopedSignalStack signal_stack;
    const std::optional<Outcome> outcome = Run();
    // Done before the owner hears of it, so a new check may be started
    // from the message (StartCheck then joins this thread's last steps).
    worker_running_.store(false);
    if (outcome) Deliver(window, *outcome);
  });
  return true;
}

void UpdateChecker::Stop() {
  stop_.store(true);
  if (worker_.joinable()) worker_.join();
}

bool UpdateChecker::IsUpgradeRequired() const {
  if (!package_ready_.load()) return false;
  const VersionNumber minimum = config_.min_version();
  return minimum.valid() && minimum.Compare(VersionNumber(running_version_)) > 0;
}

std::optional<UpdateChecker::Outcome> UpdateChecker::Run() {
  Outcome outcome;
  platform::NamedMutex mutex;
  const HRESULT created = mutex.Create(kMutexName);
  if (Failed(created) || mutex.AlreadyExisted() || !mutex.owned()) {
    // Another process of the machine is checking; ours comes at the next
    // due time.
    outcome.result = 2;
    return outcome;
  }
  const std::uint64_t now = platform::ToFileTime(platform::Now());
  // A package already ready (found at start-up, or by an earlier check) stays
  // what the program offers unless this check brings a newer one: a check
  // that fails must not leave the path pointing at a file it never got.
  struct Ready {
    VersionNumber version;
    std::string url, path;
  };
  std::optional<Ready> ready;
  if (package_ready_.load()) {
    std::lock_guard lock(mutex_);
    ready = Ready{version_, download_url_, package_path_};
  }

  if (!CheckForUpgrade()) {
    outcome.set_last_update = true;
    outcome.last_update = now;
    outcome.available = Outcome::Available::kClear;
    outcome.result = check_state_.load() == kCheckFailed ? 2 : 0;
  } else if (DownloadPackage()) {
    outcome.package_ready = true;
    outcome.result = 1;
    outcome.set_last_update = true;
    outcome.last_update = now;
    outcome.available = Outcome::Available::kSet;
    outcome.version = version();
  } else {
    // The last update time stays, so the next due check tries again soon.
    check_state_.store(kCheckFailed);
    outcome.result = 2;
  }
  if (ready && outcome.result != 1) {
    {
      std::lock_guard lock(mutex_);
      version_ = ready->version;
      download_url_ = ready->url;
      package_path_ = ready->path;
    }
    // Unless this check found that very file untrusted and deleted it.
    outcome.package_gone = !platform::FileExists(ready->path);
  }
  // A program that stops the check is ending: what the stop cut short is
  // not a finding and is not reported (it would move the last update time
  // or clear the available version). A package that is ready is reported
  // still, so a program that gets the message before it ends keeps it.
  if (stop_.load() && outcome.result != 1) return std::nullopt;
  return outcome;
}

bool UpdateChecker::CheckForUpgrade() {
  check_state_.store(kCheckChecking);
  if (Failed(config_.RefreshFromService())) {
    check_state_.store(kCheckFailed);
    return false;
  }
  const VersionNumber running(running_version_);
  const VersionNumber latest = config_.latest_version();
  const VersionNumber minimum = config_.min_version();
  const std::string url = config_.download_url();
  LogInfo("Version running: %s", running_version_.c_str());
  LogInfo("Latest version : %s", latest.text().c_str());
  LogInfo("Min version    : %s", minimum.text().c_str());
  LogInfo("Download from  : %s", url.c_str());
  if (latest.Compare(running) > 0) {
    {
      std::lock_guard lock(mutex_);
      version_ = latest;
      download_url_ = url;
    }
    return latest.valid() && url.size() > kMinDownloadUrlLength;
  }
  check_state_.store(kCheckUpToDate);
  return false;
}

bool UpdateChecker::PreparePackagePath() {
  SetPackagePath({});
  const std::string folder = PackageFolder();
  if (folder.empty()) {
    LogError("SHGetFolderPath error %d", ENOENT);
    return false;
  }
  if (!platform::IsDirectory(folder)) {
    const HRESULT hr = platform::CreateDirectories(folder);
    if (Failed(hr)) {
      LogError("Could not create '%s'; error %d", folder.c_str(), static_cast<int>(hr & 0xFFFF));
      return false;
    }
  }
  const std::string name = PackageFileName(version());
  if (name.empty()) {
    LogError("Version '%s' cannot name a package.", version().text().c_str());
    return false;
  }
  SetPackagePath(folder + name);
  return true;
}

bool UpdateChecker::IsFetchable(const std::string& url) const {
  // The policy of the configuration this checker works with (for the
  // process's checker, the process-wide one), rejections logged.
  const UrlPolicyInputs policy =
      ServiceUrlPolicy(config_.not_safe_domains(), config_.client_mode() == kClientModeLocal);
  int kind = 0;
  return IsUrlSafe(url, policy, &kind, true) && IsHttpKind(kind);
}

bool UpdateChecker::DownloadPackage() {
  const std::string url = download_url();
  if (url.size() < kMinDownloadUrlLength) return false;
  check_state_.store(kCheckDownloading);

  bool ok = false;
  if (IsFetchable(url) && PreparePackagePath()) {
    const std::string path = package_path();
    // A package of this name was fetched by an earlier check (or another
    // process); its signature decides whether it is taken.
    if (!platform::FileExists(path) && !DownloadFile(url, path)) {
      check_state_.store(kCheckFailed);
      return false;
    }
    const std::string signature = path + kSignatureExtension;
    if (!platform::FileExists(signature)) {
      // A signature is a few lines; a server that sends more is not
      // given the disk.
      static_cast<void>(DownloadFile(url + kSignatureExtension, signature,
                                     platform::kMaxSignatureFileBytes));
    }
    if (Succeeded(platform::VerifyFileSignature(path))) {
      ok = true;
    } else {
      DiscardPackage();
    }
  }
  check_state_.store(ok ? kCheckDownloaded : kCheckFailed);
  return ok;
}

void UpdateChecker::DiscardPackage() {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    version_.Clear();
    path = package_path_;
  }
  check_state_.store(kCheckIdle);
  if (!path.empty()) DeletePackageFiles(path);
}

bool UpdateChecker::DownloadFile(const std::string& url, const std::string& target,
                                 std::size_t max_bytes) {
  if (platform::FileExists(target)) {
    LogInfo("File %s already exists.", target.c_str());
    return false;
  }
  const std::string folder = platform::DirName(target);
  if (!platform::IsDirectory(folder) && Failed(platform::CreateDirectories(folder))) {
    LogError("Cannot create directory %s.", folder.c_str());
    return false;
  }
  std::string temporary = platform::JoinPath(folder, kTemporaryPattern);
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    LogInfo("Cannot create tmp file in %s.", folder.c_str());
    return false;
  }
  temporary = name.data();
  // Packages are shared by every user of the machine, like the folder.
  static_cast<void>(::fchmod(fd, 0644));

  platform::HttpOptions options;
  options.user_agent = kUserAgentPrefix + running_version_;
  options.headers = {"Pragma: no-cache", "Cache-Control: no-cache"};
  options.max_body_bytes = max_bytes;
  options.stop = &stop_;
  options.allow_redirect = [this](const std::string& to) { return IsFetchable(to); };
  long status = 0;
  std::string error;
  HRESULT hr = platform::HttpDownloadToFd(url, options, fd, &status, &error);
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (Failed(hr) || !synced) {
    LogError("Download of %s failed: %s", url.c_str(),
             Failed(hr) ? error.c_str() : "cannot write the file");
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    LogInfo("Cannot create rename tmp file %s to %s.", temporary.c_str(), target.c_str());
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

HRESULT UpdateChecker::LaunchInstaller(const std::string& installation_folder,
                                       std::string* error_text) {
  const std::string path = package_path();
  if (path.empty()) return S_FALSE;
  platform::UpdaterLaunch launch;
  launch.updater_path = platform::JoinPath(installation_folder, "Updater");
  launch.package_path = path;
  platform::UpdaterLaunchResult result;
  const HRESULT hr = platform::LaunchUpdater(launch, &result);
  if (Failed(hr) && error_text != nullptr) {
    char text[32];
    std::snprintf(text, sizeof text, "Error %d",
                  result.spawn_error != 0 ? result.spawn_error : static_cast<int>(hr));
    *error_text = text;
  }
  return hr;
}

}  // namespace quol
