#include "platform/registry/reg_file.h"

#include "platform/text/utf.h"

#include <algorithm>
#include <new>

namespace quol::platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Hex lines are wrapped the way the registry editor wraps them.
constexpr std::size_t kHexLineWidth = 77;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses 1..max_digits hex digits, the whole of `text`.
bool ParseHexNumber(std::string_view text, std::size_t max_digits, std::uint32_t* out) {
  if (text.empty() || text.size() > max_digits) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  *out = value;
  return true;
}

// The text a file's lines are cut from, with the line number of each.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  // Next line without its LF or CRLF; false at the end of the text.
  bool Next(std::string_view* line) {
    if (done_) return false;
    auto newline = rest_.find('\n');
    if (newline == std::string_view::npos) {
      *line = rest_;
      done_ = true;
      if (line->empty()) return false;  // the text ended with a newline
    } else {
      *line = rest_.substr(0, newline);
      rest_.remove_prefix(newline + 1);
    }
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    ++number_;
    return true;
  }

  std::size_t number() const { return number_; }

 private:
  std::string_view rest_;
  std::size_t number_ = 0;
  bool done_ = false;
};

// Reads a quoted string at the start of `*text` (which starts with '"'),
// undoing the \\ and \" escapes, and leaves `*text` after the closing quote.
bool ParseQuoted(std::string_view* text, std::string* out, std::string* why) {
  out->clear();
  std::size_t i = 1;
  for (; i < text->size(); ++i) {
    char c = (*text)[i];
    if (c == '"') {
      text->remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text->size()) break;
      char next = (*text)[++i];
      if (next != '\\' && next != '"') {
        *why = std::string("unknown escape \\") + next + " in a quoted string";
        return false;
      }
      c = next;
    }
    out->push_back(c);
  }
  *why = "a quoted string is not closed";
  return false;
}

bool ParseHexBytes(std::string_view list, std::string* out, std::string* why) {
  out->clear();
  list = TrimBlanks(list);
  if (list.empty()) return true;
  for (;;) {
    auto comma = list.find(',');
    std::string_view token = TrimBlanks(list.substr(0, comma));
    std::uint32_t byte = 0;
    if (!ParseHexNumber(token, 2, &byte)) {
      *why = "\"" + std::string(token) + "\" is not a hex byte";
      return false;
    }
    out->push_back(static_cast<char>(byte));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

// Parses the data after '=' of a value line. Hex data may go on over
// following lines that end in '\'; those are taken from `lines`.
bool ParseData(std::string_view data, LineReader* lines, RegValue* value, std::string* why) {
  data = TrimBlanks(data);
  if (data.starts_with('"')) {
    std::string text;
    if (!ParseQuoted(&data, &text, why)) return false;
    if (!TrimBlanks(data).empty()) {
      *why = "text after the closing quote";
      return false;
    }
    *value = RegValue::String(text);
    return true;
  }
  if (data == "-") {
    *why = "value deletions are not allowed in a stored hive";
    return false;
  }
  if (data.starts_with("dword:")) {
    std::uint32_t number = 0;
    if (!ParseHexNumber(TrimBlanks(data.substr(6)), 8, &number)) {
      *why = "a dword needs 1 to 8 hex digits";
      return false;
    }
    *value = RegValue::Dword(number);
    return true;
  }
  if (!data.starts_with("hex")) {
    *why = "unknown value data \"" + std::string(data.substr(0, 20)) + "\"";
    return false;
  }
  std::uint32_t type_number = 3;
  std::string_view rest = data.substr(3);
  if (rest.starts_with('(')) {
    auto close = rest.find(')');
    if (close == std::string_view::npos ||
        !ParseHexNumber(rest.substr(1, close - 1), 8, &type_number)) {
      *why = "bad hex(type) prefix";
      return false;
    }
    rest.remove_prefix(close + 1);
  }
  if (!rest.starts_with(':')) {
    *why = "hex data needs a ':'";
    return false;
  }
  rest.remove_prefix(1);
  std::string list(TrimBlanks(rest));
  while (!list.empty() && list.back() == '\\') {
    list.pop_back();
    std::string_view next;
    if (!lines->Next(&next)) {
      *why = "the file ends inside a continued hex value";
      return false;
    }
    list += TrimBlanks(next);
  }
  std::string bytes;
  if (!ParseHexBytes(list, &bytes, why)) return false;
  if (type_number == 3) {
    *value = RegValue::Binary(bytes);
  } else if (type_number == 4 && bytes.size() == 4) {
    *value =
        RegValue::Dword(static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24);
  } else {
    *value = RegValue::Other(type_number, bytes);
  }
  return true;
}

// Parses "[A\B\C]" (already trimmed) into the key it names, creating it.
RegKey* ParseSection(std::string_view line, RegKey* root, std::string* why) {
  if (line.size() < 3 || line.back() != ']') {
    *why = "a key section must be \"[path]\"";
    return nullptr;
  }
  std::string_view path = line.substr(1, line.size() - 2);
  if (path.starts_with('-')) {
    *why = "key deletions are not allowed in a stored hive";
    return nullptr;
  }
  std::vector<std::string> names;
  if (path.starts_with('\\') || path.ends_with('\\') || Failed(SplitRegPath(path, &names)) ||
      names.empty()) {
    if (std::count(path.begin(), path.end(), '\\') >= static_cast<std::ptrdiff_t>(kMaxRegKeyDepth)) {
      *why = "key path deeper than " + std::to_string(kMaxRegKeyDepth) + " levels";
      return nullptr;
    }
    *why = "bad key path \"" + std::string(path) + "\"";
    return nullptr;
  }
  return &root->EnsurePath(names);
}

bool ParseLines(std::string_view text, RegKey* root, RegParseError* error) {
  LineReader lines(text);
  std::string_view line;
  std::string why;
  auto fail = [&](std::size_t line_number) {
    error->line = line_number;
    error->reason = why;
    return false;
  };
  if (!lines.Next(&line) || TrimBlanks(line) != kHeader) {
    why = "the first line is not \"" + std::string(kHeader) + "\"";
    return fail(1);
  }
  RegKey* key = nullptr;
  while (lines.Next(&line)) {
    const std::size_t number = lines.number();
    line = TrimBlanks(line);
    if (line.empty() || line.starts_with(';')) continue;
    if (line.starts_with('[')) {
      key = ParseSection(line, root, &why);
      if (key == nullptr) return fail(number);
      continue;
    }
    std::string name;
    if (line.starts_with('@')) {
      line.remove_prefix(1);
    } else if (line.starts_with('"')) {
      if (!ParseQuoted(&line, &name, &why)) return fail(number);
    } else {
      why = "not a key section, value or comment";
      return fail(number);
    }
    line = TrimBlanks(line);
    if (!line.starts_with('=')) {
      why = "a value name must be followed by '='";
      return fail(number);
    }
    if (key == nullptr) {
      why = "a value before the first key section";
      return fail(number);
    }
    RegValue value;
    if (!ParseData(line.substr(1), &lines, &value, &why)) return fail(number);
    key->SetValue(name, std::move(value));
  }
  return true;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendHex(std::string_view bytes, std::size_t column, std::string* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool last = i + 1 == bytes.size();
    const std::size_t width = last ? 2 : 3;
    if (column + width > kHexLineWidth) {
      out->append("\\\n  ");
      column = 2;
    }
    auto byte = static_cast<unsigned char>(bytes[i]);
    out->push_back(kDigits[byte >> 4]);
    out->push_back(kDigits[byte & 15]);
    if (!last) out->push_back(',');
    column += width;
  }
}

void AppendValue(std::string_view name, const RegValue& value, std::string* out) {
  const std::size_t line_start = out->size();
  if (name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(name, out);
  }
  out->push_back('=');
  static constexpr char kDigits[] = "0123456789abcdef";
  switch (value.type) {
    case RegType::kString:
      AppendQuoted(value.data, out);
      break;
    case RegType::kDword:
      out->append("dword:");
      for (int shift = 28; shift >= 0; shift -= 4)
        out->push_back(kDigits[(value.dword >> shift) & 15]);
      break;
    case RegType::kBinary:
    case RegType::kOther:
      if (value.type == RegType::kBinary) {
        out->append("hex:");
      } else {
        out->append("hex(");
        std::string number;
        std::uint32_t n = value.other_type;
        do {
          number.insert(number.begin(), kDigits[n & 15]);
          n >>= 4;
        } while (n != 0);
        out->append(number).append("):");
      }
      AppendHex(value.data, out->size() - line_start, out);
      break;
  }
  out->push_back('\n');
}

// `path` is the key's full name; it is extended for the sub-keys and put
// back, so the text built stays linear in the depth.
bool FormatKey(const RegKey& key, std::string* path, std::string* out) {
  if (key.name.empty() || key.name.find('\\') != std::string::npos ||
      !IsStorableRegText(key.name)) {
    return false;
  }
  if (!key.values.empty() || key.subkeys.empty()) {
    out->append("[").append(*path).append("]\n");
    for (const auto& [name, value] : key.values) {
      if (!IsStorableRegText(name) ||
          (value.type == RegType::kString && !IsStorableRegText(value.data))) {
        return false;
      }
      AppendValue(name, value, out);
    }
    out->push_back('\n');
  }
  const std::size_t length = path->size();
  for (const RegKey& sub : key.subkeys) {
    path->append("\\").append(sub.name);
    if (!FormatKey(sub, path, out)) return false;
    path->resize(length);
  }
  return true;
}

}  // namespace

RegValue RegValue::String(std::string_view text) {
  RegValue v;
  v.type = RegType::kString;
  v.data = text;
  return v;
}

RegValue RegValue::Dword(std::uint32_t value) {
  RegValue v;
  v.type = RegType::kDword;
  v.dword = value;
  return v;
}

RegValue RegValue::Binary(std::string_view bytes) {
  RegValue v;
  v.type = RegType::kBinary;
  v.data = bytes;
  return v;
}

RegValue RegValue::Other(std::uint32_t type_number, std::string_view bytes) {
  RegValue v;
  v.type = RegType::kOther;
  v.other_type = type_number;
  v.data = bytes;
  return v;
}

bool RegNamesEqual(std::string_view a, std::string_view b) { return EqualsIgnoreCase(a, b); }

const RegValue* RegKey::FindValue(std::string_view value_name) const {
  for (const auto& [name, value] : values) {
    if (RegNamesEqual(name, value_name)) return &value;
  }
  return nullptr;
}

void RegKey::SetValue(std::string_view value_name, RegValue value) {
  for (auto& [name, existing] : values) {
    if (RegNamesEqual(name, value_name)) {
      existing = std::move(value);
      return;
    }
  }
  values.emplace_back(std::string(value_name), std::move(value));
}

bool RegKey::EraseValue(std::string_view value_name) {
  return std::erase_if(
             values, [&](const auto& entry) { return RegNamesEqual(entry.first, value_name); }) > 0;
}

RegKey* RegKey::FindSubKey(std::string_view key_name) {
  for (RegKey& sub : subkeys) {
    if (RegNamesEqual(sub.name, key_name)) return &sub;
  }
  return nullptr;
}

const RegKey* RegKey::FindSubKey(std::string_view key_name) const {
  return const_cast<RegKey*>(this)->FindSubKey(key_name);
}

RegKey& RegKey::EnsureSubKey(std::string_view key_name) {
  if (RegKey* existing = FindSubKey(key_name)) return *existing;
  RegKey& added = subkeys.emplace_back();
  added.name = key_name;
  return added;
}

bool RegKey::EraseSubKey(std::string_view key_name) {
  return std::erase_if(subkeys,
                       [&](const RegKey& sub) { return RegNamesEqual(sub.name, key_name); }) > 0;
}

const RegKey* RegKey::FindPath(const std::vector<std::string>& path) const {
  const RegKey* key = this;
  for (const std::string& name : path) {
    key = key->FindSubKey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKey* RegKey::FindPath(const std::vector<std::string>& path) {
  return const_cast<RegKey*>(std::as_const(*this).FindPath(path));
}

RegKey& RegKey::EnsurePath(const std::vector<std::string>& path) {
  RegKey* key = this;
  for (const std::string& name : path) key = &key->EnsureSubKey(name);
  return *key;
}

bool IsStorableRegText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

HRESULT SplitRegPath(std::string_view path, std::vector<std::string>* names) {
  try {
    names->clear();
    while (path.starts_with('\\')) path.remove_prefix(1);
    while (path.ends_with('\\')) path.remove_suffix(1);
    if (path.empty()) return S_OK;
    for (;;) {
      auto slash = path.find('\\');
      std::string_view name = path.substr(0, slash);
      if (name.empty() || !IsStorableRegText(name)) {
        names->clear();
        return E_INVALIDARG;
      }
      if (names->size() == kMaxRegKeyDepth) {
        names->clear();
        return E_INVALIDARG;
      }
      names->emplace_back(name);
      if (slash == std::string_view::npos) return S_OK;
      path.remove_prefix(slash + 1);
    }
  } catch (const std::bad_alloc&) {
    names->clear();
    return E_OUTOFMEMORY;
  }
}

HRESULT ParseRegFile(std::string_view text, RegKey* root, RegParseError* error) {
  try {
    *root = RegKey{};
    *error = RegParseError{};
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    if (text.empty()) return S_OK;
    if (ParseLines(text, root, error)) return S_OK;
    *root = RegKey{};
    return E_BAD_FORMAT;
  } catch (const std::bad_alloc&) {
    *root = RegKey{};
    return E_OUTOFMEMORY;
  }
}

HRESULT FormatRegFile(const RegKey& root, std::string* text) {
  try {
    text->assign(kHeader).append("\n\n");
    for (const RegKey& hive : root.subkeys) {
      std::string path = hive.name;
      if (hive.name.starts_with('-') || !FormatKey(hive, &path, text)) {
        text->clear();
        return E_INVALIDARG;
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    text->clear();
    return E_OUTOFMEMORY;
  }
}

}  // namespace quol::platform
