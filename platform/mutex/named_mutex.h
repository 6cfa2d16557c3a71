// Named mutexes "Local\Name" (one per user session) and "Global\Name" (one
// per machine), built on flock'ed lock files. As with the desktop platform's
// named mutexes, creating one always gives an object; AlreadyExisted() says
// whether another process holds it, in which case this one does not own it.
#pragma once

#include <string>

#include "platform/common/hresult.h"
#include "platform/fs/files.h"

namespace quol::platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // `name` is "Local\X", "Global\X" or a bare "X" (treated as Local).
  // Returns S_OK when this object now owns the mutex, S_FALSE when another
  // process (or another NamedMutex of this process) holds it, or a failure.
  [[nodiscard]] HRESULT Create(const std::string& name);

  bool owned() const { return lock_.held(); }
  bool AlreadyExisted() const { return already_existed_; }
  void Release() { lock_.Release(); }

  // Where the lock file of `name` lives ($XDG_RUNTIME_DIR/quol for Local,
  // a sticky world-writable folder in /tmp for Global, or the folder named
  // by QUOL_GLOBAL_LOCK_DIR when set, read on every call, so that test
  // programs run in parallel do not share machine-wide mutexes).
  static std::string LockFilePath(const std::string& name);

 private:
  FileLock lock_;
  bool already_existed_ = false;
};

}  // namespace quol::platform
