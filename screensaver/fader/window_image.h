// A Cairo RGB24 surface the size of a window, and the means to put it on the
// window: through a shared memory segment (MIT-SHM) when the server offers
// one, else with XPutImage. With MIT-SHM the surface IS the image the server
// reads, so drawing and pushing copy nothing on the client side.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <cairo.h>

#include <memory>
#include <vector>

#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

class WindowImage {
 public:
  enum class Transport { kSharedMemory, kPutImage };

  // Null, logged, when the window cannot be read or its visual is not
  // 24-bit TrueColor with 32-bit pixels (every Xorg and Xvfb default).
  // `allow_shared_memory` false forces XPutImage.
  static std::unique_ptr<WindowImage> Create(Display* display, Window window, int width,
                                             int height, bool allow_shared_memory = true);
  struct Key {
   private:
    Key() = default;
    friend class WindowImage;
  };
  // For Create only (the key cannot be made elsewhere).
  WindowImage(Key, Display* display, Window window, int width, int height);
  ~WindowImage();
  WindowImage(const WindowImage&) = delete;
  WindowImage& operator=(const WindowImage&) = delete;

  cairo_surface_t* surface() const { return surface_.get(); }
  Transport transport() const { return transport_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Puts the surface at the window's (0,0) and waits until the server has
  // processed it, so the surface can be drawn on again. False when the
  // server refused (the window is gone).
  bool Push();

 private:
  bool AttachSharedMemory(Visual* visual, int depth);
  bool CreatePlainImage(Visual* visual, int depth);

  Display* display_;
  Window window_;
  int width_;
  int height_;
  Transport transport_ = Transport::kPutImage;
  GC gc_ = nullptr;
  XImage* image_ = nullptr;
  XShmSegmentInfo shm_{};
  bool shm_attached_ = false;
  std::vector<unsigned char> plain_pixels_;
  SurfacePtr surface_;
};

}  // namespace quol::saver
