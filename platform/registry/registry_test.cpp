#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "platform/common/diagnostics.h"
#include "platform/fs/files.h"
#include "platform/registry/reg_file.h"

namespace quol::platform {
namespace {

using Hive = RegistryHive;

std::mutex g_reports_mutex;
std::vector<std::string> g_reports;

void CaptureReport(bool is_error, const char* message) {
  std::lock_guard<std::mutex> hold(g_reports_mutex);
  if (is_error) g_reports.emplace_back(message);
}

// Every test gets its own registry folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "quol-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ::setenv("QUOL_REGISTRY_DIR", dir_.c_str(), 1);
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr) saved_xdg_ = xdg;
    g_reports.clear();
    SetDiagnosticSink(&CaptureReport);
  }
  void TearDown() override {
    SetDiagnosticSink(nullptr);
    ::unsetenv("QUOL_REGISTRY_DIR");
    if (saved_xdg_) {
      ::setenv("XDG_CONFIG_HOME", saved_xdg_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Read(const std::string& name) {
    std::string text;
    EXPECT_EQ(ReadWholeFile(JoinPath(dir_, name), &text), S_OK) << name;
    return text;
  }
  void Write(const std::string& name, std::string_view text) {
    ASSERT_EQ(CreateDirectories(DirName(JoinPath(dir_, name))), S_OK);
    ASSERT_EQ(WriteFileAtomically(JoinPath(dir_, name), text), S_OK);
  }

  std::string dir_;
  std::optional<std::string> saved_xdg_;
};

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripThroughTheHiveFile) {
  const std::string text = "C:\\Photos\\\"Summer\" ü 日本 😀\\";
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7));
  {
    RegistryKey key;
    ASSERT_EQ(key.Create(Hive::kCurrentUser, "Software\\Quol\\Quol Vevuvov"), S_OK);
    EXPECT_EQ(key.WriteString("", "default"), S_OK);
    EXPECT_EQ(key.WriteString("Folder \"A\"", text), S_OK);
    EXPECT_EQ(key.WriteDword("Count", 42), S_OK);
    EXPECT_EQ(key.WriteBinary("Blob", bytes), S_OK);
    EXPECT_EQ(key.WriteBinary("Nothing", {}), S_OK);
  }
  RegistryKey key;
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "Software\\Quol\\Quol Vevuvov"), S_OK);
  std::string s;
  EXPECT_EQ(key.ReadString("", &s), S_OK);
  EXPECT_EQ(s, "default");
  EXPECT_EQ(key.ReadString("Folder \"A\"", &s), S_OK);
  EXPECT_EQ(s, text);
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("Count", &n), S_OK);
  EXPECT_EQ(n, 42u);
  std::vector<std::uint8_t> read;
  EXPECT_EQ(key.ReadBinary("Blob", &read), S_OK);
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(key.ReadBinary("Nothing", &read), S_OK);
  EXPECT_TRUE(read.empty());

  EXPECT_NE(Read("HKCU.reg").find("[HKEY_CURRENT_USER\\Software\\Quol\\Quol Vevuvov]\n"),
            std::string::npos);
  EXPECT_NE(Read("HKCU.reg").find("\n\"Count\"=dword:0000002a\n"), std::string::npos);
  // The machine hive is another file.
  EXPECT_EQ(key.Open(Hive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), E_NOT_FOUND);
  EXPECT_FALSE(key.is_open());
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  RegistryKey key;
  ASSERT_EQ(key.Create(Hive::kLocalMachine, "Software\\Quol"), S_OK);
  ASSERT_EQ(key.WriteDword("Width", 1), S_OK);
  ASSERT_EQ(key.Create(Hive::kLocalMachine, "SOFTWARE\\quol\\Sub"), S_OK);
  ASSERT_EQ(key.Open(Hive::kLocalMachine, "software\\QUOL"), S_OK);
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("WIDTH", &n), S_OK);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(key.Create(Hive::kLocalMachine, "software\\quol"), S_OK);
  EXPECT_EQ(key.WriteDword("width", 2), S_OK);
  EXPECT_EQ(key.ReadDword("Width", &n), S_OK);
  EXPECT_EQ(n, 2u);
  const std::string file = Read("HKLM.reg");
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\Software\\Quol]\n\"Width\"=dword:00000002\n"),
            std::string::npos);
  EXPECT_EQ(file.find("width"), std::string::npos);
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\Software\\Quol\\Sub]"), std::string::npos);
}

TEST_F(RegistryTest, ReadsOnlyTheTypeAndSizeAsked) {
  Write("HKCU.reg",
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Placement]\n"
        "\"Text\"=\"42\"\n\"Bytes\"=hex:2a,00,00,00\n\"Short\"=hex(4):2a,00\n"
        "\"Long\"=hex(b):2a,00,00,00,00,00,00,00\n\"Good\"=dword:0000002a\n");
  RegistryKey key;
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "Placement"), S_OK);
  std::uint32_t n = 7;
  for (const char* name : {"Text", "Bytes", "Short", "Long"}) {
    EXPECT_EQ(key.ReadDword(name, &n), E_BAD_FORMAT) << name;
  }
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(key.ReadDword("Good", &n), S_OK);
  EXPECT_EQ(n, 42u);
  EXPECT_EQ(key.ReadDword("Missing", &n), E_NOT_FOUND);
  std::string s;
  EXPECT_EQ(key.ReadString("Good", &s), E_BAD_FORMAT);
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(key.ReadBinary("Good", &bytes), E_BAD_FORMAT);
  EXPECT_EQ(key.ReadBinary("Text", &bytes), E_BAD_FORMAT);
}

TEST_F(RegistryTest, RefusesBadChangesWithoutTouchingTheHive) {
  RegistryKey key;
  EXPECT_EQ(key.ReadString("a", nullptr), E_UNEXPECTED);
  ASSERT_EQ(key.Create(Hive::kCurrentUser, "Software"), S_OK);
  ASSERT_EQ(key.WriteString("keep", "me"), S_OK);
  const std::string before = Read("HKCU.reg");
  EXPECT_EQ(key.WriteString("a", "two\nlines"), E_INVALIDARG);
  EXPECT_EQ(key.WriteDword("b\r", 1), E_INVALIDARG);
  EXPECT_EQ(key.Create(Hive::kCurrentUser, "Software\\\\Gap"), E_INVALIDARG);
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "Software"), S_OK);
  EXPECT_EQ(key.WriteDword("b", 1), E_ACCESSDENIED);
  EXPECT_EQ(key.DeleteValue("keep"), E_ACCESSDENIED);
  EXPECT_EQ(Read("HKCU.reg"), before);
}

TEST_F(RegistryTest, DeletesValuesAndKeysWithTheirSubKeys) {
  RegistryKey key;
  for (const char* path : {"A\\B\\C", "A\\B\\D", "A\\E\\Deep"})
    ASSERT_EQ(key.Create(Hive::kCurrentUser, path), S_OK);
  ASSERT_EQ(key.WriteDword("v", 1), S_OK);
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "a"), S_OK);
  std::vector<std::string> names;
  EXPECT_EQ(key.EnumSubKeys(&names), S_OK);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "E"}));

  EXPECT_EQ(DeleteRegistryKey(Hive::kCurrentUser, "a\\b"), S_OK);
  EXPECT_EQ(key.Open(Hive::kCurrentUser, "A\\B\\C"), E_NOT_FOUND);
  EXPECT_EQ(key.Open(Hive::kCurrentUser, "A\\B"), E_NOT_FOUND);
  EXPECT_EQ(DeleteRegistryKey(Hive::kCurrentUser, "A\\B"), E_NOT_FOUND);
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "A"), S_OK);
  EXPECT_EQ(key.EnumSubKeys(&names), S_OK);
  EXPECT_EQ(names, (std::vector<std::string>{"E"}));
  EXPECT_EQ(DeleteRegistryKey(Hive::kCurrentUser, ""), E_INVALIDARG);

  ASSERT_EQ(key.Create(Hive::kCurrentUser, "A\\E\\Deep"), S_OK);
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("v", &n), S_OK);
  EXPECT_EQ(key.DeleteValue("V"), S_OK);
  EXPECT_EQ(key.ReadDword("v", &n), E_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue("v"), E_NOT_FOUND);
}

TEST_F(RegistryTest, ProfilesAreTheHiveFilesInUsers) {
  std::vector<std::string> profiles;
  EXPECT_EQ(EnumRegistryProfiles(&profiles), S_OK);
  EXPECT_TRUE(profiles.empty());
  RegistryKey key;
  ASSERT_EQ(key.Create(Hive::kUsers, "bob\\Software"), S_OK);
  ASSERT_EQ(key.Create(Hive::kUsers, "alice\\Software\\Quol"), S_OK);
  ASSERT_EQ(key.WriteDword("Seen", 1), S_OK);
  Write("Users/notes.txt", "not a profile");
  Write("Users/alice.reg.bad", "not a profile either");

  EXPECT_EQ(EnumRegistryProfiles(&profiles), S_OK);
  EXPECT_EQ(profiles, (std::vector<std::string>{"alice", "bob"}));
  EXPECT_NE(Read("Users/alice.reg").find("[HKEY_CURRENT_USER\\Software\\Quol]"), std::string::npos);
  ASSERT_EQ(key.Open(Hive::kUsers, "ALICE\\software\\quol"), S_OK);
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("Seen", &n), S_OK);
  EXPECT_EQ(key.Open(Hive::kUsers, "bob\\Software\\Quol"), E_NOT_FOUND);
  EXPECT_EQ(key.Open(Hive::kUsers, "carol\\Software"), E_NOT_FOUND);
  EXPECT_EQ(key.Open(Hive::kCurrentUser, "Software\\Quol"), E_NOT_FOUND);
  EXPECT_EQ(key.Create(Hive::kUsers, "../etc\\Software"), E_INVALIDARG);
  EXPECT_EQ(key.Open(Hive::kUsers, ""), E_INVALIDARG);
  EXPECT_EQ(DeleteRegistryKey(Hive::kUsers, "alice"), E_INVALIDARG);
}

TEST_F(RegistryTest, PlacesFollowTheEnvironmentAtEveryCall) {
  std::string file;
  ASSERT_EQ(GetRegistryHiveFile(Hive::kUsers, "alice", &file), S_OK);
  EXPECT_EQ(file, dir_ + "/Users/alice.reg");
  const std::string other = dir_ + "/other";
  ::setenv("QUOL_REGISTRY_DIR", other.c_str(), 1);
  RegistryKey key;
  ASSERT_EQ(key.Create(Hive::kLocalMachine, "Software"), S_OK);
  EXPECT_TRUE(FileExists(other + "/HKLM.reg"));
  EXPECT_FALSE(FileExists(dir_ + "/HKLM.reg"));

  ::unsetenv("QUOL_REGISTRY_DIR");
  ::setenv("XDG_CONFIG_HOME", other.c_str(), 1);
  EXPECT_EQ(GetRegistryHiveFile(Hive::kCurrentUser, {}, &file), S_OK);
  EXPECT_EQ(file, other + "/Quol/HKCU.reg");
  EXPECT_EQ(GetRegistryHiveFile(Hive::kLocalMachine, {}, &file), S_OK);
  EXPECT_EQ(file, "/etc/quol/HKLM.reg");
}

TEST_F(RegistryTest, UnparseableHiveIsReportedReadAsEmptyAndKeptAside) {
  const std::string garbage =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software]\nnot a value\n";
  Write("HKCU.reg", garbage);
  RegistryKey key;
  EXPECT_EQ(key.Open(Hive::kCurrentUser, "Software"), E_NOT_FOUND);
  ASSERT_FALSE(g_reports.empty());
  EXPECT_NE(g_reports[0].find(dir_ + "/HKCU.reg line 4"), std::string::npos) << g_reports[0];
  EXPECT_EQ(Read("HKCU.reg"), garbage);  // reading changes nothing

  ASSERT_EQ(key.Create(Hive::kCurrentUser, "Software"), S_OK);
  ASSERT_EQ(key.WriteDword("Fresh", 1), S_OK);
  EXPECT_EQ(Read("HKCU.reg.bad"), garbage);
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("Fresh", &n), S_OK);

  // A second broken hive never replaces the first one kept aside.
  Write("HKCU.reg", "second garbage");
  ASSERT_EQ(key.WriteDword("Again", 2), S_OK);
  EXPECT_EQ(Read("HKCU.reg.bad"), garbage);
  EXPECT_EQ(Read("HKCU.reg.bad.1"), "second garbage");
  EXPECT_EQ(key.ReadDword("Fresh", &n), E_NOT_FOUND);
  EXPECT_EQ(key.ReadDword("Again", &n), S_OK);
}

TEST_F(RegistryTest, ChangesRemoveTemporariesOfKilledWriters) {
  Write("HKCU.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:00000001\n");
  Write(".HKCU.reg.Zq81xP", "half a hive");
  Write(".HKLM.reg.Zq81xP", "another hive's");
  RegistryKey key;
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "K"), S_OK);
  EXPECT_TRUE(FileExists(JoinPath(dir_, ".HKCU.reg.Zq81xP")));  // reads change nothing

  ASSERT_EQ(key.Create(Hive::kCurrentUser, "K"), S_OK);
  ASSERT_EQ(key.WriteDword("b", 2), S_OK);
  EXPECT_FALSE(FileExists(JoinPath(dir_, ".HKCU.reg.Zq81xP")));
  EXPECT_TRUE(FileExists(JoinPath(dir_, ".HKLM.reg.Zq81xP")));
  std::uint32_t n = 0;
  EXPECT_EQ(key.ReadDword("a", &n), S_OK);
}

TEST_F(RegistryTest, OversizedHiveCountsAsUnparseable) {
  std::string text =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n";
  text += ";" + std::string(std::size_t{17} << 20, 'x') + "\n";
  Write("HKCU.reg", text);
  RegistryKey key;
  EXPECT_EQ(key.Open(Hive::kCurrentUser, "K"), E_NOT_FOUND);
  ASSERT_FALSE(g_reports.empty());
  EXPECT_NE(g_reports[0].find("larger than 16 MiB"), std::string::npos) << g_reports[0];
}

TEST_F(RegistryTest, RewritesKeepValuesOfUnknownTypesAndOtherHives) {
  const std::string expand = "\"Path\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\n";
  Write("HKCU.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software]\n" +
                        expand + "\n[HKEY_CLASSES_ROOT\\.jpg]\n@=\"jpegfile\"\n");
  RegistryKey key;
  ASSERT_EQ(key.Create(Hive::kCurrentUser, "Software"), S_OK);
  ASSERT_EQ(key.WriteDword("New", 1), S_OK);
  const std::string file = Read("HKCU.reg");
  EXPECT_NE(file.find(expand), std::string::npos) << file;
  EXPECT_NE(file.find("[HKEY_CLASSES_ROOT\\.jpg]\n@=\"jpegfile\"\n"), std::string::npos) << file;
}

// Two processes each add 200 values to one hive at the same time; a write
// that did not re-read the hive under the lock would drop the other's.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kPerWriter = 200;
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = ::fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      RegistryKey key;
      bool ok = Succeeded(key.Create(Hive::kCurrentUser, "Software\\Race"));
      for (int i = 0; ok && i < kPerWriter; ++i) {
        ok = Succeeded(key.WriteDword("w" + std::to_string(writer) + "-" + std::to_string(i),
                                      static_cast<std::uint32_t>(i)));
      }
      ::_exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryKey key;
  ASSERT_EQ(key.Open(Hive::kCurrentUser, "Software\\Race"), S_OK);
  int present = 0;
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kPerWriter; ++i) {
      std::uint32_t n = 0;
      if (key.ReadDword("w" + std::to_string(writer) + "-" + std::to_string(i), &n) == S_OK &&
          n == unsigned(i)) {
        ++present;
      }
    }
  }
  EXPECT_EQ(present, 2 * kPerWriter);
  EXPECT_TRUE(g_reports.empty());
}

}  // namespace
}  // namespace quol::platform
