// End-to-end tests of the QuolScreensaver program: the real binary runs as a
// child process against a private Xvfb, with a private home, data folder and
// photo folder; the test drives it with XTest and looks at the window tree,
// the pixels, the daily log and the exit code.
//
// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/keysym.h>
#include <cairo.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/settings/suite_settings.h"
#include "platform/clock/clock.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/protect/data_protection.h"
#include "platform/trust/minisign.h"
#include "platform/testing/test_support.h"
#include "screensaver/app/message_loop.h"
#include "screensaver/app/saver_frame.h"
#include "screensaver/slides/message_slide.h"
#include "screensaver/x11/x_display.h"
#include "service/devservice.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quol::testing::ReadFileOrEmpty;
using quol::testing::WriteFileOrDie;

constexpr char kReady[] = "Screen saver ready";
constexpr char kExitingBecause[] = "Exiting screen saver because";
constexpr char kNoPhotosSlide[] =
    "MessageSlide: To see your photos in this screen saver, use Quol's Settings area to "
    "indicate where you keep your photos. (1)";
// Generous bounds: two cores, tests in parallel, llvmpipe.
constexpr auto kStartTimeout = 20s;
constexpr auto kExitTimeout = 10s;
constexpr int kStillRunning = -1000;

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rect& rect) {
  return out << rect.width << "x" << rect.height << "+" << rect.x << "+" << rect.y;
}

// XvfbOptions::TwoMonitors(): LEFT is the primary monitor.
constexpr Rect kLeft{0, 0, 1920, 1080};
constexpr Rect kRight{1920, 0, 1280, 1024};
// The desktop under the saver: neither black nor a photo colour, so whatever
// covers it can be told apart.
constexpr std::uint32_t kDesktop = 0x3366CC;
// The photos are solid colours; a collage shows them unchanged inside their frames.
constexpr std::uint32_t kPhotoColours[] = {0xE01070, 0x10C0E0, 0xF0D020, 0x40E040};

bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void MakeFolder(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path; }

void WritePhoto(const std::string& path, std::uint32_t colour) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 480);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                       (colour & 0xFF) / 255.0);
  cairo_paint(cr);
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  ASSERT_EQ(status, CAIRO_STATUS_SUCCESS) << path;
}

// Everything the saver may touch, in one temporary tree: home, config and
// data folders, the registry, an empty shared-pictures folder and a folder of
// four photos. Each run gets a data folder (Settings.xml and log) of its own.
class SaverHome {
 public:
  void SetUp() {
    for (const char* name : {"home", "config", "xdg-data", "runtime", "registry", "shared",
                             "photos"}) {
      ASSERT_NO_FATAL_FAILURE(MakeFolder(dir_ / name));
    }
    int n = 0;
    for (std::uint32_t colour : kPhotoColours) {
      ASSERT_NO_FATAL_FAILURE(WritePhoto(dir_ / ("photos/photo" + std::to_string(++n) + ".png"),
                                         colour));
    }
    folders_ = {photos()};
  }

  std::string photos() const { return dir_ / "photos"; }
  std::string Path(const std::string& name) const { return dir_ / name; }
  void set_folders(std::vector<std::string> folders) { folders_ = std::move(folders); }
  void set_interval_seconds(int seconds) { interval_seconds_ = seconds; }
  // The <general> element of every run's Settings.xml from now on.
  void set_general_settings(std::string xml) { general_settings_ = std::move(xml); }
  // A file every run's data folder gets (`relative` may name sub-folders).
  void add_data_file(std::string relative, std::string content) {
    data_files_.emplace_back(std::move(relative), std::move(content));
  }
  // A stored sign-in and the service's addresses (LocalConfig.xml) for the
  // runs to come. The password is sealed with a machine key of this home's,
  // which every run's data folder then gets a copy of.
  void set_service(const std::string& email, const std::string& password,
                   const std::string& local_config) {
    const std::string keys = dir_ / "keys";
    MakeFolder(keys);
    std::string sealed;
    {
      quol::testing::ScopedEnv data("QUOL_DATA_DIR", keys);
      sealed = CSuiteSettings::ProtectPassword(password);
      machine_key_ = ReadFileOrEmpty(platform::MachineKeyPath());
    }
    general_settings_ = "<general><credsEmailAddress>" + email +
                        "</credsEmailAddress><credsPassword>" + sealed +
                        "</credsPassword></general>";
    local_config_ = local_config;
  }

  // A fresh data folder holding the settings.
  std::string NewDataFolder() {
    const std::string data = dir_ / ("data-" + std::to_string(++runs_));
    MakeFolder(data);
    std::string folders;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const std::string tag = "folder" + std::to_string(i + 1);
      folders += "<" + tag + ">" + folders_[i] + "</" + tag + ">";
    }
    WriteFileOrDie(data + "/Settings.xml",
                   "<quol>" + general_settings_ + "<screensaver><myPictures>false</myPictures>"
                   "<sharedPictures>false</sharedPictures>"
                   "<interPhotoInterval>" + std::to_string(interval_seconds_) +
                   "</interPhotoInterval></screensaver>"
                   "<screensaverFolders>" + folders + "</screensaverFolders></quol>");
    if (!local_config_.empty()) WriteFileOrDie(data + "/LocalConfig.xml", local_config_);
    for (const auto& [relative, content] : data_files_) {
      const std::string path = data + "/" + relative;
      EXPECT_TRUE(Succeeded(platform::CreateDirectories(path.substr(0, path.rfind('/')))));
      WriteFileOrDie(path, content);
    }
    if (!machine_key_.empty()) {
      WriteFileOrDie(data + "/machine.key", machine_key_);
      ::chmod((data + "/machine.key").c_str(), 0600);
    }
    return data;
  }

  std::vector<std::string> Environment(const std::string& display,
                                       const std::string& data) const {
    return {"DISPLAY=" + display,
            "QUOL_DATA_DIR=" + data,
            "QUOL_REGISTRY_DIR=" + (dir_ / "registry"),
            "HOME=" + (dir_ / "home"),
            "XDG_CONFIG_HOME=" + (dir_ / "config"),
            "XDG_DATA_HOME=" + (dir_ / "xdg-data"),
            "XDG_RUNTIME_DIR=" + (dir_ / "runtime"),
            "QUOL_SHARED_PICTURES_DIR=" + (dir_ / "shared"),
            // The service stand-in's addresses; the update check the saver
            // starts contacts nothing but this machine (its built-in host is
            // refused unless a test points it at a stand-in) and takes its
            // machine-wide lock in this run's own folder.
            "DevuzezClientMode=local",
            "QUOL_LOOPBACK_ONLY=1",
            "QUOL_GLOBAL_LOCK_DIR=" + (dir_ / "locks"),
            "PATH=/usr/bin:/bin"};
  }

 private:
  quol::testing::TempDir dir_;
  std::vector<std::string> folders_;
  int runs_ = 0;
  int interval_seconds_ = 5;
  std::string general_settings_;
  std::string local_config_;
  std::string machine_key_;
  std::vector<std::pair<std::string, std::string>> data_files_;
};

// One run of the saver: started with posix_spawn, stdout and stderr to files,
// killed on destruction if it is still running.
class SaverRun {
 public:
  SaverRun(SaverHome& home, const std::string& display, const std::vector<std::string>& args,
           const std::vector<std::string>& extra_env)
      : data_(home.NewDataFolder()) {
    std::vector<std::string> env = home.Environment(display, data_);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    // Sanitizer builds: the program gets the same settings as the test.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    std::vector<std::string> argv_text = {QUOL_SAVER_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (data_ + "/stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (data_ + "/stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid_, QUOL_SAVER_BINARY, &actions, &attributes, argv.data(), envp.data()) !=
        0) {
      pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }

  ~SaverRun() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  SaverRun(const SaverRun&) = delete;
  SaverRun& operator=(const SaverRun&) = delete;

  bool started() const { return pid_ > 0; }

  // Whether `text` shows up in the log before the bound (and before the
  // program ends).
  bool WaitForLog(const std::string& text, Clock::duration timeout = kStartTimeout) {
    WaitUntil([&] { return Contains(Log(), text) || !Running(); }, timeout);
    return Contains(Log(), text);
  }

  // The exit code; -signal when a signal ended the program; kStillRunning
  // when it did not end within the bound.
  int WaitForExit(Clock::duration timeout = kExitTimeout) {
    WaitUntil([&] { return !Running(); }, timeout);
    if (!status_) return kStillRunning;
    if (WIFSIGNALED(*status_)) return -WTERMSIG(*status_);
    return WEXITSTATUS(*status_);
  }

  bool Running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return !status_;
  }

  void Signal(int signal_number) {
    if (Running()) ::kill(pid_, signal_number);
  }

  // The day's log (or logs, around midnight).
  std::string Log() const {
    std::string text;
    for (const std::string& name : quol::testing::ListFolder(data_)) {
      if (name.rfind("QuolScreensaver-", 0) == 0 && name.size() > 4 &&
          name.compare(name.size() - 4, 4, ".log") == 0) {
        text += ReadFileOrEmpty(data_ + "/" + name);
      }
    }
    return text;
  }
  const std::string& data() const { return data_; }
  std::string Stdout() const { return ReadFileOrEmpty(data_ + "/stdout.txt"); }
  std::string Stderr() const { return ReadFileOrEmpty(data_ + "/stderr.txt"); }

  // For failure messages.
  std::string Report() const {
    return "\n--- log\n" + Log() + "--- stderr\n" + Stderr() + "--- crash\n" +
           ReadFileOrEmpty(data_ + "/crash.dmp");
  }

 private:
  std::string data_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct TopWindow {
  Window id = 0;
  Rect rect;
  bool override_redirect = false;
};

// The mapped children of the root window, bottom to top.
std::vector<TopWindow> MappedTopWindows(Display* display) {
  std::vector<TopWindow> windows;
  Window root_return = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, DefaultRootWindow(display), &root_return, &parent, &children, &count) ==
      0) {
    return windows;
  }
  for (unsigned i = 0; i < count; ++i) {
    XErrorTrap trap(display);
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, children[i], &attributes) == 0 || trap.HasError()) continue;
    if (attributes.map_state != IsViewable) continue;
    windows.push_back(TopWindow{children[i],
                                Rect{attributes.x, attributes.y, attributes.width,
                                     attributes.height},
                                attributes.override_redirect != 0});
  }
  if (children != nullptr) XFree(children);
  return windows;
}

std::optional<TopWindow> WindowWithRect(const std::vector<TopWindow>& windows, const Rect& rect) {
  for (const TopWindow& window : windows) {
    if (window.rect == rect) return window;
  }
  return std::nullopt;
}

std::string Describe(const std::vector<TopWindow>& windows) {
  std::ostringstream out;
  out << windows.size() << " mapped:";
  for (const TopWindow& window : windows) {
    out << " " << window.rect << (window.override_redirect ? " (override)" : "");
  }
  return out.str();
}

std::vector<Window> Children(Display* display, Window window) {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::vector<Window> result;
  XErrorTrap trap(display);
  if (XQueryTree(display, window, &root, &parent, &children, &count) != 0) {
    result.assign(children, children + count);
  }
  if (children != nullptr) XFree(children);
  trap.HasError();
  return result;
}

// The colours (0xRRGGBB) of `drawable` on a grid of `step` pixels over `area`.
std::vector<std::uint32_t> SampleColours(Display* display, Drawable drawable, const Rect& area,
                                         int step) {
  std::vector<std::uint32_t> colours;
  XErrorTrap trap(display);
  XImage* image = XGetImage(display, drawable, area.x, area.y, static_cast<unsigned>(area.width),
                            static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
  if (image == nullptr || trap.HasError()) {
    if (image != nullptr) XDestroyImage(image);
    return colours;
  }
  for (int y = step / 2; y < area.height; y += step) {
    for (int x = step / 2; x < area.width; x += step) {
      colours.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xFFFFFFu));
    }
  }
  XDestroyImage(image);
  return colours;
}

bool Near(std::uint32_t a, std::uint32_t b) {
  for (int shift : {0, 8, 16}) {
    const int ca = static_cast<int>((a >> shift) & 0xFF), cb = static_cast<int>((b >> shift) & 0xFF);
    if (ca - cb > 3 || cb - ca > 3) return false;
  }
  return true;
}

int CountPhotoColours(const std::vector<std::uint32_t>& colours) {
  int count = 0;
  for (std::uint32_t colour : colours) {
    for (std::uint32_t photo : kPhotoColours) {
      if (Near(colour, photo)) {
        ++count;
        break;
      }
    }
  }
  return count;
}

int CountNot(const std::vector<std::uint32_t>& colours, std::uint32_t colour) {
  int count = 0;
  for (std::uint32_t c : colours) count += c != colour ? 1 : 0;
  return count;
}

// The keycode of `keysym`; when the keyboard map has none, a spare keycode
// is given that symbol.
KeyCode KeycodeFor(Display* display, KeySym keysym) {
  if (KeyCode code = XKeysymToKeycode(display, keysym); code != 0) return code;
  int min = 0, max = 0, per_code = 0;
  XDisplayKeycodes(display, &min, &max);
  KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(min), max - min + 1, &per_code);
  KeyCode spare = 0;
  for (int code = max; code >= min && spare == 0 && map != nullptr; --code) {
    bool empty = true;
    for (int i = 0; i < per_code; ++i) empty = empty && map[(code - min) * per_code + i] == NoSymbol;
    if (empty) spare = static_cast<KeyCode>(code);
  }
  if (map != nullptr) XFree(map);
  if (spare != 0) {
    XChangeKeyboardMapping(display, spare, 1, &keysym, 1);
    XSync(display, False);
  }
  return spare;
}

class SaverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(home_.SetUp()); }

  void StartServer(XvfbOptions options = XvfbOptions::TwoMonitors()) {
    server_.emplace(std::move(options));
    ASSERT_TRUE(server_->ok()) << server_->error();
    display_ = XDisplay::Open(server_->display_name());
    ASSERT_TRUE(display_);
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    ASSERT_TRUE(XTestQueryExtension(dpy(), &event_base, &error_base, &major, &minor));
    XSetWindowBackground(dpy(), DefaultRootWindow(dpy()), kDesktop);
    XClearWindow(dpy(), DefaultRootWindow(dpy()));
    // The pointer rests on the primary monitor; input just now also makes
    // the saver one started by hand (it opens with a collage).
    MoveTo(200, 200);
  }

  std::unique_ptr<SaverRun> Start(const std::vector<std::string>& args,
                                  const std::vector<std::string>& extra_env = {}) {
    auto run = std::make_unique<SaverRun>(home_, server_ ? server_->display_name() : ":9999",
                                          args, extra_env);
    EXPECT_TRUE(run->started());
    return run;
  }

  Display* dpy() const { return display_.get(); }

  void MoveTo(int x, int y) {
    XTestFakeMotionEvent(dpy(), DefaultScreen(dpy()), x, y, 0);
    XSync(dpy(), False);
  }
  void PressKeycode(KeyCode code) {
    ASSERT_NE(code, 0);
    XTestFakeKeyEvent(dpy(), code, True, 0);
    XTestFakeKeyEvent(dpy(), code, False, 0);
    XSync(dpy(), False);
  }
  void PressKey(KeySym keysym) { PressKeycode(KeycodeFor(dpy(), keysym)); }
  void Click(unsigned button) {
    XTestFakeButtonEvent(dpy(), button, True, 0);
    XTestFakeButtonEvent(dpy(), button, False, 0);
    XSync(dpy(), False);
  }

  // A plain window of the test's own, as a settings dialog or the
  // xscreensaver daemon would have.
  Window CreateHost(const Rect& rect) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(dpy(), DefaultScreen(dpy()));
    Window window = XCreateWindow(dpy(), DefaultRootWindow(dpy()), rect.x, rect.y,
                                  static_cast<unsigned>(rect.width),
                                  static_cast<unsigned>(rect.height), 0, CopyFromParent,
                                  InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel,
                                  &attributes);
    XMapRaised(dpy(), window);
    XSync(dpy(), False);
    return window;
  }

  // Waits until the primary monitor shows a collage of the photos.
  bool PrimaryShowsPhotos() {
    return WaitUntil([&] { return CountPhotoColours(SampleColours(dpy(), DefaultRootWindow(dpy()),
                                                                  kLeft, 16)) >= 50; },
                     kStartTimeout);
  }

  SaverHome home_;
  std::optional<XvfbServer> server_;
  XDisplay display_;
};

// ---------------------------------------------------------------------------
// Full screen on two monitors

using SaverFullScreenTest = SaverTest;

// Below the second monitor, over the bare desktop: keys and buttons reach the
// saver there only through its grabs.
constexpr int kOffMonitorX = 2500, kOffMonitorY = 1050;

TEST_F(SaverFullScreenTest, CoversBothMonitorsSlidesOnThePrimaryAndEndsOnEscape) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  MoveTo(kOffMonitorX, kOffMonitorY);
  auto saver = Start({"/s"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();

  const std::vector<TopWindow> windows = MappedTopWindows(dpy());
  const auto left = WindowWithRect(windows, kLeft);
  const auto right = WindowWithRect(windows, kRight);
  ASSERT_TRUE(left && right) << Describe(windows);
  EXPECT_TRUE(left->override_redirect);
  EXPECT_TRUE(right->override_redirect);

  EXPECT_TRUE(PrimaryShowsPhotos()) << saver->Report();
  const std::vector<std::uint32_t> second =
      SampleColours(dpy(), DefaultRootWindow(dpy()), kRight, 16);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(CountNot(second, 0x000000), 0) << "the second monitor is not black";

  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  EXPECT_TRUE(Contains(saver->Log(), "Exiting screen saver because 27 pressed.\r\n"))
      << saver->Report();
  EXPECT_TRUE(WaitUntil([&] { return MappedTopWindows(dpy()).empty(); }, kExitTimeout));
}

// Nobody touched the computer for a minute: the saver was started by the
// idle timer and opens with a tip before the first collage. (The test waits
// for the server's idle time to pass a minute.)
TEST_F(SaverFullScreenTest, AfterAMinuteIdleTheFirstSlideIsATip) {
  server_.emplace(XvfbOptions::TwoMonitors());
  ASSERT_TRUE(server_->ok()) << server_->error();
  display_ = XDisplay::Open(server_->display_name());
  ASSERT_TRUE(display_);
  XSetWindowBackground(dpy(), DefaultRootWindow(dpy()), kDesktop);
  XClearWindow(dpy(), DefaultRootWindow(dpy()));
  int event_base = 0, error_base = 0;
  ASSERT_TRUE(XScreenSaverQueryExtension(dpy(), &event_base, &error_base));
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  ASSERT_NE(info, nullptr);
  const bool idle = WaitUntil(
      [&] {
        return XScreenSaverQueryInfo(dpy(), DefaultRootWindow(dpy()), info) != 0 &&
               info->idle >= 61000;
      },
      90s);
  XFree(info);
  ASSERT_TRUE(idle) << "the server's idle time never reached a minute";

  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog("ShowProductTip: Yes")) << saver->Report();
  // The tip: lit text and logo on black, no photo and no desktop.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto colours = SampleColours(dpy(), DefaultRootWindow(dpy()), kLeft, 4);
        int lit = 0;
        for (std::uint32_t colour : colours) lit += colour >= 0x404040 ? 1 : 0;
        return lit > 20 && CountPhotoColours(colours) == 0 &&
               CountNot(colours, kDesktop) == static_cast<int>(colours.size());
      },
      kStartTimeout))
      << saver->Report();
  // Then collages.
  EXPECT_TRUE(PrimaryShowsPhotos()) << saver->Report();
  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

// The pointer may wander a little: the box reaches 20 pixels from where the
// pointer was when the saver came up, its left and top edges inside, right
// and bottom edges outside. Moves are relative to that position, never to
// the previous move.
constexpr int kPx = 700, kPy = 500;

TEST_F(SaverFullScreenTest, MovesInsideTheMovementBoxKeepItRunning) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  MoveTo(kPx, kPy);
  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  MoveTo(kPx + 19, kPy);
  MoveTo(kPx - 20, kPy);
  MoveTo(kPx, kPy + 19);
  MoveTo(kPx, kPy - 20);
  MoveTo(kPx + 19, kPy + 19);
  // Events arrive in order: had a move ended it, Escape would not be logged.
  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  EXPECT_TRUE(Contains(saver->Log(), "Exiting screen saver because 27 pressed.")) << saver->Report();
}

TEST_F(SaverFullScreenTest, LeavingTheMovementBoxEndsIt) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  struct Case {
    int dx, dy;
  };
  // The very first move counts: the box is there before the pointer moves.
  for (const Case& move :
       {Case{20, 0}, Case{-21, 0}, Case{0, 20}, Case{0, -21}, Case{25, 0}, Case{-25, 25}}) {
    SCOPED_TRACE(::testing::Message() << "moved by " << move.dx << "," << move.dy);
    MoveTo(kPx, kPy);
    auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
    ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
    MoveTo(kPx + move.dx, kPy + move.dy);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    EXPECT_FALSE(Contains(saver->Log(), kExitingBecause)) << saver->Report();
  }
}

TEST_F(SaverFullScreenTest, VolumeShiftAndArrowKeysKeepItRunningAMouseButtonEndsIt) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  // Mapped before the saver starts, in case the server's keymap lacks it.
  const KeyCode volume_down = KeycodeFor(dpy(), XF86XK_AudioLowerVolume);
  ASSERT_NE(volume_down, 0);
  MoveTo(kOffMonitorX, kOffMonitorY);
  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  PressKeycode(volume_down);
  PressKey(XK_Shift_L);
  // The arrows step through the collages.
  PressKey(XK_Right);
  PressKey(XK_Left);
  Click(1);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  // A key that ended it would be named in the log; the button is not.
  EXPECT_FALSE(Contains(saver->Log(), kExitingBecause)) << saver->Report();
}

TEST_F(SaverFullScreenTest, RisesAboveAWindowThatComesUpLater) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  const Window intruder = CreateHost(Rect{300, 300, 400, 300});
  // Stacking order, bottom to top: the primary window ends above the intruder.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::vector<TopWindow> windows = MappedTopWindows(dpy());
        int intruder_at = -1, saver_at = -1;
        for (std::size_t i = 0; i < windows.size(); ++i) {
          if (windows[i].id == intruder) intruder_at = static_cast<int>(i);
          if (windows[i].rect == kLeft) saver_at = static_cast<int>(i);
        }
        return intruder_at >= 0 && saver_at > intruder_at;
      },
      kStartTimeout))
      << Describe(MappedTopWindows(dpy()));
  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

// ---------------------------------------------------------------------------
// The command line

using SaverCommandLineTest = SaverTest;

TEST_F(SaverCommandLineTest, FullScreenSwitchesAndAMissingPreviewWindowCoverEveryMonitor) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  struct Case {
    std::vector<std::string> args;
    KeySym key;          // ends the run
    const char* logged;  // the key's number in the log
  };
  // Besides any key, the action keys end it too: S (the picture to the
  // clipboard) and C (the client, not installed here).
  const Case cases[] = {{{"/s"}, XK_x, "88"},
                        {{}, XK_x, "88"},
                        {{"/S"}, XK_s, "83"},
                        {{"/P", "5000"}, XK_c, "67"}};
  for (const Case& run : cases) {
    SCOPED_TRACE(::testing::Message() << "arguments: " << (run.args.empty() ? "" : run.args[0]));
    auto saver = Start(run.args, {"QUOL_NO_GL=1"});
    ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
    const std::vector<TopWindow> windows = MappedTopWindows(dpy());
    EXPECT_TRUE(WindowWithRect(windows, kLeft)) << Describe(windows);
    EXPECT_TRUE(WindowWithRect(windows, kRight)) << Describe(windows);
    PressKey(run.key);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    EXPECT_TRUE(Contains(saver->Log(), std::string("Exiting screen saver because ") +
                                           run.logged + " pressed."))
        << saver->Report();
    // The next run starts on a clean screen.
    EXPECT_TRUE(WaitUntil([&] { return MappedTopWindows(dpy()).empty(); }, kExitTimeout));
  }
}

TEST_F(SaverCommandLineTest, DebugModeIgnoresLetterKeysEndsOnEscapeWithASmallSecondWindow) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  auto saver = Start({"/d"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  const std::vector<TopWindow> windows = MappedTopWindows(dpy());
  EXPECT_TRUE(WindowWithRect(windows, kLeft)) << Describe(windows);
  EXPECT_TRUE(WindowWithRect(windows, Rect{kRight.x, kRight.y, 100, 100})) << Describe(windows);
  EXPECT_FALSE(WindowWithRect(windows, kRight)) << Describe(windows);

  // Nothing is grabbed in debug mode: keys go to the window under the
  // pointer (the server's focus follows the pointer), here the primary one.
  PressKey(XK_x);
  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  EXPECT_TRUE(Contains(saver->Log(), "Exiting screen saver because 27 pressed."))
      << saver->Report();
  EXPECT_FALSE(Contains(saver->Log(), "because 88")) << saver->Report();
}

TEST_F(SaverCommandLineTest, SettingsUnknownOptionsAndHelpEndAtOnce) {
  // No X server: none of these may need one.
  {
    auto saver = Start({"/c"});
    const int code = saver->WaitForExit();
    EXPECT_GT(code, 0) << saver->Report();
    EXPECT_FALSE(saver->Stderr().empty());
  }
  {
    auto saver = Start({"--bogus"});
    EXPECT_EQ(saver->WaitForExit(), 2) << saver->Report();
    const std::string err = saver->Stderr();
    EXPECT_TRUE(Contains(err, "--bogus")) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.back(), '\n') << err;
  }
  {
    auto saver = Start({"--window-id"});
    EXPECT_EQ(saver->WaitForExit(), 2) << saver->Report();
    const std::string err = saver->Stderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  {
    auto saver = Start({"--help"});
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    EXPECT_TRUE(Contains(saver->Stdout(), "Usage: QuolScreensaver")) << saver->Stdout();
    EXPECT_EQ(saver->Stderr(), "");
  }
  // The elevated run of the set-screen-saver dialog: a wrong choice is
  // refused; "just me" then "nobody" make the collage this user's
  // xscreensaver choice and take it back (no other profiles here).
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--apply-choice"}, {"--apply-choice", "4"},
        {"--apply-choice", "1", "2"}, {"--apply-choice", "12"}}) {
    auto saver = Start(args);
    EXPECT_EQ(saver->WaitForExit(), 64) << saver->Report();
    const std::string err = saver->Stderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  const std::string profiles = home_.Path("profiles"), skel = home_.Path("skel");
  MakeFolder(profiles);
  MakeFolder(skel);
  const std::vector<std::string> seams = {"QUOL_PROFILES_DIR=" + profiles, "QUOL_SKEL_DIR=" + skel};
  const std::string file = home_.Path("home/.xscreensaver");
  {
    auto saver = Start({"--apply-choice", "2"}, seams);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    const std::string text = ReadFileOrEmpty(file);
    EXPECT_TRUE(Contains(text, "quolsaver")) << text;
    EXPECT_TRUE(Contains(text, "mode:\t\tone")) << text;
  }
  {
    auto saver = Start({"--apply-choice", "3"}, seams);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    EXPECT_NE(::access(file.c_str(), F_OK), 0) << "the file we created stays";
  }
}

TEST_F(SaverCommandLineTest, WithoutPhotoFoldersTheSlidesSayWhereToSetThemUp) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  home_.set_folders({});
  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  EXPECT_TRUE(saver->WaitForLog(std::string(kNoPhotosSlide) + "\r\n")) << saver->Report();
  PressKey(XK_Escape);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

// ---------------------------------------------------------------------------
// In someone else's window: the settings preview, the xscreensaver daemon

using SaverPreviewTest = SaverTest;

// A preview exists only as a child of a window that is there: a parent gone
// before the preview was made yields no half-made preview.
TEST_F(SaverPreviewTest, IsMadeOnlyInsideAWindowThatExists) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  MessageLoop loop(dpy());
  std::unique_ptr<PreviewWindow> preview;
  const Window gone = CreateHost(Rect{0, 0, 50, 40});
  XDestroyWindow(dpy(), gone);
  XSync(dpy(), False);
  EXPECT_EQ(PreviewWindow::Create(dpy(), &loop, gone, &preview), E_INVALIDARG);
  EXPECT_EQ(preview, nullptr);
  const Window host = CreateHost(Rect{0, 0, 50, 40});
  ASSERT_EQ(PreviewWindow::Create(dpy(), &loop, host, &preview), S_OK);
  ASSERT_NE(preview, nullptr);
  XSync(dpy(), False);
  EXPECT_EQ(Children(dpy(), host).size(), 1u);
  preview.reset();  // its window goes with it
  XSync(dpy(), False);
  EXPECT_TRUE(Children(dpy(), host).empty());
  XDestroyWindow(dpy(), host);
}

TEST_F(SaverPreviewTest, DrawsInsideTheHostFollowsItsSizeAndEndsWhenItGoes) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const Rect host_rect{100, 100, 304, 224};
  const Window host = CreateHost(host_rect);
  auto saver = Start({"/P", std::to_string(host)});

  ASSERT_TRUE(WaitUntil([&] { return Children(dpy(), host).size() == 1; }, kStartTimeout))
      << saver->Report();
  const Window child = Children(dpy(), host)[0];
  XWindowAttributes attributes{};
  ASSERT_NE(XGetWindowAttributes(dpy(), child, &attributes), 0);
  EXPECT_EQ(attributes.width, host_rect.width);
  EXPECT_EQ(attributes.height, host_rect.height);
  // The preview picture, not the black of an empty window nor the host's white.
  auto shows_preview = [&](const Rect& area) {
    return WaitUntil(
        [&] {
          const auto colours = SampleColours(dpy(), DefaultRootWindow(dpy()), area, 8);
          const int quarter = static_cast<int>(colours.size()) / 4;
          return !colours.empty() && CountNot(colours, 0x000000) > quarter &&
                 CountNot(colours, 0xFFFFFF) > 3 * quarter;
        },
        kStartTimeout);
  };
  EXPECT_TRUE(shows_preview(host_rect)) << saver->Report();
  // No window of its own on the screen.
  const std::vector<TopWindow> windows = MappedTopWindows(dpy());
  ASSERT_EQ(windows.size(), 1u) << Describe(windows);
  EXPECT_EQ(windows[0].id, host);

  XResizeWindow(dpy(), host, 400, 300);
  XSync(dpy(), False);
  EXPECT_TRUE(WaitUntil(
      [&] {
        XWindowAttributes now{};
        return XGetWindowAttributes(dpy(), child, &now) != 0 && now.width == 400 &&
               now.height == 300;
      },
      kStartTimeout));
  EXPECT_TRUE(shows_preview(Rect{host_rect.x, host_rect.y, 400, 300})) << saver->Report();

  XDestroyWindow(dpy(), host);
  XSync(dpy(), False);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

using SaverEmbeddedTest = SaverTest;

TEST_F(SaverEmbeddedTest, WindowIdOptionDrawsCollagesIntoTheHostAndEndsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const Rect host_rect{200, 150, 640, 400};
  const Window host = CreateHost(host_rect);
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", host);
  auto saver = Start({"--window-id", id});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return CountPhotoColours(SampleColours(dpy(), DefaultRootWindow(dpy()), host_rect, 4)) >=
               50;
      },
      kStartTimeout))
      << saver->Report();
  // Drawn into the host only: no grabs, no windows of its own at the top.
  const std::vector<TopWindow> windows = MappedTopWindows(dpy());
  ASSERT_EQ(windows.size(), 1u) << Describe(windows);
  EXPECT_EQ(windows[0].id, host);
  EXPECT_EQ(Children(dpy(), host).size(), 1u);
  EXPECT_EQ(XGrabKeyboard(dpy(), host, False, GrabModeAsync, GrabModeAsync, CurrentTime),
            GrabSuccess);
  XUngrabKeyboard(dpy(), CurrentTime);
  XSync(dpy(), False);

  saver->Signal(SIGTERM);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

TEST_F(SaverEmbeddedTest, XscreensaverWindowVariableWithRootDrawsThereAndEndsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const Rect host_rect{300, 200, 480, 360};
  const Window host = CreateHost(host_rect);
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", host);
  auto saver = Start({"-root"}, {std::string("XSCREENSAVER_WINDOW=") + id});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return CountPhotoColours(SampleColours(dpy(), DefaultRootWindow(dpy()), host_rect, 4)) >=
               50;
      },
      kStartTimeout))
      << saver->Report();
  EXPECT_EQ(MappedTopWindows(dpy()).size(), 1u);
  saver->Signal(SIGTERM);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

// A host colour found in no collage and no slide: where it shows, the
// saver does not cover its host.
constexpr std::uint32_t kHostColour = 0x12AB34;

// Whether `area` of the screen shows a collage covering the host: enough
// photo colours, and none of the host's own.
bool ShowsCollage(Display* display, const Rect& area, int step) {
  const std::vector<std::uint32_t> colours =
      SampleColours(display, DefaultRootWindow(display), area, step);
  return !colours.empty() && CountPhotoColours(colours) * 10 >= static_cast<int>(colours.size()) &&
         CountNot(colours, kHostColour) == static_cast<int>(colours.size());
}

// A window passing over the saver (a dialog over the preview) leaves the
// collage whole once it goes, well before the next slide would redraw it.
TEST_F(SaverEmbeddedTest, WhatAnotherWindowUncoversIsDrawnAgain) {
  ASSERT_NO_FATAL_FAILURE(StartServer(XvfbOptions::Size(1280, 800)));
  home_.set_interval_seconds(60);
  const Rect area{0, 0, 800, 500};
  const Window host = CreateHost(area);
  auto saver = Start({"--window-id", std::to_string(host)}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  ASSERT_TRUE(WaitUntil([&] { return ShowsCollage(dpy(), area, 8); }, kStartTimeout))
      << saver->Report();
  // The first fade is over once the picture stops changing.
  std::vector<std::uint32_t> before;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<std::uint32_t> now = SampleColours(dpy(), DefaultRootWindow(dpy()), area, 8);
        const bool still = now == before;
        before = std::move(now);
        return still;
      },
      kStartTimeout));

  const Rect cover{100, 100, 400, 250};
  const Window over = CreateHost(cover);
  XSetWindowBackground(dpy(), over, kHostColour);
  XClearWindow(dpy(), over);
  XSync(dpy(), False);
  std::this_thread::sleep_for(200ms);
  XDestroyWindow(dpy(), over);
  XSync(dpy(), False);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto colours = SampleColours(dpy(), DefaultRootWindow(dpy()), cover, 8);
        return CountNot(colours, kHostColour) == static_cast<int>(colours.size());
      },
      3s))
      << "the uncovered part still shows the other window";
  EXPECT_EQ(SampleColours(dpy(), DefaultRootWindow(dpy()), area, 8), before);
  saver->Signal(SIGTERM);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  XDestroyWindow(dpy(), host);
}

TEST_F(SaverEmbeddedTest, FollowsTheHostWhenItGrowsOrShrinks) {
  ASSERT_NO_FATAL_FAILURE(StartServer(XvfbOptions::Size(1920, 1200)));
  struct Case {
    const char* name;
    bool gl;
    Rect from, to;
  };
  const Case cases[] = {
      {"grows, OpenGL", true, Rect{0, 0, 800, 500}, Rect{0, 0, 1600, 900}},
      {"grows, no OpenGL", false, Rect{0, 0, 800, 500}, Rect{0, 0, 1600, 900}},
      {"shrinks", true, Rect{0, 0, 1200, 800}, Rect{0, 0, 640, 400}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    home_.set_interval_seconds(2);
    const Window host = CreateHost(c.from);
    XSetWindowBackground(dpy(), host, kHostColour);
    XClearWindow(dpy(), host);
    std::vector<std::string> env;
    if (!c.gl) env.push_back("QUOL_NO_GL=1");
    auto saver = Start({"--window-id", std::to_string(host)}, env);
    ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
    EXPECT_TRUE(WaitUntil([&] { return ShowsCollage(dpy(), c.from, 8); }, kStartTimeout))
        << saver->Report();

    XResizeWindow(dpy(), host, static_cast<unsigned>(c.to.width),
                  static_cast<unsigned>(c.to.height));
    XSync(dpy(), False);
    EXPECT_TRUE(saver->WaitForLog("Host window now " + std::to_string(c.to.width) + "x" +
                                  std::to_string(c.to.height)))
        << saver->Report();
    const std::vector<Window> children = Children(dpy(), host);
    ASSERT_EQ(children.size(), 1u);
    XWindowAttributes child{};
    ASSERT_NE(XGetWindowAttributes(dpy(), children[0], &child), 0);
    EXPECT_EQ(child.width, c.to.width);
    EXPECT_EQ(child.height, c.to.height);
    // The part of the host beyond the old size shows photos too (the
    // picture on screen scaled, then collages of the new size), and the
    // host's own colour shows nowhere.
    EXPECT_TRUE(WaitUntil(
        [&] {
          const auto all = SampleColours(dpy(), DefaultRootWindow(dpy()), c.to, 8);
          const auto right = SampleColours(
              dpy(), DefaultRootWindow(dpy()),
              Rect{c.to.width * 5 / 8, 0, c.to.width * 3 / 8, c.to.height}, 8);
          return !all.empty() && CountNot(all, kHostColour) == static_cast<int>(all.size()) &&
                 CountPhotoColours(right) * 10 >= static_cast<int>(right.size());
        },
        kStartTimeout))
        << saver->Report();
    saver->Signal(SIGTERM);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
    XDestroyWindow(dpy(), host);
    XSync(dpy(), False);
  }
}

// A host as small as a settings preview shows the saver in miniature: the
// notice's panel whole inside it (not all black), collages with the clock.
TEST_F(SaverEmbeddedTest, SmallHostShowsTheWholeNoticePanel) {
  ASSERT_NO_FATAL_FAILURE(StartServer(XvfbOptions::Size(1024, 768)));
  home_.set_folders({});
  const Rect host_rect{0, 0, 300, 200};
  const Window host = CreateHost(host_rect);
  auto saver = Start({"--window-id", std::to_string(host)}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(std::string(kNoPhotosSlide) + "\r\n")) << saver->Report();
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto colours = SampleColours(dpy(), DefaultRootWindow(dpy()), host_rect, 2);
        int lit = 0;
        for (std::uint32_t colour : colours) lit += colour >= 0x404040 && colour != 0xFFFFFF;
        // The edges of the host stay black: the panel is inside.
        const auto edge = SampleColours(dpy(), DefaultRootWindow(dpy()), Rect{0, 0, 300, 4}, 2);
        return lit > static_cast<int>(colours.size()) / 200 && CountNot(edge, 0) == 0;
      },
      kStartTimeout))
      << saver->Report();
  saver->Signal(SIGTERM);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

TEST_F(SaverEmbeddedTest, EndsCleanlyWhenTheHostWindowIsDestroyed) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const Window host = CreateHost(Rect{0, 0, 640, 400});
  auto saver = Start({"--window-id", std::to_string(host)}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  ASSERT_TRUE(WaitUntil([&] { return Children(dpy(), host).size() == 1; }, kStartTimeout));
  XDestroyWindow(dpy(), host);
  XSync(dpy(), False);
  EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
}

// ---------------------------------------------------------------------------
// Ending while a photo and the appointment service hang

// A service on loopback that takes connections and never answers.
class SilentService {
 public:
  SilentService() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentService() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return port_ != 0; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Whether someone has connected (the connection waits, unaccepted).
  bool WaitForCaller(Clock::duration timeout) const {
    return WaitUntil([&] {
      pollfd fd{fd_, POLLIN, 0};
      return ::poll(&fd, 1, 0) == 1;
    }, timeout);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

using SaverHangTest = SaverTest;

// The only photo folder holds a photo whose open() stops returning once the
// saver runs, like a file on a hung network mount (a preloaded stand-in for
// open(); a FIFO would not do, as the loader refuses anything but regular
// files without waiting), and the appointment service never answers. Escape
// and SIGTERM must still end the saver at once, with the keyboard and
// pointer released.
TEST_F(SaverHangTest, EscapeAndSigtermEndItWhileAPhotoAndTheServiceHang) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  SilentService service;
  ASSERT_TRUE(service.ok());
  home_.set_service(
      "mia.smith@quol.example", "pool+lane 4",
      "<quol><default><authServiceUrl>" + service.Url("/Service/API/accounts/auth/default.ashx") +
          "</authServiceUrl><reminderServiceUrl>" +
          service.Url("/Service/api/calendar/interval/default.ashx") +
          "</reminderServiceUrl></default></quol>");
  home_.set_interval_seconds(1);

  struct Case {
    const char* name;
    bool escape;  // else SIGTERM
  };
  int run = 0;
  for (const Case& c : {Case{"Escape", true}, Case{"SIGTERM", false}}) {
    SCOPED_TRACE(c.name);
    const std::string folder = home_.Path("hanging-" + std::to_string(++run));
    ASSERT_NO_FATAL_FAILURE(MakeFolder(folder));
    ASSERT_NO_FATAL_FAILURE(WritePhoto(folder + "/keep.png", kPhotoColours[0]));
    ASSERT_NO_FATAL_FAILURE(WritePhoto(folder + "/photo.jpg", kPhotoColours[1]));
    home_.set_folders({folder});
    const std::string armed = folder + ".armed";
    std::string asan_options = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* given = std::getenv("ASAN_OPTIONS")) asan_options += std::string(":") + given;
    auto saver = Start({"/s"}, {"QUOL_NO_GL=1", "DevuzezClientMode=local",
                                std::string("LD_PRELOAD=") + QUOL_HUNG_OPEN_LIBRARY,
                                "QUOL_HUNG_OPEN_NAME=photo.jpg", "QUOL_HUNG_OPEN_ARMED=" + armed,
                                asan_options});
    ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
    EXPECT_TRUE(service.WaitForCaller(kStartTimeout)) << saver->Report();

    // From now on a collage that deals the photo hangs in open().
    WriteFileOrDie(armed, "");
    const bool builder_stuck =
        WaitUntil([&] { return ::access((armed + ".stuck").c_str(), F_OK) == 0; }, kStartTimeout);
    std::printf("[ %s ] builder %s on the hung photo\n", c.name, builder_stuck ? "stuck" : "never");
    EXPECT_TRUE(builder_stuck) << saver->Report();
    // A few slide intervals: the window thread has asked for the next collage.
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(saver->Running()) << saver->Report();

    const auto asked = Clock::now();
    if (c.escape) {
      PressKey(XK_Escape);
    } else {
      saver->Signal(SIGTERM);
    }
    const int code = saver->WaitForExit(5s);
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    std::printf("[ %s ] the saver ended %lld ms after being asked\n", c.name,
                static_cast<long long>(latency));
    EXPECT_EQ(code, 0) << saver->Report();
    // Nothing holds the keyboard any more.
    EXPECT_EQ(XGrabKeyboard(dpy(), DefaultRootWindow(dpy()), False, GrabModeAsync, GrabModeAsync,
                            CurrentTime),
              GrabSuccess);
    XUngrabKeyboard(dpy(), CurrentTime);
    XSync(dpy(), False);
    if (c.escape) {
      EXPECT_TRUE(Contains(saver->Log(), "Exiting screen saver because 27 pressed."))
          << saver->Report();
    }
    // The stuck builder was left behind, not waited for.
    EXPECT_TRUE(Contains(saver->Log(), "Ending with worker threads still busy")) << saver->Report();
    saver.reset();
    EXPECT_TRUE(WaitUntil([&] { return MappedTopWindows(dpy()).empty(); }, kExitTimeout));
  }
}

// The X server going away ends the saver through its own exit path (the end
// logged, a non-zero exit code), not from inside Xlib.
TEST_F(SaverHangTest, LosingTheXServerEndsItWithALogLineAndAnErrorCode) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  auto saver = Start({"/s"}, {"QUOL_NO_GL=1"});
  ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
  display_ = XDisplay();  // ours would die with the server
  server_.reset();
  const int code = saver->WaitForExit();
  EXPECT_GT(code, 0) << saver->Report();
  EXPECT_TRUE(Contains(saver->Log(), "Lost the connection to the X server; ending"))
      << saver->Report();
  EXPECT_EQ(saver->Stderr(), "") << "Xlib's own handler spoke";
}


// ---------------------------------------------------------------------------
// Upgrades: a package the update check downloaded, and the check itself

class SaverUpgradeTest : public SaverTest {
 protected:
  void SetUp() override {
    SaverTest::SetUp();
    service::DevServiceOptions options;
    options.db_path = home_.Path("service.sqlite");
    options.api_port = options.web_port = 0;
    options.latest_version = "2.0.0.0";
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    service_->AddPackage(kPackage, "the upgrade, version 2");
    key_file_ = home_.Path("trusted.pub");
    WriteFileOrDie(key_file_, service_->public_key_text());
  }

  std::vector<std::string> Env() const {
    return {"QUOL_NO_GL=1", std::string(platform::kTestTrustKeyVariable) + "=" + key_file_};
  }

  // The package and its signature as the service serves them.
  std::string Served(const std::string& name) {
    platform::HttpResponse response;
    std::string error;
    EXPECT_TRUE(Succeeded(platform::HttpGet(service_->api_base() + "/packages/" + name, {},
                                            &response, &error)))
        << error;
    EXPECT_EQ(response.status, 200) << name;
    return response.body;
  }

  static std::string FileTimeNow() {
    const std::uint64_t now = platform::ToFileTime(platform::Now());
    return "<lastUpdateLow>" + std::to_string(static_cast<std::int32_t>(now & 0xFFFFFFFFu)) +
           "</lastUpdateLow><lastUpdateHigh>" + std::to_string(static_cast<std::int32_t>(now >> 32)) +
           "</lastUpdateHigh>";
  }

  static constexpr char kPackage[] = "Pkg_2_0_0_0.deb";
  std::unique_ptr<service::DevService> service_;
  std::string key_file_;
};

// A package downloaded by an earlier check is offered at once: with a
// minimum version above the running one every slide is the required-upgrade
// notice and no photo is shown; otherwise the collages run as usual.
TEST_F(SaverUpgradeTest, APackageOnDiskIsAnnouncedAndARequiredOneReplacesEverySlide) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  home_.set_interval_seconds(1);
  // Checked just now: no check of this run's own gets in the way.
  home_.set_general_settings("<general><availableVersion>2.0.0.0</availableVersion>" +
                             FileTimeNow() + "</general>");
  home_.add_data_file(std::string("Packages/") + kPackage, Served(kPackage));
  home_.add_data_file(std::string("Packages/") + kPackage + ".minisig",
                      Served(std::string(kPackage) + ".minisig"));
  const std::string required_slide =
      std::string("MessageSlide: ") + kRequiredUpgradeNotice + " (1)";
  struct Case {
    const char* min_version;
    bool required;
  };
  for (const Case& c : {Case{"1.5.0.0", true}, Case{"0.0.0.0", false}}) {
    SCOPED_TRACE(c.min_version);
    home_.add_data_file("GlobalConfig_v2.xml",
                        std::string("<quol><default><latestVersion>2.0.0.0</latestVersion>"
                                    "<minVersion>") + c.min_version +
                            "</minVersion></default></quol>");
    auto saver = Start({"/s"}, Env());
    ASSERT_TRUE(saver->WaitForLog(kReady)) << saver->Report();
    EXPECT_TRUE(Contains(saver->Log(), "Upgrade available: " + saver->data() + "/Packages/" +
                                           kPackage))
        << saver->Report();
    if (c.required) {
      // Every slide: the notice again and again, never a collage.
      EXPECT_TRUE(WaitUntil(
          [&] {
            const std::string log = saver->Log();
            std::size_t count = 0;
            for (std::size_t at = log.find(required_slide); at != std::string::npos;
                 at = log.find(required_slide, at + 1)) {
              ++count;
            }
            return count >= 3;
          },
          kStartTimeout))
          << saver->Report();
      EXPECT_EQ(CountPhotoColours(SampleColours(dpy(), DefaultRootWindow(dpy()), kLeft, 16)), 0);
    } else {
      EXPECT_TRUE(PrimaryShowsPhotos()) << saver->Report();
      EXPECT_FALSE(Contains(saver->Log(), required_slide)) << saver->Report();
    }
    PressKey(XK_Escape);
    EXPECT_EQ(saver->WaitForExit(), 0) << saver->Report();
  }
}

// Never checked before: the first tick checks the service, the package and
// its signature land in Packages, and the settings saved at the end say
// which version is waiting (what the next run offers, as above).
TEST_F(SaverUpgradeTest, TheFirstTickChecksDownloadsAndSavesTheWaitingVersion) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  home_.set_service("", "", "<quol><default><updateServiceUrl>" + service_->api_base() +
                                "/QuolDevuzez/GlobalConfig_v2.xml</updateServiceUrl></default></quol>");
  home_.set_general_settings("<general></general>");
  auto first = Start({"/s"}, Env());
  ASSERT_TRUE(first->WaitForLog(kReady)) << first->Report();
  const std::string package = first->data() + "/Packages/" + kPackage;
  EXPECT_TRUE(WaitUntil(
      [&] { return platform::FileExists(package) && platform::FileExists(package + ".minisig"); },
      kStartTimeout))
      << first->Report();
  EXPECT_TRUE(Contains(first->Log(), "Latest version : 2.0.0.0")) << first->Report();
  PressKey(XK_Escape);
  ASSERT_EQ(first->WaitForExit(), 0) << first->Report();
  EXPECT_EQ(ReadFileOrEmpty(package), "the upgrade, version 2");
  const std::string settings = ReadFileOrEmpty(first->data() + "/Settings.xml");
  EXPECT_TRUE(Contains(settings, "<availableVersion>2.0.0.0</availableVersion>")) << settings;
  EXPECT_FALSE(Contains(settings, "<lastUpdateLow>0</lastUpdateLow>")) << settings;
  EXPECT_EQ(service_->RequestCount(std::string("/packages/") + kPackage), 1);
}

}  // namespace
}  // namespace quol::saver
