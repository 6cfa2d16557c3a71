// A private virtual X server for test programs and the benchmarks: starts
// Xvfb on a free display number, waits until it takes connections, points
// DISPLAY at it for the scope and ends it on destruction.
//
//   XvfbServer server;                      // 1280x1024x24
//   ASSERT_TRUE(server.ok()) << server.error();
//   XDisplay display = XDisplay::Open(server.display_name());
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quol::saver {

struct XvfbOptions {
  int width = 1280;
  int height = 1024;
  // A 3200x1080 screen split by RandR into two monitors: LEFT (primary)
  // 1920x1080+0+0 and RIGHT 1280x1024+1920+0. Overrides width and height.
  bool two_monitors = false;
  // Extra server arguments, e.g. {"-extension", "MIT-SHM"} to switch one off.
  std::vector<std::string> extra_args;

  static XvfbOptions Size(int width, int height) {
    XvfbOptions options;
    options.width = width;
    options.height = height;
    return options;
  }
  static XvfbOptions TwoMonitors() {
    XvfbOptions options;
    options.two_monitors = true;
    return options;
  }
  // A server without the named extension ("MIT-SHM", "GLX").
  static XvfbOptions Without(const std::string& extension) {
    XvfbOptions options;
    options.extra_args = {"-extension", extension};
    return options;
  }
};

class XvfbServer {
 public:
  static constexpr const char* kXvfbPath = "/usr/bin/Xvfb";
  static constexpr const char* kXrandrPath = "/usr/bin/xrandr";

  explicit XvfbServer(XvfbOptions options = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // False when the server could not be started; error() says why.
  bool ok() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  // ":N"
  const std::string& display_name() const { return display_name_; }
  int display_number() const { return number_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  bool StartOn(int number, const XvfbOptions& options, std::string* why);
  bool SetUpMonitors(std::string* why);
  void Stop();

  pid_t pid_ = -1;
  int number_ = -1;
  int width_ = 0;
  int height_ = 0;
  std::string display_name_;
  std::string error_;
  std::optional<std::string> old_display_;
  bool had_display_ = false;
};

// Keeps the OpenGL drivers loaded so far (Mesa's *_dri.so) in memory until
// the process ends. Mesa unloads its driver when the last display closes, and
// what the driver still had allocated then shows up as leaks from an unknown
// module under LeakSanitizer. GL test fixtures call this before closing
// their display.
void PinLoadedGlDrivers();

// The colour 0xRRGGBB at (x, y) of `drawable` (a mapped window or the root
// window) on a 24-bit TrueColor server; nullopt when it cannot be read.
std::optional<std::uint32_t> ReadPixel(Display* display, Drawable drawable, int x, int y);
inline std::optional<std::uint32_t> ReadRootPixel(Display* display, int x, int y) {
  return ReadPixel(display, DefaultRootWindow(display), x, y);
}

}  // namespace quol::saver
