// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <functional>
#include <utility>

#include "screensaver/x11/x_display.h"
#include "screensaver/x11/x_resources.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {
namespace {

// Whether the server still knows `drawable` (a freed pixmap answers BadDrawable).
bool PixmapExists(Display* display, Pixmap drawable) {
  XErrorTrap trap(display);
  Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  const Status ok = XGetGeometry(display, drawable, &root, &x, &y, &width, &height, &border, &depth);
  return !trap.HasError() && ok != 0;
}

TEST(XResourcesTest, PixmapsAreFreedExactlyWhenTheirOwnerLetsGo) {
  XvfbServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  XDisplay display = XDisplay::Open(server.display_name());
  ASSERT_TRUE(display);
  Display* d = display.get();
  const Window root = DefaultRootWindow(d);
  auto make = [&] { return ScopedXPixmap(d, XCreatePixmap(d, root, 8, 8, 24)); };
  ScopedXPixmap keeper;  // outlives the cases, and goes before the display
  struct Case {
    const char* name;
    // Returns the pixmap id it made and whether it must still exist.
    std::function<std::pair<Pixmap, bool>()> act;
  };
  const Case cases[] = {
      {"end of scope", [&] { return std::pair{make().get(), false}; }},
      {"reset",
       [&] {
         ScopedXPixmap p = make();
         const Pixmap id = p.get();
         p.reset();
         return std::pair{id, false};
       }},
      {"moved into a longer-lived owner",
       [&] {
         keeper = make();
         return std::pair{keeper.get(), true};
       }},
      {"replaced by another",
       [&] {
         const Pixmap old = keeper.get();
         keeper = make();
         return std::pair{old, false};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [id, alive] = c.act();
    ASSERT_NE(id, Pixmap{0});
    EXPECT_EQ(PixmapExists(d, id), alive);
  }
}

// Windows go with their owner too, except one released because the server
// already destroyed it with its parent (a host window gone).
TEST(XResourcesTest, WindowsGoWithTheirOwnerUnlessReleased) {
  XvfbServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  XDisplay display = XDisplay::Open(server.display_name());
  ASSERT_TRUE(display);
  Display* d = display.get();
  auto make = [&] {
    return ScopedXWindow(d, XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0));
  };
  Window kept = 0;
  {
    ScopedXWindow gone = make();
    ScopedXWindow released = make();
    ASSERT_TRUE(gone && released);
    EXPECT_TRUE(PixmapExists(d, gone.get()));  // any drawable answers XGetGeometry
    kept = released.release();
    EXPECT_FALSE(released);
    const Window gone_id = gone.get();
    gone.reset();
    EXPECT_FALSE(PixmapExists(d, gone_id));
  }
  EXPECT_TRUE(PixmapExists(d, kept));
  XDestroyWindow(d, kept);
}

TEST(XResourcesTest, AReleasedGrabLetsAnotherClientGrab) {
  XvfbServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  XDisplay ours = XDisplay::Open(server.display_name());
  XDisplay other = XDisplay::Open(server.display_name());
  ASSERT_TRUE(ours && other);
  const Window window = XCreateSimpleWindow(ours.get(), DefaultRootWindow(ours.get()), 0, 0, 50,
                                            50, 0, 0, 0);
  XMapRaised(ours.get(), window);
  XSync(ours.get(), False);
  auto other_can_grab = [&] {
    const Window root = DefaultRootWindow(other.get());
    const bool ok = XGrabKeyboard(other.get(), root, True, GrabModeAsync, GrabModeAsync,
                                  CurrentTime) == GrabSuccess;
    if (ok) XUngrabKeyboard(other.get(), CurrentTime);
    XSync(other.get(), False);
    return ok;
  };
  {
    ScopedXInputGrab grab(ours.get());
    ASSERT_TRUE(grab.GrabKeyboard(window));
    ASSERT_TRUE(grab.GrabPointer(window, ButtonPressMask, 0));
    XSync(ours.get(), False);
    EXPECT_FALSE(other_can_grab());
    grab.Release();
    XSync(ours.get(), False);
    EXPECT_TRUE(other_can_grab());
    // Grabbed again, and this time let go by the end of the scope.
    ASSERT_TRUE(grab.GrabKeyboard(window));
    XSync(ours.get(), False);
    EXPECT_FALSE(other_can_grab());
  }
  XSync(ours.get(), False);
  EXPECT_TRUE(other_can_grab());
}

}  // namespace
}  // namespace quol::saver
