// Handing a downloaded upgrade to the Updater program, which installs it once
// the calling program has ended.
//
// The package is copied (with its .minisig) into a private folder that only
// this user can enter (mode 0700, the copy made with mkstemp under a
// "QuolUpdate" prefix), so the installer never runs from the shared packages
// folder and nobody can swap the file between the check and the install. The
// copy's signature is checked again just before Updater starts. When the
// copy cannot be made, the package itself is checked and handed over.
//
// Updater receives exactly three arguments: its own path, the number of an
// inherited pidfd of the calling process in lower-case hexadecimal without
// prefix, and the package path. It waits until that process has ended. The
// pidfd is the only descriptor of ours it gets besides stdin, stdout and
// stderr; in the caller it stays close-on-exec throughout, so programs other
// threads start meanwhile never hold it.
#pragma once

#include <string>

#include "platform/common/hresult.h"

namespace quol::platform {

struct UpdaterLaunch {
  std::string updater_path;  // the installed Updater program
  std::string package_path;  // the verified package in the packages folder
};

struct UpdaterLaunchResult {
  std::string handed_over_path;  // the path Updater was given (the private copy, or the package)
  int spawn_error = 0;           // errno of a failed start, 0 otherwise
};

// Starts Updater as described above. Does not wait for it. Fails with
// E_INVALIDARG for an empty path, with E_ACCESSDENIED (or the trust layer's
// code) when the package handed over does not verify (nothing is started),
// with the start's error when Updater cannot be started (its errno in
// `result->spawn_error`); a copy made for a failed start is removed again.
// Any thread may call.
[[nodiscard]] HRESULT LaunchUpdater(const UpdaterLaunch& launch, UpdaterLaunchResult* result);

}  // namespace quol::platform
