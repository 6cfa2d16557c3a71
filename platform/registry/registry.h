// The suite's registry: Windows-like keys and values kept in text hive files
// (see reg_file.h for the format), one file per hive.
//
//   kLocalMachine  /etc/quol/HKLM.reg
//   kCurrentUser   ${XDG_CONFIG_HOME:-~/.config}/Quol/HKCU.reg
//   kUsers         one profile per local account: <home>/.config/Quol/HKCU.reg
//
// With QUOL_REGISTRY_DIR set, every hive lives under that folder instead:
// HKLM.reg, HKCU.reg and Users/<profile>.reg, and the profiles are the
// *.reg files in Users/. Places are worked out again at every call that
// takes a hive.
//
// A profile file is a user's HKCU.reg, so its sections name
// HKEY_CURRENT_USER; under kUsers the first name of a key path is the
// profile ("alice\Software\Quol").
//
// Key paths use backslashes; key and value names compare case-insensitively
// (ASCII) and keep the case they were created with.
//
// Every change takes an exclusive lock on "<hive>.lock", reads the hive
// again, applies the change and replaces the whole file atomically, so
// processes writing the same hive never lose each other's keys. Reads take
// no lock. A hive that cannot be parsed is reported, reads as empty, and is
// renamed to "<hive>.bad" (".bad.1", ".bad.2"... if taken) before a change
// replaces it.
//
// Nothing here throws; every call returns S_OK, E_NOT_FOUND (missing key,
// value, profile or hive), E_BAD_FORMAT (the value has another type or
// size than asked), E_INVALIDARG, E_ACCESSDENIED (change through a key
// opened for reading), E_UNEXPECTED (a key that is not open) or a failure
// mapped from errno.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/hresult.h"

namespace quol::platform {

enum class RegistryHive { kLocalMachine, kCurrentUser, kUsers };

// An open key. It holds the hive's place and the key's path, not the file:
// each read looks at the file as it is now, each change edits it under the
// lock. Not for use from several threads at once; separate objects are fine.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&&) noexcept = default;
  RegistryKey& operator=(RegistryKey&&) noexcept = default;
  ~RegistryKey() = default;

  // Opens an existing key for reading. An empty path is the hive's top
  // (not allowed for kUsers, whose top is the list of profiles).
  [[nodiscard]] HRESULT Open(RegistryHive hive, std::string_view path);
  // Opens a key for reading and writing, creating it and its parents when
  // missing. Changes made later recreate the key if another process has
  // deleted it in between.
  [[nodiscard]] HRESULT Create(RegistryHive hive, std::string_view path);
  void Close();
  bool is_open() const { return open_; }

  // The name "" is the key's default value ("@" in the file).
  [[nodiscard]] HRESULT ReadString(std::string_view name, std::string* value) const;
  // Only a REG_DWORD of exactly 4 bytes reads; any other type or size is
  // E_BAD_FORMAT.
  [[nodiscard]] HRESULT ReadDword(std::string_view name, std::uint32_t* value) const;
  [[nodiscard]] HRESULT ReadBinary(std::string_view name, std::vector<std::uint8_t>* value) const;

  // Names and text may not hold CR, LF or NUL (E_INVALIDARG).
  [[nodiscard]] HRESULT WriteString(std::string_view name, std::string_view value);
  [[nodiscard]] HRESULT WriteDword(std::string_view name, std::uint32_t value);
  [[nodiscard]] HRESULT WriteBinary(std::string_view name, std::span<const std::uint8_t> value);
  [[nodiscard]] HRESULT DeleteValue(std::string_view name);

  // Names of the direct sub-keys, in stored order and case.
  [[nodiscard]] HRESULT EnumSubKeys(std::vector<std::string>* names) const;

 private:
  bool open_ = false;
  bool writable_ = false;
  unsigned new_file_mode_ = 0600;  // for a hive file that does not exist yet
  std::string file_;               // the hive file
  std::vector<std::string> path_;  // from the file's root, hive name first
};

// Deletes a key with all its sub-keys. The hive's top (and a profile's
// top) cannot be deleted: E_INVALIDARG.
[[nodiscard]] HRESULT DeleteRegistryKey(RegistryHive hive, std::string_view path);

// The profile names of kUsers, sorted. Only profiles that have a hive file
// are listed.
[[nodiscard]] HRESULT EnumRegistryProfiles(std::vector<std::string>* profiles);

// Where a hive's file is (for kUsers, the file of `profile`; ignored for the
// others). A profile not yet on disk still gets a place when its account
// (or, with QUOL_REGISTRY_DIR, its name) is valid.
[[nodiscard]] HRESULT GetRegistryHiveFile(RegistryHive hive, std::string_view profile, std::string* file);

}  // namespace quol::platform
