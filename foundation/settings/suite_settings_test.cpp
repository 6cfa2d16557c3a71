#include "foundation/settings/suite_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <pugixml.hpp>

#include "foundation/testing/log_capture.h"
#include "platform/fs/files.h"
#include "platform/protect/base64.h"
#include "platform/protect/data_protection.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using testing::ReadFileOrEmpty;
using testing::WriteFileOrDie;

class SuiteSettingsTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return env_.data_dir() + "/Settings.xml"; }
  void WriteSettings(const std::string& body) {
    WriteFileOrDie(FilePath(), "<quol>" + body + "</quol>");
  }
  // Saves `settings` (marked dirty) and loads a fresh copy.
  static std::unique_ptr<CSuiteSettings> SaveAndReload(CSuiteSettings& settings) {
    EXPECT_EQ(settings.Save(), S_OK);
    auto again = std::make_unique<CSuiteSettings>();
    EXPECT_EQ(again->Load(), S_OK);
    return again;
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
};

TEST_F(SuiteSettingsTest, MissingFileGivesDefaults) {
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  EXPECT_EQ(settings.email_address(), "");
  EXPECT_EQ(settings.password(), "");
  EXPECT_TRUE(settings.show_my_pictures());
  EXPECT_TRUE(settings.show_shared_pictures());
  EXPECT_EQ(settings.inter_photo_interval(), 10);
  EXPECT_TRUE(settings.folders().empty());
  EXPECT_FALSE(settings.available_version().valid());
  EXPECT_TRUE(log_.Contains("Setting 'screensaver/interPhotoInterval' defaulted to ''"));
}

TEST_F(SuiteSettingsTest, PasswordRoundTripsUpTo126Characters) {
  const std::string p126(126, 'x');
  const std::string p127(127, 'y');
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  ASSERT_EQ(settings.SetPassword(p126), S_OK);
  auto again = SaveAndReload(settings);
  EXPECT_EQ(again->password(), p126);

  ASSERT_EQ(again->SetPassword(p127), S_OK);
  auto third = SaveAndReload(*again);
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("<credsPassword>"), std::string::npos);
  EXPECT_EQ(third->password(), "");  // 256 bytes with its terminator: too long to accept
}

TEST_F(SuiteSettingsTest, PasswordIsStoredSealedAsUnpaddedBase64) {
  const std::string password = "s\xC3\xA9same \xF0\x9F\x94\x91 \"<&>\"";
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  ASSERT_EQ(settings.SetPassword(password), S_OK);
  auto again = SaveAndReload(settings);
  EXPECT_EQ(again->password(), password);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  std::string stored = doc.child("quol").child("general").child_value("credsPassword");
  EXPECT_EQ(stored.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
            std::string::npos);
  EXPECT_EQ(stored.find("s\xC3\xA9same"), std::string::npos);
  // Non-alphabet characters in the stored text are skipped when reading.
  std::string spaced = stored.substr(0, 10) + " \n=" + stored.substr(10);
  EXPECT_EQ(CSuiteSettings::UnprotectPassword(spaced), password);
}

TEST_F(SuiteSettingsTest, PasswordFromAnotherMachineOrDamagedReadsEmpty) {
  std::string stored = CSuiteSettings::ProtectPassword("secret");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(CSuiteSettings::UnprotectPassword(stored), "secret");

  std::string damaged = stored;
  damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
  EXPECT_EQ(CSuiteSettings::UnprotectPassword(damaged), "");
  EXPECT_EQ(CSuiteSettings::UnprotectPassword("bm90IHNlYWxlZA"), "");

  // Another machine has another key.
  ASSERT_EQ(::unlink(platform::MachineKeyPath().c_str()), 0);
  EXPECT_EQ(CSuiteSettings::UnprotectPassword(stored), "");
}

TEST_F(SuiteSettingsTest, UnterminatedProtectedTextReadsEmpty) {
  std::string sealed;
  ASSERT_EQ(platform::ProtectData(std::string("a\0b\0", 4), &sealed), S_OK);
  WriteSettings("<general><credsPassword>" + platform::Base64EncodeNoPadding(sealed) +
                "</credsPassword><credsAccountId>7</credsAccountId></general>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  EXPECT_EQ(settings.password(), "");
  EXPECT_EQ(settings.account_id(), "7");
}

TEST_F(SuiteSettingsTest, LastUpdateHalvesKeepTheirBits) {
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  settings.SetLastUpdateTime(static_cast<std::int32_t>(4294967295u), 0x01DB1234);
  auto again = SaveAndReload(settings);
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("<lastUpdateLow>-1</lastUpdateLow>"),
            std::string::npos);
  EXPECT_EQ(static_cast<std::uint32_t>(again->last_update_low()), 4294967295u);
  EXPECT_EQ(again->last_update_file_time(), 0x01DB1234FFFFFFFFull);
}

TEST_F(SuiteSettingsTest, FoldersAreReadGapFreeAndWrittenWhole) {
  WriteSettings(
      "<screensaverFolders><folder1>/photos/a</folder1><folder2>/photos/b</folder2>"
      "<folder4>/photos/d</folder4></screensaverFolders>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  EXPECT_EQ(settings.folders(), (std::vector<std::string>{"/photos/a", "/photos/b"}));

  WriteSettings(
      "<screensaverFolders><folder1>1</folder1><folder2>2</folder2><folder3>3</folder3>"
      "<folder4>4</folder4><folder5>5</folder5></screensaverFolders>");
  ASSERT_EQ(settings.Load(), S_OK);
  ASSERT_EQ(settings.folders().size(), 5u);
  ASSERT_EQ(settings.SetFolders({"x", "y", "z"}), S_OK);
  ASSERT_EQ(settings.Save(), S_OK);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  std::vector<std::string> names;
  for (pugi::xml_node n : doc.child("quol").child("screensaverFolders").children()) {
    names.push_back(std::string(n.name()) + "=" + n.child_value());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"folder1=x", "folder2=y", "folder3=z"}));
}

TEST_F(SuiteSettingsTest, AtMost49FoldersAreReadBackAndAccepted) {
  std::string stored;
  for (int i = 1; i <= 60; ++i) {
    stored += "<folder" + std::to_string(i) + ">/p/" + std::to_string(i) + "</folder" +
              std::to_string(i) + ">";
  }
  WriteSettings("<screensaverFolders>" + stored + "</screensaverFolders>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  ASSERT_EQ(settings.folders().size(), 49u);
  EXPECT_EQ(settings.folders().back(), "/p/49");

  // A list that would not read back whole is refused and changes nothing.
  struct Case {
    std::vector<std::string> folders;
    HRESULT expected;
  };
  std::vector<std::string> fifty = settings.folders();
  fifty.push_back("/p/new");
  const Case cases[] = {
      {fifty, E_INVALIDARG},
      {{"/p/a", "", "/p/c"}, E_INVALIDARG},
      {std::vector<std::string>(49, "/p/same"), S_OK},
  };
  for (const Case& c : cases) {
    CSuiteSettings fresh;
    ASSERT_EQ(fresh.Load(), S_OK);
    EXPECT_EQ(fresh.SetFolders(c.folders), c.expected) << c.folders.size();
    EXPECT_EQ(fresh.dirty(), c.expected == S_OK) << c.folders.size();
    EXPECT_EQ(fresh.folders(), c.expected == S_OK ? c.folders : settings.folders());
  }
}

TEST_F(SuiteSettingsTest, UnchangedSettersLeaveTheStoreClean) {
  WriteSettings("<general><credsEmailAddress>mum@example.org</credsEmailAddress></general>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  const std::string before = ReadFileOrEmpty(FilePath());
  settings.SetEmailAddress("mum@example.org");
  settings.SetInterPhotoInterval(10);
  settings.SetShowMyPictures(true);
  settings.SetShowSharedPictures(true);
  settings.SetLastUpdateTime(0, 0);
  settings.SetAccountId("");
  ASSERT_EQ(settings.SetPassword(""), S_OK);
  EXPECT_FALSE(settings.dirty());
  EXPECT_EQ(settings.Save(), S_OK);
  EXPECT_EQ(ReadFileOrEmpty(FilePath()), before);

  settings.SetEmailAddress("Mum@example.org");  // case counts
  EXPECT_TRUE(settings.dirty());
}

TEST_F(SuiteSettingsTest, EverySetterThatChangesMarksDirty) {
  auto dirty_after = [](auto&& change) {
    CSuiteSettings s;
    EXPECT_EQ(s.Load(), S_OK);
    change(s);
    return s.dirty();
  };
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { EXPECT_EQ(s.SetPassword("p"), S_OK); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { s.SetAccountId("42"); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { s.SetLastUpdateTime(0, 1); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { s.SetInterPhotoInterval(30); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { s.SetShowMyPictures(false); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { s.SetShowSharedPictures(false); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { EXPECT_EQ(s.SetFolders({}), S_OK); }));
  EXPECT_TRUE(dirty_after([](CSuiteSettings& s) { EXPECT_EQ(s.SetWebClientValue("gone", ""), S_OK); }));
  EXPECT_FALSE(dirty_after([](CSuiteSettings& s) { s.SetAvailableVersion(VersionNumber("2.0")); }));
}

TEST_F(SuiteSettingsTest, AvailableVersionReadsAndWritesItsText) {
  WriteSettings("<general><availableVersion>2.1</availableVersion></general>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  const VersionNumber& v = settings.available_version();
  EXPECT_TRUE(v.valid());
  EXPECT_EQ(v.count(), 2);
  EXPECT_EQ(v.part(0), 2u);
  EXPECT_EQ(v.part(1), 1u);
  EXPECT_EQ(v.part(2), 0u);
  settings.SetEmailAddress("x@example.org");
  auto again = SaveAndReload(settings);
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("<availableVersion>2.1</availableVersion>"),
            std::string::npos);

  again->ClearAvailableVersion();
  again->SetEmailAddress("y@example.org");
  auto third = SaveAndReload(*again);
  EXPECT_EQ(ReadFileOrEmpty(FilePath()).find("availableVersion"), std::string::npos);
  EXPECT_FALSE(third->available_version().valid());
}

TEST_F(SuiteSettingsTest, NonNumericValuesFallBack) {
  WriteSettings(
      "<general><lastUpdateLow>soon</lastUpdateLow><lastUpdateHigh>x</lastUpdateHigh></general>"
      "<screensaver><interPhotoInterval>often</interPhotoInterval><myPictures>1</myPictures>"
      "</screensaver>");
  CSuiteSettings settings;
  settings.SetInterPhotoInterval(25);
  ASSERT_EQ(settings.Load(), S_OK);
  EXPECT_EQ(settings.last_update_low(), 0);
  EXPECT_EQ(settings.last_update_high(), 0);
  EXPECT_EQ(settings.inter_photo_interval(), 25);
  EXPECT_FALSE(settings.show_my_pictures());
}

TEST_F(SuiteSettingsTest, WebClientValuesRoundTripAndEmptyOnesVanish) {
  WriteSettings(
      "<webClient><theme>dark</theme><empty></empty><zoom> 120 </zoom></webClient>"
      "<unknown><kept>yes</kept></unknown>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  std::string value;
  EXPECT_TRUE(settings.GetWebClientValue("theme", &value));
  EXPECT_EQ(value, "dark");
  EXPECT_TRUE(settings.GetWebClientValue("zoom", &value));
  EXPECT_EQ(value, "120");
  EXPECT_FALSE(settings.GetWebClientValue("empty", &value));

  ASSERT_EQ(settings.SetWebClientValue("theme", ""), S_OK);
  ASSERT_EQ(settings.SetWebClientValue("lang", "fr"), S_OK);
  auto again = SaveAndReload(settings);
  EXPECT_EQ(again->web_client_values(),
            (std::map<std::string, std::string>{{"lang", "fr"}, {"zoom", "120"}}));
  const std::string text = ReadFileOrEmpty(FilePath());
  EXPECT_EQ(text.find("<empty"), std::string::npos);
  EXPECT_NE(text.find("<kept>yes</kept>"), std::string::npos);
}

TEST_F(SuiteSettingsTest, WrittenFileHasTheKnownShape) {
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  settings.SetEmailAddress("mum@example.org");
  settings.SetAccountId("1234");
  ASSERT_EQ(settings.SetFolders({"/home/mum/Pictures/Holiday"}), S_OK);
  ASSERT_EQ(settings.Save(), S_OK);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  std::vector<std::string> order;
  for (pugi::xml_node n : doc.child("quol").children()) order.push_back(n.name());
  EXPECT_EQ(order, (std::vector<std::string>{"general", "screensaver", "screensaverFolders"}));
  pugi::xml_node general = doc.child("quol").child("general");
  EXPECT_STREQ(general.child_value("credsEmailAddress"), "mum@example.org");
  EXPECT_FALSE(general.child("credsPassword"));  // empty password: no element
  EXPECT_STREQ(general.child_value("lastUpdateLow"), "0");
  EXPECT_STREQ(doc.child("quol").child("screensaver").child_value("myPictures"), "true");
  EXPECT_STREQ(doc.child("quol").child("screensaver").child_value("interPhotoInterval"), "10");
}

// Without a usable machine key nothing can be sealed; the password stored
// before must survive both an unrelated save and a failed change.
TEST_F(SuiteSettingsTest, PasswordSurvivesAMissingMachineKey) {
  {
    CSuiteSettings settings;
    ASSERT_EQ(settings.Load(), S_OK);
    ASSERT_EQ(settings.SetPassword("original"), S_OK);
    settings.SetEmailAddress("mum@example.org");
    ASSERT_EQ(settings.Save(), S_OK);
  }
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  const std::string sealed = doc.child("quol").child("general").child_value("credsPassword");
  ASSERT_FALSE(sealed.empty());

  // The key cannot be read: a folder stands where the key file was.
  const std::string key = platform::MachineKeyPath();
  const std::string key_bytes = ReadFileOrEmpty(key);
  ASSERT_EQ(::unlink(key.c_str()), 0);
  ASSERT_EQ(platform::CreateDirectories(key), S_OK);
  {
    CSuiteSettings settings;
    ASSERT_EQ(settings.Load(), S_OK);
    EXPECT_EQ(settings.password(), "");
    settings.SetEmailAddress("dad@example.org");
    EXPECT_LT(settings.SetPassword("changed"), 0);
    EXPECT_EQ(settings.password(), "");
    ASSERT_EQ(settings.Save(), S_OK);
  }
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  EXPECT_EQ(std::string(doc.child("quol").child("general").child_value("credsPassword")), sealed);
  EXPECT_STREQ(doc.child("quol").child("general").child_value("credsEmailAddress"),
               "dad@example.org");

  ASSERT_EQ(::rmdir(key.c_str()), 0);
  WriteFileOrDie(key, key_bytes);
  CSuiteSettings restored;
  ASSERT_EQ(restored.Load(), S_OK);
  EXPECT_EQ(restored.password(), "original");
}

TEST_F(SuiteSettingsTest, SealedPasswordIsMaskedInTheLog) {
  {
    CSuiteSettings settings;
    ASSERT_EQ(settings.Load(), S_OK);
    ASSERT_EQ(settings.SetPassword("hunter2"), S_OK);
    settings.SetAccountId("77");
    ASSERT_EQ(settings.Save(), S_OK);
  }
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(FilePath().c_str()));
  const std::string sealed = doc.child("quol").child("general").child_value("credsPassword");
  ASSERT_FALSE(sealed.empty());

  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  EXPECT_EQ(settings.password(), "hunter2");
  EXPECT_TRUE(log_.Contains("INFO Setting 'general/credsPassword'='***'\r\n"));
  EXPECT_FALSE(log_.Contains(sealed));
  EXPECT_TRUE(log_.Contains("INFO Setting 'general/credsAccountId'='77'\r\n"));
}

// Web pages name the web client's values; a name that cannot name an
// element is refused instead of spoiling the file for everyone.
TEST_F(SuiteSettingsTest, WebClientNamesMustBeXmlNames) {
  WriteSettings("<general><credsAccountId>9</credsAccountId></general>");
  CSuiteSettings settings;
  ASSERT_EQ(settings.Load(), S_OK);
  ASSERT_EQ(settings.SetPassword("pw"), S_OK);
  const char* bad[] = {"a b", "1abc", "x\"y", "a&b", "<x>", "", "a/b"};
  for (const char* name : bad) {
    EXPECT_EQ(settings.SetWebClientValue(name, "v"), E_INVALIDARG) << name;
  }
  ASSERT_EQ(settings.SetWebClientValue("theme", "dark"), S_OK);
  auto again = SaveAndReload(settings);
  EXPECT_EQ(again->web_client_values(), (std::map<std::string, std::string>{{"theme", "dark"}}));
  EXPECT_EQ(again->account_id(), "9");
  EXPECT_EQ(again->password(), "pw");
}

}  // namespace
}  // namespace quol
