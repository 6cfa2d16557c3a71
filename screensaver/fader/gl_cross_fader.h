// The cross-fade with OpenGL (GLX): both pictures as textures, blended on
// the window by two passes of a screen-filling quad. On machines without a
// GPU Mesa's llvmpipe does the work; at 1920x1080 it still makes a smooth
// fade.
//
// The window must have the visual of a GLX frame-buffer configuration:
// create it with GlWindowVisual, which also makes the colormap such a window
// needs.
#pragma once

#include <GL/gl.h>
#include <GL/glx.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/fader/cross_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/frame_pacer.h"

namespace quol::saver {

// The visual and colormap for windows the GL fader draws on. Keep it as
// long as such a window exists (it frees the colormap). Move-only.
class GlWindowVisual {
 public:
  // The double-buffered 8-bit RGB configuration the fader draws with (a
  // 24-bit visual preferred), or nullopt (logged) when the server has none.
  static std::optional<GlWindowVisual> Choose(Display* display, int screen);

  GlWindowVisual(GlWindowVisual&& other) noexcept;
  GlWindowVisual& operator=(GlWindowVisual&& other) noexcept;
  GlWindowVisual(const GlWindowVisual&) = delete;
  GlWindowVisual& operator=(const GlWindowVisual&) = delete;
  ~GlWindowVisual();

  Visual* visual() const { return visual_; }
  int depth() const { return depth_; }
  VisualID visual_id() const { return visual_id_; }
  Colormap colormap() const { return colormap_; }

  // Adds this visual's colormap and a border pixel to `attributes` and their
  // bits to `mask`: a window whose visual differs from its parent's gets
  // BadMatch without both.
  void Apply(XSetWindowAttributes* attributes, unsigned long* mask) const;
  // XCreateWindow with this visual; `attributes`/`mask` as for XCreateWindow,
  // completed by Apply.
  Window CreateWindow(Window parent, int x, int y, int width, int height,
                      XSetWindowAttributes attributes, unsigned long mask) const;

 private:
  GlWindowVisual() = default;

  Display* display_ = nullptr;
  Visual* visual_ = nullptr;
  int depth_ = 0;
  VisualID visual_id_ = 0;
  Colormap colormap_ = 0;
};

class GlCrossFader : public ICrossFader {
 public:
  // A fade lasts this long, whatever the frame rate.
  static constexpr std::uint64_t kFadeMs = kCrossFadeMs;

  // For the window creator: see GlWindowVisual::Choose.
  static std::optional<GlWindowVisual> ChooseWindowVisual(Display* display, int screen) {
    return GlWindowVisual::Choose(display, screen);
  }

  GlCrossFader(Display* display, Window window, int width, int height);
  ~GlCrossFader() override;
  GlCrossFader(const GlCrossFader&) = delete;
  GlCrossFader& operator=(const GlCrossFader&) = delete;

  // Runs the set-up steps in order, each only after the earlier ones
  // succeeded. The first failure is logged as
  // "DirectXAlpha failed: 0x<code>, <step>" and its code returned. The
  // environment variable QUOL_NO_GL=1 fails the first step ("QUOL_NO_GL").
  [[nodiscard]] HRESULT Initialize() override;
  void SetPicture(cairo_surface_t* picture) override;
  void FadeTo(cairo_surface_t* picture) override;
  bool Step() override;
  void Repaint() override;

  // Called at the end of each FadeTo, so the loop owner resumes Step calls.
  void SetWakeCallback(std::function<void()> wake) { wake_ = std::move(wake); }

  int texture_width() const { return texture_width_; }
  int texture_height() const { return texture_height_; }
  bool fading() const { return timeline_.running(); }
  // GL_RENDERER once initialized, e.g. "llvmpipe (LLVM 15.0.6, 256 bits)".
  const std::string& renderer() const { return renderer_; }
  // Pacing of the frames: refresh rate, how to wait, on or off.
  FramePacer& pacer() { return pacer_; }
  // Frames drawn since construction.
  long frames_drawn() const { return frames_drawn_; }

 private:
  [[nodiscard]] HRESULT Fail(HRESULT code, const char* step);
  [[nodiscard]] HRESULT SetUp();
  bool MakeCurrent();
  [[nodiscard]] HRESULT AllocateTexture(GLuint texture);
  [[nodiscard]] HRESULT Upload(GLuint texture, cairo_surface_t* flat);
  bool Render(int level);
  void DrawQuad() const;
  void LogSwapControl();
  void Release();

  Display* display_;
  Window window_;
  int width_;
  int height_;
  GLXContext context_ = nullptr;
  GLuint textures_[2] = {0, 0};
  int texture_width_ = 0;
  int texture_height_ = 0;
  float u_ = 1;  // the picture's share of the texture
  float v_ = 1;
  bool ready_ = false;
  std::string renderer_;

  SurfacePtr current_;
  FadeTimeline timeline_;
  FramePacer pacer_;
  long frames_drawn_ = 0;
  int last_level_ = 0;  // of the frame last drawn, for Repaint
  std::function<void()> wake_;
};

}  // namespace quol::saver
