// The in-memory form of one hive file and its text format, the registry
// editor's export format:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Quol]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,ff,10,20
//   "Path"=hex(2):25,00,00,00
//
// Long hex data goes on over several lines, each but the last ending in a
// backslash. UTF-8; LF line endings are written, CRLF and a UTF-8 byte-order
// mark are accepted, ';' comment lines are skipped. Key sections that delete ("[-HKEY...]") and
// value lines that delete ("Name"=-) belong to import scripts, not to a
// stored hive: they make the file unparseable rather than being dropped
// silently on the next rewrite.
//
// Names of keys and values compare ASCII-case-insensitively and keep the
// case they were created with. Callers normally use registry.h; this header
// is the model that layer edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/hresult.h"

namespace quol::platform {

// How a value is held; `kOther` keeps a value of any other registry type
// (hex(2), hex(7), hex(b), a hex(4) that is not 4 bytes...) as opaque bytes so
// that rewriting a hive does not drop it.
enum class RegType : std::uint8_t { kString, kDword, kBinary, kOther };

struct RegValue {
  RegType type = RegType::kString;
  std::uint32_t other_type = 0;  // the registry's type number, for kOther only
  std::uint32_t dword = 0;       // kDword
  std::string data;              // kString: UTF-8 text; kBinary, kOther: bytes

  static RegValue String(std::string_view text);
  static RegValue Dword(std::uint32_t value);
  static RegValue Binary(std::string_view bytes);
  static RegValue Other(std::uint32_t type_number, std::string_view bytes);

  friend bool operator==(const RegValue&, const RegValue&) = default;
};

// One key: its values in file order ("" names the default value) and its
// sub-keys. The unnamed root of a file holds the hive names
// (HKEY_CURRENT_USER...) as its sub-keys.
struct RegKey {
  std::string name;
  std::vector<std::pair<std::string, RegValue>> values;
  std::vector<RegKey> subkeys;

  const RegValue* FindValue(std::string_view value_name) const;
  // Replaces the data of an existing value (whose stored name is kept) or
  // appends a new one.
  void SetValue(std::string_view value_name, RegValue value);
  bool EraseValue(std::string_view value_name);

  RegKey* FindSubKey(std::string_view key_name);
  const RegKey* FindSubKey(std::string_view key_name) const;
  RegKey& EnsureSubKey(std::string_view key_name);
  bool EraseSubKey(std::string_view key_name);

  // Follows a path of key names from this key; nullptr when one is missing.
  const RegKey* FindPath(const std::vector<std::string>& path) const;
  RegKey* FindPath(const std::vector<std::string>& path);
  RegKey& EnsurePath(const std::vector<std::string>& path);

  friend bool operator==(const RegKey&, const RegKey&) = default;
};

// ASCII case folding, the comparison used for key and value names.
bool RegNamesEqual(std::string_view a, std::string_view b);

// Key paths nest at most this many names deep, as in the Windows registry;
// the model and the writer walk keys recursively, so a hive file cannot ask
// for more.
inline constexpr std::size_t kMaxRegKeyDepth = 512;

// Splits "Software\Quol\Vevuvov" into its key names. Leading and trailing
// backslashes are ignored; an empty path gives no names. Fails with
// E_INVALIDARG on an empty name in the middle ("A\\B"), a name holding a
// character the file cannot carry (CR, LF, NUL) or more than
// kMaxRegKeyDepth names.
[[nodiscard]] HRESULT SplitRegPath(std::string_view path, std::vector<std::string>* names);

// Whether a value name or REG_SZ text can be stored: no CR, LF or NUL.
bool IsStorableRegText(std::string_view text);

// Why a hive file could not be parsed; `line` counts from 1.
struct RegParseError {
  std::size_t line = 0;
  std::string reason;
};

// Parses a whole hive file into `root` (replaced). An empty file is an empty
// hive. Fails with E_BAD_FORMAT and fills `error` when the text is not a
// hive, E_OUTOFMEMORY when memory runs out.
[[nodiscard]] HRESULT ParseRegFile(std::string_view text, RegKey* root, RegParseError* error);

// Writes the file text for `root`. Every key with values, or without
// sub-keys, gets a section; keys that only lead to others are implied by
// their sub-keys' sections. Fails with E_INVALIDARG when a name or text
// cannot be stored (see IsStorableRegText).
[[nodiscard]] HRESULT FormatRegFile(const RegKey& root, std::string* text);

}  // namespace quol::platform
