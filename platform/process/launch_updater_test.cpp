#include "platform/process/launch_updater.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/diagnostics.h"
#include "platform/fs/files.h"
#include "platform/trust/minisign.h"
#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFileOrDie;

void IgnoreReport(bool, const char*) {}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What LaunchUpdater gave back in the child that called it.
struct ChildOutcome {
  pid_t pid = 0;
  HRESULT hr = S_OK;
  int spawn_error = 0;
  std::string handed_over_path;
};

// Waits for a file the fake updater writes (a liveness bound, not a timing).
bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Calls LaunchUpdater in a forked child, as the client does, so the pidfd
// Updater receives is of a process other than the test's. The child ends
// once `record` exists (or the start failed), so the fake updater can still
// see whose pidfd it holds.
ChildOutcome LaunchInChild(const UpdaterLaunch& launch, bool free_fd3, const std::string& record) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {0, E_FAIL, 0, {}};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    int out = fds[1];
    if (free_fd3) {  // the pidfd then gets the number it is handed over as
      if (out == 3) out = ::fcntl(out, F_DUPFD_CLOEXEC, 4);
      ::close(3);
    }
    UpdaterLaunchResult result;
    const HRESULT hr = LaunchUpdater(launch, &result);
    const std::string line = std::to_string(hr) + "\n" + std::to_string(result.spawn_error) + "\n" +
                             result.handed_over_path + "\n";
    (void)!::write(out, line.data(), line.size());
    if (Succeeded(hr)) WaitForFile(record);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::vector<std::string> lines = Lines(text);
  if (lines.size() < 2) return {pid, E_UNEXPECTED, 0, {}};
  return {pid, static_cast<HRESULT>(std::stoll(lines[0])), std::stoi(lines[1]),
          lines.size() > 2 ? lines[2] : std::string()};
}

std::vector<std::string> QuolUpdateFiles(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind("QuolUpdate", 0) == 0) found.push_back(entry.path());
  }
  return found;
}

class LaunchUpdaterTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_EQ(::access("/usr/bin/minisign", X_OK), 0) << "the tests sign with minisign";
    if (!TestTrustKeyAllowed()) GTEST_SKIP() << "this build trusts no test key";
    SetDiagnosticSink(&IgnoreReport);
    ASSERT_TRUE(Minisign("-G -W -p " + (dir_ / "k.pub") + " -s " + (dir_ / "k.sec")));
    trust_.emplace(kTestTrustKeyVariable, dir_ / "k.pub");
    // Records its arguments, what its descriptor is and whose pidfd it is.
    WriteFileOrDie(dir_ / "updater",
                   "#!/bin/sh\n"
                   "out=" + (dir_ / "record") + "\n"
                   "{ echo \"$#\"; printf '%s\\n' \"$@\"\n"
                   "  fd=$((0x$1))\n"
                   "  readlink \"/proc/$$/fd/$fd\"\n"
                   "  sed -n 's/^Pid:[[:space:]]*//p' \"/proc/$$/fdinfo/$fd\"\n"
                   "} > \"$out.tmp\" 2>&1\n"
                   "mv \"$out.tmp\" \"$out\"\n");
    ::chmod((dir_ / "updater").c_str(), 0755);
    WriteFileOrDie(package_, std::string("!<arch>\n\0\xff deb body", 19));
  }
  void TearDown() override { SetDiagnosticSink(nullptr); }

  ::testing::AssertionResult Minisign(const std::string& args) {
    const std::string command = "/usr/bin/minisign " + args + " </dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command;
  }
  void SignPackage() { ASSERT_TRUE(Minisign("-S -s " + (dir_ / "k.sec") + " -m " + package_)); }
  UpdaterLaunch Launch() const { return {dir_ / "updater", package_}; }

  testing::IsolatedEnvironment env_;
  TempDir dir_;
  std::string package_ = dir_ / "packages/Pkg_2_0_0_0.deb";
  std::optional<ScopedEnv> trust_;
};

TEST_F(LaunchUpdaterTest, HandsAPrivateVerifiedCopyAndAPidfdOfTheCaller) {
  SignPackage();
  const std::string runtime_quol = env_.root() + "/run/quol";
  struct Case {
    const char* name;
    bool free_fd3;
    std::string expected_folder_prefix;  // where the copy must be
  };
  const Case cases[] = {
      {"runtime folder", false, runtime_quol + "/QuolUpdate"},
      {"pidfd already at its handed-over number", true, runtime_quol + "/QuolUpdate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink((dir_ / "record").c_str());
    const ChildOutcome outcome = LaunchInChild(Launch(), c.free_fd3, dir_ / "record");
    ASSERT_EQ(outcome.hr, S_OK);
    EXPECT_EQ(outcome.spawn_error, 0);
    ASSERT_TRUE(WaitForFile(dir_ / "record"));
    const std::vector<std::string> record = Lines(ReadFileOrEmpty(dir_ / "record"));
    ASSERT_EQ(record.size(), 5u) << ReadFileOrEmpty(dir_ / "record");
    EXPECT_EQ(record[0], "2");  // two arguments after the program's own path
    EXPECT_EQ(record[1].find_first_not_of("0123456789abcdef"), std::string::npos) << record[1];
    EXPECT_EQ(record[2], outcome.handed_over_path);
    EXPECT_EQ(record[3], "anon_inode:[pidfd]");
    EXPECT_EQ(record[4], std::to_string(outcome.pid));  // the caller's own process
    const std::string& copy = outcome.handed_over_path;
    EXPECT_EQ(copy.rfind(c.expected_folder_prefix, 0), 0u) << copy;
    EXPECT_EQ(copy.substr(copy.size() - 4), ".deb");
    EXPECT_EQ(ReadFileOrEmpty(copy), ReadFileOrEmpty(package_));
    EXPECT_EQ(ReadFileOrEmpty(copy + ".minisig"), ReadFileOrEmpty(package_ + ".minisig"));
    struct stat st {};
    ASSERT_EQ(::lstat(runtime_quol.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
}

TEST_F(LaunchUpdaterTest, NeverUsesAFolderOthersCouldEnter) {
  SignPackage();
  const std::string runtime_quol = env_.root() + "/run/quol";
  const std::string tmp = dir_ / "tmp";
  std::filesystem::create_directories(tmp);
  ScopedEnv tmpdir("TMPDIR", tmp);
  std::filesystem::create_directories(dir_ / "elsewhere");
  ::chmod((dir_ / "elsewhere").c_str(), 0700);
  struct Case {
    const char* name;
    void (*prepare)(const std::string& quol, const std::string& elsewhere);
  };
  const Case cases[] = {
      {"group and others may enter",
       [](const std::string& quol, const std::string&) {
         std::filesystem::create_directories(quol);
         ::chmod(quol.c_str(), 0755);
       }},
      {"a symlink to a private folder",
       [](const std::string& quol, const std::string& elsewhere) {
         std::filesystem::create_directories(DirName(quol));
         ::symlink(elsewhere.c_str(), quol.c_str());
       }},
      {"a file under the name",
       [](const std::string& quol, const std::string&) { WriteFileOrDie(quol, "x"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(runtime_quol);
    c.prepare(runtime_quol, dir_ / "elsewhere");
    ::unlink((dir_ / "record").c_str());
    const ChildOutcome outcome = LaunchInChild(Launch(), false, dir_ / "record");
    ASSERT_EQ(outcome.hr, S_OK);
    ASSERT_TRUE(WaitForFile(dir_ / "record"));
    EXPECT_EQ(outcome.handed_over_path.rfind(tmp + "/quol-update-", 0), 0u) << outcome.handed_over_path;
    struct stat st {};
    ASSERT_EQ(::stat(DirName(outcome.handed_over_path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(ReadFileOrEmpty(outcome.handed_over_path), ReadFileOrEmpty(package_));
    EXPECT_TRUE(QuolUpdateFiles(dir_ / "elsewhere").empty());
  }
}

TEST_F(LaunchUpdaterTest, HandsOverThePackageItselfWhenNoCopyCanBeMade) {
  SignPackage();
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv tmpdir("TMPDIR", dir_ / "missing");
  const ChildOutcome outcome = LaunchInChild(Launch(), false, dir_ / "record");
  ASSERT_EQ(outcome.hr, S_OK);
  EXPECT_EQ(outcome.handed_over_path, package_);
  ASSERT_TRUE(WaitForFile(dir_ / "record"));
  EXPECT_EQ(Lines(ReadFileOrEmpty(dir_ / "record")).at(2), package_);
}

TEST_F(LaunchUpdaterTest, FailuresStartNothingAndLeaveNoCopy) {
  struct Case {
    const char* name;
    void (*prepare)(LaunchUpdaterTest* test, UpdaterLaunch* launch);
    HRESULT hr;
    int spawn_error;
  };
  const Case cases[] = {
      {"unsigned", [](LaunchUpdaterTest*, UpdaterLaunch*) {}, E_NOT_FOUND, 0},
      {"tampered",
       [](LaunchUpdaterTest* t, UpdaterLaunch*) {
         t->SignPackage();
         WriteFileOrDie(t->package_, "something else");
       },
       E_ACCESSDENIED, 0},
      {"updater missing",
       [](LaunchUpdaterTest* t, UpdaterLaunch* launch) {
         t->SignPackage();
         launch->updater_path = t->dir_ / "no-such-updater";
       },
       HresultFromErrno(ENOENT), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink((package_ + ".minisig").c_str());
    WriteFileOrDie(package_, "deb body");
    UpdaterLaunch launch = Launch();
    c.prepare(this, &launch);
    const ChildOutcome outcome = LaunchInChild(launch, false, dir_ / "record");
    EXPECT_EQ(outcome.hr, c.hr);
    EXPECT_EQ(outcome.spawn_error, c.spawn_error);
    EXPECT_EQ(outcome.handed_over_path, "");
    EXPECT_EQ(QuolUpdateFiles(env_.root()), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir_ / "record"));
  }
}

}  // namespace
}  // namespace quol::platform
