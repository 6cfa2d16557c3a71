// The real xscreensaver daemon reads what we wrote: after "on" it runs our
// program, after "off" the saver that was there before. The daemon never
// runs a saver as root, so it runs as `nobody` with a home owned by it, and
// the settings are changed the way root changes another user's.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "foundation/saverinstall/saver_install.h"
#include "foundation/saverinstall/saver_install_x11_env.h"
#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using testing::ReadFileOrEmpty;
using testing::WriteFileOrDie;

constexpr char kDaemon[] = "/usr/bin/xscreensaver";
constexpr char kCommand[] = "/usr/bin/xscreensaver-command";
constexpr char kSetpriv[] = "/usr/bin/setpriv";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A stand-in saver: leaves a mark with its arguments, runs until SIGTERM.
std::string SaverScript(const std::string& marker) {
  return "#!/bin/sh\n"
         "echo \"$@\" >> '" + marker + "'\n"
         "trap 'exit 0' TERM\n"
         "while :; do sleep 0.2; done\n";
}

class XscreensaverDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act for the account 'nobody'";
    if (::access(kDaemon, X_OK) != 0 || ::access(kCommand, X_OK) != 0 || ::access(kSetpriv, X_OK) != 0)
      GTEST_SKIP() << "xscreensaver (or setpriv) is not installed: scripts/setup.sh installs it";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no account 'nobody'";
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    if (!xvfb_.ok()) GTEST_SKIP() << "Xvfb could not be started";

    // Everything the daemon and its savers touch must be open to nobody.
    ASSERT_EQ(::chmod(env_.root().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(env_.registry_dir().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(env_.registry_dir().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((env_.registry_dir() + "/Users").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((env_.registry_dir() + "/Users").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(profiles_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(home_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(home_.c_str(), uid_, gid_), 0);
    ASSERT_EQ(::mkdir(marks_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(marks_.c_str(), 0777), 0);
    WriteFileOrDie(ours_, SaverScript(marks_ + "/ours"));
    WriteFileOrDie(previous_, SaverScript(marks_ + "/previous"));
    ASSERT_EQ(::chmod(ours_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(previous_.c_str(), 0755), 0);
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryHive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), S_OK);
    ASSERT_EQ(key.WriteString("ScreenSaver", ours_), S_OK);

    original_ = "# chosen in the desktop's dialog\n"
                "timeout:\t0:10:00\n"
                "lock:\t\tFalse\n"
                "mode:\t\tone\n"
                "selected:\t1\n"
                "programs:\t\t\t\t\t\t\t\t      \\\n"
                "\t\t\t\tmaze --root\t\t\t\t    \\n\\\n"
                "\t\t\t\t" + previous_ + " --root\t\t\t\t    \\n\\\n"
                "\n";
    WriteFileOrDie(home_ + "/.xscreensaver", original_);
    ASSERT_EQ(::chown((home_ + "/.xscreensaver").c_str(), uid_, gid_), 0);
  }

  void TearDown() override {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
  }

  std::vector<std::string> AsNobody(std::vector<std::string> command) const {
    std::vector<std::string> args = {kSetpriv, "--reuid=nobody", "--regid=" + std::to_string(gid_),
                                     "--init-groups", "/usr/bin/env", "-i", "HOME=" + home_,
                                     "DISPLAY=" + xvfb_.display(), "PATH=/usr/bin:/bin"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  // Blanks the screen and waits (at most 20 s) for `marker` to appear.
  bool ActivateAndWaitFor(const std::string& marker) {
    if (testing::RunChild(AsNobody({kCommand, "-activate"})) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Exists(marker)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return testing::RunChild(AsNobody({kCommand, "-deactivate"})) == 0;
  }

  testing::PrivateXvfb xvfb_;
  testing::IsolatedEnvironment env_;
  std::string profiles_ = env_.root() + "/profiles";
  std::string home_ = profiles_ + "/saveruser";
  std::string marks_ = env_.root() + "/marks";
  std::string ours_ = env_.root() + "/quol-saver.sh";
  std::string previous_ = env_.root() + "/previous-saver.sh";
  std::string original_;
  testing::ScopedEnv profiles_env_{"QUOL_PROFILES_DIR", profiles_};
  testing::ScopedEnv skel_env_{"QUOL_SKEL_DIR", env_.root() + "/skel"};
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  pid_t daemon_ = -1;
};

TEST_F(XscreensaverDaemonTest, RunsOursAfterOnAndThePreviousSaverAfterOff) {
  int skipped = 0;
  SetScreenSaverForAllUsers(ours_, &skipped);
  ASSERT_EQ(skipped, 0);
  ASSERT_EQ(GetUserScreenSaver("saveruser"), ours_);

  daemon_ = testing::StartChild(AsNobody({kDaemon, "-no-splash"}));
  ASSERT_GT(daemon_, 0);
  // Up once it answers a command (bounded: 20 s).
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    up = testing::RunChild(AsNobody({kCommand, "-time"})) == 0;
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(up) << "the daemon did not answer";

  ASSERT_TRUE(ActivateAndWaitFor(marks_ + "/ours")) << "our program was not started";
  EXPECT_EQ(ReadFileOrEmpty(marks_ + "/ours"), "--root\n");
  EXPECT_FALSE(Exists(marks_ + "/previous"));

  SetScreenSaverForAllUsers("", &skipped);
  ASSERT_EQ(skipped, 0);
  EXPECT_EQ(ReadFileOrEmpty(home_ + "/.xscreensaver"), original_);
  EXPECT_TRUE(ActivateAndWaitFor(marks_ + "/previous")) << "the previous saver was not started again";
}

}  // namespace
}  // namespace quol
