#include "screensaver/fader/basic_fader.h"

#include "foundation/log/process_log.h"
#include "screensaver/fader/fader_support.h"

namespace quol::saver {

BasicFader::BasicFader(Display* display, Window window, int width, int height)
    : display_(display), window_(window), width_(width), height_(height) {}

BasicFader::~BasicFader() = default;

HRESULT BasicFader::Initialize() {
  image_ = WindowImage::Create(display_, window_, width_, height_, allow_shared_memory_);
  if (!image_) {
    LogError("BasicFader: cannot draw on window 0x%lx, pictures will not show", window_);
  } else {
    LogInfo("BasicFader: %dx%d, %s", width_, height_,
            image_->transport() == WindowImage::Transport::kSharedMemory ? "MIT-SHM" : "XPutImage");
  }
  return S_OK;
}

void BasicFader::SetPicture(cairo_surface_t* picture) {
  current_ = FlattenOntoBlack(picture, width_, height_);
}

void BasicFader::FadeTo(cairo_surface_t* picture) {
  SetPicture(picture);
  Repaint();
}

void BasicFader::Repaint() {
  if (!image_ || !current_) return;
  ContextPtr cr = MakeContext(image_->surface());
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr.get(), current_.get(), 0, 0);
  cairo_paint(cr.get());
  cr.reset();
  if (!image_->Push()) LogError("BasicFader: the window refused the picture");
}

}  // namespace quol::saver
