// CMainFrame on a private Xvfb with a fake browser and fake services: the
// message bar's kinds and clicks, the page script object's effects, the
// saved placement, the size modes, the posted messages and second starts.
#include "client/frame/main_frame.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client/app/open_request.h"
#include "client/frame/testing/xvfb_environment.h"
#include "client/tools/client_tools.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/settings/suite_settings.h"
#include "platform/fs/files.h"
#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol::client {
namespace {

using namespace std::chrono_literals;
using platform::RegistryHive;
using platform::RegistryKey;

[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new frametest::ClientXvfbEnvironment);

class FakeBrowser : public CAbstractBrowser {
 public:
  FakeBrowser() {
    view_ = gtk_entry_new();  // takes the focus as the web view would
    g_object_ref_sink(view_);
  }
  ~FakeBrowser() override { g_object_unref(view_); }
  void Close() override { closed = true; }
  bool Navigate(const std::string& url) override {
    navigations.push_back(url);
    return navigate_ok;
  }
  bool Stop() override { return true; }
  bool IsCreated() override { return true; }
  bool IsOnline() override { return online; }
  bool GetVersion(std::string* text) override {
    *text = "WebKitGTK 2.50.6";
    return true;
  }
  GtkWidget* widget() override { return view_; }
  std::string LocationUrl() override { return navigations.empty() ? "" : navigations.back(); }
  void RefreshScriptState() override { ++refreshes; }

  std::vector<std::string> navigations;
  bool navigate_ok = true;
  bool online = true;
  bool closed = false;
  int refreshes = 0;

 private:
  GtkWidget* view_ = nullptr;
};

class FakeUpdates : public CUpdateNotifier {
 public:
  void Attach() override { ++attached; }
  void ScheduleUpdateCheck(bool force) override { scheduled.push_back(force); }
  void OnUpdateResult(std::uint16_t result, std::uint16_t flag) override {
    results.emplace_back(result, flag);
  }
  void StartUpgrade() override { ++upgrades; }
  void set_user_initiated(bool value) override { user_initiated_ = value; }
  bool user_initiated() const override { return user_initiated_; }
  bool update_timer_armed() const override { return false; }
  int update_checks_started() const override { return 0; }
  bool user_initiated_ = false;
  int attached = 0;
  int upgrades = 0;
  std::vector<bool> scheduled;
  std::vector<std::pair<int, int>> results;
};

void Pump() { quol::testing::PumpGtk(); }

template <typename F>
bool PumpUntil(F done) {
  return quol::testing::PumpGtkUntil(done, std::chrono::seconds(20));
}

constexpr char kStartUrl[] = "https://my.quol.example/devuzez/";

class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(frametest::ClientXvfbEnvironment::error().empty())
        << frametest::ClientXvfbEnvironment::error();
    ASSERT_EQ(settings_.Load(), S_OK);
  }
  void TearDown() override {
    frame_.reset();
    Pump();
  }

  FrameServices Services() {
    FrameServices services;
    services.make_browser = [this](CAbstractBrowserEvents&) {
      auto browser = std::make_unique<FakeBrowser>();
      browser_ = browser.get();
      return std::unique_ptr<CAbstractBrowser>(std::move(browser));
    };
    services.make_updates = [this](IFrameHost&) {
      auto updates = std::make_unique<FakeUpdates>();
      updates_ = updates.get();
      return std::unique_ptr<CUpdateNotifier>(std::move(updates));
    };
    services.run_about = [this](GtkWindow*, const std::string& version) {
      about_versions_.push_back(version);
    };
    services.package_ready = [this] { return package_ready_; };
    services.spawn = [this](const std::string& path, const std::vector<std::string>& args) {
      std::string line = path;
      for (const auto& arg : args) line += " " + arg;
      spawned_.push_back(line);
      return true;
    };
    services.saver_path = [] { return std::string("/opt/quol/QuolScreensaver"); };
    services.saver_choice = [] { return 2; };
    services.elevated = [this] { return elevated_; };
    services.show_settings = [this](GtkWindow*, int mode) { settings_modes_.push_back(mode); };
    services.set_auth_cookies = [this](const std::string& url, std::function<void()> done) {
      cookie_urls_.push_back(url);
      done();
    };
    return services;
  }

  CMainFrame& Open(FrameOptions options = {}) {
    if (options.start_url.empty()) options.start_url = kStartUrl;
    placement_.Load();
    if (launch_mode_override_ >= 0) placement_.set_launch_mode(launch_mode_override_);
    frame_ = std::make_unique<CMainFrame>(options, Services(), placement_, settings_);
    EXPECT_TRUE(frame_->Create());
    frame_->Initialise();
    frame_->ShowFrameOnce();
    Pump();
    return *frame_;
  }

  RegistryKey& Key() {
    if (!key_.is_open()) {
      EXPECT_EQ(key_.Create(RegistryHive::kCurrentUser, kProductRegistryKey), S_OK);
    }
    return key_;
  }

  // The frame as a person sees it, for looking at.
  void Screenshot(const std::string& name) {
    Pump();
    std::this_thread::sleep_for(50ms);
    Pump();
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(frame_->window()));
    ASSERT_NE(window, nullptr);
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                                 gdk_window_get_height(window));
    ASSERT_NE(shot, nullptr);
    ASSERT_EQ(platform::CreateDirectories(QUOL_CLIENT_SHOTS_DIR, 0755), S_OK);
    const std::string path = std::string(QUOL_CLIENT_SHOTS_DIR) + "/" + name + ".png";
    EXPECT_TRUE(gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr)) << path;
    g_object_unref(shot);
  }

  quol::testing::IsolatedEnvironment env_;
  CSuiteSettings settings_;
  WindowPlacement placement_;
  RegistryKey key_;
  std::unique_ptr<CMainFrame> frame_;
  FakeBrowser* browser_ = nullptr;
  FakeUpdates* updates_ = nullptr;
  bool package_ready_ = false;
  bool elevated_ = false;
  int launch_mode_override_ = -1;
  std::vector<std::string> about_versions_, spawned_, cookie_urls_;
  std::vector<int> settings_modes_;
};

TEST_F(MainFrameTest, StatusMessageTable) {
  CMainFrame& frame = Open();
  const struct {
    const char* message;
    const char* url;
    int kind;  // -1: hidden
    const char* link;
  } cases[] = {
      {"Hello", "", kBarInfo, ""},
      {"Go", "http:", kBarWhatsNew, "http:"},  // five characters make a link
      {"Go", "abcd", kBarInfo, ""},
      {"", "http://my.quol.example/", -1, ""},
      {"Check https://x", "https://my.quol.example/help", kBarWhatsNew,
       "https://my.quol.example/help"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(frame.ShowStatusMessage(c.message, c.url), S_OK);
    Pump();
    EXPECT_EQ(frame.MessageBarKindShown(), c.kind) << c.message << "|" << c.url;
    if (c.kind >= 0) {
      EXPECT_EQ(frame.message_bar()->text(), c.message);
      EXPECT_TRUE(frame.message_bar()->icon_shown());
    }
    if (c.kind == kBarWhatsNew) {
      EXPECT_EQ(frame.message_bar_link(), c.link);
    }
  }
}

TEST_F(MainFrameTest, MessageBarClicksFollowTheKind) {
  CMainFrame& frame = Open();
  const struct {
    int kind;
    bool package_ready;
    bool icon_click;
    int kind_after;  // -1 hidden
    bool navigated_to_link;
    int upgrades;
  } cases[] = {
      {kBarInfo, false, false, -1, false, 0},
      {kBarSignedOut, false, false, kBarSignedOut, false, 0},
      {kBarWarning, false, false, kBarWarning, false, 0},
      {kBarWhatsNew, false, false, -1, true, 0},
      {kBarUpgrade, false, false, kBarUpgrade, false, 0},  // nothing ready: nothing happens
      {kBarUpgrade, true, false, kBarUpgrade, false, 1},
      {kBarSignedOut, false, true, -1, false, 0},  // the icon always hides
      {kBarUpgrade, true, true, -1, false, 0},
  };
  for (const auto& c : cases) {
    package_ready_ = c.package_ready;
    const int upgrades_before = updates_->upgrades;
    const std::size_t navigations_before = browser_->navigations.size();
    frame.ShowMessageBar(c.kind, true, "text of kind " + std::to_string(c.kind),
                         "https://my.quol.example/whatsnew");
    if (c.icon_click) {
      frame.OnMessageBarIconClick();
    } else {
      frame.OnMessageBarTextClick();
    }
    Pump();
    const std::string label = std::to_string(c.kind) + (c.icon_click ? " icon" : " text");
    EXPECT_EQ(frame.MessageBarKindShown(), c.kind_after) << label;
    EXPECT_EQ(updates_->upgrades - upgrades_before, c.upgrades) << label;
    const bool navigated = browser_->navigations.size() > navigations_before &&
                           browser_->navigations.back() == "https://my.quol.example/whatsnew";
    EXPECT_EQ(navigated, c.navigated_to_link) << label;
  }
}

TEST_F(MainFrameTest, MessageBarKindsAsSeen) {
  CMainFrame& frame = Open();
  gtk_window_resize(frame.window(), 900, 500);
  const struct {
    int kind;
    bool icon;
    const char* text;
  } kinds[] = {
      {kBarInfo, true, "Hello from the script"},
      {kBarSignedOut, true, "You have been signed out of Quol"},
      {kBarWarning, false, "A bar of kind 2 without its icon"},
      {kBarWhatsNew, true, kWhatsNewText},
      {kBarUpgrade, true, "A new version of Quol is available, please click this message to upgrade."},
  };
  for (const auto& k : kinds) {
    frame.ShowMessageBar(k.kind, k.icon, k.text, "https://my.quol.example/whatsnew");
    EXPECT_EQ(frame.MessageBarKindShown(), k.kind);
    EXPECT_EQ(frame.message_bar()->icon_shown(), k.icon);
    Screenshot("message_bar_kind_" + std::to_string(k.kind));
  }
  frame.HideMessageBar();
  EXPECT_EQ(frame.MessageBarKindShown(), -1);
  Screenshot("message_bar_hidden");
}

TEST_F(MainFrameTest, SettingRemovedByAnEmptyValueReadsAsNullAndIsSaved) {
  CMainFrame& frame = Open();
  ASSERT_EQ(frame.SetSetting("x", "1"), S_OK);
  const std::string saved_with_x = quol::testing::ReadFileOrEmpty(env_.data_dir() + "/Settings.xml");
  EXPECT_NE(saved_with_x.find("<x>1</x>"), std::string::npos) << saved_with_x;
  const int refreshes = browser_->refreshes;
  ASSERT_EQ(frame.SetSetting("x", ""), S_OK);
  std::string value = "stale";
  EXPECT_EQ(frame.GetSetting("x", &value), S_FALSE);
  EXPECT_EQ(value, "");
  const std::string saved = quol::testing::ReadFileOrEmpty(env_.data_dir() + "/Settings.xml");
  EXPECT_NE(saved, saved_with_x);
  EXPECT_EQ(saved.find("<x>"), std::string::npos) << saved;
  EXPECT_GT(browser_->refreshes, refreshes);
  // A name that cannot be an element is refused and changes nothing.
  EXPECT_TRUE(Failed(frame.SetSetting("1 bad", "v")));
  EXPECT_EQ(quol::testing::ReadFileOrEmpty(env_.data_dir() + "/Settings.xml"), saved);
}

TEST_F(MainFrameTest, CredentialsAndTheOtherScriptCalls) {
  CMainFrame& frame = Open();
  EXPECT_FALSE(frame.HasCredentials());
  ASSERT_EQ(frame.SetCredentials("a@quol.example", "secret"), S_OK);
  EXPECT_TRUE(frame.HasCredentials());
  EXPECT_EQ(settings_.account_id(), "");
  ASSERT_FALSE(cookie_urls_.empty());
  EXPECT_EQ(cookie_urls_.back(), kStartUrl);
  ASSERT_EQ(frame.SetCredentials("", ""), S_OK);
  EXPECT_FALSE(frame.HasCredentials());

  frame.StartCollage();
  ASSERT_FALSE(spawned_.empty());
  EXPECT_EQ(spawned_.back(), "/opt/quol/QuolScreensaver /P");

  spawned_.clear();
  frame.SetupScreensaver("7");  // no "Vevuvov" in the machine hive: nothing
  EXPECT_TRUE(spawned_.empty());
  RegistryKey machine;
  ASSERT_EQ(machine.Create(RegistryHive::kLocalMachine, kProductRegistryKey), S_OK);
  ASSERT_EQ(machine.WriteString("Vevuvov", "/opt/quol/QuolDevuzez"), S_OK);
  frame.SetupScreensaver("7");
  ASSERT_EQ(spawned_.size(), 1u);
  EXPECT_EQ(spawned_[0].rfind("/opt/quol/QuolDevuzez /e ", 0), 0u) << spawned_[0];

  EXPECT_EQ(frame.ScreensaverSetup(), 2);
  elevated_ = true;
  EXPECT_EQ(frame.ScreensaverSetup(), 0);

  frame.ShowCollageSettingsDlg();
  EXPECT_EQ(settings_modes_, std::vector<int>{2});

  frame.UpgradeNow();  // nothing found yet: nothing happens
  EXPECT_EQ(updates_->upgrades, 0);
  package_ready_ = true;
  frame.UpgradeNow();
  EXPECT_EQ(updates_->upgrades, 1);

  frame.ShowAboutDlg();
  frame.CheckForUpdates();
  EXPECT_TRUE(about_versions_.empty());  // posted, not called
  Pump();
  EXPECT_EQ(about_versions_, std::vector<std::string>{"WebKitGTK 2.50.6"});
  EXPECT_EQ(updates_->scheduled, std::vector<bool>{true});
  EXPECT_EQ(frame.MessageBarKindShown(), kBarInfo);
  EXPECT_EQ(frame.message_bar()->text(), kCheckingForUpdatesText);

  browser_->navigations.clear();
  frame.OpenHomePage();
  ASSERT_EQ(browser_->navigations.size(), 1u);
  EXPECT_EQ(browser_->navigations[0].rfind(std::string(kStartUrl) + "?cobrand=", 0), 0u)
      << browser_->navigations[0];
}

TEST_F(MainFrameTest, StateStoredAsTextOpensMaximized) {
  ASSERT_EQ(Key().WriteDword("Left", 50), S_OK);
  ASSERT_EQ(Key().WriteDword("Top", 60), S_OK);
  ASSERT_EQ(Key().WriteDword("Right", 850), S_OK);
  ASSERT_EQ(Key().WriteDword("Bottom", 660), S_OK);
  ASSERT_EQ(Key().WriteString("State", "9"), S_OK);
  CMainFrame& frame = Open();
  EXPECT_FALSE(placement_.valid());
  EXPECT_EQ(frame.show_command(), kShowMaximize);

  ASSERT_EQ(Key().WriteDword("State", 9), S_OK);
  frame_.reset();
  CMainFrame& again = Open();
  EXPECT_TRUE(placement_.valid());
  EXPECT_EQ(again.show_command(), kShowRestore);
}

TEST_F(MainFrameTest, PostUpgradeStartShowsWhatsNewAndClosingDeletesRunOnce) {
  ASSERT_EQ(Key().WriteString("RunOnce", std::string(31, 'u')), S_OK);
  FrameOptions options;
  options.whats_new_url = "https://my.quol.example/whatsnew";
  CMainFrame& frame = Open(options);
  EXPECT_EQ(frame.launch_mode(), kLaunchPostUpgrade);
  EXPECT_EQ(frame.MessageBarKindShown(), kBarWhatsNew);
  EXPECT_EQ(frame.message_bar()->text(), kWhatsNewText);
  ASSERT_FALSE(browser_->navigations.empty());
  EXPECT_NE(browser_->navigations[0].find("mode=PostUpgrade&"), std::string::npos);
  frame.Close();
  std::string run_once;
  EXPECT_EQ(Key().ReadString("RunOnce", &run_once), E_NOT_FOUND);
}

TEST_F(MainFrameTest, ClosingInFullScreenSavesTheRectangleFromBefore) {
  ASSERT_EQ(Key().WriteDword("Left", 40), S_OK);
  ASSERT_EQ(Key().WriteDword("Top", 30), S_OK);
  ASSERT_EQ(Key().WriteDword("Right", 840), S_OK);
  ASSERT_EQ(Key().WriteDword("Bottom", 630), S_OK);
  ASSERT_EQ(Key().WriteDword("State", 9), S_OK);
  CMainFrame& frame = Open();
  ASSERT_TRUE(PumpUntil([&] {
    const FrameRect rect = frame.RectToSave();
    return rect.width() == 800 && rect.height() == 600;
  }));
  const FrameRect before = frame.RectToSave();
  // F11 while the page (here: its stand-in) has the focus.
  gtk_widget_grab_focus(browser_->widget());
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(frame.window()))));
  key->key.keyval = GDK_KEY_F11;
  key->key.send_event = TRUE;
  gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gtk_main_do_event(key);
  gdk_event_free(key);
  Pump();
  EXPECT_EQ(frame.size_mode(), CMainFrame::kSizeFullScreen);
  ASSERT_TRUE(PumpUntil([&] {
    int width = 0, height = 0;
    gtk_window_get_size(frame.window(), &width, &height);
    return width == 1024 && height == 768;  // the Xvfb screen
  }));
  frame.Close();
  RegistryKey key_after;
  ASSERT_EQ(key_after.Open(RegistryHive::kCurrentUser, kProductRegistryKey), S_OK);
  std::uint32_t left = 0, right = 0, bottom = 0;
  ASSERT_EQ(key_after.ReadDword("Left", &left), S_OK);
  ASSERT_EQ(key_after.ReadDword("Right", &right), S_OK);
  ASSERT_EQ(key_after.ReadDword("Bottom", &bottom), S_OK);
  EXPECT_EQ(static_cast<std::int32_t>(left), before.left);
  EXPECT_EQ(static_cast<std::int32_t>(right), before.right);
  EXPECT_EQ(static_cast<std::int32_t>(bottom), before.bottom);
  EXPECT_EQ(right - left, 800u);
}

TEST_F(MainFrameTest, SizeModesToggleAndComeBack) {
  CMainFrame& frame = Open();
  const struct {
    bool shift;
    int mode;
    int width, height;
  } steps[] = {
      {true, CMainFrame::kSize800, 800, 600},
      {true, CMainFrame::kSize1024, 1024, 768},
      {true, CMainFrame::kSize800, 800, 600},
      {false, CMainFrame::kSizeFullScreen, 1024, 768},
      {false, CMainFrame::kSizeNormal, 0, 0},
  };
  for (const auto& step : steps) {
    frame.OnKeyDown(GDK_KEY_F11, false, false, step.shift);
    EXPECT_EQ(frame.size_mode(), step.mode);
    if (step.width > 0) {
      EXPECT_TRUE(PumpUntil([&] {
        int width = 0, height = 0;
        gtk_window_get_size(frame.window(), &width, &height);
        return width == step.width && height == step.height;
      })) << step.mode;
    }
  }
  frame.OnKeyDown(GDK_KEY_F11, true, false, false);  // Ctrl+F11 is not ours
  frame.OnKeyDown(GDK_KEY_F11, false, true, false);  // nor Alt+F11
  EXPECT_EQ(frame.size_mode(), CMainFrame::kSizeNormal);
}

TEST_F(MainFrameTest, NavigationThatCannotStartIsRetriedThenTheErrorPageShows) {
  CMainFrame& frame = Open();
  browser_->navigate_ok = false;
  browser_->navigations.clear();
  frame.Navigate("https://my.quol.example/devuzez/calendar");
  EXPECT_EQ(frame.pending_url(), "https://my.quol.example/devuzez/calendar");
  ASSERT_TRUE(PumpUntil([&] { return frame.pending_url().rfind("res://", 0) == 0 || frame.pending_url().empty(); }));
  Pump();
  // The first try and kMaxNavigateRetries retries, then the error page
  // (which cannot start either and is not retried for ever).
  ASSERT_GE(browser_->navigations.size(), static_cast<std::size_t>(kMaxNavigateRetries + 2));
  EXPECT_EQ(browser_->navigations[kMaxNavigateRetries + 1],
            "res://QuolDevuzez/offline.htm#error=connect&code=-1");
  const std::size_t count = browser_->navigations.size();
  for (int i = 0; i < 50; ++i) Pump();
  EXPECT_EQ(browser_->navigations.size(), count);
  EXPECT_LE(count, static_cast<std::size_t>(2 * kMaxNavigateRetries + 3));

  browser_->navigate_ok = true;
  frame.Navigate("https://my.quol.example/devuzez/");
  EXPECT_EQ(frame.pending_url(), "");
}

TEST_F(MainFrameTest, PostedMessagesRunLaterOnTheLoopAndNotAfterTheFrame) {
  CMainFrame& frame = Open();
  std::thread worker([&frame] { frame.PostFrameMessage(kUpdateResultMessage, 1, 1); });
  worker.join();
  EXPECT_TRUE(updates_->results.empty());
  Pump();
  EXPECT_EQ(updates_->results, (std::vector<std::pair<int, int>>{{1, 1}}));
  frame.PostFrameMessage(kUpdateResultMessage, 0, 0);
  frame_.reset();  // gone before its message runs
  Pump();           // must not touch the frame (the sanitizer build sees a use after free)
}

TEST_F(MainFrameTest, OpenRequestNavigatesOnlyToSafeCombinedUrls) {
  CMainFrame& frame = Open();
  const struct {
    std::uint32_t command;
    const char* path;
    const char* navigated;  // null: no navigation
  } cases[] = {
      {kOpenCommandPath, "/calendar", "https://my.quol.example/calendar"},
      {kOpenCommandPath, "calendar", "https://my.quol.example/calendar"},  // "/" put in front
      {kOpenCommandPath, "//evil.example/x", nullptr},
      {kOpenCommandToFront, "/calendar", nullptr},
      {7, "/calendar", nullptr},
  };
  for (const auto& c : cases) {
    browser_->navigations.clear();
    frame.HandleOpenRequest({c.command, c.path});
    Pump();
    if (c.navigated == nullptr) {
      EXPECT_TRUE(browser_->navigations.empty()) << c.path;
    } else {
      ASSERT_EQ(browser_->navigations.size(), 1u) << c.path;
      EXPECT_EQ(browser_->navigations[0], c.navigated);
    }
  }
}

TEST_F(MainFrameTest, OfflineStartShowsTheOfflinePage) {
  FrameServices services = Services();
  services.make_browser = [this](CAbstractBrowserEvents&) {
    auto browser = std::make_unique<FakeBrowser>();
    browser->online = false;
    browser_ = browser.get();
    return std::unique_ptr<CAbstractBrowser>(std::move(browser));
  };
  placement_.Load();
  FrameOptions options;
  options.start_url = kStartUrl;
  frame_ = std::make_unique<CMainFrame>(options, std::move(services), placement_, settings_);
  ASSERT_TRUE(frame_->Create());
  frame_->Initialise();
  ASSERT_EQ(browser_->navigations.size(), 1u);
  EXPECT_EQ(browser_->navigations[0], "res://QuolDevuzez/offline.htm#error=offline&code=0");
}

TEST_F(MainFrameTest, WindowMenuEndsWithCloseAndTheMinimumSizeHolds) {
  CMainFrame& frame = Open();
  GList* items = gtk_container_get_children(GTK_CONTAINER(frame.window_menu()));
  ASSERT_NE(items, nullptr);
  EXPECT_STREQ(gtk_widget_get_name(GTK_WIDGET(g_list_last(items)->data)), "close");
  g_list_free(items);
  gtk_window_resize(frame.window(), 100, 100);
  // The minimum is the whole window's, header bar included.
  int width = 0, height = 0;
  EXPECT_TRUE(PumpUntil([&] {
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(frame.window()));
    width = gdk_window_get_width(window);
    height = gdk_window_get_height(window);
    return width == kMinFrameWidth && height == kMinFrameHeight;
  })) << width << "x" << height;
  EXPECT_STREQ(gtk_window_get_title(frame.window()), "Quol");
}

}  // namespace
}  // namespace quol::client

// GTK, Pango and fontconfig fill caches that live until the process ends,
// WebKit's JavaScript engine and the accessibility bridge keep their own;
// the leak checker of the sanitizer builds cannot trace them. They are the
// libraries' caches, not leaks of ours. Nothing calls this without the
// checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libjavascriptcoregtk-4.1.so\n"
         "leak:libatk-bridge-2.0.so\n"
         "leak:libdbus-1.so\n"
         "leak:libexpat.so\n";
}
