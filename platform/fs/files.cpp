#include "platform/fs/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return HresultFromLastErrno();
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
  const std::string folder = DirName(path);
  std::string temp = JoinPath(folder, "." + BaseName(path) + ".XXXXXX");
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return HresultFromLastErrno();
  HRESULT hr = S_OK;
  if (::fchmod(fd, mode) != 0 || !WriteAll(fd, content.data(), content.size()) ||
      ::fsync(fd) != 0) {
    hr = HresultFromLastErrno();
  }
  if (::close(fd) != 0 && Succeeded(hr)) hr = HresultFromLastErrno();
  if (Succeeded(hr) && ::rename(name.data(), path.c_str()) != 0) hr = HresultFromLastErrno();
  if (Failed(hr)) {
    ::unlink(name.data());
    return hr;
  }
  SyncFolder(folder);
  return S_OK;
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
