// The data folder: where the logs, Settings.xml, the configuration documents,
// downloaded packages and the crash dump live. Linux has no writable
// all-users application-data folder, so QUOL_DATA_DIR chooses it; without it
// the user's XDG data folder is used.
#pragma once

#include <string>

#include "platform/common/hresult.h"

namespace quol::platform {

// $QUOL_DATA_DIR, else ${XDG_DATA_HOME:-~/.local/share}/Quol/Vevuvov.
// `per_user` picks the user's own folder even when QUOL_DATA_DIR is set.
// Read from the environment on every call.
std::string DataFolderPath(bool per_user = false);

// DataFolderPath, created with all missing parents. The path is returned in
// `path` even when creation fails.
[[nodiscard]] HRESULT EnsureDataFolder(std::string* path, bool per_user = false);

}  // namespace quol::platform
