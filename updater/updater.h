// Updater's work, apart from its user interface: reading the three
// arguments, waiting for the calling program to end and starting the
// desktop's package installer on the upgrade package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quol::updater {

// Package paths of this many bytes or more are refused (nothing is started).
inline constexpr std::size_t kMaxPackagePathBytes = 260;
// A process number has at most this many hexadecimal digits; a longer one
// reads as 0 rather than wrapping round to some other descriptor.
inline constexpr std::size_t kMaxProcessNumberDigits = 8;
// Names the installer program instead of the desktop's default (tests).
inline constexpr char kInstallerVariable[] = "QUOL_INSTALLER";
// Opens the package with the desktop's handler for it, its package installer.
inline constexpr char kDefaultInstaller[] = "xdg-open";
inline constexpr char kMessageCaption[] = "Quol Vevuvov";

// The second argument as a number: hexadecimal digits of either case, read
// from the left. Any other character, more than kMaxProcessNumberDigits
// digits or an empty text give 0 (which means "do not wait").
std::uint32_t ParseProcessNumber(std::string_view text);

// Whether `fd` is an open pidfd of this process. Anything else (a pipe, a
// file, a closed number) is never waited on.
bool IsPidfd(int fd);

// Waits, without time limit, until the process behind the pidfd has ended.
void WaitForProcessEnd(int pidfd);

// $QUOL_INSTALLER when set and not empty, else kDefaultInstaller.
std::string InstallerProgram();

// Starts `program` (looked up on PATH when it has no slash) with the one
// argument `package`, the current environment and folder and no descriptor
// beyond the standard three. Does not wait for it. Returns 0 or the errno
// of the failed start.
int StartInstaller(const std::string& program, const std::string& package);

// The text shown when the installer cannot be started.
std::string StartFailureText(int error);

// Updater's whole run but the message: checks the arguments (exactly three,
// a package path shorter than kMaxPackagePathBytes, else nothing happens),
// waits on the pidfd the second one names, closes it and starts the
// installer. Returns the errno of a failed installer start, else 0.
int Run(int argc, const char* const argv[]);

}  // namespace quol::updater
