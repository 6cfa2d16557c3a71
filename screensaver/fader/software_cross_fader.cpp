#include "screensaver/fader/software_cross_fader.h"

#include <cstdio>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"

namespace quol::saver {

SoftwareCrossFader::SoftwareCrossFader(Display* display, Window window, int width, int height)
    : display_(display), window_(window), width_(width), height_(height) {
  pacer_.set_wait([display](std::uint64_t ms) { WaitForXInput(display, ms); });
}

SoftwareCrossFader::~SoftwareCrossFader() {
  context_.reset();  // before the image it draws on
}

HRESULT SoftwareCrossFader::Initialize() {
  if (image_) return S_OK;
  image_ = WindowImage::Create(display_, window_, width_, height_, allow_shared_memory_);
  if (!image_) return E_FAIL;
  context_ = MakeContext(image_->surface());
  display_refresh_hz_ = DisplayRefreshHz(display_, window_);
  pacer_.set_refresh_hz(display_refresh_hz_);
  return S_OK;
}

std::string SoftwareCrossFader::Describe() const {
  char text[160];
  std::snprintf(text, sizeof text, "%dx%d through %s at %.0f Hz%s", width_, height_,
                image_ && image_->transport() == WindowImage::Transport::kSharedMemory
                    ? "MIT-SHM"
                    : "XPutImage",
                pacer_.refresh_hz(),
                display_refresh_hz_ ? "" : " (display refresh unknown)");
  return text;
}

void SoftwareCrossFader::SetPicture(cairo_surface_t* picture) {
  current_ = FlattenOntoBlack(picture, width_, height_);
}

void SoftwareCrossFader::FadeTo(cairo_surface_t* picture) {
  SurfacePtr next = FlattenOntoBlack(picture, width_, height_);
  if (!next) {
    LogError("SoftwareCrossFader: no memory for a %dx%d picture", width_, height_);
    return;
  }
  // During a fade this jumps to the picture last handed over: the fade
  // restarts from there, as the OpenGL one does.
  from_ = current_ ? std::move(current_) : FlattenOntoBlack(nullptr, width_, height_);
  current_ = std::move(next);
  timeline_.Start();
  if (wake_) wake_();
}

bool SoftwareCrossFader::Step() {
  if (!timeline_.running()) return false;
  if (!image_ || !from_) {
    timeline_.Stop();
    return false;
  }
  // Too early for the display to show another frame: the loop gets its
  // events handled meanwhile and calls again.
  if (!pacer_.NextFrame()) return true;
  const int level = timeline_.NextLevel(platform::TickMs());
  if (!DrawFrame(level)) {
    LogError("SoftwareCrossFader: the window refused the picture, fade ended");
    timeline_.Stop();
  }
  if (!timeline_.running()) from_.reset();  // only needed while fading
  return timeline_.running();
}

void SoftwareCrossFader::Repaint() {
  // The window's image still holds the last frame; during a fade the next
  // one comes soon anyway.
  if (!image_ || frames_drawn_ == 0 || timeline_.running()) return;
  if (!image_->Push()) LogError("SoftwareCrossFader: the window refused the picture");
}

bool SoftwareCrossFader::DrawFrame(int level) {
  cairo_t* cr = context_.get();
  // Both pictures are opaque: the SOURCE paint replaces every pixel, and
  // the last frame is the new picture exactly, not a blend that rounds.
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, level == 0 ? current_.get() : from_.get(), 0, 0);
  cairo_paint(cr);
  if (level > 0 && level < 255) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_set_source_surface(cr, current_.get(), 0, 0);
    cairo_paint_with_alpha(cr, (255 - level) / 255.0);
  }
  cairo_set_source_rgb(cr, 0, 0, 0);  // lets go of the picture
  if (!image_->Push()) return false;
  ++frames_drawn_;
  return true;
}

}  // namespace quol::saver
