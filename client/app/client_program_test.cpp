// The QuolDevuzez program itself, started as a person (or the desktop)
// would start it, on a private Xvfb against an in-process stand-in of the
// service: second starts, the settings mutex, the all-users mode, --help,
// and the parent-window check that must survive an id naming nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <thread>

#include <gdk/gdkx.h>

#include "client/app/client_app.h"
#include "client/app/open_request.h"
#include "client/frame/testing/xvfb_environment.h"
#include "platform/mutex/named_mutex.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

extern char** environ;

namespace quol::client {
namespace {

using namespace std::chrono_literals;

[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new frametest::ClientXvfbEnvironment);

// A child program; its exit status is collected with a liveness bound.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string binary = QUOL_CLIENT_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  // The exit code, or -1 when it did not end within `bound`.
  int Wait(std::chrono::seconds bound = 30s) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!status_ && std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    return status_ ? *status_ : -1;
  }
  void Terminate() { ::kill(pid_, SIGTERM); }
  std::string Output() const { return quol::testing::ReadFileOrEmpty(out_); }

 private:
  quol::testing::TempDir dir_;
  std::string out_ = dir_ / "stdout";
  pid_t pid_ = -1;
  std::optional<int> status_;
};

class ClientProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(frametest::ClientXvfbEnvironment::error().empty())
        << frametest::ClientXvfbEnvironment::error();
    ::mkdir(runtime_.c_str(), 0700);
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    ::mkdir(env_.data_dir().c_str(), 0700);
    quol::testing::WriteFileOrDie(
        env_.data_dir() + "/LocalConfig.xml",
        "<quol><default><homePageUrl>" + service_->web_base() +
            "/devuzez/</homePageUrl><updateServiceUrl>" + service_->api_base() +
            "/quoldevuzez/globalconfig_v2.xml</updateServiceUrl></default></quol>");
  }

  std::string Log() const {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name, "/QuolDevuzez-%02d-%02d.log", local.tm_mon + 1, local.tm_mday);
    return quol::testing::ReadFileOrEmpty(env_.data_dir() + name);
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  template <typename F>
  bool WaitFor(F done, std::chrono::seconds bound = 30s) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
      if (done()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool Requested(const std::string& path) {
    for (const std::string& line : service_->RequestLog()) {
      if (line.find(path) != std::string::npos) return true;
    }
    return false;
  }
  // A running client that has loaded its home page and listens for second
  // starts.
  std::unique_ptr<Child> StartClient() {
    auto client = std::make_unique<Child>(std::vector<std::string>{});
    EXPECT_TRUE(client->started());
    EXPECT_TRUE(WaitFor([&] {
      return Requested("/devuzez/") && ::access(OpenRequestSocketPath().c_str(), F_OK) == 0;
    })) << Log();
    return client;
  }

  quol::testing::IsolatedEnvironment env_;
  std::string runtime_ = env_.root() + "/run";
  quol::testing::ScopedEnv runtime_env_{"XDG_RUNTIME_DIR", runtime_};
  quol::testing::ScopedEnv mode_{"DevuzezClientMode", "local"};
  quol::testing::ScopedEnv online_{"QUOL_FORCE_OFFLINE", "0"};
  quol::testing::ScopedEnv quiet_{"QUOL_SOUND_PLAYER", ""};
  std::unique_ptr<service::DevService> service_;
};

TEST_F(ClientProgramTest, HelpPrintsTheUsage) {
  Child help({"--help"});
  ASSERT_TRUE(help.started());
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Output().find("Usage: QuolDevuzez"), std::string::npos) << help.Output();
}

TEST_F(ClientProgramTest, SecondStartsReachTheRunningClient) {
  auto first = StartClient();
  const std::string calendar = service_->web_base() + "/calendar";
  const struct {
    std::vector<std::string> args;
    const char* first_logs;     // what the running client says it did
    const char* requested;      // a page it then asked the service for (or null)
  } cases[] = {
      {{"/n", "calendar"}, "Second start: opening", "/calendar"},
      {{}, "Second start: to the front", nullptr},
      {{"/n", "/etc/passwd"}, "Second start: to the front", nullptr},  // "/..." ignored
  };
  for (const auto& c : cases) {
    const std::string before = Log();
    Child second(c.args);
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_TRUE(WaitFor([&] { return Log().size() > before.size() &&
                                     Log().substr(before.size()).find(c.first_logs) != std::string::npos; }))
        << (c.args.empty() ? "(none)" : c.args[0]) << "\n" << Log();
    if (c.requested != nullptr) {
      EXPECT_TRUE(WaitFor([&] { return Requested(c.requested); }));
      EXPECT_TRUE(LogHas("Second start: opening '" + calendar + "'")) << Log();
    }
  }
  first->Terminate();
  EXPECT_EQ(first->Wait(), 1);  // a normal close of the frame
}

// A log-out or kill while the sign-in sheet is open (it runs a loop of its
// own) still ends the client as a close of its frame does.
TEST_F(ClientProgramTest, EndsOnSigtermWhileTheSignInSheetIsOpen) {
  Child client({service_->web_base() + "/logon/logon.aspx"});  // no saved sign-in: the sheet opens
  ASSERT_TRUE(client.started());
  ASSERT_TRUE(WaitFor([&] { return LogHas("is login page (1)."); })) << Log();
  std::this_thread::sleep_for(500ms);  // the sheet is up by now (it runs from the main loop)
  client.Terminate();
  EXPECT_EQ(client.Wait(), 1) << Log();
}

TEST_F(ClientProgramTest, SettingsStartWhileSettingsRunIsRefusedAndRaisesTheClient) {
  auto client = StartClient();
  Child settings({"/c"});  // the sheet stays open
  ASSERT_TRUE(settings.started());
  ASSERT_TRUE(WaitFor([&] { return ::access(platform::NamedMutex::LockFilePath("Local\\QuolDevuzezConfig").c_str(), F_OK) == 0; }));
  std::this_thread::sleep_for(300ms);  // the first /c has taken its lock by now
  const std::string before = Log();
  Child again({"/c", "0"});
  ASSERT_TRUE(again.started());
  EXPECT_EQ(again.Wait(), 0);
  EXPECT_TRUE(WaitFor([&] {
    return Log().substr(before.size()).find("Second start: to the front") != std::string::npos;
  })) << Log();
  settings.Terminate();
  settings.Wait();
  client->Terminate();
  EXPECT_EQ(client->Wait(), 1);
}

TEST_F(ClientProgramTest, AllUsersModeEndsWithZeroWithoutTheClient) {
  quol::testing::ScopedEnv profiles("QUOL_PROFILES_DIR", env_.root() + "/profiles");
  quol::testing::ScopedEnv skel("QUOL_SKEL_DIR", env_.root() + "/skel");
  ::mkdir((env_.root() + "/profiles").c_str(), 0700);
  ::mkdir((env_.root() + "/skel").c_str(), 0700);
  Child all({"/EE"});
  ASSERT_TRUE(all.started());
  EXPECT_EQ(all.Wait(), 0);
  EXPECT_TRUE(LogHas("mode 4: /EE")) << Log();
  EXPECT_FALSE(LogHas("Starting...")) << Log();
  EXPECT_EQ(::access(OpenRequestSocketPath().c_str(), F_OK), -1);  // no client came up
}

TEST(ParentWindowTest, OnlyExistingWindowsAreParents) {
  ASSERT_TRUE(frametest::ClientXvfbEnvironment::error().empty());
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_realize(window);
  const unsigned long real = gdk_x11_window_get_xid(gtk_widget_get_window(window));
  const struct {
    unsigned long xid;
    bool exists;
  } cases[] = {{real, true}, {0, false}, {0x1fffffff, false}, {0xdeadbeef, false}, {real + 4096, false}};
  for (const auto& c : cases) EXPECT_EQ(ParentWindowExists(c.xid), c.exists) << c.xid;
  gtk_widget_destroy(window);
}

}  // namespace
}  // namespace quol::client
