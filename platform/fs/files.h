// File helpers every store of the suite uses: whole-file reads, atomic
// replacement (temporary file in the same folder, fsync, rename, fsync of the
// folder) and advisory locks. A crash or a full disk therefore leaves either
// the old or the new file on disk, never a torn one.
//
// The temporary file is written unnamed where the file system allows it
// (O_TMPFILE) and only gets its name ".NAME.XXXXXX" just before the rename.
// While it exists its writer holds an flock on it, so RemoveStaleTemporaries
// can tell the leftovers of a killed writer from a save in progress.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/common/hresult.h"

namespace quol::platform {

// Creates `path` and every missing parent (mode 0755 unless given).
// Succeeds when the folder already exists.
[[nodiscard]] HRESULT CreateDirectories(const std::string& path, mode_t mode = 0755);

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Reads the whole file; fails with E_OUTOFMEMORY when it is larger than
// max_bytes, and at once for anything but a regular file (a FIFO, a device or
// a folder under the name), never waiting for a writer.
[[nodiscard]] HRESULT ReadWholeFile(const std::string& path, std::string* out,
                      std::size_t max_bytes = 64u << 20);

// Replaces `path` with `content` atomically. The file gets `mode`.
[[nodiscard]] HRESULT WriteFileAtomically(const std::string& path, std::string_view content,
                            mode_t mode = 0644);

// The same, but an existing regular file keeps its own permission bits;
// `new_file_mode` applies only when `path` does not exist yet.
[[nodiscard]] HRESULT ReplaceFileKeepingMode(const std::string& path, std::string_view content,
                               mode_t new_file_mode = 0644);

// Creates `path` with `content`, complete or not at all, and never over an
// existing file: fails with HresultFromErrno(EEXIST) when the name is taken.
[[nodiscard]] HRESULT WriteNewFile(const std::string& path, std::string_view content, mode_t mode = 0600);

// Removes what killed writers left of atomic replacements of `path`: files
// named exactly ".NAME.XXXXXX" (six letters or digits) beside it that no
// live writer holds. Returns how many were removed.
int RemoveStaleTemporaries(const std::string& path);

// Copies `from` to `to` (atomically at the destination).
[[nodiscard]] HRESULT CopyFile(const std::string& from, const std::string& to);

// Folder part and name part of a path ("a/b/c.xml" -> "a/b", "c.xml").
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

// An exclusive advisory lock (flock) on a lock file, released on destruction.
// Locks are per open file, so two FileLocks in one process exclude each other
// too.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;

  // Waits for the lock. Creates the lock file (mode 0666 & ~umask) if missing.
  [[nodiscard]] HRESULT Acquire(const std::string& lock_path);
  // Returns S_OK when taken, S_FALSE when another holder has it, or a failure.
  [[nodiscard]] HRESULT TryAcquire(const std::string& lock_path, mode_t mode = 0666);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  [[nodiscard]] HRESULT Lock(const std::string& lock_path, bool wait, mode_t mode);
  int fd_ = -1;
};

}  // namespace quol::platform
