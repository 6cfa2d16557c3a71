// The splash, the progress window and the about box on a private Xvfb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fontconfig/fontconfig.h>
#include <pango/pangofc-font.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "client/windows/client_windows.h"
#include "foundation/testing/log_capture.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/testing/gtk_xvfb.h"
#include "platform/testing/test_support.h"

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
  return quol::testing::PumpGtkUntil(done, std::chrono::seconds(20));
}

GtkWidget* FindNamed(GtkWidget* root, const char* name) {
  if (g_strcmp0(gtk_widget_get_name(root), name) == 0) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget* found = nullptr;
  for (GList* it = children; it != nullptr && found == nullptr; it = it->next) {
    found = FindNamed(GTK_WIDGET(it->data), name);
  }
  g_list_free(children);
  return found;
}

// The atoms of an X window property (of type ATOM) by name.
std::vector<std::string> AtomProperty(GtkWindow* window, const char* property) {
  std::vector<std::string> names;
  GdkAtom type = GDK_NONE;
  gint format = 0, length = 0;
  guchar* data = nullptr;
  if (!gdk_property_get(gtk_widget_get_window(GTK_WIDGET(window)),
                        gdk_atom_intern(property, FALSE), gdk_atom_intern("ATOM", FALSE), 0, 64,
                        FALSE, &type, &format, &length, &data)) {
    return names;
  }
  const auto* atoms = reinterpret_cast<const GdkAtom*>(data);
  for (gint i = 0; i < length / static_cast<gint>(sizeof(GdkAtom)); ++i) {
    gchar* name = gdk_atom_name(atoms[i]);
    names.emplace_back(name);
    g_free(name);
  }
  g_free(data);
  return names;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Saves what the screen shows of `widget` into the build folder's shots/
// (for people to look at; nothing is compared).
void SaveShot(GtkWidget* widget, const std::string& name) {
  gdk_display_sync(gdk_display_get_default());
  Pump();
  GdkWindow* window = gtk_widget_get_window(widget);
  if (window == nullptr) return;
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                               gdk_window_get_height(window));
  if (shot == nullptr) return;
  const std::string folder = QUOL_SHOTS_DIR;
  std::filesystem::create_directories(folder);
  gdk_pixbuf_save(shot, (folder + "/" + name).c_str(), "png", nullptr, nullptr);
  g_object_unref(shot);
}

class ClientWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkXvfbEnvironment::error().empty()) << GtkXvfbEnvironment::error(); }

  GtkWindow* NewFrame(int x, int y, int width, int height) {
    GtkWindow* frame = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_default_size(frame, width, height);
    gtk_window_move(frame, x, y);
    gtk_widget_show(GTK_WIDGET(frame));
    PumpUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(frame)); });
    frames_.push_back(frame);
    return frame;
  }
  void TearDown() override {
    for (GtkWindow* frame : frames_) gtk_widget_destroy(GTK_WIDGET(frame));
    Pump();
  }

  testing::IsolatedEnvironment env_;
  // No sound from the tests unless a test asks for it.
  ScopedEnv silent_{"QUOL_SOUND_PLAYER", std::string()};
  testing::LogCapture log_;
  std::vector<GtkWindow*> frames_;
};

TEST_F(ClientWindowsTest, AboutTitleFontShrinksForLongNamesAndBrowserTextIsBounded) {
  struct FontCase {
    std::string name;
    int tenths;
  };
  const std::vector<FontCase> fonts = {
      {"Quol", 240},
      {std::string(24, 'Q'), 240},
      {std::string(25, 'Q'), 230},
      {std::string(30, 'Q'), 192},
      {std::string(48, 'Q'), 120},
      // Characters, not bytes: 25 two-byte letters are 25 characters.
      {[] {
         std::string s;
         for (int i = 0; i < 25; ++i) s += "\u00E9";
         return s;
       }(),
       230},
  };
  for (const FontCase& c : fonts) EXPECT_EQ(AboutTitleFontTenths(c.name), c.tenths) << c.name;

  struct BrowserCase {
    std::string given, shown;
  };
  const std::vector<BrowserCase> browsers = {
      {"", "(Unknown Browser)"},
      {"Internet Explorer WebKitGTK 2.50.6", "Internet Explorer WebKitGTK 2.50.6"},
      {std::string(63, 'v'), std::string(63, 'v')},
      {std::string(64, 'v'), "(Unknown Browser)"},
      {std::string(500, 'v'), "(Unknown Browser)"},
  };
  for (const BrowserCase& c : browsers) EXPECT_EQ(AboutBrowserLine(c.given), c.shown) << c.given;
}

TEST_F(ClientWindowsTest, AboutDialogShowsNameVersionsAndTitleFont) {
  GtkWindow* frame = NewFrame(100, 80, 800, 600);
  AboutDialogContent content;
  content.product_name = "Quol Family Organizer Deluxe 1";  // 30 characters
  ASSERT_EQ(g_utf8_strlen(content.product_name.c_str(), -1), 30);
  content.browser_version = "Internet Explorer WebKitGTK 2.50.6";
  GtkWidget* dialog = CreateAboutDialog(frame, content);
  ASSERT_NE(dialog, nullptr);
  gtk_widget_show(dialog);
  ASSERT_TRUE(PumpUntil([&] { return gtk_widget_get_mapped(dialog); }));

  GtkWidget* title = FindNamed(dialog, "2004");
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(title)), content.product_name.c_str());
  PangoAttrList* attributes = gtk_label_get_attributes(GTK_LABEL(title));
  ASSERT_NE(attributes, nullptr);
  PangoAttrIterator* it = pango_attr_list_get_iterator(attributes);
  PangoFontDescription* font = pango_font_description_new();
  pango_attr_iterator_get_font(it, font, nullptr, nullptr);
  EXPECT_EQ(pango_font_description_get_size(font), 192 * PANGO_SCALE / 10);  // 19.2 points
  EXPECT_STREQ(pango_font_description_get_family(font), "Futura Bk BT");
  // ...and that name reaches the bundled font, not a fallback family.
  PangoFont* loaded = pango_context_load_font(gtk_widget_get_pango_context(title), font);
  ASSERT_TRUE(loaded != nullptr && PANGO_IS_FC_FONT(loaded));
  FcChar8* file = nullptr;
  FcPatternGetString(pango_fc_font_get_pattern(PANGO_FC_FONT(loaded)), FC_FILE, 0, &file);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file)).rfind("/proc/self/fd/", 0), 0u) << file;
  g_object_unref(loaded);
  pango_font_description_free(font);
  pango_attr_iterator_destroy(it);

  const platform::FileVersion v = platform::ProgramFileVersion();
  char version[64];
  std::snprintf(version, sizeof version, "%u.%u.%u.%u", v.major, v.minor, v.build, v.revision);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(FindNamed(dialog, "2001"))), version);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(FindNamed(dialog, "2002"))),
               content.browser_version.c_str());
  EXPECT_NE(FindNamed(dialog, "2005"), nullptr);
  EXPECT_NE(FindNamed(dialog, "1"), nullptr);
  EXPECT_FALSE(gtk_window_get_decorated(GTK_WINDOW(dialog)));

  // Centred over the frame: its centre is the frame's, within a pixel.
  int fx = 0, fy = 0, fw = 0, fh = 0, dx = 0, dy = 0, dw = 0, dh = 0;
  gtk_window_get_position(frame, &fx, &fy);
  gtk_window_get_size(frame, &fw, &fh);
  gtk_window_get_position(GTK_WINDOW(dialog), &dx, &dy);
  gtk_window_get_size(GTK_WINDOW(dialog), &dw, &dh);
  EXPECT_NEAR(dx + dw / 2, fx + fw / 2, 2);
  EXPECT_NEAR(dy + dh / 2, fy + fh / 2, 2);
  SaveShot(dialog, "about.png");
  gtk_widget_destroy(dialog);

  // Without a browser text the line says so; an empty name becomes the product's.
  GtkWidget* plain = CreateAboutDialog(frame, {});
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(FindNamed(plain, "2002"))), "(Unknown Browser)");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(FindNamed(plain, "2004"))), "Quol");
  gtk_widget_destroy(plain);
}

TEST_F(ClientWindowsTest, ProgressKeepsUpThroughQuickNavigationsAndHidesAfterTheDelay) {
  GtkWindow* frame = NewFrame(50, 40, 600, 400);
  auto progress = CProgressWindow::Create(frame);
  ASSERT_TRUE(progress);
  EXPECT_FALSE(progress->visible());
  EXPECT_FALSE(gtk_window_get_accept_focus(progress->window()));
  EXPECT_FALSE(gtk_window_get_focus_on_map(progress->window()));
  EXPECT_DOUBLE_EQ(gtk_widget_get_opacity(GTK_WIDGET(progress->window())), 204.0 / 255.0);

  progress->Show();
  ASSERT_TRUE(PumpUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(progress->window())); }));
  EXPECT_TRUE(progress->visible());
  EXPECT_FALSE(gtk_window_is_active(progress->window()));
  EXPECT_FALSE(gtk_widget_has_focus(GTK_WIDGET(progress->window())));

  // Document complete, then the next navigation inside the delay: the
  // pending hide is dropped and the window stays.
  progress->RequestHide();
  EXPECT_TRUE(progress->hide_pending());
  progress->Show();
  EXPECT_FALSE(progress->hide_pending());
  Pump();
  EXPECT_TRUE(progress->visible());

  // Two RequestHide calls leave one pending hide; it ends the window.
  progress->RequestHide();
  progress->RequestHide();
  EXPECT_TRUE(progress->hide_pending());
  EXPECT_TRUE(progress->visible());
  ASSERT_TRUE(PumpUntil([&] { return !progress->visible(); }));
  EXPECT_FALSE(progress->hide_pending());

  // Shown again: centred on the frame; moving the frame and recentring follows it.
  progress->Show();
  int fx = 0, fy = 0, fw = 0, fh = 0, px = 0, py = 0, pw = 0, ph = 0;
  gtk_window_get_position(frame, &fx, &fy);
  gtk_window_get_size(frame, &fw, &fh);
  gtk_window_get_position(progress->window(), &px, &py);
  gtk_window_get_size(progress->window(), &pw, &ph);
  EXPECT_EQ(px, fx + (fw - pw) / 2);
  EXPECT_EQ(py, fy + (fh - ph) / 2);
  gtk_window_move(frame, 200, 150);
  ASSERT_TRUE(PumpUntil([&] {
    int x = 0, y = 0;
    gtk_window_get_position(frame, &x, &y);
    return x == 200 && y == 150;
  }));
  progress->Recentre();
  gtk_window_get_position(progress->window(), &px, &py);
  EXPECT_EQ(px, 200 + (fw - pw) / 2);
  EXPECT_EQ(py, 150 + (fh - ph) / 2);
}

TEST_F(ClientWindowsTest, SplashIsTopmostWithoutTaskbarEntryAndClosesAfterItsTimeout) {
  GtkWindow* frame = NewFrame(100, 100, 700, 500);
  bool timed_out = false;
  auto splash = CSplashWindow::Create(kSplashBitmap, frame, 300, [&] { timed_out = true; });
  ASSERT_TRUE(splash);
  ASSERT_TRUE(PumpUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(splash->window())); }));
  EXPECT_TRUE(splash->visible());

  GtkWindow* window = splash->window();
  int w = 0, h = 0, x = 0, y = 0;
  gtk_window_get_size(window, &w, &h);
  EXPECT_EQ(w, 350);
  EXPECT_EQ(h, 150);
  gtk_window_get_position(window, &x, &y);
  EXPECT_EQ(x, 100 + (700 - 350) / 2);
  EXPECT_EQ(y, 100 + (500 - 150) / 2);
  EXPECT_FALSE(gtk_window_get_decorated(window));
  EXPECT_FALSE(gtk_window_get_accept_focus(window));
  // What a window manager reads from the window.
  EXPECT_TRUE(Has(AtomProperty(window, "_NET_WM_WINDOW_TYPE"), "_NET_WM_WINDOW_TYPE_SPLASH"));
  const auto state = AtomProperty(window, "_NET_WM_STATE");
  EXPECT_TRUE(Has(state, "_NET_WM_STATE_ABOVE"));
  EXPECT_TRUE(Has(state, "_NET_WM_STATE_SKIP_TASKBAR"));
  SaveShot(GTK_WIDGET(window), "splash.png");

  ASSERT_TRUE(PumpUntil([&] { return timed_out; }));
  EXPECT_FALSE(splash->visible());
  EXPECT_EQ(splash->window(), nullptr);
}

TEST_F(ClientWindowsTest, SplashWithoutItsPictureIsLeftOutAndCloseStopsTheTimeout) {
  EXPECT_FALSE(CSplashWindow::Create(4999, nullptr, 2000));

  bool timed_out = false;
  auto splash = CSplashWindow::Create(kSplashBitmap, nullptr, 100, [&] { timed_out = true; });
  ASSERT_TRUE(splash);
  splash->Close();
  EXPECT_FALSE(splash->visible());
  // The timeout was the splash's own; closing it early takes it away.
  const auto until = std::chrono::steady_clock::now() + 400ms;
  while (std::chrono::steady_clock::now() < until) Pump();
  EXPECT_FALSE(timed_out);
}

TEST_F(ClientWindowsTest, StartupSoundGoesToThePlayerWithoutWaitingForIt) {
  testing::TempDir dir;
  const std::string out = dir / "played.wav";
  const std::string player = dir / "player.sh";
  WriteFileOrDie(player, "#!/bin/sh\ncat \"$1\" > '" + out + ".part' && mv '" + out + ".part' '" +
                             out + "'\n");
  ::chmod(player.c_str(), 0755);
  {
    ScopedEnv chosen("QUOL_SOUND_PLAYER", player);
    ASSERT_TRUE(PlayResourceSound(kStartupSound));
    EXPECT_FALSE(PlayResourceSound(9999));  // no such sound
  }
  ASSERT_TRUE(PumpUntil([&] { return platform::FileExists(out); }));
  const std::string wav = ReadFileOrEmpty(out);
  ASSERT_GT(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  // An empty override means no sound at all.
  EXPECT_FALSE(PlayResourceSound(kStartupSound));
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
