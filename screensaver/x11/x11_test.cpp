// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

bool LockFileExists(int number) {
  return access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0;
}

// A window id no client owns: any request on it fails with BadWindow.
constexpr Window kNoSuchWindow = 0x3fffff1;

TEST(XvfbServerTest, RunsForItsScopeAndRestoresDisplay) {
  quol::testing::ScopedEnv outer_display("DISPLAY", ":4242");
  std::string name;
  int number = -1;
  {
    XvfbServer first;
    ASSERT_TRUE(first.ok()) << first.error();
    XvfbServer second;
    ASSERT_TRUE(second.ok()) << second.error();
    EXPECT_NE(first.display_name(), second.display_name());
    name = first.display_name();
    number = first.display_number();
    EXPECT_EQ(name, ":" + std::to_string(number));
    EXPECT_TRUE(LockFileExists(number));
    // The newest server is the one DISPLAY names.
    EXPECT_STREQ(std::getenv("DISPLAY"), second.display_name().c_str());

    XDisplay display = XDisplay::Open(name);
    ASSERT_TRUE(display);
    EXPECT_EQ(DisplayWidth(display.get(), 0), 1280);
    EXPECT_EQ(DisplayHeight(display.get(), 0), 1024);
    EXPECT_EQ(DefaultDepth(display.get(), 0), 24);
    XDisplay moved = std::move(display);
    EXPECT_FALSE(display);
    EXPECT_TRUE(moved);
  }
  EXPECT_STREQ(std::getenv("DISPLAY"), ":4242");
  EXPECT_FALSE(LockFileExists(number)) << "Xvfb still running on " << name;
  EXPECT_FALSE(XDisplay::Open(name));
}

TEST(XvfbServerTest, TwoMonitorLayoutHasLeftPrimaryAndRight) {
  XvfbServer server(XvfbOptions::TwoMonitors());
  ASSERT_TRUE(server.ok()) << server.error();
  XDisplay display = XDisplay::Open(server.display_name());
  ASSERT_TRUE(display);
  EXPECT_EQ(DisplayWidth(display.get(), 0), 3200);
  EXPECT_EQ(DisplayHeight(display.get(), 0), 1080);

  int count = 0;
  XRRMonitorInfo* monitors =
      XRRGetMonitors(display.get(), DefaultRootWindow(display.get()), True, &count);
  ASSERT_EQ(count, 2);
  const XRRMonitorInfo* left = nullptr;
  const XRRMonitorInfo* right = nullptr;
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(display.get(), monitors[i].name);
    if (std::string(name) == "LEFT") left = &monitors[i];
    if (std::string(name) == "RIGHT") right = &monitors[i];
    XFree(name);
  }
  ASSERT_NE(left, nullptr);
  ASSERT_NE(right, nullptr);
  EXPECT_TRUE(left->primary);
  EXPECT_FALSE(right->primary);
  EXPECT_EQ((std::array{left->x, left->y, left->width, left->height}),
            (std::array{0, 0, 1920, 1080}));
  EXPECT_EQ((std::array{right->x, right->y, right->width, right->height}),
            (std::array{1920, 0, 1280, 1024}));
  XRRFreeMonitors(monitors);
}

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    display_ = XDisplay::Open(server_.display_name());
    ASSERT_TRUE(display_);
  }
  Display* dpy() const { return display_.get(); }

  XvfbServer server_;
  XDisplay display_;
};

TEST_F(X11Test, ReadPixelSeesMappedWindowAndRefusesUnmapped) {
  Window window = XCreateSimpleWindow(dpy(), DefaultRootWindow(dpy()), 10, 20, 50, 40, 0, 0,
                                      0xFF8000);
  XSetWindowAttributes attributes;
  attributes.override_redirect = True;
  XChangeWindowAttributes(dpy(), window, CWOverrideRedirect, &attributes);
  EXPECT_FALSE(ReadPixel(dpy(), window, 0, 0)) << "an unmapped window has no pixels";

  XMapWindow(dpy(), window);
  XSync(dpy(), False);
  EXPECT_EQ(ReadPixel(dpy(), window, 49, 39), 0xFF8000u);
  EXPECT_EQ(ReadRootPixel(dpy(), 10, 20), 0xFF8000u);
  EXPECT_EQ(ReadRootPixel(dpy(), 59, 59), 0xFF8000u);
}

int g_outer_errors = 0;
int CountOuterError(Display*, XErrorEvent*) {
  ++g_outer_errors;
  return 0;
}

TEST_F(X11Test, ErrorTrapsCatchTheirOwnErrorsAndRestoreTheHandler) {
  g_outer_errors = 0;
  auto* before = XSetErrorHandler(CountOuterError);
  {
    XErrorTrap outer(dpy());
    {
      XErrorTrap inner(dpy());
      XMapWindow(dpy(), kNoSuchWindow);
      EXPECT_TRUE(inner.HasError());
      EXPECT_EQ(inner.first_error_code(), BadWindow);
    }
    EXPECT_FALSE(outer.HasError()) << "the inner trap's error leaked out";
    EXPECT_EQ(outer.first_error_code(), 0);
  }
  EXPECT_EQ(g_outer_errors, 0);
  XUnmapWindow(dpy(), kNoSuchWindow);
  XSync(dpy(), False);
  EXPECT_EQ(g_outer_errors, 1) << "the handler in force before the traps is back";
  XSetErrorHandler(before);
}

TEST_F(X11Test, NonFatalHandlerLogsAndCarriesOn) {
  quol::testing::LogCapture log;
  auto* before = XSetErrorHandler(nullptr);
  InstallNonFatalXErrorHandler();
  const int errors_before = NonFatalXErrorCount();
  {
    XErrorTrap trap(dpy());
    XMapWindow(dpy(), kNoSuchWindow);
    EXPECT_TRUE(trap.HasError());
  }
  EXPECT_EQ(NonFatalXErrorCount(), errors_before) << "trapped errors are not the handler's";
  XUnmapWindow(dpy(), kNoSuchWindow);
  XSync(dpy(), False);
  EXPECT_EQ(NonFatalXErrorCount(), errors_before + 1);
  EXPECT_TRUE(log.Contains("X error 3 (BadWindow")) << log.Text();
  XSetErrorHandler(before);
}

}  // namespace
}  // namespace quol::saver
