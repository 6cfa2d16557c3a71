// quol-url and its registration, end to end on a private home: the install
// script puts the desktop entry into a temporary XDG data folder, xdg-open
// finds it for a quol:// link and quol-url starts the recording stand-in the
// machine hive (in QUOL_REGISTRY_DIR) names as the client. The real
// system's registrations are never looked at: XDG_DATA_DIRS and
// XDG_CONFIG_DIRS point into the temporary tree too.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"
#include "protocol/protocol_handler.h"

extern char** environ;

namespace quol::protocol {
namespace {

using quol::testing::ReadFileOrEmpty;
using quol::testing::ScopedEnv;
using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

const std::string kInstall = std::string(QUOL_PROTOCOL_SOURCE_DIR) + "/install-url-handler.sh";
const std::string kUninstall = std::string(QUOL_PROTOCOL_SOURCE_DIR) + "/uninstall-url-handler.sh";

struct Ran {
  int status = -1;  // exit status; -1 when it did not end within the bound
  std::string out;
};

// Runs a program (found on PATH) with the current environment, stdout and
// stderr into a file; kills it past a liveness bound.
Ran RunProgram(const TempDir& dir, const std::vector<std::string>& argv) {
  Ran ran;
  const std::string out = dir / "out.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (std::string& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return ran;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return ran;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.out = ReadFileOrEmpty(out);
  return ran;
}

bool OnPath(const char* tool) {
  return RunProgram(TempDir(), {"sh", "-c", std::string("command -v ") + tool}).status == 0;
}

// A private desktop: home, XDG folders and a stand-in client that records
// its arguments into DIR/runs (one line per run, arguments joined by '|').
class UrlHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"home", "data", "config", "sysdata", "sysconfig", "runtime"}) {
      std::filesystem::create_directories(dir_ / name);
    }
    ::chmod((dir_ / "runtime").c_str(), 0700);
    env_.push_back(std::make_unique<ScopedEnv>("HOME", dir_ / "home"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_ / "data"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_ / "config"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_DIRS", dir_ / "sysdata"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_DIRS", dir_ / "sysconfig"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", dir_ / "runtime"));
    // xdg-open's generic path: no desktop environment to hand the link to,
    // a display so it looks at x-scheme-handler entries at all, and no
    // browser to fall back on.
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID", "WAYLAND_DISPLAY"}) {
      env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
    env_.push_back(std::make_unique<ScopedEnv>("DISPLAY", ":87"));
    env_.push_back(std::make_unique<ScopedEnv>("BROWSER", dir_ / "no-browser"));

    client_ = dir_ / "client";
    WriteFileOrDie(client_, "#!/bin/sh\n"
                            "line=\n"
                            "for a in \"$@\"; do line=\"$line|$a\"; done\n"
                            "printf '%s\\n' \"$line\" >> '" + dir_.path() + "/runs'\n");
    ::chmod(client_.c_str(), 0755);
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryHive::kLocalMachine, kInstallKey), S_OK);
    ASSERT_EQ(key.WriteString(kClientValue, client_), S_OK);
  }
  void TearDown() override {
    (void)platform::DeleteRegistryKey(platform::RegistryHive::kLocalMachine, kInstallKey);
  }

  // Waits (liveness bound) for `count` recorded runs.
  std::string RunsWhenThere(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string runs;
    while (true) {
      runs = ReadFileOrEmpty(dir_ / "runs");
      if (static_cast<std::size_t>(std::count(runs.begin(), runs.end(), '\n')) >= count) return runs;
      if (std::chrono::steady_clock::now() > deadline) return runs;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  TempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::string client_;
};

TEST_F(UrlHandlerTest, XdgOpenOfASettingsLinkOpensTheClientsSettings) {
  if (!OnPath("xdg-open") || !OnPath("xdg-mime")) GTEST_SKIP() << "xdg-utils not installed";
  const Ran install = RunProgram(dir_, {kInstall, "--exec", QUOL_URL_BINARY});
  ASSERT_EQ(install.status, 0) << install.out;
  const std::string entry = ReadFileOrEmpty(dir_ / "data/applications/quol-url.desktop");
  EXPECT_NE(entry.find("MimeType=x-scheme-handler/quol;\n"), std::string::npos);
  EXPECT_NE(entry.find(std::string("Exec=") + QUOL_URL_BINARY + " %u\n"), std::string::npos);
  const Ran query = RunProgram(dir_, {"xdg-mime", "query", "default", "x-scheme-handler/quol"});
  EXPECT_EQ(query.out, "quol-url.desktop\n");

  const Ran open = RunProgram(dir_, {"xdg-open", "quol://collage/settings/"});
  EXPECT_EQ(open.status, 0) << open.out;
  EXPECT_EQ(RunsWhenThere(1), "|/c\n");

  const Ran uninstall = RunProgram(dir_, {kUninstall});
  ASSERT_EQ(uninstall.status, 0) << uninstall.out;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data/applications/quol-url.desktop"));
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "config/mimeapps.list").find("quol-url.desktop"), std::string::npos);
  EXPECT_EQ(RunProgram(dir_, {"xdg-mime", "query", "default", "x-scheme-handler/quol"}).out.find("quol-url"),
            std::string::npos);
  EXPECT_NE(RunProgram(dir_, {"xdg-open", "quol://collage/settings/"}).status, 0);
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "runs"), "|/c\n");
}

TEST_F(UrlHandlerTest, UninstallKeepsTheUsersOtherAssociations) {
  WriteFileOrDie(dir_ / "config/mimeapps.list",
                 "[Default Applications]\n"
                 "text/html=firefox-esr.desktop\n"
                 "x-scheme-handler/quol=quol-url.desktop;\n"
                 "x-scheme-handler/mailto=thunderbird.desktop\n");
  WriteFileOrDie(dir_ / "data/applications/quol-url.desktop", "[Desktop Entry]\nX-Quol-Url-Handler=true\n");
  ASSERT_EQ(RunProgram(dir_, {kUninstall}).status, 0);
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "config/mimeapps.list"),
            "[Default Applications]\n"
            "text/html=firefox-esr.desktop\n"
            "x-scheme-handler/mailto=thunderbird.desktop\n");
}

TEST_F(UrlHandlerTest, ScriptsLeaveForeignEntriesAlone) {
  const std::string foreign = "[Desktop Entry]\nName=someone else's\nExec=/usr/bin/other %u\n";
  WriteFileOrDie(dir_ / "data/applications/quol-url.desktop", foreign);
  EXPECT_EQ(RunProgram(dir_, {kInstall, "--exec", QUOL_URL_BINARY}).status, 1);
  EXPECT_EQ(RunProgram(dir_, {kUninstall}).status, 1);
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "data/applications/quol-url.desktop"), foreign);
  // An Exec path the entry would have to quote is refused, not mangled.
  EXPECT_EQ(RunProgram(dir_, {kInstall, "--exec", dir_ / "a b"}).status, 64);
  EXPECT_EQ(RunProgram(dir_, {kInstall, "--prefix", "relative/usr"}).status, 64);
}

TEST_F(UrlHandlerTest, PrefixInstallIsForPackagingOnly) {
  const std::string stage = dir_ / "stage";
  ScopedEnv destdir("DESTDIR", stage);
  ASSERT_EQ(RunProgram(dir_, {kInstall, "--prefix", "/usr"}).status, 0);
  const std::string entry = ReadFileOrEmpty(stage + "/usr/share/applications/quol-url.desktop");
  EXPECT_NE(entry.find("Exec=/usr/bin/quol-url %u\n"), std::string::npos);
  EXPECT_NE(entry.find("MimeType=x-scheme-handler/quol;\n"), std::string::npos);
  // The user's own choices are not touched by a package build.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "config/mimeapps.list"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data/applications"));
  ASSERT_EQ(RunProgram(dir_, {kUninstall, "--prefix", "/usr"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(stage + "/usr/share/applications/quol-url.desktop"));
}

TEST_F(UrlHandlerTest, QuolUrlProgram) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string runs;  // what the stand-in client recorded
  };
  const std::string hostile = "x;y $(id) `id` 'a' \"b\"";
  const Case cases[] = {
      {{"--help"}, 0, ""},
      {{}, 64, ""},
      {{"quol://collage/settings/", "extra"}, 64, ""},
      {{"quol://collage/show"}, 1, ""},
      {{"quol://explorer/go/" + std::string(100 * 1024, 'x')}, 1, ""},
      {{"quol://explorer/go/a\nb"}, 1, ""},
      {{"quol://explorer/isinstalled/"}, 0, ""},
      {{"QUOL://EXPLORER/GO/" + hostile}, 0, "|/n|" + hostile + "\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir_ / "runs");
    std::vector<std::string> argv = {QUOL_URL_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Ran ran = RunProgram(dir_, argv);
    const std::string label = c.args.empty() ? "(none)" : c.args[0].substr(0, 40);
    EXPECT_EQ(ran.status, c.status) << label << ": " << ran.out;
    EXPECT_EQ(c.runs.empty() ? ReadFileOrEmpty(dir_ / "runs") : RunsWhenThere(1), c.runs) << label;
  }
}

}  // namespace
}  // namespace quol::protocol
