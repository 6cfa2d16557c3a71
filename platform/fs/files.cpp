#include "platform/fs/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace quol::platform {
namespace {

// Writes all of `data`, retrying short writes and EINTR.
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

constexpr char kTempAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kTempSuffixLength = 6;

// ".Settings.xml." for "folder/Settings.xml": temporaries are this plus six
// letters or digits, the pattern mkostemp fills in.
std::string TempPrefix(const std::string& path) { return "." + BaseName(path) + "."; }

bool IsTempName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + kTempSuffixLength || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string RandomSuffix() {
  unsigned char bytes[kTempSuffixLength];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
  }
  std::string suffix;
  for (unsigned char b : bytes) suffix += kTempAlphabet[b % (sizeof kTempAlphabet - 1)];
  return suffix;
}

// A temporary file being written beside its target. Its writer holds an
// flock on it for its whole life, which is how RemoveStaleTemporaries tells
// a save in progress from the leftovers of a killed one.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
    if (fd_ >= 0) ::close(fd_);
  }

  // Unnamed (O_TMPFILE) where the file system offers it, so that a writer
  // killed while writing leaves nothing behind; a named mkostemp file
  // otherwise.
  HRESULT Open(const std::string& target, mode_t mode) {
    folder_ = DirName(target);
    prefix_ = TempPrefix(target);
#ifdef O_TMPFILE
    static const bool proc_fd = ::access("/proc/self/fd", X_OK) == 0;
    if (proc_fd) {
      fd_ = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 07777);
      if (fd_ >= 0) {
        ::flock(fd_, LOCK_EX);
        return S_OK;
      }
    }
#endif
    std::string pattern = JoinPath(folder_, prefix_ + "XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return HresultFromLastErrno();
    name_ = name.data();
    ::flock(fd_, LOCK_EX);
    return S_OK;
  }

  HRESULT Write(std::string_view content, mode_t mode) {
    if (::fchmod(fd_, mode) != 0 || !WriteAll(fd_, content.data(), content.size()) ||
        ::fsync(fd_) != 0) {
      return HresultFromLastErrno();
    }
    return S_OK;
  }

  // Gives the written file the name `target`; with `replace` an existing
  // file of that name is replaced, without it the call fails with EEXIST.
  HRESULT Publish(const std::string& target, bool replace) {
    if (name_.empty()) {
      // Unnamed: link it in. linkat never replaces, so a replacement first
      // links under a temporary name and renames from there.
      const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
      if (!replace) {
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
          return HresultFromLastErrno();
        }
        return S_OK;
      }
      for (int attempt = 0;; ++attempt) {
        std::string name = JoinPath(folder_, prefix_ + RandomSuffix());
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
          name_ = name;
          break;
        }
        if (errno != EEXIST || attempt >= 100) return HresultFromLastErrno();
      }
    }
    if (replace) {
      if (::rename(name_.c_str(), target.c_str()) != 0) return HresultFromLastErrno();
    } else {
      if (::link(name_.c_str(), target.c_str()) != 0) return HresultFromLastErrno();
      ::unlink(name_.c_str());
    }
    name_.clear();
    return S_OK;
  }

  HRESULT Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? S_OK : HresultFromLastErrno();
  }

 private:
  int fd_ = -1;
  std::string folder_;
  std::string prefix_;
  std::string name_;  // while it has one
};

HRESULT WriteThroughTemporary(const std::string& path, std::string_view content, mode_t mode,
                              bool replace) {
  TempFile temp;
  HRESULT hr = temp.Open(path, mode);
  if (Succeeded(hr)) hr = temp.Write(content, mode);
  if (Succeeded(hr)) hr = temp.Publish(path, replace);
  // Closed only now: the lock is held until the file has its final name.
  const HRESULT closed = temp.Close();
  if (Failed(hr)) return hr;
  if (Failed(closed)) return closed;
  SyncFolder(DirName(path));
  return S_OK;
}

}  // namespace

HRESULT CreateDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return E_INVALIDARG;
  std::string partial;
  partial.reserve(path.size());
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      partial = path.substr(0, i);
      if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
        return HresultFromLastErrno();
      }
    }
  }
  return IsDirectory(path) ? S_OK : HresultFromErrno(ENOTDIR);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

HRESULT ReadWholeFile(const std::string& path, std::string* out, std::size_t max_bytes) {
  out->clear();
  // Opened without waiting: a FIFO or a device under a file's name (by
  // mistake or by malice) would otherwise block the opener for ever. Only
  // regular files are read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return HresultFromLastErrno();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return HresultFromErrno(err);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char buffer[65536];
  HRESULT hr = S_OK;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      hr = HresultFromLastErrno();
      break;
    }
    if (n == 0) break;
    if (out->size() + static_cast<std::size_t>(n) > max_bytes) {
      hr = E_OUTOFMEMORY;
      break;
    }
    out->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (Failed(hr)) out->clear();
  return hr;
}

HRESULT WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
  return WriteThroughTemporary(path, content, mode, true);
}

HRESULT ReplaceFileKeepingMode(const std::string& path, std::string_view content,
                               mode_t new_file_mode) {
  mode_t mode = new_file_mode;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  return WriteThroughTemporary(path, content, mode, true);
}

HRESULT WriteNewFile(const std::string& path, std::string_view content, mode_t mode) {
  return WriteThroughTemporary(path, content, mode, false);
}

int RemoveStaleTemporaries(const std::string& path) {
  const std::string folder = DirName(path);
  const std::string prefix = TempPrefix(path);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsTempName(name, prefix)) continue;
    const std::string full = JoinPath(folder, name);
    int fd = ::open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {};
    struct stat named {};
    // A live writer holds its lock; only the files of dead ones are taken,
    // and only if the name still means the file that was checked.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(full.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino && ::unlink(full.c_str()) == 0) {
      ++removed;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

HRESULT CopyFile(const std::string& from, const std::string& to) {
  std::string content;
  HRESULT hr = ReadWholeFile(from, &content, std::size_t{1} << 30);
  if (Failed(hr)) return hr;
  return WriteFileAtomically(to, content);
}

std::string DirName(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

FileLock::~FileLock() { Release(); }

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

HRESULT FileLock::Acquire(const std::string& lock_path) { return Lock(lock_path, true, 0666); }

HRESULT FileLock::TryAcquire(const std::string& lock_path, mode_t mode) {
  return Lock(lock_path, false, mode);
}

HRESULT FileLock::Lock(const std::string& lock_path, bool wait, mode_t mode) {
  Release();
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  // Another user's lock file may be read-only for us; flock works all the same.
  if (fd < 0 && errno == EACCES) fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return HresultFromLastErrno();
  for (;;) {
    if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) break;
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return S_FALSE;
    return HresultFromErrno(err);
  }
  fd_ = fd;
  return S_OK;
}

void FileLock::Release() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing the last descriptor drops the flock
    fd_ = -1;
  }
}

}  // namespace quol::platform
