// Owning handles for the X resources the saver makes and the grabs it
// holds: each is given back to the server when its owner goes, so an early
// return can neither leak a pixmap nor leave the desktop grabbed.
// Use on the thread that owns the display.
#pragma once

#include <X11/Xlib.h>

#include <utility>

namespace quol::saver {

// One X id freed with `Free` (XFreePixmap, XFreeCursor, ...). 0 is "none".
template <typename Id, int (*Free)(Display*, Id)>
class ScopedXId {
 public:
  ScopedXId() = default;
  ScopedXId(Display* display, Id id) : display_(display), id_(id) {}
  ~ScopedXId() { reset(); }
  ScopedXId(ScopedXId&& other) noexcept
      : display_(other.display_), id_(std::exchange(other.id_, Id{})) {}
  ScopedXId& operator=(ScopedXId&& other) noexcept {
    if (this != &other) {
      reset();
      display_ = other.display_;
      id_ = std::exchange(other.id_, Id{});
    }
    return *this;
  }
  ScopedXId(const ScopedXId&) = delete;
  ScopedXId& operator=(const ScopedXId&) = delete;

  Id get() const { return id_; }
  explicit operator bool() const { return id_ != Id{}; }
  void reset() {
    if (id_ != Id{}) Free(display_, std::exchange(id_, Id{}));
  }
  // Forgets the id without freeing it: the server already did (a window
  // destroyed with its parent).
  Id release() { return std::exchange(id_, Id{}); }

 private:
  Display* display_ = nullptr;
  Id id_{};
};

using ScopedXPixmap = ScopedXId<Pixmap, &XFreePixmap>;
using ScopedXCursor = ScopedXId<Cursor, &XFreeCursor>;
using ScopedXGc = ScopedXId<GC, &XFreeGC>;
using ScopedXWindow = ScopedXId<Window, &XDestroyWindow>;

// The keyboard and pointer grabs of one window. Released together (as the
// server counts them: ungrabbing what is not held does nothing) by Release
// or when the object goes.
class ScopedXInputGrab {
 public:
  explicit ScopedXInputGrab(Display* display) : display_(display) {}
  ~ScopedXInputGrab() { Release(); }
  ScopedXInputGrab(const ScopedXInputGrab&) = delete;
  ScopedXInputGrab& operator=(const ScopedXInputGrab&) = delete;

  bool GrabKeyboard(Window window) {
    active_ = true;
    return XGrabKeyboard(display_, window, True, GrabModeAsync, GrabModeAsync, CurrentTime) ==
           GrabSuccess;
  }
  bool GrabPointer(Window window, unsigned int event_mask, Cursor cursor) {
    active_ = true;
    return XGrabPointer(display_, window, True, event_mask, GrabModeAsync, GrabModeAsync, None,
                        cursor, CurrentTime) == GrabSuccess;
  }
  // Gives both grabs up (once; later calls do nothing).
  void Release() {
    if (!std::exchange(active_, false)) return;
    XUngrabKeyboard(display_, CurrentTime);
    XUngrabPointer(display_, CurrentTime);
  }

 private:
  Display* display_;
  bool active_ = false;
};

}  // namespace quol::saver
