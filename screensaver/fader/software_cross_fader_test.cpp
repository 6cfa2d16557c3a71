// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include "screensaver/fader/software_cross_fader.h"

#include <X11/Xutil.h>

#include <chrono>
#include <optional>
#include <vector>

#include "foundation/testing/log_capture.h"
#include "platform/clock/clock.h"
#include "platform/testing/test_support.h"
#include "screensaver/fader/basic_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/fader_test_support.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

using std::chrono::milliseconds;

constexpr int kWidth = 320;
constexpr int kHeight = 200;
constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF;
constexpr std::uint32_t kWhite = 0xFFFFFF;

// A gradient: a last frame that is a rounded blend shows in some pixel.
SurfacePtr DetailedPicture() {
  SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth, kHeight));
  ContextPtr cr = MakeContext(picture.get());
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, kWidth, kHeight);
  cairo_pattern_add_color_stop_rgb(gradient, 0, 0.9, 0.1, 0.5);
  cairo_pattern_add_color_stop_rgb(gradient, 1, 0.05, 1, 0.3);
  cairo_set_source(cr.get(), gradient);
  cairo_paint(cr.get());
  cairo_pattern_destroy(gradient);
  cairo_surface_flush(picture.get());
  return picture;
}

// How many of the window's pixels differ from the flattened `picture`.
long PixelsDiffering(Display* display, Window window, cairo_surface_t* picture) {
  SurfacePtr expected = FlattenOntoBlack(picture, kWidth, kHeight);
  XImage* image = XGetImage(display, window, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
  if (image == nullptr) return -1;
  long differing = 0;
  for (int y = 0; y < kHeight; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(
        cairo_image_surface_get_data(expected.get()) +
        y * cairo_image_surface_get_stride(expected.get()));
    for (int x = 0; x < kWidth; ++x) {
      if ((XGetPixel(image, x, y) & 0xFFFFFF) != (row[x] & 0xFFFFFF)) ++differing;
    }
  }
  XDestroyImage(image);
  return differing;
}

class SoftwareCrossFaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::SetClockForTesting(nullptr);
    PinLoadedGlDrivers();  // before the display closes, see xvfb_server.h
  }

  void StartServer(XvfbOptions options = XvfbOptions::Size(640, 480)) {
    window_ = 0;
    display_ = XDisplay();
    server_.emplace(std::move(options));
    ASSERT_TRUE(server_->ok()) << server_->error();
    display_ = XDisplay::Open(server_->display_name());
    ASSERT_TRUE(display_);
    window_ = MapPlainWindow(dpy(), kWidth, kHeight, kWhite);
    platform::SetClockForTesting(&clock_);
  }
  Display* dpy() const { return display_.get(); }

  // A fader on the test clock: waiting for the next frame is time passing.
  std::unique_ptr<SoftwareCrossFader> ReadyFader() {
    auto fader = std::make_unique<SoftwareCrossFader>(dpy(), window_, kWidth, kHeight);
    const HRESULT hr = fader->Initialize();
    EXPECT_EQ(hr, S_OK) << log_.Text();
    if (Failed(hr)) return nullptr;
    fader->pacer().set_wait([this](std::uint64_t ms) { clock_.Advance(milliseconds(ms)); });
    return fader;
  }

  quol::testing::LogCapture log_;
  std::optional<XvfbServer> server_;
  XDisplay display_;
  Window window_ = 0;
  platform::FakeClock clock_;
};

TEST_F(SoftwareCrossFaderTest, FadeGoesThroughTheBlendAndEndsOnExactlyTheNewPicture) {
  struct Case {
    XvfbOptions server;
    WindowImage::Transport transport;
  };
  for (const Case& c : {Case{XvfbOptions::Size(640, 480), WindowImage::Transport::kSharedMemory},
                        Case{XvfbOptions::Without("MIT-SHM"), WindowImage::Transport::kPutImage}}) {
    SCOPED_TRACE(c.transport == WindowImage::Transport::kPutImage ? "XPutImage" : "MIT-SHM");
    ASSERT_NO_FATAL_FAILURE(StartServer(c.server));
    auto fader = ReadyFader();
    ASSERT_TRUE(fader);
    EXPECT_EQ(fader->window_image()->transport(), c.transport);
    int wakes = 0;
    fader->SetWakeCallback([&] { ++wakes; });
    SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
    SurfacePtr blue = SolidPicture(kWidth, kHeight, kBlue);
    SurfacePtr detailed = DetailedPicture();
    fader->SetPicture(red.get());
    EXPECT_TRUE(PixelIs(dpy(), window_, 5, 5, kWhite)) << "SetPicture draws nothing";
    fader->FadeTo(blue.get());
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(fader->Step());
    EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, kRed)) << "first frame: old only";
    clock_.Advance(milliseconds(1000));
    EXPECT_TRUE(fader->Step());
    // Level 127, as the OpenGL fade: old * 127/255 + new * 128/255.
    EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, 0x7F0080, 1));

    fader->FadeTo(detailed.get());  // starts over from blue, the picture last handed over
    EXPECT_TRUE(fader->Step());
    EXPECT_EQ(PixelsDiffering(dpy(), window_, blue.get()), 0);
    clock_.Advance(milliseconds(1990));
    EXPECT_TRUE(fader->Step()) << "level 1 is still a fade frame";
    EXPECT_GT(PixelsDiffering(dpy(), window_, detailed.get()), 0);
    clock_.Advance(milliseconds(10));
    EXPECT_FALSE(fader->Step());
    EXPECT_EQ(PixelsDiffering(dpy(), window_, detailed.get()), 0);

    // Between fades nothing is drawn, however often the loop asks.
    const long frames = fader->frames_drawn();
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(fader->Step());
    EXPECT_EQ(fader->frames_drawn(), frames);
  }
}

TEST_F(SoftwareCrossFaderTest, FramesComeAtMostOncePerRefreshWhateverTheLoopAsks) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  EXPECT_EQ(fader->pacer().refresh_hz(), 60) << "Xvfb's modes carry no timing";
  SurfacePtr detailed = DetailedPicture();
  for (double hz : {60.0, 30.0, 144.0}) {
    SCOPED_TRACE(hz);
    fader->pacer().set_refresh_hz(hz);
    fader->SetPicture(nullptr);
    fader->FadeTo(detailed.get());
    clock_.Advance(milliseconds(100));  // apart from the previous fade's frames
    ASSERT_TRUE(fader->Step());
    // Input arriving while the pacer waits goes first: no frame, the fade goes on.
    fader->pacer().set_wait([](std::uint64_t) {});
    const long first = fader->frames_drawn();
    EXPECT_TRUE(fader->Step());
    EXPECT_EQ(fader->frames_drawn(), first);
    fader->pacer().set_wait([this](std::uint64_t ms) { clock_.Advance(milliseconds(ms)); });

    // A loop calling as fast as it can, 1 ms per pass.
    std::vector<std::uint64_t> frame_ticks = {platform::TickMs()};
    bool more = true;
    for (int call = 0; call < 100000 && more; ++call) {
      const long before = fader->frames_drawn();
      more = fader->Step();
      if (fader->frames_drawn() != before) frame_ticks.push_back(platform::TickMs());
      clock_.Advance(milliseconds(1));
    }
    EXPECT_FALSE(more);
    for (std::size_t i = 1; i < frame_ticks.size(); ++i) {
      ASSERT_GE(static_cast<double>(frame_ticks[i] - frame_ticks[i - 1]), 1000 / hz) << i;
    }
    const double most = kCrossFadeMs * hz / 1000 + 1;
    EXPECT_LE(static_cast<double>(frame_ticks.size()), most);
    EXPECT_GE(static_cast<double>(frame_ticks.size()), most * 0.75) << "paced, not starved";
    EXPECT_EQ(PixelsDiffering(dpy(), window_, detailed.get()), 0);
  }
}

TEST_F(SoftwareCrossFaderTest, AWindowGoneMidFadeEndsTheFadeLoggedNotFatal) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
  fader->FadeTo(red.get());
  EXPECT_TRUE(fader->Step());
  XDestroyWindow(dpy(), window_);
  XSync(dpy(), False);
  clock_.Advance(milliseconds(100));
  EXPECT_FALSE(fader->Step());
  EXPECT_TRUE(log_.Contains("SoftwareCrossFader: the window refused the picture, fade ended"))
      << log_.Text();
  EXPECT_FALSE(fader->Step());
}

// The choice of fader, on a window OpenGL can draw on: Mesa's llvmpipe is
// what every machine the saver is built on has.
TEST_F(SoftwareCrossFaderTest, ChoiceLeavesSoftwareOpenGlForTheBlendAndCutsOnlyWhenNeitherWorks) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  std::optional<GlWindowVisual> visual =
      GlCrossFader::ChooseWindowVisual(dpy(), DefaultScreen(dpy()));
  ASSERT_TRUE(visual) << "no GLX visual on Xvfb: is libgl1-mesa-dri installed?";
  struct Case {
    std::optional<std::string> no_gl;  // QUOL_NO_GL
    bool window_gone;
    const char* path_start;
    const char* also_logged;
  };
  const Case cases[] = {
      {std::nullopt, false, "software cross-fade (GL renderer llvmpipe", "GL cross-fade: llvmpipe"},
      {"1", false,
       "software cross-fade (OpenGL unavailable, 0x80004005), 320x200 through MIT-SHM at 60 Hz",
       "DirectXAlpha failed: 0x80004005, QUOL_NO_GL\r\n"},
      {std::nullopt, true,
       "cut without fade (OpenGL unavailable, 0x80004005; the window takes no images)",
       "DirectXAlpha failed: 0x80004005, glXChooseFBConfig\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path_start);
    quol::testing::ScopedEnv no_gl("QUOL_NO_GL", c.no_gl);
    const Window window = visual->CreateWindow(DefaultRootWindow(dpy()), 0, 0, kWidth, kHeight,
                                               XSetWindowAttributes{}, 0);
    XMapWindow(dpy(), window);
    if (c.window_gone) XDestroyWindow(dpy(), window);
    XSync(dpy(), False);

    int wakes = 0;
    FaderChoice choice = ChooseCrossFader(dpy(), window, kWidth, kHeight, [&] { ++wakes; });
    EXPECT_EQ(choice.path.rfind(c.path_start, 0), 0u) << choice.path;
    EXPECT_TRUE(log_.Contains("Fader: " + choice.path + "\r\n")) << log_.Text();
    EXPECT_TRUE(log_.Contains(c.also_logged)) << log_.Text();
    auto* software = dynamic_cast<SoftwareCrossFader*>(choice.fader.get());
    if (c.window_gone) {
      ASSERT_NE(dynamic_cast<BasicFader*>(choice.fader.get()), nullptr);
      continue;
    }
    ASSERT_NE(software, nullptr);
    // The fade shows on the window OpenGL was tried on.
    software->pacer().set_enabled(false);
    SurfacePtr green = SolidPicture(kWidth, kHeight, kGreen);
    software->FadeTo(green.get());
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(software->Step());
    clock_.Advance(milliseconds(kCrossFadeMs));
    EXPECT_FALSE(software->Step());
    EXPECT_TRUE(PixelIs(dpy(), window, 10, 10, kGreen));
    XDestroyWindow(dpy(), window);
  }
}

}  // namespace
}  // namespace quol::saver
