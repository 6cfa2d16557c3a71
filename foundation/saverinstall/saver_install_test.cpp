#include "foundation/saverinstall/saver_install.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "foundation/saverinstall/xscreensaver_file.h"
#include "foundation/testing/log_capture.h"
#include "platform/fs/files.h"
#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;
using testing::ReadFileOrEmpty;
using testing::WriteFileOrDie;

constexpr char kOurs[] = "/opt/quol test/quolsaver";
constexpr char kOtherFile[] = "mode:\t\tone\nselected:\t1\ntimeout:\t0:05:00\nprograms:\t\\\n\tmaze --root\t\\n\\\n\tqix --root\t\\n\\\n\n";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class SaverInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(profiles_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(skel_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(home_.c_str(), 0755), 0);
    RegistryKey key;
    ASSERT_EQ(key.Create(RegistryHive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), S_OK);
    ASSERT_EQ(key.WriteString("ScreenSaver", kOurs), S_OK);
  }

  std::string AddProfile(const std::string& name, const char* file) {
    const std::string home = profiles_ + "/" + name;
    EXPECT_EQ(::mkdir(home.c_str(), 0755), 0);
    if (file != nullptr) WriteFileOrDie(home + "/.xscreensaver", file);
    return home;
  }

  static std::string Backup(RegistryHive hive, const std::string& key_path, const char* name) {
    RegistryKey key;
    std::string value = "(none)";
    if (key.Open(hive, key_path) == S_OK) (void)key.ReadString(name, &value);
    return value;
  }

  testing::IsolatedEnvironment env_;
  std::string profiles_ = env_.root() + "/profiles";
  std::string skel_ = env_.root() + "/skel";
  // The current user is one of the profiles, as on a real machine.
  std::string home_ = profiles_ + "/me";
  testing::ScopedEnv home_env_{"HOME", home_};
  testing::ScopedEnv profiles_env_{"QUOL_PROFILES_DIR", profiles_};
  testing::ScopedEnv skel_env_{"QUOL_SKEL_DIR", skel_};
  testing::LogCapture log_;
};

TEST_F(SaverInstallTest, ScreenSaverPathIsTheRegisteredOneUpTo260Characters) {
  EXPECT_EQ(ScreenSaverPath(), kOurs);
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryHive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), S_OK);
  const struct {
    std::string value;
    std::string path;
  } cases[] = {
      {"/x/" + std::string(257, 'a'), "/x/" + std::string(257, 'a')},
      {"/x/" + std::string(258, 'a'), "/usr/libexec/xscreensaver/quolsaver"},
      {"", "/usr/libexec/xscreensaver/quolsaver"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(key.WriteString("ScreenSaver", c.value), S_OK);
    EXPECT_EQ(ScreenSaverPath(), c.path) << c.value.size();
  }
}

TEST_F(SaverInstallTest, OnOverAnotherSaverKeepsItAndOffRestoresTheFile) {
  WriteFileOrDie(home_ + "/.xscreensaver", kOtherFile);
  ::chmod((home_ + "/.xscreensaver").c_str(), 0640);
  ASSERT_EQ(GetUserScreenSaver(""), "qix");

  ASSERT_EQ(SetUserScreenSaver("", kOurs), S_OK);
  EXPECT_EQ(GetUserScreenSaver(""), kOurs);
  EXPECT_EQ(Backup(RegistryHive::kCurrentUser, "Control Panel\\Desktop", "SCRNSAVE.EXE.OLD"), "qix --root");
  EXPECT_EQ(Backup(RegistryHive::kCurrentUser, "Control Panel\\Desktop", "QuolPreviousMode"), "one");
  const std::string autostart = std::string(std::getenv("XDG_CONFIG_HOME")) + "/autostart/xscreensaver.desktop";
  EXPECT_NE(ReadFileOrEmpty(autostart).find("Exec=xscreensaver -no-splash"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((home_ + "/.xscreensaver").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // A second "on" keeps the first backup.
  ASSERT_EQ(SetUserScreenSaver("", kOurs), S_OK);
  EXPECT_EQ(Backup(RegistryHive::kCurrentUser, "Control Panel\\Desktop", "SCRNSAVE.EXE.OLD"), "qix --root");

  ASSERT_EQ(SetUserScreenSaver("", ""), S_OK);
  EXPECT_EQ(ReadFileOrEmpty(home_ + "/.xscreensaver"), kOtherFile);
  EXPECT_EQ(Backup(RegistryHive::kCurrentUser, "Control Panel\\Desktop", "SCRNSAVE.EXE.OLD"), "(none)");
  EXPECT_FALSE(Exists(autostart));
}

TEST_F(SaverInstallTest, NoFileIsCreatedAndRemovedButAUsersAutostartEntryStays) {
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  ASSERT_EQ(platform::CreateDirectories(config + "/autostart", 0700), S_OK);
  const std::string autostart = config + "/autostart/xscreensaver.desktop";
  WriteFileOrDie(autostart, "[Desktop Entry]\nExec=xscreensaver\n");
  ASSERT_EQ(SetUserScreenSaver("", kOurs), S_OK);
  EXPECT_EQ(GetUserScreenSaver(""), kOurs);
  ASSERT_EQ(SetUserScreenSaver("", ""), S_OK);
  EXPECT_FALSE(Exists(home_ + "/.xscreensaver"));
  EXPECT_EQ(ReadFileOrEmpty(autostart), "[Desktop Entry]\nExec=xscreensaver\n");
}

TEST_F(SaverInstallTest, OffLeavesAProfileOnAnotherSaverUntouched) {
  WriteFileOrDie(home_ + "/.xscreensaver", kOtherFile);
  ASSERT_EQ(SetUserScreenSaver("", kOurs), S_OK);
  // The user picked another saver in the desktop's dialog since.
  const std::string changed = std::string(kOtherFile) + "# rewritten\n";
  WriteFileOrDie(home_ + "/.xscreensaver", changed);
  ASSERT_EQ(SetUserScreenSaver("", ""), S_OK);
  EXPECT_EQ(ReadFileOrEmpty(home_ + "/.xscreensaver"), changed);
}

TEST_F(SaverInstallTest, ChoiceIsReadFromEveryProfile) {
  const std::string on = std::string("mode: one\nselected: 0\nprograms: '") + kOurs + "' --root\n";
  const struct {
    bool me, alice, bob;
    int choice;
  } cases[] = {
      {true, true, true, kSaverForEveryone},  {true, false, false, kSaverJustMe},
      {true, true, false, kSaverJustMe},      {false, false, false, kSaverForNobody},
      {false, true, false, kSaverMixed},      {false, true, true, kSaverMixed},
      {false, false, true, kSaverMixed},
  };
  AddProfile("alice", nullptr);
  AddProfile("bob", nullptr);
  for (const auto& c : cases) {
    WriteFileOrDie(home_ + "/.xscreensaver", c.me ? on : kOtherFile);
    WriteFileOrDie(profiles_ + "/alice/.xscreensaver", c.alice ? on : kOtherFile);
    WriteFileOrDie(profiles_ + "/bob/.xscreensaver", c.bob ? on : kOtherFile);
    EXPECT_EQ(GetScreenSaverChoice(), c.choice) << c.me << c.alice << c.bob;
  }
  const std::string empty = env_.root() + "/no-profiles";
  ASSERT_EQ(::mkdir(empty.c_str(), 0755), 0);
  testing::ScopedEnv no_profiles("QUOL_PROFILES_DIR", empty);
  EXPECT_EQ(GetScreenSaverChoice(), kSaverForEveryone);  // no profile at all
}

TEST_F(SaverInstallTest, JustMeFirstTakesOursOutOfEveryProfile) {
  const std::string alice = AddProfile("alice", kOtherFile);
  const std::string bob = AddProfile("bob", nullptr);
  int skipped = 0;
  ApplyScreenSaverChoice(kSaverForEveryone, &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(GetUserScreenSaver("alice"), kOurs);
  EXPECT_EQ(GetUserScreenSaver("bob"), kOurs);
  EXPECT_EQ(Backup(RegistryHive::kUsers, "alice\\Control Panel\\Desktop", "SCRNSAVE.EXE.OLD"), "qix --root");

  ApplyScreenSaverChoice(kSaverJustMe, &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(ReadFileOrEmpty(alice + "/.xscreensaver"), kOtherFile);
  EXPECT_FALSE(Exists(bob + "/.xscreensaver"));
  EXPECT_EQ(GetUserScreenSaver(""), kOurs);
  EXPECT_EQ(GetScreenSaverChoice(), kSaverJustMe);

  ApplyScreenSaverChoice(kSaverForNobody, &skipped);
  EXPECT_EQ(GetScreenSaverChoice(), kSaverForNobody);
  EXPECT_FALSE(Exists(home_ + "/.xscreensaver"));
}

TEST_F(SaverInstallTest, ProfilesThatCannotBeChangedAreCountedAndLogged) {
  const std::string target = env_.root() + "/elsewhere";
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  WriteFileOrDie(target + "/.xscreensaver", kOtherFile);
  // A home that is a link, and a settings file that is a link.
  ASSERT_EQ(::symlink(target.c_str(), (profiles_ + "/linkedhome").c_str()), 0);
  const std::string linked_file = AddProfile("linkedfile", nullptr);
  ASSERT_EQ(::symlink((target + "/.xscreensaver").c_str(), (linked_file + "/.xscreensaver").c_str()), 0);
  // A file too large to be a settings file: never rewritten.
  const std::string large = AddProfile("large", nullptr);
  const std::string huge(saverinstall::kMaxXscreensaverFileBytes + 1, '#');
  WriteFileOrDie(large + "/.xscreensaver", huge);
  // A list the editor cannot follow (a stray backslash after the last
  // entry): left exactly as it is rather than half changed.
  const std::string stray_text =
      "mode:\t\trandom\nselected:\t-1\nprograms:\t\\\n\tmaze --root \\n\\\n"
      "\thelix --root \\n\\\t\n";
  const std::string stray = AddProfile("stray", stray_text.c_str());
  const std::string fine = AddProfile("fine", kOtherFile);

  int skipped = 0;
  SetScreenSaverForAllUsers(kOurs, &skipped);
  EXPECT_EQ(skipped, 4);
  EXPECT_EQ(ReadFileOrEmpty(target + "/.xscreensaver"), kOtherFile);
  EXPECT_EQ(ReadFileOrEmpty(large + "/.xscreensaver"), huge);
  EXPECT_EQ(ReadFileOrEmpty(stray + "/.xscreensaver"), stray_text);
  EXPECT_TRUE(log_.Contains("Screen saver not changed for profile stray"));
  EXPECT_EQ(GetUserScreenSaver("fine"), kOurs);
  EXPECT_TRUE(log_.Contains("Screen saver not changed for profile linkedhome"));
  EXPECT_TRUE(log_.Contains("Screen saver not changed for profile linkedfile"));
  EXPECT_EQ(ApplyChoiceCommand(kSaverForNobody), 3);  // the stray file has nothing of ours
  EXPECT_EQ(ReadFileOrEmpty(fine + "/.xscreensaver"), kOtherFile);
}

TEST_F(SaverInstallTest, ApplyChoiceCommandRefusesOtherChoices) {
  WriteFileOrDie(home_ + "/.xscreensaver", kOtherFile);
  for (int choice : {0, 4, -1, 99}) EXPECT_EQ(ApplyChoiceCommand(choice), kApplyChoiceBadUsage) << choice;
  EXPECT_EQ(ReadFileOrEmpty(home_ + "/.xscreensaver"), kOtherFile);
  EXPECT_EQ(RunElevatedChoice(7), -1);
}

// The rest changes other users' files, which takes root.
class SaverInstallRootTest : public SaverInstallTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "changing other users' files needs root";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no account 'nobody'";
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    SaverInstallTest::SetUp();
    // The child that works as that user writes its hive under Users/.
    ASSERT_EQ(::chmod(env_.root().c_str(), 0755), 0);
    const std::string users = env_.registry_dir() + "/Users";
    ASSERT_EQ(::mkdir(users.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(users.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(env_.registry_dir().c_str(), 0755), 0);
  }
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(SaverInstallRootTest, AnotherUsersFileIsChangedAsThatUser) {
  const std::string home = AddProfile("nob", kOtherFile);
  ASSERT_EQ(::chown(home.c_str(), uid_, gid_), 0);
  ASSERT_EQ(::chown((home + "/.xscreensaver").c_str(), uid_, gid_), 0);
  int skipped = 0;
  SetScreenSaverForAllUsers(kOurs, &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(GetUserScreenSaver("nob"), kOurs);
  struct stat st {};
  ASSERT_EQ(::stat((home + "/.xscreensaver").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid_);
  ASSERT_EQ(::stat((home + "/.config/autostart/xscreensaver.desktop").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid_);
  ASSERT_EQ(::stat((env_.registry_dir() + "/Users/nob.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid_);
  // Accounts made later get the choice too.
  EXPECT_NE(ReadFileOrEmpty(skel_ + "/.xscreensaver").find(kOurs), std::string::npos);

  SetScreenSaverForAllUsers("", &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(ReadFileOrEmpty(home + "/.xscreensaver"), kOtherFile);
  EXPECT_FALSE(Exists(skel_ + "/.xscreensaver"));
}

TEST_F(SaverInstallRootTest, AHomeItsOwnerCannotWriteIsSkippedEvenForRoot) {
  const std::string home = AddProfile("readonly", kOtherFile);
  ASSERT_EQ(::chown(home.c_str(), uid_, gid_), 0);
  ASSERT_EQ(::chmod(home.c_str(), 0555), 0);
  int skipped = 0;
  SetScreenSaverForAllUsers(kOurs, &skipped);
  EXPECT_EQ(skipped, 1);
  EXPECT_EQ(ReadFileOrEmpty(home + "/.xscreensaver"), kOtherFile);
  EXPECT_TRUE(log_.Contains("Screen saver not changed for profile readonly"));
  ::chmod(home.c_str(), 0755);
}

TEST_F(SaverInstallRootTest, ASkelFileOfTheAdministratorIsKeptAndRestored) {
  const std::string skel_file = std::string(kOtherFile) + "lock:\tTrue\n";
  WriteFileOrDie(skel_ + "/.xscreensaver", skel_file);
  ApplyScreenSaverChoice(kSaverForEveryone);
  EXPECT_NE(ReadFileOrEmpty(skel_ + "/.xscreensaver"), skel_file);
  ApplyScreenSaverChoice(kSaverForNobody);
  EXPECT_EQ(ReadFileOrEmpty(skel_ + "/.xscreensaver"), skel_file);
}

}  // namespace
}  // namespace quol
