#include "platform/process/launch_updater.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/common/diagnostics.h"
#include "platform/fs/files.h"
#include "platform/fs/unique_fd.h"
#include "platform/trust/minisign.h"

extern char** environ;

namespace quol::platform {
namespace {

// Upgrade packages are far smaller; a larger file is not copied (the
// package itself is handed over, after its own signature check).
constexpr std::int64_t kMaxCopiedPackageBytes = std::int64_t{1} << 30;

// The descriptor number Updater finds the pidfd under. The start moves the
// pidfd there and closes everything above, so Updater holds nothing else of
// ours.
constexpr int kUpdaterPidfdNumber = 3;

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Whether the open folder is one only we can enter: ours, a real folder (the
// open refused a symlink) and no permission bits for group or others.
bool IsPrivateFolder(int dir_fd) {
  struct stat st {};
  return ::fstat(dir_fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

UniqueFd OpenPrivateFolder(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd && !IsPrivateFolder(fd.get())) fd.Reset();
  return fd;
}

struct Folder {
  std::string path;
  bool made_here = false;  // a fresh mkdtemp folder, removed again when the copy fails
};

// $XDG_RUNTIME_DIR/quol (the folder the named mutexes use as well) when it
// is ours alone, else a fresh folder under $TMPDIR or /tmp. Another user's
// folder, or one others may enter, is never used: they could swap the
// package between its check and the install.
Folder PrivateFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string folder = JoinPath(runtime, "quol");
    ::mkdir(folder.c_str(), 0700);
    if (OpenPrivateFolder(folder)) return {folder, false};
    ReportError("LaunchUpdater: '%s' is not a private folder", folder.c_str());
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/quol-update-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  if (!OpenPrivateFolder(pattern)) return {};
  return {pattern, true};
}

// Copies everything from `in` to `out`.
bool CopyDescriptor(int in, int out) {
  std::vector<char> buffer(std::size_t{1} << 16);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(n))) return false;
  }
}

// Writes a new file (never over an existing one, never through a symlink).
bool WriteNewPrivateFile(const std::string& path, const std::string& content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return false;
  if (!WriteAll(fd.get(), content.data(), content.size())) {
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

// Copies the package and its .minisig into the private folder. Returns the
// copy's path, or nothing (and leaves nothing behind) when any step fails.
std::string CopyToPrivateFolder(const std::string& package) {
  // O_NONBLOCK: a FIFO left under the package's name must not hold the
  // caller (the client's window thread) in open().
  UniqueFd in(::open(package.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxCopiedPackageBytes) {
    return {};
  }
  std::string signature;
  if (Failed(ReadWholeFile(package + ".minisig", &signature, kMaxSignatureFileBytes))) return {};
  const Folder folder = PrivateFolder();
  if (folder.path.empty()) return {};

  std::string copy = JoinPath(folder.path, "QuolUpdateXXXXXX.deb");
  // mkstemps gives the file to us alone (0600, O_EXCL); it is written
  // through that descriptor, never opened again by name.
  UniqueFd out(::mkostemps(copy.data(), 4, O_CLOEXEC));
  if (out && CopyDescriptor(in.get(), out.get()) && WriteNewPrivateFile(copy + ".minisig", signature)) {
    return copy;
  }
  if (out) ::unlink(copy.c_str());
  if (folder.made_here) ::rmdir(folder.path.c_str());
  return {};
}

void RemoveCopy(const std::string& copy) {
  ::unlink((copy + ".minisig").c_str());
  ::unlink(copy.c_str());
}

// Starts Updater with the pidfd under kUpdaterPidfdNumber and nothing else
// of ours beyond the standard streams. Returns 0 or the errno of the start.
int SpawnUpdater(const std::string& updater, int pidfd, const std::string& package) {
  char number[16];
  std::snprintf(number, sizeof number, "%x", static_cast<unsigned>(kUpdaterPidfdNumber));
  std::string argv0 = updater;
  std::string argv2 = package;
  char* argv[] = {argv0.data(), number, argv2.data(), nullptr};

  posix_spawn_file_actions_t actions;
  int rc = ::posix_spawn_file_actions_init(&actions);
  if (rc != 0) return rc;
  // The pidfd stays close-on-exec here: only the child's copy loses the
  // flag (dup2, or the same number, which clears it), so a program started
  // by another thread meanwhile never inherits it.
  rc = ::posix_spawn_file_actions_adddup2(&actions, pidfd, kUpdaterPidfdNumber);
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, kUpdaterPidfdNumber + 1);
  if (rc == 0) {
    pid_t child = 0;
    rc = ::posix_spawn(&child, updater.c_str(), &actions, nullptr, argv, environ);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  return rc;
}

}  // namespace

HRESULT LaunchUpdater(const UpdaterLaunch& launch, UpdaterLaunchResult* result) {
  UpdaterLaunchResult local;
  if (result == nullptr) result = &local;
  *result = UpdaterLaunchResult{};
  if (launch.package_path.empty() || launch.updater_path.empty()) return E_INVALIDARG;

  const std::string copy = CopyToPrivateFolder(launch.package_path);
  if (copy.empty()) {
    ReportInfo("LaunchUpdater: no private copy of '%s'; handing it over itself",
               launch.package_path.c_str());
  }
  const std::string handed = copy.empty() ? launch.package_path : copy;
  // Checked again right before the start: the copy is what the installer
  // gets, and it is the copy's bytes that must be the signed ones.
  const HRESULT verified = VerifyFileSignature(handed);
  if (Failed(verified)) {
    if (!copy.empty()) RemoveCopy(copy);
    return verified;
  }

  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
  int error = pidfd ? SpawnUpdater(launch.updater_path, pidfd.get(), handed) : errno;
  if (error == 0) {
    result->handed_over_path = handed;
    return S_OK;
  }
  ReportError("LaunchUpdater: could not start '%s'; error %d", launch.updater_path.c_str(), error);
  if (!copy.empty()) RemoveCopy(copy);
  result->spawn_error = error;
  return HresultFromErrno(error);
}

}  // namespace quol::platform
