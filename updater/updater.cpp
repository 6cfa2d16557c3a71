#include "updater/updater.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace quol::updater {
namespace {

// How /proc names the target of a pidfd.
constexpr char kPidfdLink[] = "anon_inode:[pidfd]";

int HexDigit(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint32_t ParseProcessNumber(std::string_view text) {
  if (text.size() > kMaxProcessNumberDigits) return 0;
  std::uint32_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return 0;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool IsPidfd(int fd) {
  if (fd < 0) return false;
  char link_path[64];
  std::snprintf(link_path, sizeof link_path, "/proc/self/fd/%d", fd);
  char target[64];
  const ssize_t n = ::readlink(link_path, target, sizeof target);
  return n == static_cast<ssize_t>(sizeof kPidfdLink - 1) &&
         std::string_view(target, static_cast<std::size_t>(n)) == kPidfdLink;
}

void WaitForProcessEnd(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  // A pidfd turns readable when its process has ended; an error or hang-up
  // on it cannot turn into a wait either, so anything but EINTR ends it.
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

std::string InstallerProgram() {
  const char* program = std::getenv(kInstallerVariable);
  return program != nullptr && *program != '\0' ? program : kDefaultInstaller;
}

int StartInstaller(const std::string& program, const std::string& package) {
  std::string argv0 = program;
  std::string argv1 = package;
  char* argv[] = {argv0.data(), argv1.data(), nullptr};
  posix_spawn_file_actions_t actions;
  int rc = ::posix_spawn_file_actions_init(&actions);
  if (rc != 0) return rc;
  // Whatever the client left us beyond the standard streams stays here.
  rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (rc == 0) {
    pid_t child = 0;
    // Not waited for: Updater ends right after, and the installer is
    // handed to the process that adopts orphans.
    rc = ::posix_spawnp(&child, argv0.c_str(), &actions, nullptr, argv, environ);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  return rc;
}

std::string StartFailureText(int error) {
  char text[128];
  std::snprintf(text, sizeof text, "Sorry, could not start MSIEXEC to install your upgrade\r\nError code: %d",
                error);
  return text;
}

int Run(int argc, const char* const argv[]) {
  if (argc != 3) return 0;
  const std::string package = argv[2];
  if (package.size() >= kMaxPackagePathBytes) return 0;
  const std::uint32_t number = ParseProcessNumber(argv[1]);
  if (number != 0 && number <= static_cast<std::uint32_t>(INT_MAX)) {
    const int fd = static_cast<int>(number);
    if (IsPidfd(fd)) {
      WaitForProcessEnd(fd);
      ::close(fd);
    }
  }
  return StartInstaller(InstallerProgram(), package);
}

}  // namespace quol::updater
