#include "platform/registry/reg_file.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quol::platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00\n\n";

RegKey Parse(std::string_view text) {
  RegKey root;
  RegParseError error;
  EXPECT_EQ(ParseRegFile(text, &root, &error), S_OK)
      << "line " << error.line << ": " << error.reason;
  return root;
}

const RegValue* Find(const RegKey& root, std::string_view path, std::string_view name) {
  std::vector<std::string> names;
  EXPECT_EQ(SplitRegPath(path, &names), S_OK);
  const RegKey* key = root.FindPath(names);
  return key != nullptr ? key->FindValue(name) : nullptr;
}

TEST(RegFileFormat, WritesTheExportLayout) {
  RegKey root;
  RegKey& key = root.EnsurePath({"HKEY_CURRENT_USER", "Software", "Quol", "Quol Vevuvov"});
  key.SetValue("", RegValue::String("x"));
  key.SetValue("N", RegValue::Dword(42));
  key.SetValue("B", RegValue::Binary("\x01\x02\xff"));
  key.SetValue("E", RegValue::Other(2, std::string("%\0", 2)));
  root.EnsurePath({"HKEY_CURRENT_USER", "Software", "Empty"});
  std::string text;
  ASSERT_EQ(FormatRegFile(root, &text), S_OK);
  // Keys that only lead to others get no section of their own; empty leaves do.
  EXPECT_EQ(text, std::string(kHeader) +
                      "[HKEY_CURRENT_USER\\Software\\Quol\\Quol Vevuvov]\n"
                      "@=\"x\"\n\"N\"=dword:0000002a\n\"B\"=hex:01,02,ff\n\"E\"=hex(2):25,00\n\n"
                      "[HKEY_CURRENT_USER\\Software\\Empty]\n\n");
}

TEST(RegFileFormat, EveryTypeRoundTrips) {
  RegKey root;
  RegKey& key = root.EnsurePath({"HKEY_CURRENT_USER", "Software", "Odd ] name"});
  key.SetValue("", RegValue::String("default"));
  key.SetValue("quote \"and\" back\\slash", RegValue::String("C:\\dir\\ \"x\" \\"));
  key.SetValue("utf8 Grüße", RegValue::String("日本語 😀 ß"));
  key.SetValue("empty", RegValue::String(""));
  key.SetValue("dword", RegValue::Dword(0xdeadbeef));
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  key.SetValue(std::string(70, 'n'), RegValue::Binary(all_bytes));
  key.SetValue("no bytes", RegValue::Binary(""));
  key.SetValue("multi", RegValue::Other(7, all_bytes));
  key.SetValue("short dword", RegValue::Other(4, "\x01\x02"));
  root.EnsurePath({"HKEY_LOCAL_MACHINE", "Other hive"});

  std::string text;
  ASSERT_EQ(FormatRegFile(root, &text), S_OK);
  EXPECT_EQ(Parse(text), root);
  std::istringstream lines(text);
  std::size_t wrapped = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
    if (line.ends_with("\\") && line.find("=\"") == std::string::npos) ++wrapped;
  }
  EXPECT_GT(wrapped, 10u);
}

TEST(RegFileFormat, RefusesTextTheFileCannotCarry) {
  std::string text = "kept";
  RegKey root;
  root.EnsurePath({"HKEY_CURRENT_USER"}).SetValue("a", RegValue::String("two\nlines"));
  EXPECT_EQ(FormatRegFile(root, &text), E_INVALIDARG);
  EXPECT_TRUE(text.empty());
  RegKey bad_key;
  bad_key.EnsurePath({"HKEY_CURRENT_USER", "a\\b"});
  EXPECT_EQ(FormatRegFile(bad_key, &text), E_INVALIDARG);
}

TEST(RegFileParse, AcceptsCrlfCommentsContinuationsAndDuplicates) {
  RegKey root = Parse(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Quol]\r\n"
      "  ; an indented comment\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "    03 , 0A,\\\r\n"
      "  ff\r\n"
      "\"Path\"=\"C:\\\\\"\r\n"
      "\"Small\"=dword:2A\r\n"
      "\"Four\"=hex(4):2a,00,00,01\r\n"
      "\"Late\"=\"first\"\r\n"
      "\r\n"
      "[hkey_current_user\\SOFTWARE\\quol]\r\n"
      "\"late\"=\"second\"\r\n");
  const RegValue* blob = Find(root, "HKEY_CURRENT_USER\\Software\\Quol", "blob");
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(*blob, RegValue::Binary("\x01\x02\x03\x0a\xff"));
  // A string ending in a backslash is not a continuation.
  EXPECT_EQ(*Find(root, "HKEY_CURRENT_USER\\Software\\Quol", "Path"), RegValue::String("C:\\"));
  EXPECT_EQ(*Find(root, "HKEY_CURRENT_USER\\Software\\Quol", "Small"), RegValue::Dword(42));
  EXPECT_EQ(*Find(root, "HKEY_CURRENT_USER\\Software\\Quol", "Four"), RegValue::Dword(0x0100002a));
  // Sections naming the same key in another case merge; the later value wins
  // and the stored names keep their first spelling.
  ASSERT_EQ(root.subkeys.size(), 1u);
  ASSERT_EQ(root.subkeys[0].subkeys.size(), 1u);
  const RegKey& quol = root.subkeys[0].subkeys[0].subkeys[0];
  EXPECT_EQ(quol.name, "Quol");
  EXPECT_EQ(quol.values.back().first, "Late");
  EXPECT_EQ(quol.values.back().second, RegValue::String("second"));
}

TEST(RegFileParse, EmptyFileIsAnEmptyHive) {
  EXPECT_EQ(Parse(""), RegKey{});
  EXPECT_EQ(Parse(kHeader), RegKey{});
}

TEST(RegFileParse, RejectsBrokenFilesNamingTheLine) {
  const std::string head = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n";
  const struct {
    std::string text;
    std::size_t line;
  } cases[] = {
      {"REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n", 1},
      {"\n" + head, 1},
      {head + "\"a\"=\"x\"\ngarbage\n", 5},
      {std::string(kHeader) + "\"a\"=\"x\"\n", 3},
      {head + "\"a\"=\"bad \\n escape\"\n", 4},
      {head + "\"a\"=\"not closed\n", 4},
      {head + "\"a\"=\"x\" trailing\n", 4},
      {head + "\"a\" \"x\"\n", 4},
      {head + "\"a\"=hex:01,zz\n", 4},
      {head + "\"a\"=hex:01,,02\n", 4},
      {head + "\"a\"=hex:101\n", 4},
      {head + "\"a\"=hex(q):01\n", 4},
      {head + "\"a\"=hex:01,\\\n", 4},
      {head + "\"a\"=dword:123456789\n", 4},
      {head + "\"a\"=dword:\n", 4},
      {head + "\"a\"=-\n", 4},
      {head + "\"a\"=str\n", 4},
      {head + "[-HKEY_CURRENT_USER\\K]\n", 4},
      {head + "[HKEY_CURRENT_USER\\\\K]\n", 4},
      {head + "[HKEY_CURRENT_USER\\K\n", 4},
      {head + "[]\n", 4},
  };
  for (const auto& c : cases) {
    RegKey root;
    RegParseError error;
    EXPECT_EQ(ParseRegFile(c.text, &root, &error), E_BAD_FORMAT) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_FALSE(error.reason.empty()) << c.text;
    EXPECT_EQ(root, RegKey{}) << c.text;
  }
}

// Keys are walked recursively, so a hive may not nest deeper than the
// Windows registry allows; within that, writing stays linear in the depth.
TEST(RegFileTest, KeyDepthIsBounded) {
  auto path_of = [](std::size_t levels) {
    std::string path = "HKEY_CURRENT_USER";
    for (std::size_t i = 1; i < levels; ++i) path += "\\k";
    return path;
  };
  struct Case {
    std::size_t levels;
    HRESULT expected;
  };
  const Case cases[] = {{kMaxRegKeyDepth, S_OK}, {kMaxRegKeyDepth + 1, E_BAD_FORMAT},
                        {2000000, E_BAD_FORMAT}};
  for (const Case& c : cases) {
    const std::string text = "Windows Registry Editor Version 5.00\n\n[" + path_of(c.levels) +
                             "]\n\"v\"=dword:00000001\n";
    RegKey root;
    RegParseError error;
    EXPECT_EQ(ParseRegFile(text, &root, &error), c.expected) << c.levels;
    if (c.expected == S_OK) {
      std::string written;
      ASSERT_EQ(FormatRegFile(root, &written), S_OK);
      EXPECT_EQ(written, text + "\n");
    } else {
      EXPECT_NE(error.reason.find("deeper than 512 levels"), std::string::npos) << error.reason;
    }
    std::vector<std::string> names;
    EXPECT_EQ(SplitRegPath(path_of(c.levels), &names), c.expected == S_OK ? S_OK : E_INVALIDARG);
    EXPECT_EQ(names.size(), c.expected == S_OK ? c.levels : 0u);
  }
}

}  // namespace
}  // namespace quol::platform
