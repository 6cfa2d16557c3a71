// The tools menu, the account switch and the update notices, with a fake
// frame, the stand-in service as the update service and a private Xvfb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "client/tools/client_tools.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "foundation/update/update_checker.h"
#include "platform/clock/clock.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/identity/identity.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/gtk_xvfb.h"
#include "platform/testing/test_support.h"
#include "platform/trust/minisign.h"
#include "service/devservice.h"

namespace quol::client {
namespace {

using namespace std::chrono_literals;
using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::WriteFileOrDie;

using quol::testing::GtkXvfbEnvironment;

[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new GtkXvfbEnvironment);

void Pump() { quol::testing::PumpGtk(); }

// Runs the main loop until `done` (a liveness bound, not a timing check).
template <typename F>
bool PumpUntil(F done) {
  return quol::testing::PumpGtkUntil(done, std::chrono::seconds(30));
}

struct Bar {
  int kind;
  bool icon;
  std::string text;
};

// The frame as the tools see it: records what they ask of it; posted
// messages go through the main loop to the notifier, as in the client.
class FakeFrame : public IFrameHost {
 public:
  FakeFrame() {
    window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    g_object_ref_sink(window_);
    g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                       static_cast<FakeFrame*>(self)->destroyed = true;
                     }),
                     this);
  }
  ~FakeFrame() override {
    if (!destroyed) gtk_widget_destroy(GTK_WIDGET(window_));
    g_object_unref(window_);
  }

  GtkWindow* window() override { return window_; }
  void Navigate(const std::string& url) override { navigations.push_back(url); }
  void ShowErrorPage(const std::string& kind, int code) override {
    error_pages.push_back(kind + ":" + std::to_string(code));
  }
  void ShowMessageBar(int kind, bool with_icon, const std::string& text,
                      const std::string&) override {
    bars.push_back({kind, with_icon, text});
    bar_kind = kind;
  }
  void HideMessageBar() override {
    ++hides;
    bar_kind = -1;
  }
  int MessageBarKindShown() override { return bar_kind; }
  void ShowFrameOnce() override {}
  bool FrameVisible() override { return true; }
  void ShowProgress() override {}
  void HideProgress() override {}
  void PostFrameMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
    struct Posted {
      FakeFrame* frame;
      unsigned message;
      std::uintptr_t wparam;
      std::intptr_t lparam;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        +[](gpointer data) -> gboolean {
          auto* posted = static_cast<Posted*>(data);
          if (posted->message == kUpdateResultMessage && posted->frame->notifier != nullptr) {
            posted->frame->results.push_back(static_cast<int>(posted->wparam));
            posted->frame->notifier->OnUpdateResult(static_cast<std::uint16_t>(posted->wparam),
                                                    static_cast<std::uint16_t>(posted->lparam));
          }
          return G_SOURCE_REMOVE;
        },
        new Posted{this, message, wparam, lparam},
        +[](gpointer data) { delete static_cast<Posted*>(data); });
  }
  void ScheduleUpdateCheck(bool force) override { notifier->ScheduleUpdateCheck(force); }
  void StartUpgrade() override { notifier->StartUpgrade(); }
  void OpenInDefaultBrowser(const std::string& url) override { opened.push_back(url); }
  std::uint32_t launch_mode() override { return from_saver ? kLaunchScreensaver : kLaunchNormal; }
  void set_launch_mode(std::uint32_t) override {}
  std::string start_url() override { return "http://127.0.0.1/devuzez/"; }
  bool started_from_screensaver() override { return from_saver; }

  CUpdateNotifier* notifier = nullptr;
  bool from_saver = false;
  bool destroyed = false;
  int bar_kind = -1;
  int hides = 0;
  std::vector<Bar> bars;
  std::vector<int> results;
  std::vector<std::string> navigations, error_pages, opened;

 private:
  GtkWindow* window_;
};

// Records every message box instead of showing it; answers `answer`.
class BoxRecorder {
 public:
  BoxRecorder() {
    SetMessageBoxForTesting([this](GtkWindow*, const MessageBoxRequest& request) {
      boxes.push_back(request);
      return answer;
    });
  }
  ~BoxRecorder() { SetMessageBoxForTesting(nullptr); }
  std::vector<MessageBoxRequest> boxes;
  bool answer = true;
};

constexpr char kRunning[] = "1.0.5.0";
constexpr char kPackage[] = "Pkg_2_0_0_0.deb";

class UpdateNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GtkXvfbEnvironment::error().empty()) << GtkXvfbEnvironment::error();
    // A clock that stands still, so the minutes in the log are exact.
    platform::SetClockForTesting(&clock_);
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    options.latest_version = kRunning;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    service_->AddPackage(kPackage, "the new client", true);
    WriteFileOrDie(env_.root() + "/service.pub", service_->public_key_text());
    trust_key_.emplace(platform::kTestTrustKeyVariable, env_.root() + "/service.pub");
    const std::string config = service_->api_base() + "/QuolDevuzez/GlobalConfig_v2.xml";
    WriteFileOrDie(env_.data_dir() + "/LocalConfig.xml",
                   "<quol><default><updateServiceUrl>" + config +
                       "</updateServiceUrl><fallBackUpdateServiceUrl>" + config +
                       "</fallBackUpdateServiceUrl></default></quol>");
    ASSERT_EQ(settings_.Load(), S_OK);
    config_ = std::make_unique<CGlobalConfig>(module_, settings_);
    ASSERT_EQ(config_->Load(), S_OK);
    checker_ = std::make_unique<UpdateChecker>(*config_, settings_, kRunning);

    // A stand-in of Updater in the installation folder: keeps what it was
    // handed (the real one waits for this test program to end first).
    installation_ = env_.root() + "/install";
    ASSERT_EQ(platform::CreateDirectories(installation_), S_OK);
    WriteFileOrDie(installation_ + "/Updater",
                   "#!/bin/sh\ncp \"$2\" '" + installation_ + "/handed.part' && mv '" +
                       installation_ + "/handed.part' '" + installation_ + "/handed'\n");
    ::chmod((installation_ + "/Updater").c_str(), 0755);

    notifier_ = CUpdateNotifier::Create(frame_, *checker_, installation_);
    frame_.notifier = notifier_.get();
  }
  void TearDown() override {
    notifier_.reset();
    if (checker_) checker_->Stop();
    Pump();
    checker_.reset();
    platform::SetClockForTesting(nullptr);
  }

  // A check was made a moment ago, so binding the checker arms the periodic
  // timer a full period away instead of checking at once.
  void CheckedJustNow() {
    const std::uint64_t now = platform::ToFileTime(platform::Now());
    settings_.SetLastUpdateTime(static_cast<std::int32_t>(now & 0xFFFFFFFFu),
                                static_cast<std::int32_t>(now >> 32));
  }

  // Binds the checker as the frame does and handles its first message.
  void Attach() {
    notifier_->Attach();
    ASSERT_TRUE(PumpUntil([&] { return frame_.results.size() == 1; }));
  }

  // Offers version 2.0.0.0 from now on.
  void OfferUpdate() { ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.0", "0.0.0.0", "")); }

  testing::IsolatedEnvironment env_;
  ScopedEnv mode_{"DevuzezClientMode", std::string("local")};
  std::optional<ScopedEnv> trust_key_;
  testing::ScopedHttpDefaults fast_{[](platform::HttpDefaults& d) {
    d.total_timeout_ms = 5000;
    d.download_stall_ms = 5000;
  }};
  testing::LogCapture log_;
  platform::FakeClock clock_{platform::Now()};
  BoxRecorder boxes_;
  std::unique_ptr<service::DevService> service_;
  CCobrandableModule module_;
  CSuiteSettings settings_;
  std::unique_ptr<CGlobalConfig> config_;
  std::unique_ptr<UpdateChecker> checker_;
  std::string installation_;
  FakeFrame frame_;
  std::unique_ptr<CUpdateNotifier> notifier_;
};

TEST_F(UpdateNotifierTest, CheckForUpdatesWithNoUpdateShowsTheBarThenTheUpToDateBox) {
  CheckedJustNow();
  Attach();
  EXPECT_TRUE(notifier_->update_timer_armed());
  EXPECT_EQ(notifier_->update_checks_started(), 0);
  EXPECT_EQ(frame_.results, std::vector<int>{0});
  frame_.results.clear();
  boxes_.boxes.clear();

  ASSERT_TRUE(RunToolsCommand(kCommandCheckForUpdates, frame_, *notifier_, ""));
  ASSERT_EQ(frame_.bars.size(), 1u);
  EXPECT_EQ(frame_.bars[0].kind, kBarInfo);
  EXPECT_TRUE(frame_.bars[0].icon);
  EXPECT_EQ(frame_.bars[0].text, "Checking for updates now, this can take a few minutes...");
  EXPECT_EQ(frame_.bar_kind, kBarInfo);

  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  EXPECT_EQ(frame_.results, std::vector<int>{0});
  EXPECT_EQ(frame_.bar_kind, -1);  // the bar went first
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text,
            "Quol is already up to date, but will continue periodically checking for new updates.");
  EXPECT_EQ(boxes_.boxes[0].title, "Quol");
  EXPECT_FALSE(boxes_.boxes[0].yes_no);
  // The next periodic check is armed for a full period.
  EXPECT_TRUE(notifier_->update_timer_armed());
  EXPECT_FALSE(notifier_->user_initiated());
  EXPECT_EQ(notifier_->update_checks_started(), 1);
  EXPECT_TRUE(log_.Contains("Checking for updates in 1440 minutes (force:1)"));
  EXPECT_TRUE(log_.Contains("Checking for updates in 1440 minutes (force:0)"));

  // A periodic result reports nothing to the user.
  notifier_->OnUpdateResult(2, 0);
  EXPECT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_TRUE(notifier_->update_timer_armed());
}

TEST_F(UpdateNotifierTest, FailedCheckTheUserAskedForIsReported) {
  notifier_->set_user_initiated(true);
  notifier_->OnUpdateResult(2, 0);
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text, "Sorry, the check for updates failed, please try later");
  EXPECT_EQ(frame_.hides, 1);
}

TEST_F(UpdateNotifierTest, TwoQuickChecksLeaveOneTimer) {
  CheckedJustNow();
  Attach();
  frame_.results.clear();
  notifier_->ScheduleUpdateCheck(true);
  notifier_->ScheduleUpdateCheck(true);
  EXPECT_TRUE(notifier_->update_timer_armed());
  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  EXPECT_EQ(notifier_->update_checks_started(), 1);
  EXPECT_EQ(frame_.results.size(), 1u);
}

TEST_F(UpdateNotifierTest, PeriodicFindShowsTheUpgradeBarAndClickingItHandsOverAndCloses) {
  OfferUpdate();
  Attach();
  // Never checked before: the start-up result arms a check due now.
  EXPECT_TRUE(log_.Contains("Checking for updates in 0 minutes (force:0)"));
  ASSERT_TRUE(PumpUntil([&] { return frame_.results.size() == 2; }));
  EXPECT_EQ(frame_.results, (std::vector<int>{0, 1}));
  EXPECT_TRUE(boxes_.boxes.empty());
  ASSERT_FALSE(frame_.bars.empty());
  EXPECT_EQ(frame_.bars.back().kind, kBarUpgrade);
  EXPECT_TRUE(frame_.bars.back().icon);
  EXPECT_EQ(frame_.bars.back().text,
            "A new version of Quol is available, please click this message to upgrade.");
  // No further check in this run.
  EXPECT_FALSE(notifier_->update_timer_armed());

  // The bar's text was clicked.
  frame_.StartUpgrade();
  EXPECT_TRUE(frame_.destroyed);
  ASSERT_TRUE(PumpUntil([&] { return platform::FileExists(installation_ + "/handed"); }));
  EXPECT_EQ(ReadFileOrEmpty(installation_ + "/handed"), "the new client");
}

TEST_F(UpdateNotifierTest, UserCheckFindingAnUpdateAsksAndNoKeepsTheClient) {
  OfferUpdate();
  CheckedJustNow();
  Attach();
  frame_.results.clear();
  boxes_.answer = false;
  RunToolsCommand(kCommandCheckForUpdates, frame_, *notifier_, "");
  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text,
            "An update to Quol is available.\r\nWould you like to install it now?");
  EXPECT_TRUE(boxes_.boxes[0].yes_no);
  EXPECT_FALSE(frame_.destroyed);
  EXPECT_FALSE(platform::FileExists(installation_ + "/handed"));
  EXPECT_EQ(frame_.bar_kind, -1);
}

TEST_F(UpdateNotifierTest, UpgradeIsRefusedWhenStartedFromTheScreenSaver) {
  OfferUpdate();
  Attach();
  frame_.results.clear();
  notifier_->ScheduleUpdateCheck(false);
  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  ASSERT_TRUE(checker_->package_ready());

  frame_.from_saver = true;
  notifier_->StartUpgrade();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text,
            "Sorry, the upgrade cannot be started because Quol was started from the screen "
            "saver.\r\nPlease exit and restart Quol and we'll take it from there");
  EXPECT_TRUE(frame_.destroyed);
  Pump();
  EXPECT_FALSE(platform::FileExists(installation_ + "/handed"));
}

TEST_F(UpdateNotifierTest, UpdaterThatCannotStartKeepsTheClientAndSaysWhy) {
  OfferUpdate();
  Attach();
  frame_.results.clear();
  notifier_->ScheduleUpdateCheck(false);
  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  ASSERT_EQ(::unlink((installation_ + "/Updater").c_str()), 0);

  notifier_->StartUpgrade();
  EXPECT_FALSE(frame_.destroyed);
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text.rfind("Error ", 0), 0u) << boxes_.boxes[0].text;
  EXPECT_TRUE(boxes_.boxes[0].error);
}

TEST_F(UpdateNotifierTest, ReadyPackageBelowTheMinimumAtStartShowsTheUpgradePage) {
  ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.0", "2.0.0.0", ""));
  Attach();
  frame_.results.clear();
  notifier_->ScheduleUpdateCheck(false);
  ASSERT_TRUE(PumpUntil([&] { return !frame_.results.empty(); }));
  frame_.error_pages.clear();
  ASSERT_TRUE(checker_->IsUpgradeRequired());

  notifier_->OnUpdateResult(1, 1);
  EXPECT_EQ(frame_.error_pages, std::vector<std::string>{"upgrade:0"});
  EXPECT_TRUE(boxes_.boxes.empty());
  EXPECT_FALSE(frame_.destroyed);
}

class ToolsMenuTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkXvfbEnvironment::error().empty()) << GtkXvfbEnvironment::error(); }

  // The labels of a menu's entries in order ("-" for a separator).
  static std::vector<std::string> Labels(GtkWidget* menu) {
    std::vector<std::string> labels;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* it = children; it != nullptr; it = it->next) {
      GtkWidget* item = GTK_WIDGET(it->data);
      if (GTK_IS_SEPARATOR_MENU_ITEM(item)) {
        labels.emplace_back("-");
      } else {
        labels.emplace_back(gtk_menu_item_get_label(GTK_MENU_ITEM(item)));
      }
    }
    g_list_free(children);
    return labels;
  }

  static GtkWidget* WindowMenu() {
    GtkWidget* menu = gtk_menu_new();
    for (const char* label : {"Restore", "Move", "Close"}) {
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_menu_item_new_with_label(label));
    }
    g_object_ref_sink(menu);
    return menu;
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  BoxRecorder boxes_;
  FakeFrame frame_;
};

TEST_F(ToolsMenuTest, EntriesGoAboveCloseWithAdvancedFirstWhenAsked) {
  CSuiteSettings settings;
  CCobrandableModule module;
  CGlobalConfig config(module, settings);
  UpdateChecker checker(config, settings, kRunning);
  auto notifier = CUpdateNotifier::Create(frame_, checker, "");

  struct Case {
    bool advanced;
    bool test_account_file;
    std::vector<std::string> labels;
    std::string switch_label;
  };
  const std::vector<Case> cases = {
      {false, false,
       {"Restore", "Move", "Submit feedback...", "Check for updates...", "_About Quol Vevuvov", "-",
        "Close"},
       ""},
      {true, false,
       {"Restore", "Move", "Advanced", "Submit feedback...", "Check for updates...",
        "_About Quol Vevuvov", "-", "Close"},
       "Use a Dogfood account"},
      {true, true,
       {"Restore", "Move", "Advanced", "Submit feedback...", "Check for updates...",
        "_About Quol Vevuvov", "-", "Close"},
       "Use a Production account"},
  };
  for (const Case& c : cases) {
    if (c.test_account_file) {
      WriteFileOrDie(TestAccountFilePath(), TestAccountFileContent());
    } else {
      ::unlink(TestAccountFilePath().c_str());
    }
    GtkWidget* menu = WindowMenu();
    AddToolsMenuItems(GTK_MENU_SHELL(menu), frame_, *notifier, c.advanced);
    EXPECT_EQ(Labels(menu), c.labels);
    if (c.advanced) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
      GtkWidget* advanced = GTK_WIDGET(g_list_nth_data(children, 2));
      g_list_free(children);
      GtkWidget* submenu = gtk_menu_item_get_submenu(GTK_MENU_ITEM(advanced));
      ASSERT_NE(submenu, nullptr);
      EXPECT_EQ(Labels(submenu),
                (std::vector<std::string>{c.switch_label, "Show diagnostics page"}));
    }
    gtk_widget_destroy(menu);
    g_object_unref(menu);
  }

  // The menu's entries run their commands: feedback and diagnostics.
  GtkWidget* menu = WindowMenu();
  AddToolsMenuItems(GTK_MENU_SHELL(menu), frame_, *notifier, true);
  GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
  gtk_menu_item_activate(GTK_MENU_ITEM(g_list_nth_data(children, 3)));  // Submit feedback...
  GtkWidget* submenu = gtk_menu_item_get_submenu(GTK_MENU_ITEM(g_list_nth_data(children, 2)));
  g_list_free(children);
  GList* advanced = gtk_container_get_children(GTK_CONTAINER(submenu));
  gtk_menu_item_activate(GTK_MENU_ITEM(g_list_nth_data(advanced, 1)));  // diagnostics
  g_list_free(advanced);
  ASSERT_EQ(frame_.opened.size(), 1u);
  EXPECT_EQ(frame_.opened[0], FeedbackMailUrl(platform::ProgramFileVersionText()));
  EXPECT_EQ(frame_.navigations,
            std::vector<std::string>{"res://" + platform::ExecutableBaseName() + "/diagnostics.htm"});
  gtk_widget_destroy(menu);
  g_object_unref(menu);
  EXPECT_FALSE(RunToolsCommand(0x60, frame_, *notifier, ""));
}

TEST_F(ToolsMenuTest, FeedbackMailHasTheSubjectAndAnEscapedBody) {
  EXPECT_EQ(FeedbackMailUrl("1.2.3.4"),
            "mailto:feedback@quol.example?subject=Quol%20Devuzez%20Feedback&body="
            "Enter%20feedback%20here%0d%0a%0d%0a----------%0d%0aVersion:%201.2.3.4%20of%20Quol%"
            "20Vevuvov.");
}

TEST_F(ToolsMenuTest, AccountSwitchWritesTheExactFileAndReportsAFailedWrite) {
  const std::string expected =
      "<quol><default><authServiceUrl>https://api.test.quol.example/v_s_v0.6/api/accounts/auth/"
      "default.ashx</authServiceUrl><reminderServiceUrl>http://test.quol.example:9895/rest/api/"
      "calendar/interval/default.ashx</reminderServiceUrl></default></quol>";
  EXPECT_EQ(TestAccountFileContent(), expected);

  struct Case {
    const char* name;
    std::string data_dir;      // QUOL_DATA_DIR for the case
    bool file_before;
    bool ok;
    std::string box;           // beginning of the box's text
    std::optional<std::string> file_after;  // nullopt: no file
  };
  testing::TempDir dir;
  WriteFileOrDie(dir / "blocker", "a file where a folder should be");
  const std::vector<Case> cases = {
      {"dogfood, data folder created", dir / "fresh/data", false, true,
       "Quol has been configured for a dogfood account\r\nPlease restart Quol", expected},
      {"production: the file goes", dir / "fresh/data", true, true,
       "Quol has been configured for a production account\r\nPlease restart Quol", std::nullopt},
      {"dogfood where no folder can be made", dir / "blocker/data", false, false,
       "Quol could not be configured for a dogfood account", std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv data("QUOL_DATA_DIR", c.data_dir);
    const std::string path = c.data_dir + "/LocalConfig.xml";
    ASSERT_EQ(TestAccountFilePath(), path);
    if (c.file_before) WriteFileOrDie(path, expected);
    boxes_.boxes.clear();
    EXPECT_EQ(SwitchTestAccount(frame_.window()), c.ok) << c.name;
    ASSERT_EQ(boxes_.boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes_.boxes[0].text.rfind(c.box, 0), 0u) << c.name << ": " << boxes_.boxes[0].text;
    EXPECT_EQ(boxes_.boxes[0].error, !c.ok) << c.name;
    EXPECT_EQ(boxes_.boxes[0].title, "Quol") << c.name;
    EXPECT_EQ(platform::FileExists(path), c.file_after.has_value()) << c.name;
    if (c.file_after) {
      EXPECT_EQ(ReadFileOrEmpty(path), *c.file_after) << c.name;
    }
  }
}

TEST_F(ToolsMenuTest, DiagnosticsPageHasItsSections) {
  const std::string page = DiagnosticsPageHtml();
  ASSERT_FALSE(page.empty());
  for (const char* part : {
           "<title>Quol Vevuvov - Diagnostics</title>",
           "Quol Vevuvov Diagnostics Page",
           "Do not use unless directed by Quol Support: you could lose your data",
           "Basic Actions",
           "StartCollage()",
           "ShowCollageSettingsDlg()",
           "ShowAboutDlg()",
           "CheckForUpdates()",
           "SetCredentials('', '')",
           "Clear the username/password from Quol Vevuvov and the Collage.",
           "SetupScreensaver(0)",
           "\"Collage is setup for: \"",
           "offline.htm#error=offline",
           "offline.htm#error=connect&amp;code=2323",
           "offline.htm#error=http",
           "offline.htm#error=upgrade",
           ">Diagnostics<",
           "Check settings",
           "\"DebugSetting\"",
           "\"BUG1: \"",
           "\"BUG2: \"",
           "\"BUG3: \"",
           "\"Test completed\"",
           "target=\"_blank\"",
           "'Hello from the script'",
           "Crash()",
           "\"This is a \"",
           "\"DEBUG\" : \"Release\"",
           "\" build.\"",
           "for (var key in navigator)",
       }) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace quol::client

// GTK lays text out with Pango, which fills fontconfig's caches; they live
// until the process ends and the sanitizer builds' leak checker cannot trace
// them. They are the libraries' caches, not leaks of ours.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n";
}
