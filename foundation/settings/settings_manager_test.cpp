#include "foundation/settings/settings_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "foundation/testing/log_capture.h"
#include "foundation/xml/xml_document.h"
#include "platform/fs/files.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using testing::ListFolder;
using testing::ReadFileOrEmpty;
using testing::WriteFileOrDie;

std::string Nested(int levels, const std::string& inner) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "<a>";
  text += inner;
  for (int i = 0; i < levels; ++i) text += "</a>";
  return text;
}

// A store over "Test.xml" that exposes the path for redirection.
class TestStore : public CQuolSettingsManagerBase {
 public:
  TestStore() : CQuolSettingsManagerBase(false, "Test.xml") {}
  void MarkDirty() { SetDirty(); }
  using CQuolSettingsManagerBase::SetPath;
};

// A child process saves `payload` between two counters over and over and is
// killed after `delay_us`, at whatever moment of a save that falls.
void SaveUntilKilled(const std::string& payload, useconds_t delay_us) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TestStore store;
    if (Failed(store.Load())) _exit(3);
    for (int i = 0;; ++i) {
      (void)store.SetInt("s", "first", i);
      (void)store.SetValue("s", "payload", payload);
      (void)store.SetInt("s", "last", i);
      store.MarkDirty();
      static_cast<void>(store.Save());  // killed at any moment; the parent checks the file
    }
  }
  ::usleep(delay_us);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
}

// `text` is one whole save of SaveUntilKilled: it parses, both counters
// agree and the payload is complete.
void ExpectWholeSave(const std::string& text, const std::string& payload, int round) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(text.c_str())) << "round " << round << ": torn file";
  pugi::xml_node s = doc.child("quol").child("s");
  EXPECT_STREQ(s.child_value("first"), s.child_value("last")) << "round " << round;
  EXPECT_EQ(std::string(s.child_value("payload")), payload) << "round " << round;
}

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

// A data folder that cannot be made (here a file stands where a folder of
// its path should be): Load says so instead of pretending all is well.
TEST_F(SettingsStoreTest, WithoutItsDataFolderTheStoreDoesNotLoad) {
  WriteFileOrDie(env_.root() + "/blocker", "a file, not a folder");
  testing::ScopedEnv data("QUOL_DATA_DIR", env_.root() + "/blocker/data");
  TestStore store;
  EXPECT_TRUE(Failed(store.Load()));
  EXPECT_FALSE(store.loaded());
  EXPECT_TRUE(log_.Contains("Cannot create the data folder for"));
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
  ASSERT_EQ(store.SetValue("second", "b", "two"), S_OK);
  ASSERT_EQ(store.SetValue("first", "a", "one"), S_OK);
  ASSERT_EQ(store.SetInt("first", "n", -5), S_OK);
  ASSERT_EQ(store.SetBool("first", "flag", false), S_OK);
  EXPECT_EQ(store.GetValue("first", "a", ""), "one");
  EXPECT_EQ(store.GetInt("first", "n", 0), -5);
  EXPECT_EQ(store.GetValue("first", "flag", ""), "false");

  pugi::xml_node root = store.document()->xml.document_element();
  EXPECT_STREQ(root.last_child().name(), "second");

  ASSERT_EQ(store.SetValue("first", "a", ""), S_OK);
  EXPECT_FALSE(root.child("first").child("a"));
  EXPECT_EQ(store.GetValue("first", "a", "gone"), "gone");

  ASSERT_EQ(store.RemoveSection("second"), S_OK);
  ASSERT_EQ(store.RemoveSection("never-there"), S_OK);
  EXPECT_FALSE(root.child("second"));
  EXPECT_FALSE(root.child("never-there"));
}

// A hand-edited file may repeat an element; reads take the first, so a
// cleared value or section must take its duplicates with it (found by the
// settings fuzzer: a cleared account came back).
TEST_F(SettingsStoreTest, ClearedValuesAndSectionsStayClearedDespiteDuplicates) {
  WriteStore("<quol><general><email>a@x</email><email>b@x</email></general>"
             "<general><email>c@x</email></general>"
             "<folders><f>1</f></folders><folders><f>2</f></folders></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  ASSERT_EQ(store.SetValue("general", "email", ""), S_OK);
  ASSERT_EQ(store.RemoveSection("folders"), S_OK);
  EXPECT_EQ(store.GetValue("general", "email", "none"), "none");
  EXPECT_EQ(store.GetValue("folders", "f", "none"), "none");
}

TEST_F(SettingsStoreTest, UnknownContentSurvivesARoundTrip) {
  WriteStore(
      "<?xml version=\"1.0\"?>\n<quol><future version=\"3\"><thing a=\"b\">keep me</thing>"
      "</future><general><x>1</x><extra>also kept</extra></general></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  ASSERT_EQ(store.SetValue("general", "x", "2"), S_OK);
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);

  TestStore again;
  ASSERT_EQ(again.Load(), S_OK);
  EXPECT_EQ(again.GetValue("general", "x", ""), "2");
  EXPECT_EQ(again.GetValue("general", "extra", ""), "also kept");
  EXPECT_EQ(again.GetValue("future", "thing", ""), "keep me");
  EXPECT_STREQ(again.document()->xml.document_element().child("future").attribute("version").value(),
               "3");
}

TEST_F(SettingsStoreTest, OtherRootsAreReadAndEmptyFilesCountAsMissing) {
  WriteStore("<other><s><k>v</k></s></other>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_EQ(store.GetValue("s", "k", ""), "v");

  WriteStore("");
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_STREQ(store.document()->xml.document_element().name(), "quol");
  EXPECT_FALSE(log_.Contains("Failed to get settings"));
}

TEST_F(SettingsStoreTest, OpenDocumentWithoutCreateReportsMissingFile) {
  std::string missing = env_.data_dir() + "/LocalConfig.xml";
  EXPECT_EQ(CQuolSettingsManagerBase::OpenDocument(missing, false), nullptr);
  EXPECT_TRUE(log_.Contains("INFO Settings file " + missing + " not found.\r\n"));
  XmlDocument created = CQuolSettingsManagerBase::OpenDocument(missing, true);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->xml.document_element().name(), "quol");
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
  EXPECT_STREQ(doc->xml.document_element().child("s").child_value("url"), "https://127.0.0.1/c.xml");
}

TEST_F(SettingsStoreTest, MalformedFileIsLoggedKeptAsideAndReplacedBySave) {
  const std::string broken = "<quol><general><credsEmailAddress>dad@example.org</general>";
  WriteStore(broken);
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: "));
  EXPECT_EQ(store.GetValue("general", "credsEmailAddress", "empty"), "empty");
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), broken);

  ASSERT_EQ(store.SetValue("general", "credsEmailAddress", "new@example.org"), S_OK);
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
  ASSERT_EQ(store.SetValue("s", "k", "v"), S_OK);
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
  EXPECT_EQ(store.SetValue("s", "k", "v"), E_UNEXPECTED);
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
    ASSERT_NO_FATAL_FAILURE(SaveUntilKilled(payload, static_cast<useconds_t>(random() % 20000)));
    std::string text = ReadFileOrEmpty(FilePath());
    if (text.empty() && round == 0) continue;  // killed before the first save
    ASSERT_NO_FATAL_FAILURE(ExpectWholeSave(text, payload, round));
  }
}

// Hostile nesting must neither crash a reader nor reach one: the document is
// refused like any malformed one, whether it comes from a file or a URL.
TEST_F(SettingsStoreTest, DeeplyNestedDocumentsAreRefusedAndKeptAside) {
  const std::string deep = "<quol><general><credsEmailAddress>" + Nested(200000, "x") +
                           "</credsEmailAddress></general></quol>";
  WriteStore(deep);
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  EXPECT_EQ(store.GetValue("general", "credsEmailAddress", "none"), "none");
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: nesting deeper than 64 levels"));
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), deep);

  CQuolSettingsManagerBase::SetDocumentFetcher(
      [&](const std::string&, std::string* body, std::string*) {
        *body = deep;
        return S_OK;
      });
  XmlDocument served = CQuolSettingsManagerBase::OpenDocument("https://127.0.0.1/c.xml", false);
  CQuolSettingsManagerBase::SetDocumentFetcher(nullptr);
  EXPECT_EQ(served, nullptr);

  ASSERT_EQ(store.SetValue("general", "credsEmailAddress", "new@example.org"), S_OK);
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);
  TestStore again;
  ASSERT_EQ(again.Load(), S_OK);
  EXPECT_EQ(again.GetValue("general", "credsEmailAddress", ""), "new@example.org");
}

// A save must not blow a file up: deep documents are written without
// indentation, our own shallow shape keeps it.
TEST_F(SettingsStoreTest, SavedSizeStaysCloseToTheLoadedSize) {
  struct Case {
    const char* what;
    std::string xml;
    bool indented;
  };
  std::string many_deep;
  for (int i = 0; i < 200; ++i) many_deep += Nested(60, "v");
  const Case cases[] = {
      {"deep but allowed", "<quol><s><k>" + Nested(58, "deep") + "</k></s></quol>", false},
      {"many deep branches", "<quol><s><k>" + many_deep + "</k></s></quol>", false},
      {"our own shape", "<quol><general><credsEmailAddress>a@b.c</credsEmailAddress>"
                        "<lastUpdateLow>1</lastUpdateLow></general></quol>",
       true},
  };
  for (const Case& c : cases) {
    WriteStore(c.xml);
    TestStore store;
    ASSERT_EQ(store.Load(), S_OK) << c.what;
    ASSERT_EQ(store.SetValue("s", "added", "1"), S_OK);
    store.MarkDirty();
    ASSERT_EQ(store.Save(), S_OK) << c.what;
    const std::string saved = ReadFileOrEmpty(FilePath());
    EXPECT_LE(saved.size(), 2 * c.xml.size()) << c.what;
    EXPECT_EQ(saved.find("\n  <") != std::string::npos, c.indented) << c.what;
    TestStore again;
    ASSERT_EQ(again.Load(), S_OK);
    EXPECT_EQ(again.GetValue("s", "added", ""), "1") << c.what;
    EXPECT_FALSE(log_.Contains("Failed to get settings")) << c.what;
  }
}

// A file that is there but cannot be read is never replaced: every save is
// refused and the file stays exactly as it was.
TEST_F(SettingsStoreTest, UnreadableFileRefusesEverySave) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"a folder in its place",
       [](const std::string& path) { ASSERT_EQ(platform::CreateDirectories(path + "/inside"), S_OK); }},
      {"larger than the store reads",
       [](const std::string& path) {
         WriteFileOrDie(path, "<quol><general><credsEmailAddress>keep@me</credsEmailAddress>" +
                                  std::string(CQuolSettingsManagerBase::kMaxDocumentBytes, ' ') +
                                  "</general></quol>");
       }},
  };
  for (const Case& c : cases) {
    testing::IsolatedEnvironment env;
    TestStore store;
    c.make(store.path());
    struct stat before {};
    ASSERT_EQ(::stat(store.path().c_str(), &before), 0) << c.what;
    const std::string content = ReadFileOrEmpty(store.path());

    ASSERT_EQ(store.Load(), S_OK) << c.what;
    EXPECT_LT(store.read_error(), 0) << c.what;
    EXPECT_EQ(store.GetValue("general", "credsEmailAddress", "default"), "default") << c.what;
    ASSERT_EQ(store.SetValue("general", "credsEmailAddress", "new@example.org"), S_OK);
    store.MarkDirty();
    EXPECT_LT(store.Save(), 0) << c.what;
    EXPECT_TRUE(store.dirty()) << c.what;

    struct stat after {};
    ASSERT_EQ(::stat(store.path().c_str(), &after), 0) << c.what;
    EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
    EXPECT_EQ(ReadFileOrEmpty(store.path()), content) << c.what;
    EXPECT_FALSE(platform::FileExists(store.path() + ".bad")) << c.what;
  }
  EXPECT_TRUE(log_.Contains("Cannot save settings: "));
}

// Copies of damaged files pile up under fresh names, one per distinct
// content; when every name is taken the damaged file is not replaced.
TEST_F(SettingsStoreTest, DamagedFilesAreKeptAsideUnderFreshNames) {
  const std::string versions[] = {"<quol><a>first", "<quol><a>second", "<quol><a>third"};
  for (const std::string& broken : versions) {
    for (int load = 0; load < 2; ++load) {  // loading again adds no copy
      WriteStore(broken);
      TestStore store;
      ASSERT_EQ(store.Load(), S_OK);
    }
    TestStore store;
    ASSERT_EQ(store.Load(), S_OK);
    ASSERT_EQ(store.SetValue("s", "k", "v"), S_OK);
    store.MarkDirty();
    ASSERT_EQ(store.Save(), S_OK);
  }
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), versions[0]);
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad.1"), versions[1]);
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad.2"), versions[2]);
  EXPECT_FALSE(platform::FileExists(FilePath() + ".bad.3"));

  for (int n = 3; n <= CQuolSettingsManagerBase::kMaxBadCopies; ++n) {
    WriteFileOrDie(FilePath() + ".bad." + std::to_string(n), "older copy");
  }
  const std::string last = "<quol><a>no room left";
  WriteStore(last);
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  ASSERT_EQ(store.SetValue("s", "k", "v"), S_OK);
  store.MarkDirty();
  EXPECT_LT(store.Save(), 0);
  EXPECT_EQ(ReadFileOrEmpty(FilePath()), last);
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad"), versions[0]);
  EXPECT_EQ(ReadFileOrEmpty(FilePath() + ".bad.99"), "older copy");
}

// Names come from web pages: anything that is not an XML name is refused
// before it reaches the document, and reads give the default.
TEST_F(SettingsStoreTest, NamesThatAreNotXmlNamesAreRefused) {
  WriteStore("<quol><s><k>kept</k></s><EVIL><k>secret</k></EVIL></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  const std::string bad_names[] = {"a b", "1abc", "x\"y", "a&b", "<x>", "", "a/b", "a:b",
                                   "-x", ".x", "a\nb", "\xff\xfe", "\xC0\xAF",
                                   std::string(CQuolSettingsManagerBase::kMaxNameBytes + 1, 'n')};
  for (const std::string& name : bad_names) {
    EXPECT_FALSE(CQuolSettingsManagerBase::IsValidName(name)) << name;
    EXPECT_EQ(store.SetValue(name, "k", "v"), E_INVALIDARG) << name;
    EXPECT_EQ(store.SetValue("s", name, "v"), E_INVALIDARG) << name;
    EXPECT_EQ(store.SetInt("s", name, 1), E_INVALIDARG) << name;
    EXPECT_EQ(store.SetBool(name, "k", true), E_INVALIDARG) << name;
    EXPECT_EQ(store.RemoveSection(name), E_INVALIDARG) << name;
  }
  const std::string good_names[] = {"a", "_x", "a-b.c9", "\xC3\xA9t\xC3\xA9", "x1",
                                    std::string(CQuolSettingsManagerBase::kMaxNameBytes, 'n')};
  for (const std::string& name : good_names) {
    EXPECT_TRUE(CQuolSettingsManagerBase::IsValidName(name)) << name;
    EXPECT_EQ(store.SetValue("good", name, "value of " + name), S_OK) << name;
  }
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);

  TestStore again;
  ASSERT_EQ(again.Load(), S_OK);
  for (const std::string& name : good_names) {
    EXPECT_EQ(again.GetValue("good", name, ""), "value of " + name) << name;
  }
  EXPECT_EQ(again.GetValue("s", "k", ""), "kept");
  // Reads never turn names into a query.
  const std::string probes[] = {"NOPE|EVIL", "*", "EVIL/..", "s|EVIL", "//EVIL", "EVIL[1]"};
  for (const std::string& section : probes) {
    EXPECT_EQ(again.GetValue(section, "k", "d"), "d") << section;
    EXPECT_EQ(again.GetValue(section, "k", "d", "a", "x"), "d") << section;
  }
  EXPECT_EQ(again.GetValue("s", "*", "d"), "d");
  EXPECT_EQ(again.GetValue("s", "k|x", "d"), "d");
}

// Whatever went into the tree, a save never leaves a file that does not
// read back.
TEST_F(SettingsStoreTest, SaveRefusesADocumentThatWouldNotReadBack) {
  WriteStore("<quol><s><k>kept</k></s></quol>");
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  FindOrCreateElement(store.document()->xml.document_element(), "a b");
  store.MarkDirty();
  EXPECT_EQ(store.Save(), E_BAD_FORMAT);
  EXPECT_EQ(ReadFileOrEmpty(FilePath()), "<quol><s><k>kept</k></s></quol>");
  EXPECT_TRUE(log_.Contains("Cannot save settings: 8007000b to "));
}

TEST_F(SettingsStoreTest, SaveKeepsTheFileMode) {
  WriteStore("<quol><s><k>v</k></s></quol>");
  ASSERT_EQ(::chmod(FilePath().c_str(), 0600), 0);
  TestStore store;
  ASSERT_EQ(store.Load(), S_OK);
  ASSERT_EQ(store.SetValue("s", "k", "w"), S_OK);
  store.MarkDirty();
  ASSERT_EQ(store.Save(), S_OK);
  struct stat st {};
  ASSERT_EQ(::stat(FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(ReadFileOrEmpty(FilePath()).find("<k>w</k>"), std::string::npos);
}

// Kills at random moments of a save: every round the file is the old or the
// new document, and after the next load no temporary file is left.
// QUOL_KILL_ROUNDS sets the number of rounds (default 100).
TEST_F(SettingsStoreTest, KillLoopLeavesNoTemporaryFiles) {
  const char* rounds_text = std::getenv("QUOL_KILL_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 100;
  std::mt19937 random(777);
  const std::string payload(200000, 'q');
  int leftovers_seen = 0;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_NO_FATAL_FAILURE(
        SaveUntilKilled(payload, static_cast<useconds_t>(1000 + random() % 30000)));
    const std::string text = ReadFileOrEmpty(FilePath());
    if (!text.empty()) {
      ASSERT_NO_FATAL_FAILURE(ExpectWholeSave(text, payload, round));
    }
    for (const std::string& name : ListFolder(env_.data_dir())) {
      if (name.starts_with(".Test.xml.")) ++leftovers_seen;
    }
    TestStore next;
    ASSERT_EQ(next.Load(), S_OK);
    for (const std::string& name : ListFolder(env_.data_dir())) {
      EXPECT_FALSE(name.starts_with(".Test.xml.")) << "round " << round << ": " << name;
    }
  }
  std::printf("kill loop: %d rounds, %d temporaries left by the kills, all removed\n", rounds,
              leftovers_seen);
}

}  // namespace
}  // namespace quol
