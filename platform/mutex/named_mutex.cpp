#include "platform/mutex/named_mutex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/text/utf.h"

namespace quol::platform {
namespace {

constexpr char kGlobalFolder[] = "/tmp/quol-global";
constexpr char kGlobalFolderVariable[] = "QUOL_GLOBAL_LOCK_DIR";

// Test programs running side by side each get their own machine-wide
// mutexes through the variable; everything else shares the fixed folder.
std::string GlobalFolder() {
  const char* folder = std::getenv(kGlobalFolderVariable);
  if (folder != nullptr && *folder != '\0') return folder;
  return kGlobalFolder;
}

std::string LocalFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return JoinPath(runtime, "quol");
  return "/tmp/quol-" + std::to_string(::getuid());
}

// Keeps names to one path component.
std::string SafeFileName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name + ".lock";
}

}  // namespace

std::string NamedMutex::LockFilePath(const std::string& name) {
  if (StartsWithIgnoreCase(name, "Global\\")) {
    return JoinPath(GlobalFolder(), SafeFileName(name.substr(7)));
  }
  std::string bare = StartsWithIgnoreCase(name, "Local\\") ? name.substr(6) : name;
  return JoinPath(LocalFolder(), SafeFileName(bare));
}

HRESULT NamedMutex::Create(const std::string& name) {
  already_existed_ = false;
  lock_.Release();
  const bool global = StartsWithIgnoreCase(name, "Global\\");
  std::string path = LockFilePath(name);
  std::string folder = DirName(path);
  if (global) {
    // Every user of the machine must be able to create lock files here; the
    // sticky bit keeps them from removing each other's.
    if (::mkdir(folder.c_str(), 01777) == 0) ::chmod(folder.c_str(), 01777);
  } else {
    HRESULT hr = CreateDirectories(folder, 0700);
    if (Failed(hr)) return hr;
  }
  HRESULT hr = lock_.TryAcquire(path, global ? 0666 : 0600);
  if (hr == S_FALSE) already_existed_ = true;
  return hr;
}

}  // namespace quol::platform
