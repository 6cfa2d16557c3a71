// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include "screensaver/fader/basic_fader.h"

#include <X11/extensions/XShm.h>

#include <chrono>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/fader/software_cross_fader.h"
#include "screensaver/fader/fader_test_support.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 200;
constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF;
constexpr std::uint32_t kWhite = 0xFFFFFF;

// A plain window of the default visual, white until something is drawn.
class BasicFaderTest : public ::testing::Test {
 protected:
  void StartServer(XvfbOptions options = {}) {
    server_.emplace(std::move(options));
    ASSERT_TRUE(server_->ok()) << server_->error();
    display_ = XDisplay::Open(server_->display_name());
    ASSERT_TRUE(display_);
    window_ = MapPlainWindow(dpy(), kWidth, kHeight, kWhite);
  }
  Display* dpy() const { return display_.get(); }

  quol::testing::LogCapture log_;
  std::optional<XvfbServer> server_;
  XDisplay display_;
  Window window_ = 0;
};

TEST_F(BasicFaderTest, FadeToShowsThePictureAtOnceUprightThroughSharedMemory) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BasicFader fader(dpy(), window_, kWidth, kHeight);
  EXPECT_EQ(fader.Initialize(), S_OK);
  ASSERT_NE(fader.window_image(), nullptr) << log_.Text();
  EXPECT_EQ(fader.window_image()->transport(), WindowImage::Transport::kSharedMemory);

  SurfacePtr quadrants = QuadrantPicture(kWidth, kHeight);
  fader.FadeTo(quadrants.get());
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, 0, kRed));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, 0, kGreen));
  EXPECT_TRUE(PixelIs(dpy(), window_, kWidth - 1, kHeight - 1, kBlue));
  EXPECT_FALSE(fader.Step());

  SurfacePtr blue = SolidPicture(kWidth, kHeight, kBlue);
  fader.FadeTo(blue.get());
  EXPECT_TRUE(PixelIs(dpy(), window_, 0, 0, kBlue));
}

TEST_F(BasicFaderTest, SetPictureDrawsNothingAndRepaintRestoresAfterExpose) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BasicFader fader(dpy(), window_, kWidth, kHeight);
  ASSERT_EQ(fader.Initialize(), S_OK);
  SurfacePtr green = SolidPicture(kWidth, kHeight, kGreen);
  fader.SetPicture(green.get());
  EXPECT_TRUE(PixelIs(dpy(), window_, 5, 5, kWhite));
  fader.Repaint();
  EXPECT_TRUE(PixelIs(dpy(), window_, 5, 5, kGreen));

  XClearWindow(dpy(), window_);  // what the server does to an exposed area
  EXPECT_TRUE(PixelIs(dpy(), window_, 5, 5, kWhite));
  fader.Repaint();
  EXPECT_TRUE(PixelIs(dpy(), window_, 5, 5, kGreen));
}

TEST_F(BasicFaderTest, WithoutMitShmPicturesGoThroughPutImage) {
  ASSERT_NO_FATAL_FAILURE(StartServer(XvfbOptions::Without("MIT-SHM")));
  ASSERT_FALSE(XShmQueryExtension(dpy()));
  BasicFader fader(dpy(), window_, kWidth, kHeight);
  EXPECT_EQ(fader.Initialize(), S_OK);
  ASSERT_NE(fader.window_image(), nullptr) << log_.Text();
  EXPECT_EQ(fader.window_image()->transport(), WindowImage::Transport::kPutImage);

  // A smaller picture: top-left, black around it.
  SurfacePtr red = SolidPicture(100, 80, kRed);
  fader.FadeTo(red.get());
  EXPECT_TRUE(PixelIs(dpy(), window_, 99, 79, kRed));
  EXPECT_TRUE(PixelIs(dpy(), window_, 100, 79, 0));
  EXPECT_TRUE(PixelIs(dpy(), window_, 99, 80, 0));
}

TEST_F(BasicFaderTest, AWindowThatIsGoneIsLoggedNotFatal) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BasicFader fader(dpy(), window_, kWidth, kHeight);
  ASSERT_EQ(fader.Initialize(), S_OK);
  ASSERT_NE(fader.window_image(), nullptr);
  XDestroyWindow(dpy(), window_);
  SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
  fader.FadeTo(red.get());
  EXPECT_TRUE(log_.Contains("BasicFader: the window refused the picture")) << log_.Text();

  BasicFader late(dpy(), window_, kWidth, kHeight);
  EXPECT_EQ(late.Initialize(), S_OK);
  EXPECT_EQ(late.window_image(), nullptr);
  late.FadeTo(red.get());  // draws nothing, ends nothing
}

TEST_F(BasicFaderTest, ServerWithoutGlxGetsTheSoftwareCrossFadeNotTheCut) {
  ASSERT_NO_FATAL_FAILURE(StartServer(XvfbOptions::Without("GLX")));
  quol::testing::ScopedEnv gl_allowed("QUOL_NO_GL", std::nullopt);
  EXPECT_FALSE(GlCrossFader::ChooseWindowVisual(dpy(), DefaultScreen(dpy())));
  auto fader = CreateCrossFader(dpy(), window_, kWidth, kHeight);
  ASSERT_NE(dynamic_cast<SoftwareCrossFader*>(fader.get()), nullptr) << log_.Text();
  EXPECT_TRUE(log_.Contains("DirectXAlpha failed: 0x80004005, glXChooseFBConfig\r\n"))
      << log_.Text();
  EXPECT_TRUE(log_.Contains("Fader: software cross-fade (OpenGL unavailable, 0x80004005)"))
      << log_.Text();
  // On the real clock and the real pacing: the fade ends on its own.
  SurfacePtr red = SolidPicture(kWidth, kHeight, kRed);
  fader->FadeTo(red.get());
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool more = true;
  while (more && std::chrono::steady_clock::now() < give_up) more = fader->Step();
  EXPECT_FALSE(more) << "the fade did not end";
  EXPECT_TRUE(PixelIs(dpy(), window_, 10, 10, kRed));
}

}  // namespace
}  // namespace quol::saver
