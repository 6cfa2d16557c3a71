// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include "screensaver/fader/gl_cross_fader.h"

#include <chrono>
#include <optional>

#include "foundation/testing/log_capture.h"
#include "platform/clock/clock.h"
#include "platform/testing/test_support.h"
#include "screensaver/fader/basic_fader.h"
#include "screensaver/fader/fader_test_support.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

using std::chrono::milliseconds;

constexpr int kWidth = 256;  // textures 512x512: the picture fills part of them
constexpr int kHeight = 192;
constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF;

class GlCrossFaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    display_ = XDisplay::Open(server_.display_name());
    ASSERT_TRUE(display_);
    visual_ = GlCrossFader::ChooseWindowVisual(dpy(), DefaultScreen(dpy()));
    ASSERT_TRUE(visual_) << "no GLX visual on Xvfb: is libgl1-mesa-dri installed?";
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    window_ = visual_->CreateWindow(DefaultRootWindow(dpy()), 0, 0, kWidth, kHeight, attributes,
                                    CWOverrideRedirect | CWBackPixel);
    XMapRaised(dpy(), window_);
    XSync(dpy(), False);
    platform::SetClockForTesting(&clock_);
  }
  void TearDown() override {
    platform::SetClockForTesting(nullptr);
    PinLoadedGlDrivers();  // before the display closes, see xvfb_server.h
  }

  Display* dpy() const { return display_.get(); }

  // A fader that must work: OpenGL (llvmpipe without a GPU) is expected on
  // every machine the saver is built on.
  std::unique_ptr<GlCrossFader> ReadyFader() {
    auto fader = std::make_unique<GlCrossFader>(dpy(), window_, kWidth, kHeight);
    const HRESULT hr = fader->Initialize();
    EXPECT_TRUE(Succeeded(hr)) << "OpenGL did not initialize on Xvfb (0x" << std::hex << hr
                               << "); log:\n"
                               << log_.Text();
    if (Failed(hr)) return nullptr;
    // Waiting for the next frame is time passing on the test clock.
    fader->pacer().set_wait([this](std::uint64_t ms) { clock_.Advance(milliseconds(ms)); });
    return fader;
  }

  // Steps through the rest of the fade; the new picture alone is on screen after.
  void FinishFade(GlCrossFader& fader) {
    clock_.Advance(milliseconds(GlCrossFader::kFadeMs));
    EXPECT_FALSE(fader.Step());
  }

  quol::testing::LogCapture log_;
  quol::testing::ScopedEnv gl_allowed_{"QUOL_NO_GL", std::nullopt};
  XvfbServer server_{XvfbOptions::Size(640, 480)};
  XDisplay display_;
  std::optional<GlWindowVisual> visual_;
  Window window_ = 0;
  platform::FakeClock clock_;
};

TEST_F(GlCrossFaderTest, InitializesOnLlvmpipeWithPowerOfTwoTextures) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  EXPECT_EQ(fader->texture_width(), 512);
  EXPECT_EQ(fader->texture_height(), 512);
  EXPECT_FALSE(log_.Contains("failed")) << log_.Text();
  EXPECT_FALSE(fader->Step()) << "nothing to fade yet";
}

TEST_F(GlCrossFaderTest, FadeGoesFromOldThroughBlendToNewAndStops) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  int wakes = 0;
  fader->SetWakeCallback([&] { ++wakes; });
  SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
  SurfacePtr blue = SolidPicture(kWidth, kHeight, kBlue);
  fader->SetPicture(red.get());
  fader->FadeTo(blue.get());
  EXPECT_EQ(wakes, 1);

  EXPECT_TRUE(fader->Step());
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, kRed)) << "first frame: old only";

  clock_.Advance(milliseconds(1000));
  EXPECT_TRUE(fader->Step());
  // Level 127: old * 127/255 + new * 128/255.
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, 0x7F0080, 1));

  clock_.Advance(milliseconds(990));
  EXPECT_TRUE(fader->Step()) << "level 1 is still a fade frame";
  clock_.Advance(milliseconds(10));
  EXPECT_FALSE(fader->Step());
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, kBlue));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, kHeight - 1, kBlue));
  EXPECT_FALSE(fader->Step());
  EXPECT_FALSE(log_.Contains("failed")) << log_.Text();
}

TEST_F(GlCrossFaderTest, PicturesAreUprightAndUnmirrored) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  SurfacePtr quadrants = QuadrantPicture(kWidth, kHeight);
  fader->SetPicture(quadrants.get());
  SurfacePtr black = SolidPicture(kWidth, kHeight, 0);
  fader->FadeTo(black.get());
  EXPECT_TRUE(fader->Step());  // the old picture, i.e. texture 1
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, 0, kRed));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, 0, kGreen));
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, kHeight - 1, kBlue));

  fader->FadeTo(quadrants.get());
  EXPECT_TRUE(fader->Step());
  FinishFade(*fader);  // the new picture, i.e. texture 2
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, 0, kRed));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2 - 1, kHeight / 2 - 1, kRed));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, 0, kGreen));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, kHeight / 2 - 1, kGreen));
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, kHeight / 2, kBlue));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, kHeight - 1, kBlue));
}

TEST_F(GlCrossFaderTest, NewFadeDuringAFadeStartsFromThePictureLastHandedOver) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
  SurfacePtr blue = SolidPicture(kWidth, kHeight, kBlue);
  SurfacePtr green = SolidPicture(kWidth, kHeight, kGreen);
  fader->SetPicture(red.get());
  fader->FadeTo(blue.get());
  EXPECT_TRUE(fader->Step());
  clock_.Advance(milliseconds(1000));
  EXPECT_TRUE(fader->Step());

  fader->FadeTo(green.get());
  EXPECT_TRUE(fader->Step());
  EXPECT_TRUE(PixelIs(dpy(), window_, 10, 10, kBlue));
  clock_.Advance(milliseconds(500));
  EXPECT_TRUE(fader->Step()) << "the fade starts over: 2 s from the restart";
  FinishFade(*fader);
  EXPECT_TRUE(PixelIs(dpy(), window_, 10, 10, kGreen));
}

TEST_F(GlCrossFaderTest, OtherSizesSitAtTopLeftOverBlack) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  // Smaller, half-transparent white: grey, black around it.
  SurfacePtr small = SolidPicture(100, 50, 0, CAIRO_FORMAT_ARGB32);
  {
    ContextPtr cr = MakeContext(small.get());
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr.get(), 1, 1, 1, 0.5);
    cairo_paint(cr.get());
  }
  fader->SetPicture(SolidPicture(kWidth, kHeight, kBlue).get());
  fader->FadeTo(small.get());
  EXPECT_TRUE(fader->Step());
  FinishFade(*fader);
  EXPECT_TRUE(PixelIs(dpy(), window_, 99, 49, 0x808080, 1));
  EXPECT_TRUE(PixelIs(dpy(), window_, 100, 10, 0));
  EXPECT_TRUE(PixelIs(dpy(), window_, 10, 50, 0));

  // Larger: cropped, not scaled.
  SurfacePtr large = SolidPicture(kWidth * 2, kHeight * 2, kGreen);
  {
    ContextPtr cr = MakeContext(large.get());
    cairo_set_source_rgb(cr.get(), 1, 0, 0);
    cairo_rectangle(cr.get(), 0, 0, kWidth, kHeight);
    cairo_fill(cr.get());
  }
  fader->FadeTo(large.get());
  EXPECT_TRUE(fader->Step());
  FinishFade(*fader);
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, kHeight - 1, kRed));
}

TEST_F(GlCrossFaderTest, WindowDestroyedUnderTheFaderIsLoggedNotFatal) {
  auto* before = XSetErrorHandler(nullptr);
  InstallNonFatalXErrorHandler();  // as the saver does at start-up
  {
    auto fader = ReadyFader();
    ASSERT_TRUE(fader);
    SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
    fader->FadeTo(red.get());
    XDestroyWindow(dpy(), window_);
    XSync(dpy(), False);
    EXPECT_TRUE(fader->Step());
    FinishFade(*fader);
    XSync(dpy(), False);
    EXPECT_TRUE(log_.Contains("(GLXBadDrawable)")) << log_.Text();
    const int errors = NonFatalXErrorCount();
    fader.reset();
    EXPECT_EQ(NonFatalXErrorCount(), errors) << "releasing the context raised X errors";
  }
  XSetErrorHandler(before);
}

TEST_F(GlCrossFaderTest, FramesComeAtMostOncePerRefresh) {
  auto fader = ReadyFader();
  ASSERT_TRUE(fader);
  EXPECT_EQ(fader->pacer().refresh_hz(), 60) << "Xvfb's refresh is unknown";
  SurfacePtr blue = SolidPicture(kWidth, kHeight, kBlue);
  fader->FadeTo(blue.get());
  // A loop asking as fast as it can, 1 ms per pass: a frame at most every
  // 1000/60 ms, so 121 at most in the two seconds.
  bool more = true;
  for (int call = 0; call < 100000 && more; ++call) {
    more = fader->Step();
    clock_.Advance(milliseconds(1));
  }
  EXPECT_FALSE(more);
  EXPECT_LE(fader->frames_drawn(), 121);
  EXPECT_GE(fader->frames_drawn(), 100) << "paced, not starved";
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth / 2, kHeight / 2, kBlue));
}

}  // namespace
}  // namespace quol::saver
