#include "platform/registry/registry.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "platform/common/diagnostics.h"
#include "platform/fs/files.h"
#include "platform/registry/reg_file.h"

namespace quol::platform {
namespace {

constexpr std::size_t kMaxHiveBytes = std::size_t{16} << 20;
constexpr char kMachineHiveName[] = "HKEY_LOCAL_MACHINE";
// Profile files are their users' HKCU.reg, so they name the same hive.
constexpr char kUserHiveName[] = "HKEY_CURRENT_USER";
constexpr char kHiveFileSuffix[] = ".reg";
constexpr mode_t kMachineFileMode = 0644;
constexpr mode_t kUserFileMode = 0600;

// getpwent walks one list per process; this keeps our own walks apart.
std::mutex g_passwd_walk;

// Runs `body`, turning an escaping exception into a status.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

const char* RegistryDir() {
  const char* dir = std::getenv("QUOL_REGISTRY_DIR");
  return (dir != nullptr && *dir != '\0') ? dir : nullptr;
}

// Fills `home` from a getpwnam_r / getpwuid_r style lookup.
template <typename Lookup>
HRESULT LookUpHome(Lookup lookup, std::string* home) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  for (;;) {
    passwd entry{};
    passwd* result = nullptr;
    int err = lookup(&entry, buffer.data(), buffer.size(), &result);
    if (err == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (err != 0) return HresultFromErrno(err);
    if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] == '\0')
      return E_NOT_FOUND;
    *home = result->pw_dir;
    return S_OK;
  }
}

std::string AccountHiveFile(const std::string& home) {
  return JoinPath(home, ".config/Quol/HKCU.reg");
}

HRESULT CurrentUserFile(std::string* file) {
  if (const char* dir = RegistryDir()) {
    *file = JoinPath(dir, "HKCU.reg");
    return S_OK;
  }
  std::string config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else if (home != nullptr && home[0] != '\0') {
    config = JoinPath(home, ".config");
  } else {
    std::string account_home;
    HRESULT hr = LookUpHome(
        [](passwd* entry, char* buffer, std::size_t size, passwd** result) {
          return ::getpwuid_r(::getuid(), entry, buffer, size, result);
        },
        &account_home);
    if (Failed(hr)) return hr;
    config = JoinPath(account_home, ".config");
  }
  *file = JoinPath(config, "Quol/HKCU.reg");
  return S_OK;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A profile name becomes part of a file path: keep it to one plain name.
bool IsValidProfileName(std::string_view name) {
  return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
         IsStorableRegText(name);
}

struct Profile {
  std::string name;
  std::string file;
};

// The profiles that have a hive file, sorted by name.
HRESULT ListProfiles(std::vector<Profile>* profiles) {
  profiles->clear();
  if (const char* dir = RegistryDir()) {
    const std::string users = JoinPath(dir, "Users");
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(users.c_str()), &::closedir);
    if (!folder) return errno == ENOENT ? S_OK : HresultFromLastErrno();
    while (const dirent* entry = ::readdir(folder.get())) {
      std::string_view name = entry->d_name;
      if (!name.ends_with(kHiveFileSuffix)) continue;
      name.remove_suffix(sizeof kHiveFileSuffix - 1);
      std::string file = JoinPath(users, entry->d_name);
      if (IsValidProfileName(name) && IsRegularFile(file))
        profiles->push_back({std::string(name), file});
    }
  } else {
    std::lock_guard<std::mutex> hold(g_passwd_walk);
    ::setpwent();
    while (const passwd* entry = ::getpwent()) {
      if (entry->pw_name == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0')
        continue;
      std::string file = AccountHiveFile(entry->pw_dir);
      if (IsValidProfileName(entry->pw_name) && IsRegularFile(file))
        profiles->push_back({entry->pw_name, file});
    }
    ::endpwent();
  }
  std::sort(profiles->begin(), profiles->end(),
            [](const Profile& a, const Profile& b) { return a.name < b.name; });
  // An account listed twice (local files and a directory service) is one profile.
  profiles->erase(std::unique(profiles->begin(), profiles->end(),
                              [](const Profile& a, const Profile& b) { return a.name == b.name; }),
                  profiles->end());
  return S_OK;
}

// Exact names win; otherwise a profile whose name differs only in case.
HRESULT ProfileFile(std::string_view profile, std::string* file) {
  if (!IsValidProfileName(profile)) return E_INVALIDARG;
  const std::string name(profile);
  const char* dir = RegistryDir();
  if (dir != nullptr) {
    *file = JoinPath(JoinPath(dir, "Users"), name + kHiveFileSuffix);
    if (IsRegularFile(*file)) return S_OK;
  } else {
    std::string home;
    HRESULT hr = LookUpHome(
        [&name](passwd* entry, char* buffer, std::size_t size, passwd** result) {
          return ::getpwnam_r(name.c_str(), entry, buffer, size, result);
        },
        &home);
    if (Succeeded(hr)) {
      *file = AccountHiveFile(home);
      return S_OK;
    }
    if (hr != E_NOT_FOUND) return hr;
  }
  std::vector<Profile> profiles;
  HRESULT hr = ListProfiles(&profiles);
  if (Failed(hr)) return hr;
  for (const Profile& candidate : profiles) {
    if (RegNamesEqual(candidate.name, profile)) {
      *file = candidate.file;
      return S_OK;
    }
  }
  // With a registry folder a new profile is just a new file.
  return dir != nullptr ? S_OK : E_NOT_FOUND;
}

// Where a key is: its hive file and its names from the file's root.
struct Location {
  std::string file;
  std::vector<std::string> path;  // hive name first
  mode_t new_file_mode = kUserFileMode;
};

HRESULT Locate(RegistryHive hive, std::string_view key_path, Location* where) {
  std::vector<std::string> names;
  HRESULT hr = SplitRegPath(key_path, &names);
  if (Failed(hr)) return hr;
  switch (hive) {
    case RegistryHive::kLocalMachine: {
      const char* dir = RegistryDir();
      where->file = dir != nullptr ? JoinPath(dir, "HKLM.reg") : "/etc/quol/HKLM.reg";
      where->path = {kMachineHiveName};
      where->new_file_mode = kMachineFileMode;
      break;
    }
    case RegistryHive::kCurrentUser:
      hr = CurrentUserFile(&where->file);
      where->path = {kUserHiveName};
      break;
    case RegistryHive::kUsers:
      if (names.empty()) return E_INVALIDARG;
      hr = ProfileFile(names.front(), &where->file);
      names.erase(names.begin());
      where->path = {kUserHiveName};
      break;
    default:
      return E_INVALIDARG;
  }
  if (Failed(hr)) return hr;
  where->path.insert(where->path.end(), std::make_move_iterator(names.begin()),
                     std::make_move_iterator(names.end()));
  return S_OK;
}

// Reads a hive. A missing file is an empty hive; one that cannot be parsed
// is reported and read as empty, with `*unparseable` set.
HRESULT LoadHive(const std::string& file, RegKey* root, bool* unparseable) {
  *root = RegKey{};
  *unparseable = false;
  std::string text;
  HRESULT hr = ReadWholeFile(file, &text, kMaxHiveBytes);
  if (hr == HresultFromErrno(ENOENT)) return S_OK;
  if (hr == E_OUTOFMEMORY) {
    ReportError("registry: %s is larger than %zu MiB and cannot be parsed; it is read as empty",
                file.c_str(), kMaxHiveBytes >> 20);
    *unparseable = true;
    return S_OK;
  }
  if (Failed(hr)) return hr;
  RegParseError error;
  hr = ParseRegFile(text, root, &error);
  if (hr == E_BAD_FORMAT) {
    ReportError("registry: %s line %zu: %s; the hive cannot be parsed and is read as empty",
                file.c_str(), error.line, error.reason.c_str());
    *unparseable = true;
    return S_OK;
  }
  return hr;
}

// Moves an unparseable hive out of the way, never over an earlier one.
// Only runs under the hive's lock, so the free name stays free.
HRESULT KeepAside(const std::string& file) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string target = file + ".bad";
    if (attempt > 0) target += "." + std::to_string(attempt);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (errno != ENOENT) return HresultFromLastErrno();
    if (::rename(file.c_str(), target.c_str()) != 0) {
      return errno == ENOENT ? S_OK : HresultFromLastErrno();
    }
    ReportError("registry: kept the unparseable %s as %s", file.c_str(), target.c_str());
    return S_OK;
  }
  return HresultFromErrno(EEXIST);
}

// Applies `change` to the hive under its lock and writes the result.
// `change` returns S_OK when it changed the hive, S_FALSE when there is
// nothing to write, or a failure that leaves the file alone.
template <typename Change>
HRESULT ChangeHive(const std::string& file, mode_t new_file_mode, Change&& change) {
  HRESULT hr = CreateDirectories(DirName(file));
  if (Failed(hr)) return hr;
  FileLock lock;
  hr = lock.Acquire(file + ".lock");
  if (Failed(hr)) return hr;
  // A writer killed in the middle of a replacement may have left its
  // temporary file; under the lock no other writer of this hive is running.
  RemoveStaleTemporaries(file);
  RegKey root;
  bool unparseable = false;
  hr = LoadHive(file, &root, &unparseable);
  if (Failed(hr)) return hr;
  hr = change(root);
  if (hr != S_OK) return Failed(hr) ? hr : S_OK;
  std::string text;
  hr = FormatRegFile(root, &text);
  if (Failed(hr)) return hr;
  if (unparseable) {
    hr = KeepAside(file);
    if (Failed(hr)) return hr;
  }
  mode_t mode = new_file_mode;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
  return WriteFileAtomically(file, text, mode);
}

}  // namespace

HRESULT RegistryKey::Open(RegistryHive hive, std::string_view path) {
  return Guarded([&]() -> HRESULT {
    Close();
    Location where;
    HRESULT hr = Locate(hive, path, &where);
    if (Failed(hr)) return hr;
    RegKey root;
    bool unparseable = false;
    hr = LoadHive(where.file, &root, &unparseable);
    if (Failed(hr)) return hr;
    // The top of the machine and user hives is always there, even empty.
    const bool hive_top = hive != RegistryHive::kUsers && where.path.size() == 1;
    if (!hive_top && root.FindPath(where.path) == nullptr) return E_NOT_FOUND;
    file_ = std::move(where.file);
    path_ = std::move(where.path);
    new_file_mode_ = where.new_file_mode;
    writable_ = false;
    open_ = true;
    return S_OK;
  });
}

HRESULT RegistryKey::Create(RegistryHive hive, std::string_view path) {
  return Guarded([&]() -> HRESULT {
    Close();
    Location where;
    HRESULT hr = Locate(hive, path, &where);
    if (Failed(hr)) return hr;
    hr = ChangeHive(where.file, where.new_file_mode, [&](RegKey& root) -> HRESULT {
      if (root.FindPath(where.path) != nullptr) return S_FALSE;
      root.EnsurePath(where.path);
      return S_OK;
    });
    if (Failed(hr)) return hr;
    file_ = std::move(where.file);
    path_ = std::move(where.path);
    new_file_mode_ = where.new_file_mode;
    writable_ = true;
    open_ = true;
    return S_OK;
  });
}

void RegistryKey::Close() {
  open_ = false;
  writable_ = false;
  file_.clear();
  path_.clear();
}

namespace {

// The value `name` of the key at `path` in `file`, as it is now.
HRESULT LoadValue(const std::string& file, const std::vector<std::string>& path,
                  std::string_view name, RegValue* value) {
  RegKey root;
  bool unparseable = false;
  HRESULT hr = LoadHive(file, &root, &unparseable);
  if (Failed(hr)) return hr;
  const RegKey* key = root.FindPath(path);
  const RegValue* found = key != nullptr ? key->FindValue(name) : nullptr;
  if (found == nullptr) return E_NOT_FOUND;
  *value = *found;
  return S_OK;
}

}  // namespace

HRESULT RegistryKey::ReadString(std::string_view name, std::string* value) const {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    RegValue stored;
    HRESULT hr = LoadValue(file_, path_, name, &stored);
    if (Failed(hr)) return hr;
    if (stored.type != RegType::kString) return E_BAD_FORMAT;
    *value = std::move(stored.data);
    return S_OK;
  });
}

HRESULT RegistryKey::ReadDword(std::string_view name, std::uint32_t* value) const {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    RegValue stored;
    HRESULT hr = LoadValue(file_, path_, name, &stored);
    if (Failed(hr)) return hr;
    if (stored.type != RegType::kDword) return E_BAD_FORMAT;
    *value = stored.dword;
    return S_OK;
  });
}

HRESULT RegistryKey::ReadBinary(std::string_view name, std::vector<std::uint8_t>* value) const {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    RegValue stored;
    HRESULT hr = LoadValue(file_, path_, name, &stored);
    if (Failed(hr)) return hr;
    if (stored.type != RegType::kBinary) return E_BAD_FORMAT;
    value->assign(stored.data.begin(), stored.data.end());
    return S_OK;
  });
}

namespace {

HRESULT StoreValue(const std::string& file, mode_t new_file_mode,
                   const std::vector<std::string>& path, std::string_view name,
                   const RegValue& value) {
  if (!IsStorableRegText(name) ||
      (value.type == RegType::kString && !IsStorableRegText(value.data))) {
    return E_INVALIDARG;
  }
  return ChangeHive(file, new_file_mode, [&](RegKey& root) -> HRESULT {
    RegKey& key = root.EnsurePath(path);
    const RegValue* existing = key.FindValue(name);
    if (existing != nullptr && *existing == value) return S_FALSE;
    key.SetValue(name, value);
    return S_OK;
  });
}

}  // namespace

HRESULT RegistryKey::WriteString(std::string_view name, std::string_view value) {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    if (!writable_) return E_ACCESSDENIED;
    return StoreValue(file_, new_file_mode_, path_, name, RegValue::String(value));
  });
}

HRESULT RegistryKey::WriteDword(std::string_view name, std::uint32_t value) {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    if (!writable_) return E_ACCESSDENIED;
    return StoreValue(file_, new_file_mode_, path_, name, RegValue::Dword(value));
  });
}

HRESULT RegistryKey::WriteBinary(std::string_view name, std::span<const std::uint8_t> value) {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    if (!writable_) return E_ACCESSDENIED;
    std::string bytes(value.begin(), value.end());
    return StoreValue(file_, new_file_mode_, path_, name, RegValue::Binary(bytes));
  });
}

HRESULT RegistryKey::DeleteValue(std::string_view name) {
  return Guarded([&]() -> HRESULT {
    if (!open_) return E_UNEXPECTED;
    if (!writable_) return E_ACCESSDENIED;
    if (!FileExists(file_)) return E_NOT_FOUND;
    return ChangeHive(file_, new_file_mode_, [&](RegKey& root) -> HRESULT {
      RegKey* key = root.FindPath(path_);
      return key != nullptr && key->EraseValue(name) ? S_OK : E_NOT_FOUND;
    });
  });
}

HRESULT RegistryKey::EnumSubKeys(std::vector<std::string>* names) const {
  return Guarded([&]() -> HRESULT {
    names->clear();
    if (!open_) return E_UNEXPECTED;
    RegKey root;
    bool unparseable = false;
    HRESULT hr = LoadHive(file_, &root, &unparseable);
    if (Failed(hr)) return hr;
    const RegKey* key = root.FindPath(path_);
    if (key == nullptr) return path_.size() == 1 ? S_OK : E_NOT_FOUND;
    for (const RegKey& sub : key->subkeys) names->push_back(sub.name);
    return S_OK;
  });
}

HRESULT DeleteRegistryKey(RegistryHive hive, std::string_view path) {
  return Guarded([&]() -> HRESULT {
    Location where;
    HRESULT hr = Locate(hive, path, &where);
    if (Failed(hr)) return hr;
    if (where.path.size() < 2) return E_INVALIDARG;
    if (!FileExists(where.file)) return E_NOT_FOUND;
    std::vector<std::string> parent_path(where.path.begin(), where.path.end() - 1);
    return ChangeHive(where.file, where.new_file_mode, [&](RegKey& root) -> HRESULT {
      RegKey* parent = root.FindPath(parent_path);
      return parent != nullptr && parent->EraseSubKey(where.path.back()) ? S_OK : E_NOT_FOUND;
    });
  });
}

HRESULT EnumRegistryProfiles(std::vector<std::string>* profiles) {
  return Guarded([&]() -> HRESULT {
    profiles->clear();
    std::vector<Profile> found;
    HRESULT hr = ListProfiles(&found);
    if (Failed(hr)) return hr;
    for (Profile& profile : found) profiles->push_back(std::move(profile.name));
    return S_OK;
  });
}

HRESULT GetRegistryHiveFile(RegistryHive hive, std::string_view profile, std::string* file) {
  return Guarded([&]() -> HRESULT {
    if (hive == RegistryHive::kUsers) return ProfileFile(profile, file);
    Location where;
    HRESULT hr = Locate(hive, {}, &where);
    if (Succeeded(hr)) *file = std::move(where.file);
    return hr;
  });
}

}  // namespace quol::platform
