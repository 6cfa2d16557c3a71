// Cross-faders: put the saver's pictures on a window, the next one fading in
// over the current one.
//
// Pictures are Cairo image surfaces (ARGB32 or RGB24) of the window's size;
// the caller keeps them, a fader copies what it needs. Transparent parts show
// black: each picture is flattened onto opaque black first. A picture of
// another size is drawn at the window's top-left corner, unscaled, cropped
// where it is larger.
#pragma once

#include <cairo.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/common/hresult.h"

// From <X11/Xlib.h>, kept out of this header so its macros (None, Bool,
// Status) do not spread to every user of a fader.
typedef struct _XDisplay Display;
typedef unsigned long XID;
typedef XID Window;

namespace quol::saver {

class ICrossFader {
 public:
  virtual ~ICrossFader() = default;
  // Negative: the fader cannot be used.
  [[nodiscard]] virtual HRESULT Initialize() = 0;
  // `picture` becomes the current picture; nothing is drawn.
  virtual void SetPicture(cairo_surface_t* picture) = 0;
  // Fades from the current picture to `picture`, which becomes current.
  virtual void FadeTo(cairo_surface_t* picture) = 0;
  // Draws the next frame of the fade; true while the fade goes on, so the
  // owner of the event loop keeps calling it while idle.
  virtual bool Step() = 0;
  // Puts the frame last drawn on the window again (an Expose uncovered part
  // of it); nothing before the first frame. Window thread.
  virtual void Repaint() = 0;
};

// The fader for `window`, chosen in this order:
//  - OpenGL (GlCrossFader, on a window made with GlWindowVisual, see
//    gl_cross_fader.h) when it works and a GPU draws;
//  - the software cross-fade (SoftwareCrossFader) when OpenGL is missing or
//    is one of Mesa's software rasterisers: blending in memory is faster
//    there than OpenGL on the same CPU;
//  - OpenGL after all, when the window takes no images but OpenGL works;
//  - the basic fader, which shows each picture at once, when neither does.
// The choice is logged in one line, "Fader: <path>"; failed set-up steps
// before it too. `wake` is called by FadeTo so the loop owner resumes
// calling Step.
struct FaderChoice {
  std::unique_ptr<ICrossFader> fader;
  // The logged path, e.g. "software cross-fade (GL renderer llvmpipe ...)".
  std::string path;
};
FaderChoice ChooseCrossFader(Display* display, Window window, int width, int height,
                             std::function<void()> wake = {});

// ChooseCrossFader's fader.
std::unique_ptr<ICrossFader> CreateCrossFader(Display* display, Window window, int width,
                                              int height, std::function<void()> wake = {});

}  // namespace quol::saver
