// The cross-fade drawn by the CPU: each frame is blended in the window's
// RGB24 image (a SOURCE paint of the old picture, then the new one painted
// over it with the frame's alpha) and put on the window with MIT-SHM, or
// XPutImage where the server refuses shared memory.
//
// Used where OpenGL itself draws with the CPU (Mesa's llvmpipe): there this
// blend is several times faster than the two textured passes, and the only
// way to a smooth fade on large screens. It also takes over where OpenGL is
// missing altogether. Frames follow the same levels and timing as the
// OpenGL fader, paced at the display's refresh rate.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/fader/cross_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/frame_pacer.h"
#include "screensaver/fader/window_image.h"

namespace quol::saver {

class SoftwareCrossFader : public ICrossFader {
 public:
  SoftwareCrossFader(Display* display, Window window, int width, int height);
  ~SoftwareCrossFader() override;
  SoftwareCrossFader(const SoftwareCrossFader&) = delete;
  SoftwareCrossFader& operator=(const SoftwareCrossFader&) = delete;

  // E_FAIL (logged by WindowImage) when the window cannot take images;
  // else reads the display's refresh rate for the pacing.
  [[nodiscard]] HRESULT Initialize() override;
  void SetPicture(cairo_surface_t* picture) override;
  void FadeTo(cairo_surface_t* picture) override;
  bool Step() override;
  void Repaint() override;

  // Called at the end of each FadeTo, so the loop owner resumes Step calls.
  void SetWakeCallback(std::function<void()> wake) { wake_ = std::move(wake); }
  // Forces XPutImage, before Initialize (tests, benchmarks).
  void set_allow_shared_memory(bool allow) { allow_shared_memory_ = allow; }

  // Pacing of the frames: refresh rate, how to wait, on or off.
  FramePacer& pacer() { return pacer_; }
  const WindowImage* window_image() const { return image_.get(); }
  bool fading() const { return timeline_.running(); }
  // Frames put on the window since construction.
  long frames_drawn() const { return frames_drawn_; }
  // For the log: size, transport and pace, e.g.
  // "1920x1080 through MIT-SHM at 60 Hz (display refresh unknown)".
  std::string Describe() const;

 private:
  // Composes the frame of `level` (255 old only, 0 new only) and pushes it;
  // false when the window refused it.
  bool DrawFrame(int level);

  Display* display_;
  Window window_;
  int width_;
  int height_;
  bool allow_shared_memory_ = true;
  std::unique_ptr<WindowImage> image_;
  ContextPtr context_;  // on the image, kept between frames
  std::optional<double> display_refresh_hz_;

  SurfacePtr current_;  // the picture last handed over
  SurfacePtr from_;     // the picture the running fade starts from
  FadeTimeline timeline_;
  FramePacer pacer_;
  long frames_drawn_ = 0;
  std::function<void()> wake_;
};

}  // namespace quol::saver
