#include "screensaver/photos/photo_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/log/process_log.h"
#include "platform/folders/folders.h"
#include "platform/fs/files.h"

namespace quol::saver {
namespace {

std::atomic<std::uint64_t> g_limit{kDefaultPhotoCacheBytes};

// Copies are written as baseline JPEG at this quality: indistinguishable
// from the HEIF original at the sizes a collage shows, a tenth of the
// decoding time.
constexpr int kCopyQuality = 90;

// Temporaries a process left behind when it ended halfway through a write
// are deleted by a later prune once they are this old.
constexpr std::int64_t kStaleTemporarySeconds = 3600;
constexpr char kTemporaryPrefix[] = ".new-";
constexpr std::size_t kKeyDigits = 32;
constexpr char kCopySuffix[] = ".jpg";

// The cache directory tag that backup and cleaning tools know.
constexpr char kTagName[] = "CACHEDIR.TAG";
constexpr char kTagSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";
constexpr char kTagText[] =
    "Signature: 8a477f597d28d172789f06886806bc55\n"
    "# This file is a cache directory tag created by Quol.\n"
    "# For information about cache directory tags, see:\n"
    "#\thttps://bford.info/cachedir/\n";

// ------------------------------------------------------------ logging

// A cache that does not work costs only speed, so it is reported once per
// process at most, and a folder that failed is not tried again by this
// process (a read-only home would otherwise be tried for every photo).
std::atomic<bool> g_logged{false};
std::mutex g_failed_mutex;
std::set<std::string>& FailedFolders() {
  static std::set<std::string> folders;
  return folders;
}
constexpr std::size_t kMaxFailedFolders = 64;

void Disable(const std::string& folder, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(g_failed_mutex);
    if (FailedFolders().size() >= kMaxFailedFolders) FailedFolders().clear();
    FailedFolders().insert(folder);
  }
  if (!g_logged.exchange(true)) LogError("Photo cache disabled: %s", reason.c_str());
}

bool HasFailed(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_failed_mutex);
  return FailedFolders().count(folder) != 0;
}

std::string Reason(const std::string& what, const std::string& path, int error) {
  return what + " " + path + " (" + std::strerror(error) + ")";
}

// ------------------------------------------------------------ the folder

struct TjDestroyer {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct TjFree {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

bool IsCopyName(const std::string& name) {
  if (name.size() != kKeyDigits + sizeof kCopySuffix - 1) return false;
  if (name.compare(kKeyDigits, std::string::npos, kCopySuffix) != 0) return false;
  return std::all_of(name.begin(), name.begin() + kKeyDigits,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsTemporaryName(const std::string& name) {
  return name.compare(0, sizeof kTemporaryPrefix - 1, kTemporaryPrefix) == 0;
}

// The cache folder, ready for use: it exists, it is a folder of this
// account's, and no one else can write into it (others could otherwise
// plant pictures for the family's photos).
class CacheFolder {
 public:
  static std::optional<CacheFolder> Open() {
    const char* explicit_dir = std::getenv("QUOL_PHOTO_CACHE_DIR");
    std::optional<std::string> path = PhotoCacheFolder();
    if (!path) {
      // Off on purpose (an empty setting, root) is not worth a line; no
      // home to keep the copies in is.
      const bool off_on_purpose = explicit_dir != nullptr || ::geteuid() == 0;
      if (!off_on_purpose && !g_logged.exchange(true)) {
        LogError("Photo cache disabled: %s", "no home folder");
      }
      return std::nullopt;
    }
    if (path->empty() || (*path)[0] != '/' || HasFailed(*path)) return std::nullopt;
    // Missing folders are made 0700, as the cache home is meant to be.
    if (Failed(platform::CreateDirectories(*path, 0700))) {
      Disable(*path, Reason("cannot create", *path, errno));
      return std::nullopt;
    }
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      Disable(*path, *path + " is not a folder");
      return std::nullopt;
    }
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      Disable(*path, *path + " is not a private folder of this account");
      return std::nullopt;
    }
    CacheFolder folder(std::move(*path));
    if (!folder.Tagged()) return std::nullopt;
    return folder;
  }

  std::string PathOf(const std::string& name) const { return path_ + "/" + name; }

  // Pruning deletes every hash-named JPEG in the folder, so a folder is only
  // used when it carries this code's cache tag: one the setting points at
  // by mistake (a pictures folder, where messaging apps save hash-named
  // photos) is left alone. The tag is written into a folder that is empty,
  // the one just created included.
  bool Tagged() const {
    if (HasTag()) return true;
    DIR* dir = ::opendir(path_.c_str());
    if (dir == nullptr) {
      Disable(path_, Reason("cannot read", path_, errno));
      return false;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      // Another process may be writing the tag at this moment.
      if (name != "." && name != ".." && name != kTagName) {
        empty = false;
        break;
      }
    }
    ::closedir(dir);
    if (!empty) {
      Disable(path_, path_ + " holds other files and no " + kTagName);
      return false;
    }
    const int fd = ::open(PathOf(kTagName).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST && HasTag()) return true;  // written by another process
      Disable(path_, Reason("cannot write into", path_, errno));
      return false;
    }
    const std::string_view tag = kTagText;
    const bool written = ::write(fd, tag.data(), tag.size()) == static_cast<ssize_t>(tag.size());
    const int error = written ? 0 : (errno != 0 ? errno : ENOSPC);
    if (::close(fd) != 0 || !written) {
      ::unlink(PathOf(kTagName).c_str());
      Disable(path_, Reason("cannot write into", path_, error != 0 ? error : errno));
      return false;
    }
    return true;
  }

  // The bytes of a copy; nullopt when there is none, and a file that
  // cannot be a copy (a link, not a regular file, empty or too large) is
  // deleted on the way.
  std::optional<std::vector<unsigned char>> Read(const std::string& name) const {
    const std::string path = PathOf(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      if (errno == ELOOP) Remove(name);  // a symbolic link: never followed
      return std::nullopt;
    }
    std::optional<std::vector<unsigned char>> bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) <= kMaxPhotoCopyBytes) {
      std::vector<unsigned char> data(static_cast<std::size_t>(info.st_size));
      std::size_t got = 0;
      while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      if (got == data.size()) bytes = std::move(data);
    }
    ::close(fd);
    if (!bytes) Remove(name);
    return bytes;
  }

  // The tag as any cache tag is recognised: its first bytes are the
  // signature; a link is not followed.
  bool HasTag() const {
    const int fd = ::open(PathOf(kTagName).c_str(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    const std::string_view signature = kTagSignature;
    char start[sizeof kTagSignature] = {};
    std::size_t got = 0;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      while (got < signature.size()) {
        const ssize_t n = ::read(fd, start + got, signature.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
    }
    ::close(fd);
    return std::string_view(start, got) == signature;
  }

  void Remove(const std::string& name) const { ::unlink(PathOf(name).c_str()); }

  // A copy that was used is marked as recently used, so often-shown photos
  // are the last to be pruned.
  void Touch(const std::string& name) const {
    ::utimensat(AT_FDCWD, PathOf(name).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  }

  // Written whole into a temporary of this folder and renamed into place:
  // another saver process (preview and full screen at once) sees either the
  // old file or the new one, never part of one.
  void Store(const std::string& name, std::span<const unsigned char> jpeg) const {
    std::string temporary = PathOf(std::string(kTemporaryPrefix) + "XXXXXX");
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // 0600
    if (fd < 0) {
      Disable(path_, Reason("cannot write into", path_, errno));
      return;
    }
    std::size_t done = 0;
    int error = 0;
    while (done < jpeg.size()) {
      const ssize_t n = ::write(fd, jpeg.data() + done, jpeg.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), PathOf(name).c_str()) != 0) error = errno;
    if (error != 0) {
      ::unlink(temporary.c_str());
      Disable(path_, Reason("cannot write into", path_, error));
      return;
    }
    Prune(g_limit.load());
  }

  // Deletes the least recently used copies until the folder's total is
  // within `limit`, looking at kMaxPruneEntries entries at most. Only names
  // this code writes are ever deleted, whatever else the folder holds.
  void Prune(std::uint64_t limit) const {
    DIR* dir = ::opendir(path_.c_str());
    if (dir == nullptr) return;
    struct Entry {
      std::int64_t seconds;
      long nanoseconds;
      std::string name;
      std::uint64_t bytes;
    };
    std::vector<Entry> copies;
    std::uint64_t total = 0;
    const std::int64_t now = static_cast<std::int64_t>(::time(nullptr));
    const int dir_fd = ::dirfd(dir);
    int seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (++seen > kMaxPruneEntries) break;
      const std::string name = entry->d_name;
      const bool copy = IsCopyName(name);
      if (!copy && !IsTemporaryName(name)) continue;
      struct stat info {};
      if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISLNK(info.st_mode)) {
        ::unlinkat(dir_fd, name.c_str(), 0);
        continue;
      }
      if (!S_ISREG(info.st_mode)) continue;
      if (!copy) {
        if (now - static_cast<std::int64_t>(info.st_mtim.tv_sec) > kStaleTemporarySeconds) {
          ::unlinkat(dir_fd, name.c_str(), 0);
        } else {
          total += static_cast<std::uint64_t>(info.st_size);  // being written
        }
        continue;
      }
      const auto bytes = static_cast<std::uint64_t>(info.st_size);
      total += bytes;
      copies.push_back({static_cast<std::int64_t>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                        name, bytes});
    }
    if (total > limit) {
      std::sort(copies.begin(), copies.end(), [](const Entry& a, const Entry& b) {
        if (a.seconds != b.seconds) return a.seconds < b.seconds;
        if (a.nanoseconds != b.nanoseconds) return a.nanoseconds < b.nanoseconds;
        return a.name < b.name;
      });
      for (const Entry& oldest : copies) {
        if (total <= limit) break;
        if (::unlinkat(dir_fd, oldest.name.c_str(), 0) == 0) total -= oldest.bytes;
      }
    }
    ::closedir(dir);
  }

 private:
  explicit CacheFolder(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// The copy as a baseline JPEG; empty when it cannot be encoded or would be
// too large to be read back.
std::vector<unsigned char> EncodeCopy(cairo_surface_t* copy) {
  std::unique_ptr<void, TjDestroyer> tj(tjInitCompress());
  if (!tj) return {};
  cairo_surface_flush(copy);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr int kPixelFormat = TJPF_BGRX;  // ARGB32 words as bytes; opaque
#else
  constexpr int kPixelFormat = TJPF_XRGB;
#endif
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const int failed = tjCompress2(tj.get(), cairo_image_surface_get_data(copy),
                                 cairo_image_surface_get_width(copy),
                                 cairo_image_surface_get_stride(copy),
                                 cairo_image_surface_get_height(copy), kPixelFormat, &buffer,
                                 &size, TJSAMP_420, kCopyQuality, 0);
  std::unique_ptr<unsigned char, TjFree> owned(buffer);
  if (failed != 0 || buffer == nullptr || size == 0 || size > kMaxPhotoCopyBytes) return {};
  return std::vector<unsigned char>(buffer, buffer + size);
}

std::uint64_t Nanoseconds(const timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(t.tv_nsec);
}

// The key of an open photo file.
std::optional<std::string> KeyOfFile(const std::string& path, int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return photo_cache::KeyOf(real.get(), info);
}

// The copy's size from its JPEG frame header; nullopt when it is no JPEG.
std::optional<PixelSize> JpegSize(std::span<const unsigned char> jpeg) {
  std::unique_ptr<void, TjDestroyer> tj(tjInitDecompress());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (!tj || tjDecompressHeader3(tj.get(), jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                 &width, &height, &subsampling, &colorspace) != 0) {
    return std::nullopt;
  }
  return PixelSize{width, height};
}

// The side of a `photo` photo's shape whose longer side is `longer`.
PixelSize ShapeAt(PixelSize photo, int longer) {
  const bool landscape = photo.width >= photo.height;
  const std::uint64_t l = static_cast<std::uint64_t>(longer);
  const std::uint64_t big = static_cast<std::uint64_t>(landscape ? photo.width : photo.height);
  const std::uint64_t small = static_cast<std::uint64_t>(landscape ? photo.height : photo.width);
  const int shorter = static_cast<int>(std::max<std::uint64_t>(1, (2 * l * small + big) / (2 * big)));
  return landscape ? PixelSize{longer, shorter} : PixelSize{shorter, longer};
}

}  // namespace

// ------------------------------------------------------------ public

std::optional<std::string> PhotoCacheFolder() {
  if (const char* dir = std::getenv("QUOL_PHOTO_CACHE_DIR")) {
    if (*dir == '\0') return std::nullopt;
    return std::string(dir);
  }
  // root stands in for the system account: its home is not the family's,
  // so it keeps no copies of their photos unless told where to.
  if (::geteuid() == 0) return std::nullopt;
  const char* cache_home = std::getenv("XDG_CACHE_HOME");
  if (cache_home != nullptr && cache_home[0] == '/') return std::string(cache_home) + "/Quol/photos";
  // $HOME, else the account's home from the password database.
  const std::string home = platform::HomeFolder();
  if (!home.empty() && home[0] == '/') return home + "/.cache/Quol/photos";
  return std::nullopt;
}

void SetPhotoCacheLimit(std::uint64_t bytes) { g_limit.store(bytes); }

std::optional<std::string> PhotoCopyPath(const std::string& path) {
  std::optional<std::string> folder = PhotoCacheFolder();
  if (!folder) return std::nullopt;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> key = KeyOfFile(path, fd);
  ::close(fd);
  if (!key) return std::nullopt;
  return *folder + "/" + *key + kCopySuffix;
}

namespace photo_cache {

std::string KeyOf(const std::string& real_path, const struct stat& info) {
  // Fixed-width little-endian fields after the path and its terminator, so
  // no two photos' fields run into each other; the leading tag changes
  // with the copies' format, which then all miss.
  std::vector<unsigned char> message;
  constexpr char kTag[] = "quol photo copy 1";
  message.insert(message.end(), kTag, kTag + sizeof kTag);
  message.insert(message.end(), real_path.begin(), real_path.end());
  message.push_back(0);
  const std::uint64_t fields[] = {static_cast<std::uint64_t>(info.st_size),
                                  Nanoseconds(info.st_mtim), static_cast<std::uint64_t>(info.st_ino),
                                  static_cast<std::uint64_t>(info.st_dev)};
  for (std::uint64_t field : fields) {
    for (int i = 0; i < 8; ++i) message.push_back(static_cast<unsigned char>(field >> (8 * i)));
  }
  static const bool sodium_ready = sodium_init() >= 0;
  static_cast<void>(sodium_ready);  // the hash works either way; init picks the fast code
  unsigned char hash[kKeyDigits / 2];
  crypto_generichash(hash, sizeof hash, message.data(), message.size(), nullptr, 0);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char byte : hash) {
    key += kHex[byte >> 4];
    key += kHex[byte & 15];
  }
  return key;
}

PixelSize CopySize(PixelSize photo, PixelSize wanted) {
  const bool landscape = photo.width >= photo.height;
  const int longest = std::max(photo.width, photo.height);
  // The longer side that covers `wanted` in the photo's shape.
  const std::uint64_t big = static_cast<std::uint64_t>(longest);
  const std::uint64_t small = static_cast<std::uint64_t>(std::min(photo.width, photo.height));
  const std::uint64_t along = static_cast<std::uint64_t>(landscape ? wanted.width : wanted.height);
  const std::uint64_t across = static_cast<std::uint64_t>(landscape ? wanted.height : wanted.width);
  const std::uint64_t covering = std::max(along, (across * big) / small);
  int longer = static_cast<int>(std::min<std::uint64_t>(
      big, std::max<std::uint64_t>(covering, static_cast<std::uint64_t>(kPhotoCopySide))));
  // The shorter side is rounded: step up until it covers too.
  while (longer < longest) {
    const PixelSize size = ShapeAt(photo, longer);
    if (size.width >= wanted.width && size.height >= wanted.height) return size;
    ++longer;
  }
  return photo;
}

bool IsCopyOf(PixelSize copy, PixelSize photo) {
  if (copy.width <= 0 || copy.height <= 0 || copy.width > photo.width ||
      copy.height > photo.height) {
    return false;
  }
  const int longer = photo.width >= photo.height ? copy.width : copy.height;
  return longer >= std::min(std::max(photo.width, photo.height), kPhotoCopySide) &&
         ShapeAt(photo, longer) == copy;
}

bool CopyCovers(PixelSize copy, PixelSize photo, PixelSize wanted) {
  return (copy.width >= wanted.width && copy.height >= wanted.height) || copy == photo;
}

}  // namespace photo_cache

// ------------------------------------------------------------ decoding

DecodedPhoto photo_formats::DecodeHeifFile(const std::string& path, std::FILE* file,
                                           const DecodeTarget& wanted) {
  FileSource source(file);
  std::optional<CacheFolder> folder = CacheFolder::Open();
  std::optional<std::string> key;
  if (folder) key = KeyOfFile(path, ::fileno(file));
  if (!key) return DecodeHeif(source, wanted);
  const std::string name = *key + kCopySuffix;

  const std::optional<PhotoHeader> header = ReadHeifHeader(source);
  if (!header) return {};  // the original cannot be shown either
  // Turned by EXIF (a file without irot/imir): rare enough to go uncached.
  if (header->rotate_flip != 0) return DecodeHeif(source, wanted);
  const PixelSize photo = header->stored;  // as shown: libheif turns it
  const std::optional<PixelSize> target = wanted.StoredSize(photo.width, photo.height, 0);
  if (!target) return {};

  if (std::optional<std::vector<unsigned char>> bytes = folder->Read(name)) {
    const std::optional<PixelSize> copy = JpegSize(*bytes);
    if (!copy || !photo_cache::IsCopyOf(*copy, photo)) {
      folder->Remove(name);
    } else if (photo_cache::CopyCovers(*copy, photo, *target)) {
      DecodedPhoto hit = DecodeJpegData(*bytes, DecodeTarget{*target, 0, 0});
      if (hit.surface && cairo_image_surface_get_width(hit.surface.get()) == target->width &&
          cairo_image_surface_get_height(hit.surface.get()) == target->height) {
        folder->Touch(name);
        return hit;
      }
      folder->Remove(name);
    }
    // A copy too small for this place is replaced by a larger one below.
  }

  HeifCopy copy;
  copy.size = photo_cache::CopySize(photo, *target);
  // The copy is decoded like any JPEG, which refuses slivers.
  const bool wants_copy = copy.size.width > kMinPhotoSide && copy.size.height > kMinPhotoSide;
  DecodedPhoto decoded = DecodeHeif(source, wanted, wants_copy ? &copy : nullptr);
  if (decoded.surface && copy.surface) {
    const std::vector<unsigned char> jpeg = EncodeCopy(copy.surface.get());
    copy.surface.reset();
    if (!jpeg.empty()) folder->Store(name, jpeg);
  }
  return decoded;
}

}  // namespace quol::saver
