// Drives the dialog's widgets by their names on a private Xvfb.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "foundation/saverinstall/saver_install.h"
#include "platform/registry/registry.h"
#include "platform/testing/gtk_xvfb.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

constexpr char kOurs[] = "/opt/quol/quolsaver";
constexpr char kOn[] = "mode: one\nselected: 0\nprograms: /opt/quol/quolsaver --root\n";
constexpr char kOther[] = "mode: one\nselected: 0\nprograms: maze --root\n";

GtkWidget* FindByName(GtkWidget* widget, const char* name) {
  if (g_strcmp0(gtk_widget_get_name(widget), name) == 0) return widget;
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  GtkWidget* found = nullptr;
  for (GList* it = children; it != nullptr && found == nullptr; it = it->next)
    found = FindByName(GTK_WIDGET(it->data), name);
  g_list_free(children);
  return found;
}

GtkWidget* FindVisibleWindow(const char* name) {
  GList* windows = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* it = windows; it != nullptr && found == nullptr; it = it->next) {
    GtkWidget* window = GTK_WIDGET(it->data);
    if (gtk_widget_get_visible(window) && g_strcmp0(gtk_widget_get_name(window), name) == 0) found = window;
  }
  g_list_free(windows);
  return found;
}

// What the "person" at the dialog does and what they saw.
struct Driver {
  const char* radio = nullptr;   // clicked before the button; nullptr: none
  const char* button = "1";      // "1" OK, "2" Cancel
  std::string preselected;       // the radio that was checked on opening
  std::string title;
  std::string message;           // text of the accounts message, if shown
  int ticks = 0;
};

gboolean Drive(gpointer data) {
  auto* driver = static_cast<Driver*>(data);
  if (++driver->ticks > 1000) return G_SOURCE_REMOVE;  // 10 s: give up, the test fails
  if (GtkWidget* message = FindVisibleWindow("SkippedAccounts")) {
    gchar* text = nullptr;
    g_object_get(message, "text", &text, nullptr);
    driver->message = text != nullptr ? text : "";
    g_free(text);
    gtk_dialog_response(GTK_DIALOG(message), GTK_RESPONSE_OK);
    return G_SOURCE_REMOVE;
  }
  GtkWidget* dialog = FindVisibleWindow("SetScreensaverDlg");
  if (dialog == nullptr || !driver->preselected.empty()) return G_SOURCE_CONTINUE;
  for (const char* id : {"1006", "1009", "1004"}) {
    GtkWidget* radio = FindByName(dialog, id);
    if (radio != nullptr && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio))) driver->preselected = id;
  }
  driver->title = gtk_window_get_title(GTK_WINDOW(dialog)) ? gtk_window_get_title(GTK_WINDOW(dialog)) : "";
  if (driver->radio != nullptr) gtk_button_clicked(GTK_BUTTON(FindByName(dialog, driver->radio)));
  gtk_button_clicked(GTK_BUTTON(FindByName(dialog, driver->button)));
  return G_SOURCE_CONTINUE;  // stays for the message that may follow
}

// GTK opens its display once per process: one server for all the dialog
// tests of this program (the daemon tests start their own).
[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new testing::GtkXvfbEnvironment);

class SetScreensaverDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::GtkXvfbEnvironment::error().empty()) {
      GTEST_SKIP() << testing::GtkXvfbEnvironment::error();
    }
    ASSERT_EQ(::mkdir(profiles_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(home_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(other_.c_str(), 0755), 0);
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryHive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), S_OK);
    ASSERT_EQ(key.WriteString("ScreenSaver", kOurs), S_OK);
  }

  bool Run(Driver* driver) {
    g_timeout_add(10, Drive, driver);
    return RunSetScreensaverDialog(0);
  }

  testing::IsolatedEnvironment env_;
  std::string profiles_ = env_.root() + "/profiles";
  std::string home_ = profiles_ + "/me";
  std::string other_ = profiles_ + "/other";
  testing::ScopedEnv home_env_{"HOME", home_};
  testing::ScopedEnv profiles_env_{"QUOL_PROFILES_DIR", profiles_};
  testing::ScopedEnv skel_env_{"QUOL_SKEL_DIR", env_.root() + "/skel"};
};

TEST_F(SetScreensaverDialogTest, OpensOnTheCurrentChoiceAndAppliesAChangedOne) {
  const struct {
    const char* mine;
    const char* others;
    const char* preselected;
    const char* click;
    const char* button;
    int choice_after;
  } cases[] = {
      {kOn, kOther, "1009", "1006", "1", kSaverForEveryone},   // just me -> everyone
      {kOther, kOn, "1004", nullptr, "1", kSaverForNobody},    // mixed reads as nobody; OK turns it off
      {kOn, kOn, "1006", "1004", "2", kSaverForEveryone},      // Cancel changes nothing
      {kOn, kOn, "1006", "1009", "1", kSaverJustMe},
      {kOther, kOther, "1004", "1009", "1", kSaverJustMe},
  };
  for (const auto& c : cases) {
    testing::WriteFileOrDie(home_ + "/.xscreensaver", c.mine);
    testing::WriteFileOrDie(other_ + "/.xscreensaver", c.others);
    Driver driver;
    driver.radio = c.click;
    driver.button = c.button;
    EXPECT_EQ(Run(&driver), std::string(c.button) == "1");
    EXPECT_EQ(driver.preselected, c.preselected);
    EXPECT_EQ(driver.title, "");
    EXPECT_EQ(driver.message, "");
    EXPECT_EQ(GetScreenSaverChoice(), c.choice_after) << c.preselected << " " << (c.click ? c.click : "-");
  }
}

TEST_F(SetScreensaverDialogTest, SaysHowManyAccountsWereNotChanged) {
  testing::WriteFileOrDie(home_ + "/.xscreensaver", kOther);
  testing::WriteFileOrDie(other_ + "/.xscreensaver", kOther);
  const std::string target = env_.root() + "/target";
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  ASSERT_EQ(::symlink(target.c_str(), (profiles_ + "/linked").c_str()), 0);
  Driver driver;
  driver.radio = "1006";
  EXPECT_TRUE(Run(&driver));
  EXPECT_EQ(driver.message, "1 account on this computer was not changed.");
  EXPECT_EQ(GetUserScreenSaver(""), kOurs);
  EXPECT_EQ(GetUserScreenSaver("other"), kOurs);
}

}  // namespace
}  // namespace quol

// GTK lays text out with Pango, which fills fontconfig's caches from its
// per-thread font map; they live until the process ends and the leak
// checker of the sanitizer builds cannot trace them. They are the
// libraries' caches, not leaks of the dialog. Nothing calls this without
// the checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n";
}
