#include "platform/identity/identity.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace quol::platform {

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string BaseNameWithoutExtension(const std::string& path) {
  auto slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::string ExecutableBaseName() { return BaseNameWithoutExtension(ExecutablePath()); }

FileVersion ProgramFileVersion() {
  return FileVersion{QUOL_VERSION_MAJOR + 0u, QUOL_VERSION_MINOR + 0u, QUOL_VERSION_PATCH + 0u,
                     QUOL_VERSION_TWEAK + 0u};
}

std::string ProgramFileVersionText() {
  FileVersion v = ProgramFileVersion();
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", v.major, v.minor, v.build, v.revision);
  return text;
}

}  // namespace quol::platform
