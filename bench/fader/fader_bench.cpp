// Frame rate of the saver's cross-fade, OpenGL against software:
//
//   gl       GlCrossFader::Step (two blended quads, glXSwapBuffers)
//   shm      Cairo blend (SOURCE paint of A, paint_with_alpha of B) into the
//            RGB24 window image, XShmPutImage + XSync
//   putimage the same blend pushed with plain XPutImage (remote displays)
//
// Each path runs whole fades on the real clock; every frame is waited for
// (XSync) so the time includes the server's work. Usage:
//
//   fader_bench [--display NAME] [--width W] [--height H] [--fades N]
//
// Without --display it starts its own Xvfb of the given size.
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "screensaver/common/cairo_ptr.h"
#include "screensaver/fader/basic_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/fader/window_image.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string display;
  int width = 1920;
  int height = 1080;
  int fades = 2;
};

struct Result {
  std::string name;
  std::string note;
  std::vector<double> frame_ms;
  double total_ms = 0;
  double fade_to_ms = 0;  // cost of handing over a picture
};

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
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

Window MakeWindow(Display* display, int width, int height, const GlWindowVisual* visual) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0;
  const unsigned long mask = CWOverrideRedirect | CWBackPixel;
  Window window =
      visual != nullptr
          ? visual->CreateWindow(DefaultRootWindow(display), 0, 0, width, height, attributes, mask)
          : XCreateWindow(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                          CopyFromParent, mask, &attributes);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

std::optional<Result> RunGl(Display* display, const Options& options, cairo_surface_t* a,
                            cairo_surface_t* b) {
  std::optional<GlWindowVisual> visual =
      GlCrossFader::ChooseWindowVisual(display, DefaultScreen(display));
  if (!visual) return std::nullopt;
  Window window = MakeWindow(display, options.width, options.height, &*visual);
  Result result;
  {
    GlCrossFader fader(display, window, options.width, options.height);
    if (Failed(fader.Initialize())) {
      XDestroyWindow(display, window);
      return std::nullopt;
    }
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    result.note = renderer != nullptr ? renderer : "";
    fader.SetPicture(a);
    const auto start = Clock::now();
    for (int fade = 0; fade < options.fades; ++fade) {
      const auto handover = Clock::now();
      fader.FadeTo(fade % 2 == 0 ? b : a);
      XSync(display, False);
      result.fade_to_ms += MsSince(handover);
      for (bool more = true; more;) {
        const auto frame = Clock::now();
        more = fader.Step();
        XSync(display, False);
        result.frame_ms.push_back(MsSince(frame));
      }
    }
    result.total_ms = MsSince(start);
  }
  result.name = "OpenGL (GlCrossFader)";
  result.fade_to_ms /= options.fades;
  XDestroyWindow(display, window);
  return result;
}

std::optional<Result> RunCairo(Display* display, const Options& options, cairo_surface_t* a,
                               cairo_surface_t* b, bool shared_memory) {
  Window window = MakeWindow(display, options.width, options.height, nullptr);
  Result result;
  {
    std::unique_ptr<WindowImage> image =
        WindowImage::Create(display, window, options.width, options.height, shared_memory);
    if (!image || (image->transport() == WindowImage::Transport::kSharedMemory) != shared_memory) {
      XDestroyWindow(display, window);
      return std::nullopt;
    }
    // Flattened once per picture, as the faders do.
    SurfacePtr flat[2] = {FlattenOntoBlack(a, options.width, options.height),
                          FlattenOntoBlack(b, options.width, options.height)};
    ContextPtr cr = MakeContext(image->surface());
    const auto start = Clock::now();
    for (int fade = 0; fade < options.fades; ++fade) {
      cairo_surface_t* from = flat[fade % 2].get();
      cairo_surface_t* to = flat[(fade + 1) % 2].get();
      const std::uint64_t end = platform::TickMs() + GlCrossFader::kFadeMs;
      for (bool more = true; more;) {
        const auto frame = Clock::now();
        const std::uint64_t now = platform::TickMs();
        const int level = now < end ? static_cast<int>((end - now) * 255 / GlCrossFader::kFadeMs)
                                    : 0;
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(cr.get(), from, 0, 0);
        cairo_paint(cr.get());
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_OVER);
        cairo_set_source_surface(cr.get(), to, 0, 0);
        cairo_paint_with_alpha(cr.get(), (255 - level) / 255.0);
        image->Push();
        result.frame_ms.push_back(MsSince(frame));
        more = level != 0;
      }
    }
    result.total_ms = MsSince(start);
  }
  result.name = shared_memory ? "Cairo blend + XShmPutImage" : "Cairo blend + XPutImage";
  result.note = "software";
  {
    // A cut, as the basic fader does it.
    BasicFader fader(display, window, options.width, options.height);
    fader.set_allow_shared_memory(shared_memory);
    fader.Initialize();
    constexpr int kCuts = 5;
    const auto cuts = Clock::now();
    for (int i = 0; i < kCuts; ++i) fader.FadeTo(i % 2 == 0 ? b : a);
    result.fade_to_ms = MsSince(cuts) / kCuts;
  }
  XDestroyWindow(display, window);
  return result;
}

void Print(const Options& options, const std::vector<Result>& results) {
  std::printf("Cross-fade at %dx%d, %d fades of %d ms each\n\n", options.width, options.height,
              options.fades, static_cast<int>(GlCrossFader::kFadeMs));
  std::printf("%-28s %7s %8s %9s %8s %8s %11s  %s\n", "path", "frames", "fps", "mean ms",
              "p50 ms", "p95 ms", "handover ms", "renderer");
  for (const Result& r : results) {
    std::vector<double> sorted = r.frame_ms;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double ms : sorted) sum += ms;
    const auto at = [&](double q) {
      return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
    };
    std::printf("%-28s %7zu %8.1f %9.2f %8.2f %8.2f %11.2f  %s\n", r.name.c_str(), sorted.size(),
                1000.0 * sorted.size() / r.total_ms, sum / sorted.size(), at(0.5), at(0.95),
                r.fade_to_ms, r.note.c_str());
  }
  std::printf("\nhandover: FadeTo for OpenGL (flatten + two texture uploads); for the software\n"
              "paths one BasicFader::FadeTo, i.e. a cut without fade.\n");
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--display" && has_value) {
      options.display = argv[++i];
    } else if (arg == "--width" && has_value) {
      options.width = std::atoi(argv[++i]);
    } else if (arg == "--height" && has_value) {
      options.height = std::atoi(argv[++i]);
    } else if (arg == "--fades" && has_value) {
      options.fades = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: %s [--display NAME] [--width W] [--height H] [--fades N]\n", argv[0]);
      return 2;
    }
  }
  std::optional<XvfbServer> server;
  if (options.display.empty()) {
    server.emplace(XvfbOptions::Size(options.width, options.height));
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
  SurfacePtr a = TestPicture(options.width, options.height, 0.1);
  SurfacePtr b = TestPicture(options.width, options.height, 0.9);

  std::vector<Result> results;
  if (auto gl = RunGl(display.get(), options, a.get(), b.get())) {
    results.push_back(std::move(*gl));
  } else {
    std::fprintf(stderr, "OpenGL fader unavailable on %s (see the process log)\n",
                 options.display.c_str());
  }
  for (bool shared_memory : {true, false}) {
    if (auto cairo = RunCairo(display.get(), options, a.get(), b.get(), shared_memory)) {
      results.push_back(std::move(*cairo));
    } else {
      std::fprintf(stderr, "%s unavailable on %s\n", shared_memory ? "MIT-SHM" : "XPutImage",
                   options.display.c_str());
    }
  }
  Print(options, results);
  return results.empty() ? 1 : 0;
}

}  // namespace
}  // namespace quol::saver

int main(int argc, char** argv) { return quol::saver::Main(argc, argv); }
