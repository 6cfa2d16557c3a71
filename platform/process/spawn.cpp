#include "platform/process/spawn.h"

#include <spawn.h>

extern char** environ;

namespace quol::platform {

HRESULT SpawnProcess(const std::string& path, const std::vector<std::string>& args, pid_t* pid,
                     int* spawn_error) {
  if (spawn_error != nullptr) *spawn_error = 0;
  if (path.empty()) {
    if (spawn_error != nullptr) *spawn_error = ENOENT;
    return HresultFromErrno(ENOENT);
  }
  // posix_spawn takes non-const strings; these copies live until it returns.
  std::vector<std::string> strings;
  strings.reserve(args.size() + 1);
  strings.push_back(path);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int rc = ::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    if (spawn_error != nullptr) *spawn_error = rc;
    return HresultFromErrno(rc);
  }
  if (pid != nullptr) *pid = child;
  return S_OK;
}

}  // namespace quol::platform
