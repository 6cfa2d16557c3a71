// Profiles, backups and the per-home edit of ~/.xscreensaver.
//
// One home is changed by one process that runs as the home's owner: the
// current user's own, or, as root, a forked child that has dropped to that
// user before it opens anything there. The child therefore can do no more
// in that home than its owner could, whatever links the owner has put there;
// on top of that it refuses a home or a file that is a symbolic link.
// The backup goes into the same user's registry hive before the file is
// written, so a crash in between leaves a state that turning off can undo.
#include "foundation/saverinstall/saver_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/log/process_log.h"
#include "foundation/saverinstall/xscreensaver_file.h"
#include "platform/folders/folders.h"
#include "platform/fs/files.h"
#include "platform/fs/unique_fd.h"
#include "platform/process/spawn.h"
#include "platform/registry/registry.h"

namespace quol {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;
using platform::UniqueFd;
using saverinstall::XsBackup;

constexpr char kVevuvovKey[] = "Software\\Quol\\Quol Vevuvov";
constexpr char kDesktopKey[] = "Control Panel\\Desktop";
// Where the backup of /etc/skel's file lives: the machine hive, as only root
// changes it.
constexpr char kSkelBackupKey[] = "Software\\Quol\\Quol Vevuvov\\Skel\\Control Panel\\Desktop";
constexpr char kInstalledHackPath[] = "/usr/libexec/xscreensaver/quolsaver";
constexpr std::size_t kMaxSaverPathChars = 260;
constexpr char kPkexecPath[] = "/usr/bin/pkexec";

// Backup values beside "SCRNSAVE.EXE.OLD" (whose presence marks a backup).
constexpr char kOldValue[] = "SCRNSAVE.EXE.OLD";
constexpr char kPreviousModeValue[] = "QuolPreviousMode";
constexpr char kPreviousSelectedValue[] = "QuolPreviousSelected";
constexpr char kAddedEntryValue[] = "QuolAddedEntry";  // "", "entry" or "programs"
constexpr char kAddedTimeoutValue[] = "QuolAddedTimeout";
constexpr char kCreatedFileValue[] = "QuolCreatedFile";
constexpr char kAddedAutostartValue[] = "QuolAddedAutostart";

constexpr char kXscreensaverFile[] = ".xscreensaver";
constexpr char kAutostartFile[] = "xscreensaver.desktop";
// Debian does not start the daemon by itself; this entry does at login.
constexpr char kAutostartText[] =
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Name=Screen saver daemon\n"
    "Comment=Started for the Quol Collage screen saver\n"
    "Exec=xscreensaver -no-splash\n"
    "NoDisplay=true\n"
    "X-Quol-Added=true\n";

// Exit statuses of the child that edits another user's home.
constexpr int kChildDone = 0;
constexpr int kChildFailed = 1;
constexpr int kChildCouldNotDrop = 2;

// A home to change and where its backup lives.
struct Home {
  std::string profile;  // "" for the current user, "(skel)" for /etc/skel
  std::string folder;
  std::string config;   // holds autostart/
  RegistryHive hive = RegistryHive::kCurrentUser;
  std::string key;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string account;  // for initgroups; empty when the owner has no account
};

// --- files, opened without following links ---------------------------------

UniqueFd OpenFolder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd OpenOrMakeFolderAt(int parent, const char* name, mode_t mode) {
  UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd && errno == ENOENT && ::mkdirat(parent, name, mode) == 0)
    fd.Reset(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return fd;
}

// Reads `name` in `folder`: S_OK, HresultFromErrno(ENOENT) when missing, or
// the failure. A link, a non-file or an oversized file is a failure.
HRESULT ReadAt(int folder, const char* name, std::string* text, mode_t* mode) {
  UniqueFd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return HresultFromLastErrno();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromLastErrno();
  if (!S_ISREG(st.st_mode)) return E_ACCESSDENIED;
  if (static_cast<std::size_t>(st.st_size) > saverinstall::kMaxXscreensaverFileBytes) return E_OUTOFMEMORY;
  if (mode != nullptr) *mode = st.st_mode & 07777;
  text->clear();
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return HresultFromLastErrno();
    if (got == 0) break;
    text->append(buffer, static_cast<std::size_t>(got));
    if (text->size() > saverinstall::kMaxXscreensaverFileBytes) return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Replaces `name` in `folder` through a temporary beside it and a rename.
HRESULT WriteAt(int folder, const char* name, std::string_view text, mode_t mode) {
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
    unsigned random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
      random = static_cast<unsigned>(::getpid()) * 2654435761u + static_cast<unsigned>(attempt);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", random);
    temp = std::string(".") + name + suffix;
    fd.Reset(::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd && errno != EEXIST) return HresultFromLastErrno();
  }
  if (!fd) return HresultFromErrno(EEXIST);
  HRESULT hr = S_OK;
  std::size_t done = 0;
  while (done < text.size() && hr == S_OK) {
    ssize_t put = ::write(fd.get(), text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) hr = HresultFromLastErrno();
    else done += static_cast<std::size_t>(put);
  }
  if (hr == S_OK && ::fchmod(fd.get(), mode) != 0) hr = HresultFromLastErrno();
  if (hr == S_OK && ::fsync(fd.get()) != 0) hr = HresultFromLastErrno();
  fd.Reset();
  if (hr == S_OK && ::renameat(folder, temp.c_str(), folder, name) != 0) hr = HresultFromLastErrno();
  if (hr != S_OK) {
    ::unlinkat(folder, temp.c_str(), 0);
    return hr;
  }
  ::fsync(folder);
  return S_OK;
}

// --- backup in the registry ------------------------------------------------

std::optional<std::string> ReadText(const RegistryKey& key, const char* name) {
  std::string value;
  if (Failed(key.ReadString(name, &value))) return std::nullopt;
  return value;
}

std::optional<XsBackup> ReadBackup(const RegistryKey& key) {
  std::optional<std::string> old = ReadText(key, kOldValue);
  if (!old) return std::nullopt;
  XsBackup backup;
  backup.old_command = *old;
  backup.previous_mode = ReadText(key, kPreviousModeValue);
  backup.previous_selected = ReadText(key, kPreviousSelectedValue);
  const std::string added = ReadText(key, kAddedEntryValue).value_or("");
  backup.added = added == "entry"      ? XsBackup::Added::kEntry
                 : added == "programs" ? XsBackup::Added::kProgramsLine
                                       : XsBackup::Added::kNothing;
  backup.added_timeout = ReadText(key, kAddedTimeoutValue) == std::optional<std::string>("1");
  backup.created_file = ReadText(key, kCreatedFileValue) == std::optional<std::string>("1");
  return backup;
}

void DropBackup(RegistryKey* key, bool keep_autostart_mark) {
  for (const char* name : {kOldValue, kPreviousModeValue, kPreviousSelectedValue, kAddedEntryValue,
                           kAddedTimeoutValue, kCreatedFileValue}) {
    (void)key->DeleteValue(name);  // E_NOT_FOUND is the usual answer
  }
  if (!keep_autostart_mark) (void)key->DeleteValue(kAddedAutostartValue);
}

HRESULT WriteBackup(RegistryKey* key, const XsBackup& backup) {
  DropBackup(key, /*keep_autostart_mark=*/true);
  HRESULT hr = S_OK;
  auto put = [&](const char* name, const std::string& value) {
    if (hr == S_OK) hr = key->WriteString(name, value);
  };
  if (backup.previous_mode) put(kPreviousModeValue, *backup.previous_mode);
  if (backup.previous_selected) put(kPreviousSelectedValue, *backup.previous_selected);
  put(kAddedEntryValue, backup.added == XsBackup::Added::kEntry          ? "entry"
                        : backup.added == XsBackup::Added::kProgramsLine ? "programs"
                                                                         : "");
  put(kAddedTimeoutValue, backup.added_timeout ? "1" : "0");
  put(kCreatedFileValue, backup.created_file ? "1" : "0");
  // Last: a backup counts only once it is complete.
  put(kOldValue, backup.old_command);
  return hr;
}

// --- one home --------------------------------------------------------------

UniqueFd OpenAutostartFolder(const Home& home, bool create) {
  UniqueFd config = OpenFolder(home.config);
  if (!config && create && errno == ENOENT && Succeeded(platform::CreateDirectories(home.config, 0700)))
    config = OpenFolder(home.config);
  if (!config) return {};
  if (!create) return UniqueFd(::openat(config.get(), "autostart", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return OpenOrMakeFolderAt(config.get(), "autostart", 0755);
}

HRESULT TurnOnHome(const Home& home, const std::string& ours) {
  UniqueFd folder = OpenFolder(home.folder);
  if (!folder) return HresultFromLastErrno();
  std::string text;
  mode_t mode = 0644;
  HRESULT hr = ReadAt(folder.get(), kXscreensaverFile, &text, &mode);
  const bool missing = hr == HresultFromErrno(ENOENT);
  if (Failed(hr) && !missing) return hr;  // never overwrite what could not be read

  RegistryKey key;
  hr = key.Create(home.hive, home.key);
  if (Failed(hr)) return hr;
  saverinstall::XsTurnOn on =
      saverinstall::TurnOnInXscreensaverFile(missing ? std::nullopt : std::optional<std::string>(text), ours);
  // A file written in ways the editor does not follow (stray backslashes,
  // keys given twice...) is left alone rather than half changed: the edit
  // must make ours the active saver and turning off must give back the
  // user's bytes.
  if (saverinstall::ActiveXscreensaverProgram(on.text) != ours ||
      (!missing && on.backup &&
       saverinstall::TurnOffInXscreensaverFile(on.text, ours, on.backup).text != text)) {
    return E_BAD_FORMAT;
  }
  if (on.backup) {
    hr = WriteBackup(&key, *on.backup);
    if (Failed(hr)) return hr;
  }
  if (missing || on.text != text) {
    hr = WriteAt(folder.get(), kXscreensaverFile, on.text, mode);
    if (Failed(hr)) return hr;
  }
  UniqueFd autostart = OpenAutostartFolder(home, /*create=*/true);
  if (!autostart) return HresultFromLastErrno();
  std::string existing;
  if (ReadAt(autostart.get(), kAutostartFile, &existing, nullptr) == HresultFromErrno(ENOENT)) {
    hr = key.WriteString(kAddedAutostartValue, "1");
    if (Succeeded(hr)) hr = WriteAt(autostart.get(), kAutostartFile, kAutostartText, 0644);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

HRESULT TurnOffHome(const Home& home, const std::string& ours) {
  UniqueFd folder = OpenFolder(home.folder);
  if (!folder) return HresultFromLastErrno();
  std::string text;
  mode_t mode = 0644;
  HRESULT hr = ReadAt(folder.get(), kXscreensaverFile, &text, &mode);
  if (hr == HresultFromErrno(ENOENT)) return S_OK;  // no saver chosen: not ours
  if (Failed(hr)) return hr;
  if (saverinstall::ActiveXscreensaverProgram(text) != ours) return S_OK;

  RegistryKey key;
  hr = key.Create(home.hive, home.key);
  if (Failed(hr)) return hr;
  std::optional<XsBackup> backup = ReadBackup(key);
  saverinstall::XsTurnOff off = saverinstall::TurnOffInXscreensaverFile(text, ours, backup);
  if (off.remove_file) {
    if (::unlinkat(folder.get(), kXscreensaverFile, 0) != 0) return HresultFromLastErrno();
  } else if (off.text != text) {
    hr = WriteAt(folder.get(), kXscreensaverFile, off.text, mode);
    if (Failed(hr)) return hr;
  }
  if (ReadText(key, kAddedAutostartValue) == std::optional<std::string>("1")) {
    // Only the entry we wrote goes; one the user has since edited stays.
    UniqueFd autostart = OpenAutostartFolder(home, /*create=*/false);
    std::string entry;
    if (autostart && Succeeded(ReadAt(autostart.get(), kAutostartFile, &entry, nullptr)) &&
        entry == kAutostartText)
      ::unlinkat(autostart.get(), kAutostartFile, 0);
  }
  DropBackup(&key, /*keep_autostart_mark=*/false);
  return S_OK;
}

// --- profiles --------------------------------------------------------------

std::string CurrentConfigFolder(const std::string& home) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  return platform::JoinPath(home, ".config");
}

Home CurrentUserHome() {
  Home home;
  home.folder = platform::HomeFolder();
  home.config = CurrentConfigFolder(home.folder);
  home.hive = RegistryHive::kCurrentUser;
  home.key = kDesktopKey;
  home.uid = ::geteuid();
  home.gid = ::getegid();
  return home;
}

Home ProfileHome(const std::string& name, const std::string& folder, uid_t uid, gid_t gid,
                 const std::string& account) {
  Home home;
  home.profile = name;
  home.folder = folder;
  home.config = platform::JoinPath(folder, ".config");
  home.hive = RegistryHive::kUsers;
  home.key = name + "\\" + kDesktopKey;
  home.uid = uid;
  home.gid = gid;
  home.account = account;
  return home;
}

// UID_MIN and UID_MAX of /etc/login.defs (Debian's defaults otherwise).
void UidRange(uid_t* low, uid_t* high) {
  *low = 1000;
  *high = 60000;
  std::string text;
  if (Failed(platform::ReadWholeFile("/etc/login.defs", &text, 1 << 20))) return;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    unsigned long value = 0;
    char name[16] = {};
    if (std::sscanf(std::string(line).c_str(), " %15s %lu", name, &value) != 2) continue;
    if (std::strcmp(name, "UID_MIN") == 0) *low = static_cast<uid_t>(value);
    if (std::strcmp(name, "UID_MAX") == 0) *high = static_cast<uid_t>(value);
  }
}

// `shells`: the text of /etc/shells, read once per listing; nullopt when it
// could not be read (then every absolute shell but the refusing ones counts).
bool IsLoginShell(const char* shell, const std::optional<std::string>& shells_text) {
  if (shell == nullptr || shell[0] != '/') return false;
  std::string_view name(shell);
  if (name.ends_with("/nologin") || name.ends_with("/false")) return false;
  if (!shells_text) return true;
  const std::string& shells = *shells_text;
  std::size_t pos = 0;
  while (pos < shells.size()) {
    std::size_t end = shells.find('\n', pos);
    if (end == std::string::npos) end = shells.size();
    if (std::string_view(shells.data() + pos, end - pos) == name) return true;
    pos = end + 1;
  }
  return false;
}

// The profiles in enumeration order. QUOL_PROFILES_DIR (tests) makes every
// sub-folder a profile named after it, owned by the folder's owner.
std::vector<Home> ListHomes() {
  std::vector<Home> homes;
  constexpr std::size_t kMaxProfiles = 10000;
  if (const char* dir = std::getenv("QUOL_PROFILES_DIR"); dir != nullptr && dir[0] != '\0') {
    std::vector<std::string> names;
    if (DIR* folder = ::opendir(dir)) {
      while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.' || names.size() >= kMaxProfiles) continue;
        names.emplace_back(entry->d_name);
      }
      ::closedir(folder);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = platform::JoinPath(dir, name);
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) continue;
      std::string account;
      if (const passwd* owner = ::getpwuid(st.st_uid)) account = owner->pw_name;
      homes.push_back(ProfileHome(name, path, st.st_uid, st.st_gid, account));
    }
    return homes;
  }
  uid_t low = 0;
  uid_t high = 0;
  UidRange(&low, &high);
  std::optional<std::string> shells(std::in_place);
  if (Failed(platform::ReadWholeFile("/etc/shells", &*shells, 1 << 20))) shells.reset();
  ::setpwent();
  while (const passwd* entry = ::getpwent()) {
    if (homes.size() >= kMaxProfiles) break;
    if (entry->pw_uid < low || entry->pw_uid > high || entry->pw_dir == nullptr ||
        !IsLoginShell(entry->pw_shell, shells))
      continue;
    struct stat st {};
    if (::stat(entry->pw_dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != entry->pw_uid) continue;
    if (std::any_of(homes.begin(), homes.end(), [&](const Home& h) { return h.profile == entry->pw_name; }))
      continue;
    homes.push_back(ProfileHome(entry->pw_name, entry->pw_dir, entry->pw_uid, entry->pw_gid, entry->pw_name));
  }
  ::endpwent();
  return homes;
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The current user's own account is the current user: one hive and one
// config folder, whichever way it is reached.
std::vector<Home> ListProfiles() {
  std::vector<Home> homes = ListHomes();
  const Home current = CurrentUserHome();
  for (Home& home : homes) {
    if (home.uid != current.uid || !SameFolder(home.folder, current.folder)) continue;
    std::string name = std::move(home.profile);
    home = current;
    home.profile = std::move(name);
  }
  return homes;
}

std::optional<Home> FindHome(const std::string& profile) {
  if (profile.empty()) return CurrentUserHome();
  for (Home& home : ListProfiles())
    if (home.profile == profile) return std::move(home);
  return std::nullopt;
}

std::string SkelFolder() {
  const char* dir = std::getenv("QUOL_SKEL_DIR");
  return (dir != nullptr && dir[0] != '\0') ? dir : "/etc/skel";
}

Home SkelHome() {
  Home home;
  home.profile = "(skel)";
  home.folder = SkelFolder();
  home.config = platform::JoinPath(home.folder, ".config");
  home.hive = RegistryHive::kLocalMachine;
  home.key = kSkelBackupKey;
  return home;
}

HRESULT ChangeHomeHere(const Home& home, const std::string& new_path, const std::string& ours) {
  return new_path.empty() ? TurnOffHome(home, ours) : TurnOnHome(home, new_path);
}

// Becomes the home's owner for good; false when any step did not hold.
bool DropTo(const Home& home) {
  const bool groups_ok = home.account.empty() ? ::setgroups(1, &home.gid) == 0
                                              : ::initgroups(home.account.c_str(), home.gid) == 0;
  if (!groups_ok || ::setgid(home.gid) != 0 || ::setuid(home.uid) != 0) return false;
  if (::getuid() != home.uid || ::geteuid() != home.uid || ::getgid() != home.gid || ::getegid() != home.gid)
    return false;
  // With the real and saved ids changed too, root cannot be had back.
  return home.uid == 0 || ::setuid(0) != 0;
}

// How long one account's change may take in its child.
constexpr std::chrono::seconds kChildTimeLimit{20};

// Changes a home of another user in a child that has become that user.
HRESULT ChangeHomeAsOwner(const Home& home, const std::string& new_path, const std::string& ours) {
  const pid_t pid = ::fork();
  if (pid < 0) return HresultFromLastErrno();
  if (pid == 0) {
    if (!DropTo(home)) ::_exit(kChildCouldNotDrop);
    ::_exit(Succeeded(ChangeHomeHere(home, new_path, ours)) ? kChildDone : kChildFailed);
  }
  // Bounded: a child stuck on a hung network home (or in a lock the fork
  // copied from another thread) is killed and the account counted as not
  // changed; the rest of the accounts are still served.
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + kChildTimeLimit;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return HresultFromLastErrno();
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      LogInfo("Changing %s took too long; stopped", home.folder.c_str());
      return E_FAIL;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kChildDone) return S_OK;
  return WIFEXITED(status) && WEXITSTATUS(status) == kChildCouldNotDrop ? E_ACCESSDENIED : E_FAIL;
}

HRESULT ChangeHome(const Home& home, const std::string& new_path) {
  const std::string ours = ScreenSaverPath();
  if (home.uid == ::geteuid()) return ChangeHomeHere(home, new_path, ours);
  if (::geteuid() != 0) return E_ACCESSDENIED;
  return ChangeHomeAsOwner(home, new_path, ours);
}

std::string ActiveSaverOf(const Home& home) {
  UniqueFd folder = OpenFolder(home.folder);
  if (!folder) return {};
  std::string text;
  if (Failed(ReadAt(folder.get(), kXscreensaverFile, &text, nullptr))) return {};
  return saverinstall::ActiveXscreensaverProgram(text);
}

}  // namespace

std::string ScreenSaverPath() {
  RegistryKey key;
  std::string value;
  if (Succeeded(key.Open(RegistryHive::kLocalMachine, kVevuvovKey)) &&
      Succeeded(key.ReadString("ScreenSaver", &value)) && !value.empty() &&
      value.size() <= kMaxSaverPathChars)
    return value;
  return kInstalledHackPath;
}

std::string GetUserScreenSaver(const std::string& profile) {
  std::optional<Home> home = FindHome(profile);
  return home ? ActiveSaverOf(*home) : std::string();
}

HRESULT SetUserScreenSaver(const std::string& profile, const std::string& new_path) {
  std::optional<Home> home = FindHome(profile);
  if (!home) return E_NOT_FOUND;
  return ChangeHome(*home, new_path);
}

void SetScreenSaverForAllUsers(const std::string& new_path, int* skipped) {
  int failures = 0;
  for (const Home& home : ListProfiles()) {
    HRESULT hr = ChangeHome(home, new_path);
    if (Failed(hr)) {
      ++failures;
      LogInfo("Screen saver not changed for profile %s (0x%08X)", home.profile.c_str(),
              static_cast<unsigned>(hr));
    }
  }
  // Accounts made later start from /etc/skel: they get the same choice.
  if (::geteuid() == 0) {
    const Home skel = SkelHome();
    HRESULT hr = ChangeHomeHere(skel, new_path, ScreenSaverPath());
    if (Failed(hr))
      LogInfo("Screen saver not changed in %s (0x%08X)", skel.folder.c_str(), static_cast<unsigned>(hr));
  }
  if (skipped != nullptr) *skipped += failures;
}

// Whether the current user is one of the profiles (an account outside the
// login range, root for one, is not).
bool CurrentUserIsAProfile() {
  const Home current = CurrentUserHome();
  for (const Home& home : ListProfiles()) {
    if (home.hive == current.hive && home.folder == current.folder) return true;
  }
  return false;
}

void ApplyToCurrentUser(const std::string& path, int* skipped) {
  HRESULT hr = SetUserScreenSaver("", path);
  if (Failed(hr)) {
    LogInfo("Screen saver not changed for the current user (0x%08X)", static_cast<unsigned>(hr));
    if (skipped != nullptr) ++*skipped;
  }
}

void ApplyScreenSaverChoice(int choice, int* skipped) {
  const std::string ours = ScreenSaverPath();
  // "Everyone" and "nobody" include whoever chose it, also when that
  // account is not among the profiles.
  const bool current_apart = (choice == kSaverForEveryone || choice == kSaverForNobody) &&
                             !CurrentUserIsAProfile();
  switch (choice) {
    case kSaverForEveryone:
      SetScreenSaverForAllUsers(ours, skipped);
      if (current_apart) ApplyToCurrentUser(ours, skipped);
      break;
    case kSaverJustMe: {
      SetScreenSaverForAllUsers("", skipped);
      HRESULT hr = SetUserScreenSaver("", ours);
      if (Failed(hr)) {
        LogInfo("Screen saver not changed for the current user (0x%08X)", static_cast<unsigned>(hr));
        if (skipped != nullptr) ++*skipped;
      }
      break;
    }
    case kSaverForNobody:
      SetScreenSaverForAllUsers("", skipped);
      if (current_apart) ApplyToCurrentUser("", skipped);
      break;
    default:
      break;
  }
}

int GetScreenSaverChoice() {
  const std::string ours = ScreenSaverPath();
  const bool mine = GetUserScreenSaver("") == ours;
  std::vector<Home> homes = ListProfiles();
  if (homes.empty()) return kSaverForEveryone;
  bool all = true;
  bool none = true;
  for (const Home& home : homes) {
    const bool on = ActiveSaverOf(home) == ours;
    all = all && on;
    none = none && !on;
  }
  if (all) return kSaverForEveryone;
  if (mine) return kSaverJustMe;
  if (none) return kSaverForNobody;
  return kSaverMixed;
}

int ApplyChoiceCommand(int choice) {
  if (choice < kSaverForEveryone || choice > kSaverForNobody) return kApplyChoiceBadUsage;
  int skipped = 0;
  ApplyScreenSaverChoice(choice, &skipped);
  return std::min(skipped, kApplyChoiceMaxSkipped);
}

int RunElevatedChoice(int choice) {
  if (choice < kSaverForEveryone || choice > kSaverForNobody) return -1;
  if (::geteuid() == 0 || ::access(kPkexecPath, X_OK) != 0) {
    int skipped = 0;
    ApplyScreenSaverChoice(choice, &skipped);
    return skipped;
  }
  // "Just me" is "nobody" done by root for the others, then ours for us here:
  // the elevated run knows nothing of the user who asked.
  const int elevated = choice == kSaverJustMe ? kSaverForNobody : choice;
  pid_t pid = -1;
  HRESULT hr = platform::SpawnProcess(kPkexecPath, {ScreenSaverPath(), kApplyChoiceFlag, std::to_string(elevated)}, &pid);
  if (Failed(hr)) {
    LogInfo("Could not start %s (0x%08X)", kPkexecPath, static_cast<unsigned>(hr));
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) > kApplyChoiceMaxSkipped) {
    LogInfo("The screen-saver change for all users did not run (status %d)", status);
    return -1;
  }
  int skipped = WEXITSTATUS(status);
  if (choice == kSaverJustMe) {
    hr = SetUserScreenSaver("", ScreenSaverPath());
    if (Failed(hr)) {
      LogInfo("Screen saver not changed for the current user (0x%08X)", static_cast<unsigned>(hr));
      ++skipped;
    }
  }
  return skipped;
}

}  // namespace quol
