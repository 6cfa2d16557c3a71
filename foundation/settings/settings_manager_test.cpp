#include "foundation/settings/settings_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "foundation/testing/log_capture.h"
#include "platform/fs/files.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using testing::ReadFileOrEmpty;
using testing::WriteFileOrDie;

// A store over "Test.xml" that exposes the path for redirection.
class TestStore : public CQuolSettingsManagerBase {
 public:
  TestStore() : CQuolSettingsManagerBase(false, "Test.xml") {}
  void MarkDirty() { SetDirty(); }
  using CQuolSettingsManagerBase::SetPath;
};

class SettingsStoreTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return env_.data_dir() + "/Test.xml"; }
  void WriteStore(const std::string& xml) { WriteFileOrDie(FilePath(), xml); }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
};

TEST_F(SettingsStoreTest, PathIsInTheDataFolderWhichIsCreated) {
  TestStore store;
  EXPECT_EQ(store.path(), FilePath());
  EXPECT_TRUE(platform::IsDirectory(env_.data_dir()));
}

TEST_F(SettingsStoreTest, ReadsAreTrimmedDefaultedAndLogged) {
  WriteStore(
      "<quol><general><credsAccountId>   </credsAccountId>"
      "<credsEmailAddress>\n  mum@example.org \t</credsEmailAddress></general></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_TRUE(store.loaded());
  EXPECT_EQ(store.GetValue("general", "credsAccountId", "none"), "none");
  EXPECT_EQ(store.GetValue("general", "credsEmailAddress", ""), "mum@example.org");
  EXPECT_EQ(store.GetValue("missing", "key", "fallback"), "fallback");
  EXPECT_TRUE(log_.Contains("INFO Setting 'general/credsAccountId' defaulted to 'none'\r\n"));
  EXPECT_TRUE(log_.Contains("INFO Setting 'general/credsEmailAddress'='mum@example.org'\r\n"));
  EXPECT_TRUE(log_.Contains("INFO Setting 'missing/key' defaulted to 'fallback'\r\n"));
}

TEST_F(SettingsStoreTest, IntegersAndBooleansFollowTheirTextRules) {
  WriteStore(
      "<quol><s><int1> 42abc</int1><int2>abc</int2><int3>-17</int3><int4>4294967295</int4>"
      "<b1>ON</b1><b2>Yes</b2><b3>1</b3><b4>TRUE</b4><b5>off</b5></s></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_EQ(store.GetInt("s", "int1", 7), 42);
  EXPECT_EQ(store.GetInt("s", "int2", 7), 7);
  EXPECT_EQ(store.GetInt("s", "int3", 7), -17);
  EXPECT_EQ(store.GetInt("s", "int4", 7), -1);  // same 32 bits, as scanf stores them
  EXPECT_EQ(store.GetInt("s", "absent", 7), 7);
  EXPECT_TRUE(store.GetBool("s", "b1", false));
  EXPECT_TRUE(store.GetBool("s", "b2", false));
  EXPECT_FALSE(store.GetBool("s", "b3", true));
  EXPECT_TRUE(store.GetBool("s", "b4", false));
  EXPECT_FALSE(store.GetBool("s", "b5", true));
  EXPECT_TRUE(store.GetBool("s", "absent", true));
  EXPECT_FALSE(store.GetBool("s", "absent", false));
}

TEST_F(SettingsStoreTest, AttributeFilterMatchesLowerCasedValueAndIsNotInjectable) {
  WriteStore(
      "<quol><default>"
      "<url cobrand='partner'>partner-url</url>"
      "<url cobrand=\"it's\">quoted-url</url>"
      "<url cobrand='other'>other-url</url>"
      "</default></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_EQ(store.GetValue("default", "url", "d", "cobrand", "PARTNER"), "partner-url");
  EXPECT_EQ(store.GetValue("default", "url", "d", "cobrand", "It's"), "quoted-url");
  // A value that would rewrite a pasted query matches nothing.
  EXPECT_EQ(store.GetValue("default", "url", "d", "cobrand", "x' or '1'='1"), "d");
  EXPECT_EQ(store.GetValue("default", "url", "d", "cobrand", ""), "d");
  EXPECT_TRUE(log_.Contains("Setting 'default/url[@cobrand = 'partner']'='partner-url'"));
}

TEST_F(SettingsStoreTest, SetValueCreatesReplacesAndRemovesElements) {
  WriteStore("<quol><first><a>1</a></first></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  store.SetValue("second", "b", "two");
  store.SetValue("first", "a", "one");
  store.SetInt("first", "n", -5);
  store.SetBool("first", "flag", false);
  EXPECT_EQ(store.GetValue("first", "a", ""), "one");
  EXPECT_EQ(store.GetInt("first", "n", 0), -5);
  EXPECT_EQ(store.GetValue("first", "flag", ""), "false");

  pugi::xml_node root = store.document()->document_element();
  EXPECT_STREQ(root.last_child().name(), "second");

  store.SetValue("first", "a", "");
  EXPECT_FALSE(root.child("first").child("a"));
  EXPECT_EQ(store.GetValue("first", "a", "gone"), "gone");

  store.RemoveSection("second");
  store.RemoveSection("never-there");
  EXPECT_FALSE(root.child("second"));
  EXPECT_FALSE(root.child("never-there"));
}

TEST_F(SettingsStoreTest, UnknownContentSurvivesARoundTrip) {
  WriteStore(
      "<?xml version=\"1.0\"?>\n<quol><future version=\"3\"><thing a=\"b\">keep me</thing>"
      "</future><general><x>1</x><extra>also kept</extra></general></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  store.SetValue("general", "x", "2");
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);

  TestStore again;
  ASSERT_EQ(again.Load(), S_OK);
  EXPECT_EQ(again.GetValue("general", "x", ""), "2");
  EXPECT_EQ(again.GetValue("general", "extra", ""), "also kept");
  EXPECT_EQ(again.GetValue("future", "thing", ""), "keep me");
  EXPECT_STREQ(again.document()->document_element().child("future").attribute("version").value(),
               "3");
}

TEST_F(SettingsStoreTest, OtherRootsAreReadAndEmptyFilesCountAsMissing) {
  WriteStore("<other><s><k>v</k></s></other>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_EQ(store.GetValue("s", "k", ""), "v");

  WriteStore("");
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_STREQ(store.document()->document_element().name(), "quol");
  EXPECT_FALSE(log_.Contains("Failed to get settings"));
}

TEST_F(SettingsStoreTest, OpenDocumentWithoutCreateReportsMissingFile) {
  std::string missing = env_.data_dir() + "/LocalConfig.xml";
  EXPECT_EQ(CQuolSettingsManagerBase::OpenDocument(missing, false), nullptr);
  EXPECT_TRUE(log_.Contains("INFO Settings file " + missing + " not found.\r\n"));
  XmlDocument created = CQuolSettingsManagerBase::OpenDocument(missing, true);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->document_element().name(), "quol");
  EXPECT_FALSE(platform::FileExists(missing));  // nothing written until a save
}

TEST_F(SettingsStoreTest, UrlsGoThroughTheFetcher) {
  // Nothing listens on the discard port: the load fails with curl's reason.
  EXPECT_EQ(CQuolSettingsManagerBase::OpenDocument("HTTP://127.0.0.1:9/x.xml", false), nullptr);
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: "));

  CQuolSettingsManagerBase::SetDocumentFetcher(
      [](const std::string& url, std::string* body, std::string*) {
        *body = "<quol><s><url>" + url + "</url></s></quol>";
        return S_OK;
      });
  XmlDocument doc = CQuolSettingsManagerBase::OpenDocument("https://127.0.0.1/c.xml", false);
  CQuolSettingsManagerBase::SetDocumentFetcher(nullptr);
  ASSERT_NE(doc, nullptr);
  EXPECT_STREQ(doc->document_element().child("s").child_value("url"), "https://127.0.0.1/c.xml");
}

TEST_F(SettingsStoreTest, MalformedFileIsLoggedKeptAsideAndReplacedBySave) {
  const std::string broken = "<quol><general><credsEmailAddress>dad@example.org</general>";
  WriteStore(broken);
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: "));
  EXPECT_EQ(store.GetValue("general", "credsEmailAddress", "empty"), "empty");
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), broken);

  store.SetValue("general", "credsEmailAddress", "new@example.org");
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);
  TestStore again;
  ASSERT_EQ(again.Load(), S_OK);
  EXPECT_EQ(again.GetValue("general", "credsEmailAddress", ""), "new@example.org");
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), broken);
}

TEST_F(SettingsStoreTest, SaveWritesOnlyWhenDirtyAndRetriesFailures) {
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  store.SetValue("s", "k", "v");
  ASSERT_EQ(store.Save(), S_OK);  // clean: nothing written
  EXPECT_FALSE(platform::FileExists(FilePath()));

  WriteFileOrDie(env_.root() + "/not-a-folder", "x");
  store.SetPath(env_.root() + "/not-a-folder/Test.xml");
  store.MarkDirty();
  EXPECT_LT(store.Save(), 0);
  EXPECT_TRUE(store.dirty());
  std::string text = log_.Text();
  size_t count = 0;
  for (size_t at = text.find("Cannot save settings: 80070014 to "); at != std::string::npos;
       at = text.find("Cannot save settings:", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 3u);

  store.SetPath(FilePath());
  EXPECT_EQ(store.Save(), S_OK);
  EXPECT_FALSE(store.dirty());
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("<k>v</k>"), std::string::npos);
}

TEST_F(SettingsStoreTest, WithoutALoadedDocumentNothingIsWritten) {
  WriteStore("<quol><keep>me</keep></quol>");
  TestStore store;
  store.SetValue("s", "k", "v");
  store.MarkDirty();
  EXPECT_LT(store.Save(), 0);
  EXPECT_EQ(ReadFileOrEmpty(FilePath()), "<quol><keep>me</keep></quol>");
}

// A child saves over and over and is killed at random moments; the file on
// disk must always be one whole document.
TEST_F(SettingsStoreTest, KilledWhileSavingLeavesAWholeDocument) {
  std::mt19937 random(12345);
  const std::string payload(20000, 'p');
  for (int round = 0; round < 40; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TestStore store;
      store.Load();
      for (int i = 0;; ++i) {
        store.SetInt("s", "first", i);
        store.SetValue("s", "payload", payload);
        store.SetInt("s", "last", i);
        store.MarkDirty();
        store.Save();
      }
    }
    ::usleep(static_cast<useconds_t>(random() % 20000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    std::string text = ReadFileOrEmpty(FilePath());
    if (text.empty() && round == 0) continue;  // killed before the first save
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str())) << "round " << round << ": torn file";
    pugi::xml_node s = doc.child("quol").child("s");
    EXPECT_STREQ(s.child_value("first"), s.child_value("last")) << "round " << round;
    EXPECT_EQ(std::string(s.child_value("payload")), payload) << "round " << round;
  }
}

}  // namespace
}  // namespace quol
