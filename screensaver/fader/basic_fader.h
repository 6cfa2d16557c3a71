// The fader used when OpenGL is not available: no fade, each picture is
// put on the window at once with MIT-SHM (or XPutImage on a remote display).
#pragma once

#include <X11/Xlib.h>

#include <memory>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/fader/cross_fader.h"
#include "screensaver/fader/window_image.h"

namespace quol::saver {

class BasicFader : public ICrossFader {
 public:
  BasicFader(Display* display, Window window, int width, int height);
  ~BasicFader() override;
  BasicFader(const BasicFader&) = delete;
  BasicFader& operator=(const BasicFader&) = delete;

  // Always S_OK; when the window cannot take images that is logged and
  // nothing is drawn.
  [[nodiscard]] HRESULT Initialize() override;
  // Keeps a copy for Repaint; draws nothing.
  void SetPicture(cairo_surface_t* picture) override;
  // Draws `picture` at once.
  void FadeTo(cairo_surface_t* picture) override;
  bool Step() override { return false; }

  // Draws the current picture again (after Expose).
  void Repaint() override;

  // How pictures reach the window; for tests and the log.
  const WindowImage* window_image() const { return image_.get(); }
  // Forces XPutImage, before Initialize (tests, benchmarks).
  void set_allow_shared_memory(bool allow) { allow_shared_memory_ = allow; }

 private:
  Display* display_;
  Window window_;
  int width_;
  int height_;
  bool allow_shared_memory_ = true;
  std::unique_ptr<WindowImage> image_;
  SurfacePtr current_;
};

}  // namespace quol::saver
