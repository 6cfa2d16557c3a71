#include "platform/datafolder/data_folder.h"

#include <cstdlib>

#include "platform/folders/folders.h"
#include "platform/fs/files.h"

namespace quol::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string DataFolderPath(bool per_user) {
  if (!per_user) {
    std::string override_dir = Env("QUOL_DATA_DIR");
    if (!override_dir.empty()) return override_dir;
  }
  std::string base = Env("XDG_DATA_HOME");
  if (base.empty()) {
    std::string home = HomeFolder();
    if (home.empty()) home = "/tmp";
    base = JoinPath(home, ".local/share");
  }
  return JoinPath(base, "Quol/Vevuvov");
}

HRESULT EnsureDataFolder(std::string* path, bool per_user) {
  *path = DataFolderPath(per_user);
  return CreateDirectories(*path);
}

}  // namespace quol::platform
