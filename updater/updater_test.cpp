#include "updater/updater.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/unique_fd.h"
#include "platform/process/launch_updater.h"
#include "platform/testing/test_support.h"
#include "platform/trust/minisign.h"

extern char** environ;

namespace quol::updater {
namespace {

using platform::UniqueFd;
using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFileOrDie;

// The descriptor number the "1a4" cases hand over.
constexpr int kHandedFd = 0x1a4;

UniqueFd PidfdOf(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

TEST(ParseProcessNumberTest, ReadsHexadecimalOrGivesZero) {
  struct Case {
    const char* text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"1a4", 0x1a4},      {"1A4", 0x1a4},        {"0", 0},         {"7", 7},
      {"00000010", 0x10},  {"ffffffff", 0xffffffffu}, {"FfFfFfFf", 0xffffffffu},
      {"0x1a4", 0},        {"", 0},               {"g", 0},         {"1a4g", 0},
      {"-1", 0},           {" 1a4", 0},           {"1a4 ", 0},
      {"123456789", 0},    // nine digits: refused rather than wrapped
      {"000000001", 0},    // leading zeros count as digits too
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseProcessNumber(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(IsPidfdTest, OnlyAnOpenPidfdCounts) {
  UniqueFd pidfd = PidfdOf(::getpid());
  ASSERT_TRUE(pidfd);
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  UniqueFd file(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  UniqueFd closed(::dup(file.get()));
  const int closed_number = closed.get();
  closed.Reset();
  EXPECT_TRUE(IsPidfd(pidfd.get()));
  EXPECT_FALSE(IsPidfd(read_end.get()));
  EXPECT_FALSE(IsPidfd(file.get()));
  EXPECT_FALSE(IsPidfd(closed_number));
  EXPECT_FALSE(IsPidfd(-1));
  EXPECT_FALSE(IsPidfd(STDERR_FILENO));
}

// A stand-in for the client: a child process that lives until released.
class Client {
 public:
  Client() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      char c;
      while (::read(fds[0], &c, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    read_end_.Reset(fds[0]);
    release_.Reset(fds[1]);
  }
  ~Client() { Release(); }
  pid_t pid() const { return pid_; }
  int pipe_read_end() const { return read_end_.get(); }
  void Release() {
    release_.Reset();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd read_end_;
  UniqueFd release_;
};

class UpdaterProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Installers Updater leaves behind become ours when it ends, so the test
    // can tell for certain whether one was started.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    WriteFileOrDie(dir_ / "installer",
                   "#!/bin/sh\n"
                   "out=" + Record() + "\n"
                   "{ echo \"$#\"; printf '%s\\n' \"$@\"; echo --\n"
                   "  for f in /proc/$$/fd/*; do readlink \"$f\"; done\n"
                   "} > \"$out.tmp\"\n"
                   "mv \"$out.tmp\" \"$out\"\n");
    ::chmod((dir_ / "installer").c_str(), 0755);
  }
  void TearDown() override {
    ReapAdopted();  // what a failed case left must not count in the next
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  std::string Record() const { return dir_ / "record"; }

  // Starts Updater with `args` after its own path; `inherit` (when >= 0)
  // stays open in it under its number.
  pid_t Start(const std::vector<std::string>& args, int inherit = -1) {
    std::vector<std::string> strings = {QUOL_UPDATER_BINARY};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    ::posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), flags, 0600);
    ::posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), flags, 0600);
    if (inherit >= 0) ::posix_spawn_file_actions_adddup2(&actions, inherit, inherit);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // Updater's exit code; -1 when it did not end within the liveness bound.
  static int ExitCode(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (done < 0) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }

  // Whether Updater sleeps in its wait (within the liveness bound).
  static bool IsWaiting(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
      const std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
      const std::size_t close = stat.rfind(')');
      std::string wchan = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/wchan");
      // Kernels that hide wait channels show "0"; the state must do then.
      const bool in_poll = wchan.empty() || wchan == "0" || wchan.find("poll") != std::string::npos;
      if (close != std::string::npos && stat.compare(close, 4, ") S ") == 0 && in_poll) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The process started as `program` with `last` as its last argument (0:
  // none within the liveness bound).
  static pid_t FindProcess(const std::string& program, const std::string& last) {
    for (int i = 0; i < 1000; ++i) {
      for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string cmdline = ReadFileOrEmpty(entry.path().string() + "/cmdline");
        if (cmdline.rfind(program + '\0', 0) == 0 &&
            cmdline.size() > last.size() + 1 &&
            cmdline.compare(cmdline.size() - last.size() - 2, last.size() + 2,
                            '\0' + last + '\0') == 0) {
          return std::stoi(name);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

  // Waits for the installers Updater left (adopted by this process) and
  // returns how many there were. Every other child must be gone already.
  static int ReapAdopted() {
    int count = 0;
    while (::waitpid(-1, nullptr, 0) > 0) ++count;
    return count;
  }

  // The installer's arguments, and what it found open.
  std::vector<std::string> InstallerArgs() const { return Part(0); }
  std::vector<std::string> InstallerFds() const { return Part(1); }
  std::vector<std::string> Part(int index) const {
    std::vector<std::string> parts[2];
    std::istringstream in(ReadFileOrEmpty(Record()));
    std::string line;
    std::getline(in, line);  // the count, checked through the arguments
    int part = 0;
    while (std::getline(in, line)) {
      if (line == "--" && part == 0) {
        part = 1;
      } else {
        parts[part].push_back(line);
      }
    }
    return parts[index];
  }

  // No pidfd and no pipe of ours reached the installer.
  void ExpectNothingInherited() const {
    const std::vector<std::string> fds = InstallerFds();
    EXPECT_FALSE(fds.empty());
    for (const std::string& link : fds) {
      EXPECT_NE(link, "anon_inode:[pidfd]");
      EXPECT_NE(link.rfind("pipe:", 0), 0u) << link;
    }
  }
  void ExpectSilent() const {
    EXPECT_EQ(ReadFileOrEmpty(dir_ / "stdout"), "");
    EXPECT_EQ(ReadFileOrEmpty(dir_ / "stderr"), "");
  }

  TempDir dir_;
  ScopedEnv display_{"DISPLAY", std::nullopt};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
  ScopedEnv installer_{kInstallerVariable, dir_ / "installer"};
  std::string package_ = dir_ / "Quol Update 2.0.deb";
};

TEST_F(UpdaterProgramTest, WaitsUntilTheClientHasEndedBeforeStartingTheInstaller) {
  for (const char* number : {"1a4", "1A4", "000001a4"}) {
    SCOPED_TRACE(number);
    ::unlink(Record().c_str());
    Client client;
    ASSERT_GT(client.pid(), 0);
    UniqueFd pidfd = PidfdOf(client.pid());
    ASSERT_TRUE(pidfd);
    UniqueFd handed(::dup3(pidfd.get(), kHandedFd, O_CLOEXEC));
    ASSERT_EQ(handed.get(), kHandedFd);
    pidfd.Reset();
    const pid_t updater = Start({number, package_}, kHandedFd);
    ASSERT_GT(updater, 0);
    handed.Reset();

    ASSERT_TRUE(IsWaiting(updater)) << "Updater never settled into its wait";
    EXPECT_EQ(::waitpid(updater, nullptr, WNOHANG), 0) << "Updater ended while the client lived";
    EXPECT_NE(::access(Record().c_str(), F_OK), 0) << "the installer started while the client lived";

    client.Release();
    EXPECT_EQ(ExitCode(updater), 0);
    EXPECT_EQ(ReapAdopted(), 1);
    EXPECT_EQ(InstallerArgs(), std::vector<std::string>{package_});
    ExpectNothingInherited();
    ExpectSilent();
  }
}

TEST_F(UpdaterProgramTest, StartsAtOnceWhenTheNumberIsNoPidfd) {
  enum class Fd { kPidfd, kPipe, kNone };
  struct Case {
    const char* name;
    std::string number;
    Fd fd;  // what sits under kHandedFd in Updater
  };
  const Case cases[] = {
      {"0x prefix", "0x1a4", Fd::kPidfd},
      {"nine digits", "0000001a4", Fd::kPidfd},
      {"an open pipe", "1a4", Fd::kPipe},
      {"a closed descriptor", "1a4", Fd::kNone},
      {"zero", "0", Fd::kPidfd},
      {"empty", "", Fd::kPidfd},
      {"beyond any descriptor", "ffffffff", Fd::kPidfd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(Record().c_str());
    Client client;
    ASSERT_GT(client.pid(), 0);
    UniqueFd handed;
    if (c.fd == Fd::kPidfd) {
      UniqueFd pidfd = PidfdOf(client.pid());
      handed.Reset(::dup3(pidfd.get(), kHandedFd, O_CLOEXEC));
    } else if (c.fd == Fd::kPipe) {
      // Polling this would never end: the client holds no writer, ours stays open.
      handed.Reset(::dup3(client.pipe_read_end(), kHandedFd, O_CLOEXEC));
    }
    ASSERT_EQ(handed.valid(), c.fd != Fd::kNone);
    const pid_t updater = Start({c.number, package_}, handed.valid() ? kHandedFd : -1);
    ASSERT_GT(updater, 0);
    handed.Reset();
    // Ends while the client still lives.
    EXPECT_EQ(ExitCode(updater), 0);
    client.Release();
    EXPECT_EQ(ReapAdopted(), 1);
    EXPECT_EQ(InstallerArgs(), std::vector<std::string>{package_});
    ExpectNothingInherited();
    ExpectSilent();
  }
}

TEST_F(UpdaterProgramTest, HandsThePathOverAsOneArgument) {
  ASSERT_EQ(::mkdir((dir_ / "bin").c_str(), 0755), 0);
  ::symlink((dir_ / "installer").c_str(), (dir_ / "bin/xdg-open").c_str());
  const std::string long_path = "/" + std::string(kMaxPackagePathBytes - 2, 'p');
  struct Case {
    const char* name;
    std::string path;
    std::optional<std::string> installer;  // QUOL_INSTALLER
  };
  const Case cases[] = {
      {"blanks", dir_ / "my packages/Quol Update 2.0.deb", dir_ / "installer"},
      {"quotes and shell characters", "/tmp/\"a\" $(b) 'c';d.deb", dir_ / "installer"},
      {"longest path", long_path, dir_ / "installer"},
      {"default installer from PATH", package_, std::nullopt},
      {"empty variable means the default", package_, ""},
  };
  // Our xdg-open comes first; the installer script needs the usual tools.
  ScopedEnv path("PATH", dir_ / "bin" + ":/usr/bin:/bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(Record().c_str());
    ScopedEnv installer(kInstallerVariable, c.installer);
    const pid_t updater = Start({"0", c.path});
    ASSERT_GT(updater, 0);
    EXPECT_EQ(ExitCode(updater), 0);
    EXPECT_EQ(ReapAdopted(), 1);
    EXPECT_EQ(InstallerArgs(), std::vector<std::string>{c.path});
    ExpectSilent();
  }
}

TEST_F(UpdaterProgramTest, WrongArgumentsStartNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--help"},
      {"0"},
      {"0", package_, "extra"},
      {"0", "/" + std::string(kMaxPackagePathBytes - 1, 'p')},  // 260 bytes
      {"0", "/" + std::string(4096, 'p')},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    const pid_t updater = Start(args);
    ASSERT_GT(updater, 0);
    EXPECT_EQ(ExitCode(updater), 0);
    EXPECT_EQ(ReapAdopted(), 0);
    EXPECT_NE(::access(Record().c_str(), F_OK), 0);
    ExpectSilent();
  }
}

TEST_F(UpdaterProgramTest, AnInstallerThatCannotStartIsReportedWithoutADisplay) {
  WriteFileOrDie(dir_ / "not-executable", "#!/bin/sh\n");
  struct Case {
    std::string installer;
    int error;
  };
  const Case cases[] = {
      {dir_ / "missing", ENOENT},
      {dir_ / "not-executable", EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.installer);
    ScopedEnv installer(kInstallerVariable, c.installer);
    const pid_t updater = Start({"0", package_});
    ASSERT_GT(updater, 0);
    EXPECT_EQ(ExitCode(updater), 0);
    EXPECT_EQ(ReapAdopted(), 0);
    EXPECT_EQ(ReadFileOrEmpty(dir_ / "stderr"),
              "Sorry, could not start MSIEXEC to install your upgrade\r\nError code: " +
                  std::to_string(c.error) + "\n");
    EXPECT_EQ(ReadFileOrEmpty(dir_ / "stdout"), "");
  }
}


// The whole hand-over as the desktop client does it: a client process gives
// a signed package to the real Updater and ends; the installer gets the
// private copy only after the client is gone.
TEST_F(UpdaterProgramTest, AClientsPackageIsInstalledOnceTheClientHasEnded) {
  if (!platform::TestTrustKeyAllowed()) GTEST_SKIP() << "this build trusts no test key";
  ASSERT_EQ(::access("/usr/bin/minisign", X_OK), 0) << "the test signs with minisign";
  testing::IsolatedEnvironment env;
  const std::string sign = "/usr/bin/minisign -G -W -p " + (dir_ / "k.pub") + " -s " +
                           (dir_ / "k.sec") + " </dev/null >/dev/null 2>&1 && /usr/bin/minisign -S -s " +
                           (dir_ / "k.sec") + " -m '" + package_ + "' </dev/null >/dev/null 2>&1";
  WriteFileOrDie(package_, "upgrade package 2.0");
  ASSERT_EQ(std::system(sign.c_str()), 0) << sign;
  ScopedEnv trust(platform::kTestTrustKeyVariable, dir_ / "k.pub");

  int handed[2], release[2];
  ASSERT_EQ(::pipe2(handed, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
  const pid_t client = ::fork();
  if (client == 0) {
    // The client: hands the package over, then lives until released.
    ::close(handed[0]);
    ::close(release[1]);
    // Whatever the test's own output is, only the pipes of the hand-over
    // may be looked for at the installer.
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    platform::UpdaterLaunchResult result;
    const HRESULT hr = platform::LaunchUpdater({QUOL_UPDATER_BINARY, package_}, &result);
    const std::string line = (Succeeded(hr) ? result.handed_over_path : std::string("failed")) + "\n";
    if (::write(handed[1], line.data(), line.size()) < 0) ::_exit(1);
    char c;
    while (::read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  ::close(handed[1]);
  ::close(release[0]);
  // Closed on every way out, so the client ends even when a check fails.
  UniqueFd release_client(release[1]);
  std::string copy;
  char c;
  while (::read(handed[0], &c, 1) == 1 && c != '\n') copy.push_back(c);
  ::close(handed[0]);
  ASSERT_NE(copy, "failed");
  EXPECT_NE(copy.find("/QuolUpdate"), std::string::npos) << copy;

  // Updater sleeps in its wait while the client runs, and installs nothing.
  const pid_t updater = FindProcess(QUOL_UPDATER_BINARY, copy);
  ASSERT_GT(updater, 0);
  EXPECT_TRUE(IsWaiting(updater));
  EXPECT_NE(::access(Record().c_str(), F_OK), 0) << "installed while the client still ran";
  release_client.Reset();
  ASSERT_EQ(::waitpid(client, nullptr, 0), client);
  ReapAdopted();  // Updater and the installer it started
  EXPECT_EQ(InstallerArgs(), std::vector<std::string>{copy});
  EXPECT_EQ(ReadFileOrEmpty(copy), "upgrade package 2.0");
  ExpectNothingInherited();
}

}  // namespace
}  // namespace quol::updater
