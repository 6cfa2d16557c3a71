// The settings sheet on a private Xvfb, driven through its widgets' names
// as a person would: values set, buttons clicked, the main loop run until
// the sheet has settled.
#include "foundation/wizard/settings_sheet.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "foundation/config/cobrand_module.h"
#include "foundation/rest/rest_request.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "foundation/wizard/settings_pages.h"
#include "foundation/wizard/wizard_rules.h"
#include "platform/fs/files.h"
#include "platform/registry/registry.h"
#include "platform/testing/gtk_xvfb.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

namespace quol::wizard {
namespace {

using namespace std::chrono_literals;
using testing::WriteFileOrDie;

using quol::testing::GtkXvfbEnvironment;

[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new GtkXvfbEnvironment);

void Pump() { quol::testing::PumpGtk(); }

// Runs the main loop until `done` (a liveness bound, not a timing check).
template <typename F>
bool PumpUntil(F done) {
  return quol::testing::PumpGtkUntil(done, std::chrono::seconds(20));
}

class SettingsSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GtkXvfbEnvironment::error().empty()) << GtkXvfbEnvironment::error();
    ResetTicketForTesting();
    ::mkdir((env_.root() + "/pictures").c_str(), 0700);
    ::mkdir((env_.root() + "/shared").c_str(), 0700);
    ASSERT_EQ(settings_.Load(), S_OK);
  }
  void TearDown() override {
    sheet_.reset();
    Pump();
    ResetTicketForTesting();
  }

  void StartService() {
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    auth_url_ = service_->api_base() + "/Service/API/accounts/auth/default.ashx";
  }
  int SignInRequests() const {
    return service_ ? service_->RequestCount("/Service/API/accounts/auth/default.ashx") : 0;
  }

  SheetServices Services() {
    SheetServices services;
    services.settings = &settings_;
    services.get_saver_choice = [this] { return saver_choice_; };
    services.apply_saver_choice = [this](int choice) { applied_.push_back(choice); };
    services.ask_service = [this](const std::string& address, const std::string& password,
                                  const std::atomic<bool>& stop) {
      // Unreachable unless a test started the service: nothing listens on
      // port 9 of loopback.
      const std::string url =
          auth_url_.empty() ? "http://127.0.0.1:9/Service/API/accounts/auth/default.ashx"
                            : auth_url_;
      return AskSignInService(url, address, password, stop);
    };
    services.open_uri = [this](const std::string& uri) { opened_.push_back(uri); };
    services.start_program = [this](const std::string& path, const std::vector<std::string>& args) {
      started_.push_back(path);
      for (const std::string& arg : args) started_.push_back(arg);
    };
    services.choose_folder = [this](GtkWindow*) { return next_folder_; };
    services.show_message = [this](GtkWindow*, GtkMessageType, const std::string& text) {
      messages_.push_back(text);
    };
    services.pictures_folder = env_.root() + "/pictures";
    services.shared_pictures_folder = env_.root() + "/shared";
    services.program_version = "1.2.3.4";
    return services;
  }

  CSettingsPropertySheet& Open(int mode, SheetServices services) {
    sheet_ = std::make_unique<CSettingsPropertySheet>(mode, std::move(services));
    sheet_->Create(0);
    gtk_widget_show(sheet_->window());
    Pump();
    return *sheet_;
  }
  CSettingsPropertySheet& Open(int mode) { return Open(mode, Services()); }

  GtkWidget* Find(const char* name) {
    GtkWidget* widget = FindWidgetByName(sheet_->window(), name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const char* name) {
    GtkWidget* widget = Find(name);
    ASSERT_NE(widget, nullptr);
    g_signal_emit_by_name(widget, "clicked");
    Pump();
  }
  void ShowTab(int index) {
    gtk_notebook_set_current_page(GTK_NOTEBOOK(Find("tabs")), index);
    Pump();
  }
  void Type(const char* name, const char* text) {
    gtk_entry_set_text(GTK_ENTRY(Find(name)), text);
  }
  std::string ComboText(const char* name) {
    gchar* text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(Find(name)));
    std::string out = text != nullptr ? text : "";
    g_free(text);
    return out;
  }
  int Rows(const char* name) {
    GList* rows = gtk_container_get_children(GTK_CONTAINER(Find(name)));
    const int count = static_cast<int>(g_list_length(rows));
    g_list_free(rows);
    return count;
  }
  bool BalloonShown() {
    GtkWidget* balloon = sheet_->sign_in_page()->balloon();
    return balloon != nullptr && gtk_widget_get_visible(balloon);
  }
  std::string BalloonText() {
    GtkWidget* text = FindWidgetByName(sheet_->sign_in_page()->balloon(), "balloon-text");
    return text != nullptr ? gtk_label_get_text(GTK_LABEL(text)) : "";
  }
  bool Sensitive(const char* name) { return gtk_widget_get_sensitive(Find(name)) != FALSE; }
  bool Visible(const char* name) { return gtk_widget_get_visible(Find(name)) != FALSE; }
  bool Ended() { return sheet_->state() != CSettingsPropertySheet::State::kOpen; }
  // A fresh look at Settings.xml as the next program start would read it.
  std::unique_ptr<CSuiteSettings> Reloaded() {
    auto fresh = std::make_unique<CSuiteSettings>();
    EXPECT_EQ(fresh->Load(), S_OK);
    return fresh;
  }
  std::string SettingsFile() { return env_.data_dir() + "/Settings.xml"; }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  CSuiteSettings settings_;
  std::unique_ptr<service::DevService> service_;
  std::string auth_url_;
  std::unique_ptr<CSettingsPropertySheet> sheet_;
  int saver_choice_ = 3;
  std::vector<int> applied_;
  std::vector<std::string> opened_, started_, messages_;
  std::optional<std::string> next_folder_;
};

TEST_F(SettingsSheetTest, IntervalListSelectsTheFirstLongEnoughChoice) {
  const struct {
    int seconds;
    const char* shown;
  } cases[] = {{25, "30 seconds"}, {7200, "5 seconds"}, {60, "1 minute"}, {1, "5 seconds"}};
  for (const auto& c : cases) {
    settings_.SetInterPhotoInterval(c.seconds);
    Open(2);
    EXPECT_EQ(ComboText("1015"), c.shown) << c.seconds;
    sheet_.reset();
  }
  Open(2);
  gtk_combo_box_set_active(GTK_COMBO_BOX(Find("1015")), 6);
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Reloaded()->inter_photo_interval(), 120);
}

TEST_F(SettingsSheetTest, AFolderListedInOtherLetterCaseIsNotAddedAgain) {
  ASSERT_EQ(settings_.SetFolders({env_.root() + "/Photos/Summer"}), S_OK);
  Open(2);
  ShowTab(1);
  EXPECT_EQ(Rows("1005"), 1);
  next_folder_ = env_.root() + "/PHOTOS/summer";
  Click("1007");
  EXPECT_EQ(Rows("1005"), 1);
  next_folder_ = std::nullopt;  // the browser cancelled
  Click("1007");
  EXPECT_EQ(Rows("1005"), 1);
  next_folder_ = env_.root() + "/Photos/Winter";
  Click("1007");
  EXPECT_EQ(Rows("1005"), 2);
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Reloaded()->folders(), (std::vector<std::string>{env_.root() + "/Photos/Summer",
                                                              env_.root() + "/Photos/Winter"}));
  EXPECT_TRUE(messages_.empty());  // local folders: no network note
}

TEST_F(SettingsSheetTest, RemoveFolderIsEnabledOnlyWithASelection) {
  ASSERT_EQ(settings_.SetFolders({"/a", "/b"}), S_OK);
  Open(2);
  ShowTab(1);
  EXPECT_FALSE(Sensitive("1010"));
  GtkListBox* list = GTK_LIST_BOX(Find("1005"));
  gtk_list_box_select_row(list, gtk_list_box_get_row_at_index(list, 0));
  Pump();
  EXPECT_TRUE(Sensitive("1010"));
  gtk_list_box_unselect_all(list);
  Pump();
  EXPECT_FALSE(Sensitive("1010"));
  gtk_list_box_select_row(list, gtk_list_box_get_row_at_index(list, 0));
  Click("1010");
  EXPECT_EQ(Rows("1005"), 1);
  EXPECT_FALSE(Sensitive("1010"));
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Reloaded()->folders(), (std::vector<std::string>{"/b"}));
}

TEST_F(SettingsSheetTest, AShortAddressIsRefusedWithoutAskingTheService) {
  StartService();
  Open(2);
  ShowTab(2);
  Type("1016", "a@b.c");
  Type("1017", "abcd");
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return !sheet_->busy(); }));
  EXPECT_FALSE(Ended());
  EXPECT_EQ(sheet_->sign_in_page()->result(), kSignInRejected);
  EXPECT_EQ(SignInRequests(), 0);
  EXPECT_TRUE(BalloonShown());
  EXPECT_EQ(BalloonText(), "Please double-check your email address and password.");
  EXPECT_FALSE(platform::FileExists(SettingsFile()));
}

TEST_F(SettingsSheetTest, RejectedCredentialsKeepTheSignInPageWithTheBalloon) {
  StartService();
  Open(2);
  ShowTab(2);
  Type("1016", "  ab@cd.ef ");  // trimmed before it is checked
  Type("1017", "abcd");
  ShowTab(3);  // leaving the page starts the check
  ASSERT_TRUE(PumpUntil([&] { return !sheet_->sign_in_page()->check_running(); }));
  EXPECT_EQ(SignInRequests(), 1);
  EXPECT_EQ(service_->RequestLog().back(),
            "/Service/API/accounts/auth/default.ashx?username=ab%40cd%2eef&password=abcd"
            "&apiKey=qvtrsn");
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return !sheet_->busy(); }));
  EXPECT_FALSE(Ended());
  EXPECT_EQ(sheet_->current_page(), 2);  // brought back to the sign-in page
  EXPECT_TRUE(BalloonShown());
  EXPECT_EQ(SignInRequests(), 1);  // the same values are not asked twice
  EXPECT_FALSE(platform::FileExists(SettingsFile()));
}

TEST_F(SettingsSheetTest, AcceptedCredentialsAreStoredAndTheAccountIdCleared) {
  StartService();
  service_->AddAccount("ab@cd.ef", "abcd");
  settings_.SetEmailAddress("old@quol.example");
  ASSERT_EQ(settings_.SetPassword("old pass"), S_OK);
  settings_.SetAccountId("old-account");
  Open(2);
  ShowTab(2);
  Type("1016", "ab@cd.ef");
  Type("1017", "abcd");
  Click("1");  // OK leaves the page: the check runs first
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(sheet_->state(), CSettingsPropertySheet::State::kAccepted);
  EXPECT_EQ(SignInRequests(), 1);
  auto saved = Reloaded();
  EXPECT_EQ(saved->email_address(), "ab@cd.ef");
  EXPECT_EQ(saved->password(), "abcd");
  EXPECT_EQ(saved->account_id(), "");
}

TEST_F(SettingsSheetTest, WithTheServiceUnreachableAChangedPasswordIsStored) {
  settings_.SetEmailAddress("ab@cd.ef");
  ASSERT_EQ(settings_.SetPassword("old pass"), S_OK);
  ASSERT_EQ(settings_.Save(), S_OK);
  Open(1);
  ASSERT_EQ(sheet_->PageTitles(),
            (std::vector<std::string>{"Welcome", "Folder Settings", "Sign-in", "Thanks!"}));
  Click("next");
  Click("next");
  ASSERT_EQ(sheet_->current_page(), 2);
  Type("1017", "new pass");
  Click("next");  // checked against nothing that answers: does not block
  ASSERT_TRUE(PumpUntil([&] { return sheet_->current_page() == 3; }));
  EXPECT_EQ(sheet_->sign_in_page()->result(), kSignInError);
  Click("finish");
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(sheet_->state(), CSettingsPropertySheet::State::kAccepted);
  EXPECT_EQ(Reloaded()->password(), "new pass");
  EXPECT_EQ(Reloaded()->email_address(), "ab@cd.ef");
}

TEST_F(SettingsSheetTest, CancelWritesNothing) {
  settings_.SetInterPhotoInterval(20);
  ASSERT_EQ(settings_.Save(), S_OK);
  const std::string before = testing::ReadFileOrEmpty(SettingsFile());
  ASSERT_FALSE(before.empty());
  saver_choice_ = 3;
  Open(2);
  gtk_combo_box_set_active(GTK_COMBO_BOX(Find("1015")), 12);
  ShowTab(1);
  next_folder_ = env_.root() + "/more";
  Click("1007");
  ShowTab(2);
  Type("1016", "ab@cd.ef");
  Type("1017", "abcd");
  Click("2");
  ASSERT_TRUE(Ended());
  EXPECT_EQ(sheet_->state(), CSettingsPropertySheet::State::kCancelled);
  Pump();
  EXPECT_EQ(testing::ReadFileOrEmpty(SettingsFile()), before);
  EXPECT_EQ(settings_.inter_photo_interval(), 20);
  EXPECT_TRUE(settings_.folders().empty());
  EXPECT_EQ(settings_.email_address(), "");
  EXPECT_TRUE(applied_.empty());
}

TEST_F(SettingsSheetTest, OkWaitsForARunningCheckWithoutBlockingTheWindow) {
  for (const bool cancel : {false, true}) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    SheetServices services = Services();
    services.ask_service = [release](const std::string&, const std::string&,
                                     const std::atomic<bool>& stop) {
      while (!*release && !stop) std::this_thread::sleep_for(1ms);
      return kSignInAccepted;
    };
    Open(2, std::move(services));
    ShowTab(2);
    const char* address = cancel ? "cd@ef.gh" : "ab@cd.ef";
    Type("1016", address);
    Type("1017", "abcd");
    Click("1");
    EXPECT_TRUE(sheet_->busy());
    EXPECT_FALSE(Sensitive("1"));
    EXPECT_TRUE(Sensitive("2"));
    EXPECT_TRUE(Visible("1014"));
    EXPECT_FALSE(Ended());
    if (cancel) {
      Click("2");
      EXPECT_TRUE(Ended());
      EXPECT_EQ(sheet_->state(), CSettingsPropertySheet::State::kCancelled);
      sheet_.reset();
      EXPECT_TRUE(PumpUntil([] { return SignInChecker::WorkersLeftBehind() == 0; }));
      EXPECT_EQ(settings_.email_address(), "ab@cd.ef");  // from the round before
      EXPECT_EQ(Reloaded()->email_address(), "ab@cd.ef");
    } else {
      *release = true;
      ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
      EXPECT_EQ(sheet_->state(), CSettingsPropertySheet::State::kAccepted);
      EXPECT_FALSE(Visible("1014"));
      EXPECT_EQ(Reloaded()->email_address(), "ab@cd.ef");
    }
    sheet_.reset();
  }
}

TEST_F(SettingsSheetTest, SignInOnlySheetRefusesEmptyFields) {
  Open(5);
  ASSERT_EQ(sheet_->PageTitles(), (std::vector<std::string>{"Sign-in"}));
  Type("1016", "ab@cd.ef");
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return !sheet_->busy(); }));
  EXPECT_FALSE(Ended());
  EXPECT_TRUE(BalloonShown());
}

void WritePhotos(const std::string& folder, int count) {
  for (int i = 0; i < count; ++i) WriteFileOrDie(folder + "/p" + std::to_string(i) + ".jpg", "x");
}

TEST_F(SettingsSheetTest, WizardLeavesOutPhotosWhenThePicturesFoldersHoldFifty) {
  const struct {
    int mine, shared;
    bool show_mine, show_shared;
    bool photos_page;
  } cases[] = {
      {60, 0, true, true, false},
      {30, 30, true, true, false},
      {60, 0, false, true, true},   // a folder the saver does not show does not count
      {10, 0, true, true, true},
      {49, 0, true, false, true},
  };
  int round = 0;
  for (const auto& c : cases) {
    SheetServices services = Services();
    services.pictures_folder = env_.root() + "/mine" + std::to_string(round);
    services.shared_pictures_folder = env_.root() + "/shared" + std::to_string(round);
    ++round;
    ::mkdir(services.pictures_folder.c_str(), 0700);
    ::mkdir(services.shared_pictures_folder.c_str(), 0700);
    WritePhotos(services.pictures_folder, c.mine);
    WritePhotos(services.shared_pictures_folder, c.shared);
    settings_.SetShowMyPictures(c.show_mine);
    settings_.SetShowSharedPictures(c.show_shared);
    Open(1, std::move(services));
    std::vector<std::string> expected = {"Welcome", "Sign-in", "Thanks!"};
    if (c.photos_page) expected.insert(expected.begin() + 1, "Folder Settings");
    EXPECT_EQ(sheet_->PageTitles(), expected) << c.mine << "+" << c.shared;
    sheet_.reset();
  }
}

TEST_F(SettingsSheetTest, WizardButtonsFollowThePage) {
  Open(1);
  ASSERT_EQ(sheet_->PageTitles().size(), 4u);
  const struct {
    bool back, next, finish_enabled;
  } pages[] = {{false, true, false}, {true, true, false}, {true, true, false}, {true, false, true}};
  for (int index = 0; index < 4; ++index) {
    const auto& p = pages[index];
    ASSERT_EQ(sheet_->current_page(), index);
    EXPECT_EQ(Visible("back"), p.back) << index;
    EXPECT_EQ(Visible("next"), p.next) << index;
    EXPECT_TRUE(Visible("finish")) << index;
    EXPECT_EQ(Sensitive("finish"), p.finish_enabled) << index;
    if (index < 3) Click("next");
  }
  Click("back");
  EXPECT_EQ(sheet_->current_page(), 2);
  EXPECT_TRUE(Visible("next"));
  EXPECT_FALSE(Sensitive("finish"));
  GtkWidget* header = Find("header-subtitle");
  ASSERT_NE(header, nullptr);
  sheet_.reset();
  Open(2);  // tabbed: no header titles
  EXPECT_EQ(FindWidgetByName(sheet_->window(), "header-title"), nullptr);
}

TEST_F(SettingsSheetTest, WelcomeCheckBoxShowsAndAppliesTheChoice) {
  const struct {
    int choice;
    bool click;
    bool active, inconsistent;
    std::vector<int> applied;
  } cases[] = {
      {1, false, true, false, {1}},
      {3, false, false, false, {3}},
      {2, false, false, true, {}},
      {4, false, false, true, {}},
      {4, true, true, false, {1}},  // a click on the mixed state checks it
      {1, true, false, false, {3}},
  };
  for (const auto& c : cases) {
    saver_choice_ = c.choice;
    applied_.clear();
    Open(1);
    GtkToggleButton* box = GTK_TOGGLE_BUTTON(Find("1018"));
    if (c.click) Click("1018");
    EXPECT_EQ(gtk_toggle_button_get_active(box) != FALSE, c.active) << c.choice;
    EXPECT_EQ(gtk_toggle_button_get_inconsistent(box) != FALSE, c.inconsistent) << c.choice;
    while (Visible("next")) Click("next");
    Click("finish");
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_EQ(applied_, c.applied) << c.choice;
    sheet_.reset();
  }
}

TEST_F(SettingsSheetTest, AFailedSaveIsReportedAndTheSheetStaysOpen) {
  // A folder where Settings.xml should be: the store cannot read it, so it
  // refuses every save.
  ASSERT_EQ(::mkdir(SettingsFile().c_str(), 0700), 0);
  CSuiteSettings unreadable;
  static_cast<void>(unreadable.Load());
  SheetServices services = Services();
  services.settings = &unreadable;
  Open(2, std::move(services));
  gtk_combo_box_set_active(GTK_COMBO_BOX(Find("1015")), 3);
  Click("1");
  ASSERT_TRUE(PumpUntil([&] { return !sheet_->busy(); }));
  EXPECT_FALSE(Ended());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("could not be saved"), std::string::npos) << messages_[0];
}

TEST_F(SettingsSheetTest, FolderTextsUseTheFoldersOwnNames) {
  WriteFileOrDie(env_.root() + "/shared/desktop.ini",
                 "[.ShellClassInfo]\nLocalizedResourceName=Familienfotos\n");
  SheetServices services = Services();
  services.pictures_folder = env_.root() + "/My_Photos";
  Open(2, std::move(services));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(Find("1003"))),
               "The \"Familienfotos\" folder that _everyone on this computer can see");
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(Find("1001"))),
               "The \"My__Photos\" folder of the _person using the computer");
  sheet_.reset();
  services = Services();
  services.pictures_folder.clear();
  Open(2, std::move(services));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(Find("1001"))),
               "The \"My Pictures\" folder of the _person using the computer");
}

TEST_F(SettingsSheetTest, ClientButtonStartsTheClientWithTheSheetsWindow) {
  Open(2);
  Click("1020");
  EXPECT_TRUE(started_.empty());  // no client registered: nothing happens
  sheet_.reset();
  platform::RegistryKey key;
  ASSERT_EQ(key.Create(platform::RegistryHive::kLocalMachine, kProductRegistryKey), S_OK);
  ASSERT_EQ(key.WriteString("Vevuvov", "/opt/quol/QuolDevuzez"), S_OK);
  Open(2);
  ASSERT_NE(sheet_->xid(), 0u);
  Click("1020");
  EXPECT_EQ(started_, (std::vector<std::string>{"/opt/quol/QuolDevuzez", "/e",
                                                std::to_string(sheet_->xid())}));
  sheet_.reset();
  SheetServices services = Services();
  services.from_running_saver = true;
  Open(2, std::move(services));
  EXPECT_FALSE(Visible("1020"));
}

TEST_F(SettingsSheetTest, LinksAndVersionShowTheProductsPages) {
  Open(2);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(Find("1012"))), "1.2.3.4");
  Click("1028");
  EXPECT_EQ(opened_, (std::vector<std::string>{"https://www.quol.example/Help-Password-Reset.htm"}));
  sheet_.reset();
  Open(1);
  while (Visible("next")) Click("next");
  Click("1019");
  EXPECT_EQ(opened_.back(), "https://www.quol.example/help/v1.0/");
}

// Not a check: pictures of every page for a person to look at, written
// when QUOL_SHOTS_DIR names a folder.
TEST_F(SettingsSheetTest, Screenshots) {
  const char* shots = std::getenv("QUOL_SHOTS_DIR");
  if (shots == nullptr || ::access("/usr/bin/import", X_OK) != 0) {
    GTEST_SKIP() << "set QUOL_SHOTS_DIR (and install imagemagick) for screenshots";
  }
  ASSERT_EQ(settings_.SetFolders({"/home/ann/Pictures/Holidays 2024", "/srv/photos/family"}), S_OK);
  settings_.SetEmailAddress("ann@quol.example");
  saver_choice_ = 4;
  auto shoot = [&](const std::string& name) {
    for (int i = 0; i < 20; ++i) {
      Pump();
      std::this_thread::sleep_for(10ms);
    }
    const std::string command =
        "/usr/bin/import -window root '" + std::string(shots) + "/" + name + ".png'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  };
  Open(1);
  for (int page = 0;; ++page) {
    shoot("wizard-" + std::to_string(page));
    if (!Visible("next")) break;
    Click("next");
  }
  sheet_.reset();
  Open(2);
  for (int tab = 0; tab < 4; ++tab) {
    ShowTab(tab);
    shoot("tabs-" + std::to_string(tab));
  }
  ShowTab(2);
  Type("1016", "a@b.c");
  Type("1017", "abcd");
  Click("1");
  PumpUntil([&] { return !sheet_->busy(); });
  shoot("tabs-balloon");
  sheet_.reset();
  Open(5);
  shoot("signin-only");
}
}  // namespace
}  // namespace quol::wizard

// GTK lays text out with Pango, which fills fontconfig's caches from its
// per-thread font map; they live until the process ends and the leak
// checker of the sanitizer builds cannot trace them. They are the
// libraries' caches, not leaks of the sheet (the screen saver program
// tells the checker the same). Nothing calls this without the checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n";
}
