#include "screensaver/fader/window_image.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "foundation/log/process_log.h"
#include "screensaver/x11/x_display.h"

namespace quol::saver {
namespace {

// Cairo RGB24 is a native-endian 32-bit 0x00RRGGBB word: the same bytes as
// a little-endian 32 bpp image with masks ff0000/ff00/ff.
bool MatchesCairoRgb24(const XImage* image) {
  return image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 &&
         image->green_mask == 0xFF00 && image->blue_mask == 0xFF &&
         image->byte_order == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? LSBFirst : MSBFirst);
}

}  // namespace

WindowImage::WindowImage(Key, Display* display, Window window, int width, int height)
    : display_(display), window_(window), width_(width), height_(height) {}

std::unique_ptr<WindowImage> WindowImage::Create(Display* display, Window window, int width,
                                                 int height, bool allow_shared_memory) {
  if (width <= 0 || height <= 0) return nullptr;
  XWindowAttributes attributes;
  {
    XErrorTrap trap(display);
    if (!XGetWindowAttributes(display, window, &attributes) || trap.HasError()) {
      LogError("WindowImage: cannot read window 0x%lx", window);
      return nullptr;
    }
  }
  auto image = std::make_unique<WindowImage>(Key{}, display, window, width, height);
  image->gc_ = XCreateGC(display, window, 0, nullptr);
  const bool shared = allow_shared_memory && XShmQueryExtension(display) &&
                      image->AttachSharedMemory(attributes.visual, attributes.depth);
  if (!shared && !image->CreatePlainImage(attributes.visual, attributes.depth)) return nullptr;
  if (!MatchesCairoRgb24(image->image_)) {
    LogError("WindowImage: unsupported visual (depth %d, %d bpp, masks %lx/%lx/%lx)",
             attributes.depth, image->image_->bits_per_pixel, image->image_->red_mask,
             image->image_->green_mask, image->image_->blue_mask);
    return nullptr;
  }
  image->surface_.reset(cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char*>(image->image_->data), CAIRO_FORMAT_RGB24, width, height,
      image->image_->bytes_per_line));
  if (cairo_surface_status(image->surface_.get()) != CAIRO_STATUS_SUCCESS) {
    LogError("WindowImage: no Cairo surface over the image");
    return nullptr;
  }
  return image;
}

bool WindowImage::AttachSharedMemory(Visual* visual, int depth) {
  image_ = XShmCreateImage(display_, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shm_,
                           static_cast<unsigned>(width_), static_cast<unsigned>(height_));
  if (image_ == nullptr) return false;
  const size_t bytes = static_cast<size_t>(image_->bytes_per_line) * static_cast<size_t>(height_);
  shm_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (shm_.shmid >= 0) {
    void* address = shmat(shm_.shmid, nullptr, 0);
    shm_.shmaddr = address == reinterpret_cast<void*>(-1) ? nullptr : static_cast<char*>(address);
  }
  if (shm_.shmaddr != nullptr) {
    shm_.readOnly = False;
    image_->data = shm_.shmaddr;
    // A server on another machine refuses the segment (BadAccess).
    XErrorTrap trap(display_);
    shm_attached_ = XShmAttach(display_, &shm_) && !trap.HasError();
  }
  // Once both sides are attached the segment goes when the last one detaches.
  if (shm_.shmid >= 0) shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (shm_attached_) {
    transport_ = Transport::kSharedMemory;
    return true;
  }
  LogInfo("WindowImage: MIT-SHM unavailable, using XPutImage");
  if (shm_.shmaddr != nullptr) shmdt(shm_.shmaddr);
  shm_ = {};
  image_->data = nullptr;
  XDestroyImage(image_);
  image_ = nullptr;
  return false;
}

bool WindowImage::CreatePlainImage(Visual* visual, int depth) {
  image_ = XCreateImage(display_, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                        static_cast<unsigned>(width_), static_cast<unsigned>(height_), 32, 0);
  if (image_ == nullptr) {
    LogError("WindowImage: XCreateImage failed");
    return false;
  }
  plain_pixels_.resize(static_cast<size_t>(image_->bytes_per_line) * static_cast<size_t>(height_));
  image_->data = reinterpret_cast<char*>(plain_pixels_.data());
  transport_ = Transport::kPutImage;
  return true;
}

WindowImage::~WindowImage() {
  surface_.reset();
  if (shm_attached_) {
    XShmDetach(display_, &shm_);
    XSync(display_, False);
  }
  if (shm_.shmaddr != nullptr) shmdt(shm_.shmaddr);
  if (image_ != nullptr) {
    // The pixels belong to the segment or to plain_pixels_, not to Xlib.
    image_->data = nullptr;
    XDestroyImage(image_);
  }
  if (gc_ != nullptr) XFreeGC(display_, gc_);
}

bool WindowImage::Push() {
  cairo_surface_flush(surface_.get());
  XErrorTrap trap(display_);
  const auto w = static_cast<unsigned>(width_);
  const auto h = static_cast<unsigned>(height_);
  if (transport_ == Transport::kSharedMemory) {
    XShmPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, w, h, False);
  } else {
    XPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, w, h);
  }
  // HasError syncs: the server is done with the pixels when it returns.
  return !trap.HasError();
}

}  // namespace quol::saver
