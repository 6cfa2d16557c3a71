// Frame rate of the saver's cross-fade, OpenGL against software:
//
//   gl        GlCrossFader::Step (two blended quads, glXSwapBuffers)
//   shm       SoftwareCrossFader::Step (Cairo blend into the window's RGB24
//             image, XShmPutImage + XSync)
//   putimage  the same fader without MIT-SHM (plain XPutImage, as on a
//             remote display)
//   paced     the software fader as the saver runs it: one frame per
//             display refresh (60 Hz on Xvfb)
//
// The first three run unpaced, as fast as they can, to show each path's
// ceiling. Each path runs whole fades on the real clock; every frame is
// waited for (XSync) so the time includes the server's work. It also prints
// the path the saver would choose on this display. Usage:
//
//   fader_bench [--display NAME] [--width W --height H] [--fades N]
//
// Without a size it measures 1920x1080 and 3840x2160; without --display it
// starts its own Xvfb large enough.
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "screensaver/common/cairo_ptr.h"
#include "screensaver/fader/cross_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/fader/software_cross_fader.h"
#include "screensaver/fader/window_image.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

using Clock = std::chrono::steady_clock;

struct Size {
  int width;
  int height;
};

struct Options {
  std::string display;
  std::vector<Size> sizes;
  int fades = 2;
};

struct Result {
  std::string name;
  std::string note;
  std::vector<double> frame_ms;
  double total_ms = 0;
  double cpu_ms = 0;      // this process's CPU time over the fades
  double fade_to_ms = 0;  // cost of handing over a picture
};

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Something with detail in it, so no path gets to take a solid-colour
// shortcut.
SurfacePtr TestPicture(int width, int height, double hue) {
  SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
  ContextPtr cr = MakeContext(picture.get());
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, width, height);
  cairo_pattern_add_color_stop_rgb(gradient, 0, hue, 0.2, 1 - hue);
  cairo_pattern_add_color_stop_rgb(gradient, 1, 1 - hue, 0.8, hue);
  cairo_set_source(cr.get(), gradient);
  cairo_paint(cr.get());
  cairo_pattern_destroy(gradient);
  for (int i = 0; i < 200; ++i) {
    cairo_set_source_rgba(cr.get(), std::fmod(i * 0.37, 1.0), std::fmod(i * 0.61, 1.0), hue, 0.6);
    cairo_arc(cr.get(), std::fmod(i * 97.0, width), std::fmod(i * 53.0, height), 20 + i % 60, 0,
              2 * M_PI);
    cairo_fill(cr.get());
  }
  cairo_surface_flush(picture.get());
  return picture;
}

// An override-redirect window at the top-left corner; with `visual` the
// GLX visual the saver gives its window.
Window MakeWindow(Display* display, Size size, const GlWindowVisual* visual) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0;
  const unsigned long mask = CWOverrideRedirect | CWBackPixel;
  Window window =
      visual != nullptr
          ? visual->CreateWindow(DefaultRootWindow(display), 0, 0, size.width, size.height,
                                 attributes, mask)
          : XCreateWindow(display, DefaultRootWindow(display), 0, 0,
                          static_cast<unsigned>(size.width), static_cast<unsigned>(size.height), 0,
                          CopyFromParent, InputOutput, CopyFromParent, mask, &attributes);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

// Whole fades through `fader`, alternating the two pictures.
template <typename Fader>
void RunFades(Display* display, Fader& fader, const Options& options, cairo_surface_t* a,
              cairo_surface_t* b, Result* result) {
  fader.SetPicture(a);
  const auto start = Clock::now();
  const double cpu_start = CpuMs();
  for (int fade = 0; fade < options.fades; ++fade) {
    const auto handover = Clock::now();
    fader.FadeTo(fade % 2 == 0 ? b : a);
    XSync(display, False);
    result->fade_to_ms += MsSince(handover);
    const long drawn_before = fader.frames_drawn();
    for (bool more = true; more;) {
      const auto frame = Clock::now();
      const long before = fader.frames_drawn();
      more = fader.Step();
      XSync(display, False);
      // Passes that only waited for the next refresh are not frames.
      if (fader.frames_drawn() != before) result->frame_ms.push_back(MsSince(frame));
    }
    if (fader.frames_drawn() == drawn_before) break;  // nothing reaches the window
  }
  result->cpu_ms = CpuMs() - cpu_start;
  result->total_ms = MsSince(start);
  result->fade_to_ms /= options.fades;
}

std::optional<Result> RunGl(Display* display, const Options& options, Size size,
                            cairo_surface_t* a, cairo_surface_t* b) {
  std::optional<GlWindowVisual> visual =
      GlCrossFader::ChooseWindowVisual(display, DefaultScreen(display));
  if (!visual) return std::nullopt;
  Window window = MakeWindow(display, size, &*visual);
  Result result;
  {
    GlCrossFader fader(display, window, size.width, size.height);
    if (Failed(fader.Initialize())) {
      XDestroyWindow(display, window);
      return std::nullopt;
    }
    fader.pacer().set_enabled(false);
    result.note = fader.renderer() + ", unpaced";
    RunFades(display, fader, options, a, b, &result);
  }
  result.name = "OpenGL (GlCrossFader)";
  XDestroyWindow(display, window);
  return result;
}

std::optional<Result> RunSoftware(Display* display, const Options& options, Size size,
                                  cairo_surface_t* a, cairo_surface_t* b, bool shared_memory,
                                  bool paced) {
  Window window = MakeWindow(display, size, nullptr);
  Result result;
  {
    SoftwareCrossFader fader(display, window, size.width, size.height);
    fader.set_allow_shared_memory(shared_memory);
    if (Failed(fader.Initialize()) ||
        (fader.window_image()->transport() == WindowImage::Transport::kSharedMemory) !=
            shared_memory) {
      XDestroyWindow(display, window);
      return std::nullopt;
    }
    fader.pacer().set_enabled(paced);
    char note[64];
    std::snprintf(note, sizeof note, paced ? "paced at %.0f Hz" : "unpaced",
                  fader.pacer().refresh_hz());
    result.note = note;
    RunFades(display, fader, options, a, b, &result);
  }
  result.name = std::string("Software, ") + (shared_memory ? "XShmPutImage" : "XPutImage");
  XDestroyWindow(display, window);
  return result;
}

// The fader the saver would take for a window of this size.
std::string SaverChoice(Display* display, Size size) {
  std::optional<GlWindowVisual> visual =
      GlCrossFader::ChooseWindowVisual(display, DefaultScreen(display));
  Window window = MakeWindow(display, size, visual ? &*visual : nullptr);
  std::string path = ChooseCrossFader(display, window, size.width, size.height).path;
  XDestroyWindow(display, window);
  XSync(display, False);
  return path;
}

void Print(const Options& options, Size size, const std::string& choice,
           const std::vector<Result>& results) {
  std::printf("Cross-fade at %dx%d, %d fades of %d ms each\n", size.width, size.height,
              options.fades, static_cast<int>(kCrossFadeMs));
  std::printf("The saver would choose: %s\n\n", choice.c_str());
  std::printf("%-26s %7s %8s %9s %8s %8s %11s %6s  %s\n", "path", "frames", "fps", "mean ms",
              "p50 ms", "p95 ms", "handover ms", "cpu %", "notes");
  for (const Result& r : results) {
    std::vector<double> sorted = r.frame_ms;
    if (sorted.empty()) {
      std::printf("%-26s %7d  (no frame reached the window)\n", r.name.c_str(), 0);
      continue;
    }
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double ms : sorted) sum += ms;
    const auto at = [&](double q) {
      return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
    };
    std::printf("%-26s %7zu %8.1f %9.2f %8.2f %8.2f %11.2f %6.1f  %s\n", r.name.c_str(),
                sorted.size(), 1000.0 * sorted.size() / r.total_ms, sum / sorted.size(), at(0.5),
                at(0.95), r.fade_to_ms, 100.0 * r.cpu_ms / r.total_ms, r.note.c_str());
  }
  std::printf("\nhandover: FadeTo (flattening; for OpenGL also two texture uploads).\n"
              "cpu %%: this process's CPU time over the fades' wall time (the server's not\n"
              "included); the paced row is what a fade costs the running saver.\n\n");
}

bool ParseSize(const char* text, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 16 || value > 16384) return false;
  *out = static_cast<int>(value);
  return true;
}

int Main(int argc, char** argv) {
  Options options;
  int width = 0, height = 0;
  bool ok = true;
  for (int i = 1; i < argc && ok; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--display" && has_value) {
      options.display = argv[++i];
    } else if (arg == "--width" && has_value) {
      ok = ParseSize(argv[++i], &width);
    } else if (arg == "--height" && has_value) {
      ok = ParseSize(argv[++i], &height);
    } else if (arg == "--fades" && has_value) {
      options.fades = std::clamp(std::atoi(argv[++i]), 1, 100);
    } else {
      ok = false;
    }
  }
  if (!ok || (width == 0) != (height == 0)) {
    std::fprintf(stderr, "usage: %s [--display NAME] [--width W --height H] [--fades N]\n",
                 argv[0]);
    return 2;
  }
  options.sizes = width != 0 ? std::vector<Size>{{width, height}}
                             : std::vector<Size>{{1920, 1080}, {3840, 2160}};
  std::optional<XvfbServer> server;
  if (options.display.empty()) {
    Size largest{0, 0};
    for (Size size : options.sizes) {
      largest = {std::max(largest.width, size.width), std::max(largest.height, size.height)};
    }
    server.emplace(XvfbOptions::Size(largest.width, largest.height));
    if (!server->ok()) {
      std::fprintf(stderr, "%s\n", server->error().c_str());
      return 1;
    }
    options.display = server->display_name();
  }
  XDisplay display = XDisplay::Open(options.display);
  if (!display) {
    std::fprintf(stderr, "cannot open display %s\n", options.display.c_str());
    return 1;
  }
  InstallNonFatalXErrorHandler();

  bool any = false;
  for (Size size : options.sizes) {
    SurfacePtr a = TestPicture(size.width, size.height, 0.1);
    SurfacePtr b = TestPicture(size.width, size.height, 0.9);
    const std::string choice = SaverChoice(display.get(), size);
    std::vector<Result> results;
    if (auto gl = RunGl(display.get(), options, size, a.get(), b.get())) {
      results.push_back(std::move(*gl));
    } else {
      std::fprintf(stderr, "OpenGL fader unavailable on %s (see the process log)\n",
                   options.display.c_str());
    }
    struct Run {
      bool shared_memory;
      bool paced;
    };
    for (Run run : {Run{true, false}, Run{false, false}, Run{true, true}}) {
      if (auto software = RunSoftware(display.get(), options, size, a.get(), b.get(),
                                      run.shared_memory, run.paced)) {
        results.push_back(std::move(*software));
      } else {
        std::fprintf(stderr, "%s unavailable on %s\n", run.shared_memory ? "MIT-SHM" : "XPutImage",
                     options.display.c_str());
      }
    }
    Print(options, size, choice, results);
    any = any || !results.empty();
  }
  return any ? 0 : 1;
}

}  // namespace
}  // namespace quol::saver

int main(int argc, char** argv) { return quol::saver::Main(argc, argv); }
