#include "foundation/wizard/wizard_rules.h"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/fs/files.h"
#include "platform/text/utf.h"

namespace quol::wizard {
namespace {

constexpr std::size_t kMaxDesktopIniBytes = 64 * 1024;
constexpr std::size_t kMaxLocalizedNameChars = 256;
constexpr std::size_t kMaxMountInfoBytes = 1 << 20;

std::size_t CodePointCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string LastComponent(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  return name == "/" ? std::string() : name;
}

// desktop.ini is written by other systems' file managers too: UTF-16 with a
// byte-order mark is as common as plain 8-bit text.
std::string DesktopIniText(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                           (static_cast<unsigned char>(raw[i + 1]) << 8)));
    }
    return platform::Utf16ToUtf8(wide);
  }
  if (raw.rfind("\xEF\xBB\xBF", 0) == 0) return raw.substr(3);
  return raw;
}

std::string ReadLocalizedResourceName(const std::string& folder) {
  std::string raw;
  if (Failed(platform::ReadWholeFile(platform::JoinPath(folder, "desktop.ini"), &raw,
                                     kMaxDesktopIniBytes))) {
    return {};
  }
  const std::string text = DesktopIniText(raw);
  bool in_section = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line = platform::TrimWhitespace(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      in_section = platform::EqualsIgnoreCase(line, "[.ShellClassInfo]");
      continue;
    }
    if (!in_section) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!platform::EqualsIgnoreCase(platform::TrimWhitespace(line.substr(0, equals)),
                                    "LocalizedResourceName")) {
      continue;
    }
    std::string value(platform::TrimWhitespace(line.substr(equals + 1)));
    // At most 256 characters, cut on a character boundary.
    std::size_t chars = 0, at = 0;
    while (at < value.size() && chars < kMaxLocalizedNameChars) {
      ++at;
      while (at < value.size() && (static_cast<unsigned char>(value[at]) & 0xC0) == 0x80) ++at;
      ++chars;
    }
    value.resize(at);
    return value;
  }
  return {};
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

struct CountState {
  const PhotoCountLimits& limits;
  int photos = 0;
  int entries = 0;
  bool Done() const { return photos >= limits.enough || entries >= limits.max_entries; }
};

void CountIn(const std::string& folder, int depth, CountState& state) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  std::vector<std::string> sub_folders;
  while (!state.Done()) {
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    ++state.entries;
    const std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;  // hidden, and "." / ".."
    const std::string path = platform::JoinPath(folder, std::string(name));
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      sub_folders.push_back(path);
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      // A link to a photo counts; a link to a folder is not followed.
      if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    } else if (!S_ISREG(info.st_mode)) {
      continue;
    }
    if (IsPhotoFileName(name)) ++state.photos;
  }
  dir.reset();
  if (depth >= state.limits.max_depth) return;
  for (const std::string& sub : sub_folders) {
    if (state.Done()) return;
    CountIn(sub, depth + 1, state);
  }
}

std::string UnescapeMountField(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// The type name ("fuse.sshfs") of the mount that holds `path`, from
// /proc/self/mountinfo: the longest mount point that is a prefix of it.
std::string MountTypeOf(const std::string& path) {
  std::string info;
  if (Failed(platform::ReadWholeFile("/proc/self/mountinfo", &info, kMaxMountInfoBytes))) return {};
  std::string best_point, best_type;
  std::size_t start = 0;
  while (start < info.size()) {
    std::size_t end = info.find('\n', start);
    if (end == std::string::npos) end = info.size();
    std::string_view line = std::string_view(info).substr(start, end - start);
    start = end + 1;
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
      const std::size_t blank = std::min(line.find(' ', at), line.size());
      fields.push_back(line.substr(at, blank - at));
      at = blank + 1;
    }
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || dash + 1 == fields.end()) continue;
    const std::string point = UnescapeMountField(fields[4]);
    const bool covers = point == "/" || path == point || path.rfind(point + "/", 0) == 0;
    if (covers && point.size() >= best_point.size()) {
      best_point = point;
      best_type = std::string(*(dash + 1));
    }
  }
  return best_type;
}

// statfs magic numbers of the file systems that live on another machine.
constexpr std::int64_t kNfsMagic = 0x6969;
constexpr std::int64_t kSmbMagic = 0x517B;
constexpr std::int64_t kCifsMagic = 0xFF534D42;
constexpr std::int64_t kSmb2Magic = 0xFE534D42;
constexpr std::int64_t kCodaMagic = 0x73757245;
constexpr std::int64_t kAfsMagic = 0x5346414F;
constexpr std::int64_t kNcpMagic = 0x564C;
constexpr std::int64_t kV9fsMagic = 0x01021997;
constexpr std::int64_t kCephMagic = 0x00C36400;
constexpr std::int64_t kFuseMagic = 0x65735546;

}  // namespace

const std::vector<IntervalChoice>& IntervalChoices() {
  static const std::vector<IntervalChoice> choices = {
      {"5 seconds", 5},    {"10 seconds", 10},   {"15 seconds", 15},  {"20 seconds", 20},
      {"30 seconds", 30},  {"1 minute", 60},     {"2 minutes", 120},  {"3 minutes", 180},
      {"5 minutes", 300},  {"10 minutes", 600},  {"20 minutes", 1200}, {"30 minutes", 1800},
      {"1 hour", 3600}};
  return choices;
}

int SelectIntervalIndex(int current_seconds) {
  const auto& choices = IntervalChoices();
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (choices[i].seconds >= current_seconds) return static_cast<int>(i);
  }
  return 0;
}

std::optional<int> LocalSignInVerdict(std::string_view address, std::string_view password) {
  if (address.empty() && password.empty()) return kSignInNotChecked;
  if (CodePointCount(password) < 4 || CodePointCount(address) < 7) return kSignInRejected;
  const std::size_t first_at = address.find('@');
  if (address.find_first_of(" \t", 1) != std::string_view::npos) return kSignInRejected;
  if (address.find('@', 1) == std::string_view::npos) return kSignInRejected;
  const std::size_t last_dot = address.rfind('.');
  // No dot at all is no dot after the "@" either.
  if (last_dot == std::string_view::npos || last_dot < first_at) return kSignInRejected;
  if (address.find('@', first_at + 1) != std::string_view::npos) return kSignInRejected;
  return std::nullopt;
}

bool IsPhotoFileName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension = name.substr(dot);
  for (std::string_view photo : {".jpg", ".jpeg", ".png", ".heic", ".heif", ".avif", ".webp"}) {
    if (platform::EqualsIgnoreCase(extension, photo)) return true;
  }
  return false;
}

int CountPhotos(const std::vector<std::string>& folders, const PhotoCountLimits& limits) {
  CountState state{limits};
  for (const std::string& folder : folders) {
    if (folder.empty() || state.Done()) continue;
    CountIn(folder, 0, state);
  }
  return std::min(state.photos, limits.enough);
}

std::optional<int> RunBounded(std::function<int()> task, std::chrono::milliseconds timeout) {
  // Shared with the worker, which may outlive this call: it holds its own
  // reference and touches nothing else.
  struct Shared {
    std::mutex mutex;
    std::condition_variable done_cv;
    std::optional<int> result;
  };
  auto shared = std::make_shared<Shared>();
  std::thread worker([shared, task = std::move(task)] {
    const int value = task();
    std::lock_guard lock(shared->mutex);
    shared->result = value;
    shared->done_cv.notify_all();
  });
  std::unique_lock lock(shared->mutex);
  if (shared->done_cv.wait_for(lock, timeout, [&] { return shared->result.has_value(); })) {
    lock.unlock();
    worker.join();
    return shared->result;
  }
  // A call stuck in the kernel cannot be interrupted; the worker owns all it
  // uses and ends by itself if the mount ever answers.
  worker.detach();
  return std::nullopt;
}

std::optional<int> CountPhotosBounded(const std::vector<std::string>& folders,
                                      std::chrono::milliseconds timeout,
                                      const PhotoCountLimits& limits) {
  return RunBounded([folders, limits] { return CountPhotos(folders, limits); }, timeout);
}

std::string LocalizedFolderName(const std::string& folder, const std::string& fallback) {
  if (!folder.empty()) {
    const std::string localized = ReadLocalizedResourceName(folder);
    if (!localized.empty() && localized.front() != '@') return localized;
    std::string own = LastComponent(folder);
    if (!own.empty()) return own;
  }
  return fallback;
}

bool FolderListed(const std::vector<std::string>& list, const std::string& folder) {
  auto folded = [](std::string text) {
    if (text.size() > 1 && text.back() == '/') text.pop_back();
    gchar* fold = g_utf8_casefold(text.c_str(), static_cast<gssize>(text.size()));
    std::string out = fold != nullptr ? fold : text;
    g_free(fold);
    return out;
  };
  const std::string wanted = folded(folder);
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& entry) { return folded(entry) == wanted; });
}

bool IsNetworkFileSystem(std::int64_t statfs_type, std::string_view fuse_type) {
  switch (statfs_type) {
    case kNfsMagic:
    case kSmbMagic:
    case kCifsMagic:
    case kSmb2Magic:
    case kCodaMagic:
    case kAfsMagic:
    case kNcpMagic:
    case kV9fsMagic:
    case kCephMagic:
      return true;
    case kFuseMagic:
      for (const char* remote : {"sshfs", "smb", "cifs", "rclone", "curlftpfs", "davfs", "gvfs",
                                 "s3fs", "gcsfuse", "ftp", "nfs"}) {
        if (fuse_type.find(remote) != std::string_view::npos) return true;
      }
      return false;
    default:
      return false;
  }
}

namespace {
bool FolderOnNetwork(const std::string& folder) {
  struct statfs info {};
  if (::statfs(folder.c_str(), &info) != 0) return false;  // gone: nothing to warn about
  const auto type = static_cast<std::int64_t>(static_cast<std::uint32_t>(info.f_type));
  std::string fuse_type;
  if (type == kFuseMagic) {
    char* real = ::realpath(folder.c_str(), nullptr);
    fuse_type = MountTypeOf(real != nullptr ? real : folder);
    std::free(real);
  }
  return IsNetworkFileSystem(type, fuse_type);
}
}  // namespace

bool IsNetworkFolder(const std::string& folder, std::chrono::milliseconds timeout) {
  return AnyNetworkFolder({folder}, timeout);
}

bool AnyNetworkFolder(const std::vector<std::string>& folders, std::chrono::milliseconds timeout) {
  if (folders.empty()) return false;
  const std::optional<int> answer = RunBounded(
      [folders] {
        for (const std::string& folder : folders) {
          if (FolderOnNetwork(folder)) return 1;
        }
        return 0;
      },
      timeout);
  return !answer.has_value() || *answer != 0;
}

}  // namespace quol::wizard
