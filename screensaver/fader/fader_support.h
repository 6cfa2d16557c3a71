// The pure parts of the faders, apart so they can be checked without a server.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string_view>

#include "platform/common/hresult.h"
#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

// Every cross-fade takes this long, however many frames the machine draws.
constexpr std::uint64_t kCrossFadeMs = 2000;

// The course of a cross-fade, the same for every fader: the first frame
// after Start shows the old picture alone (level 255), later ones a level
// falling with the clock, (end - now) * 255 / kCrossFadeMs, down to 0 (the
// new picture alone) kCrossFadeMs after the first frame, which ends it.
class FadeTimeline {
 public:
  void Start() { state_ = State::kStarting; }
  void Stop() { state_ = State::kIdle; }
  bool running() const { return state_ != State::kIdle; }
  // The level of a frame drawn at `now_ms` (platform::TickMs). Level 0
  // stops the timeline. Only while running.
  int NextLevel(std::uint64_t now_ms);

 private:
  enum class State { kIdle, kStarting, kFading };
  State state_ = State::kIdle;
  std::uint64_t end_ms_ = 0;
};

// Whether a GL_RENDERER string names one of Mesa's software rasterisers
// (llvmpipe, softpipe, swrast), which draw with the CPU: there the blend in
// memory is several times faster than OpenGL. Null (unknown) is not.
bool IsSoftwareRenderer(const char* renderer);

// The side of the fade textures for a screen side of `need` pixels: the
// smallest power of two from 512 up that holds it, while that stays below
// the GL limit `max_texture_size` (and 16384); otherwise the limit itself.
int FadeTextureSize(int need, int max_texture_size);

// Whether the space-separated `extensions` list (glXQueryExtensionsString)
// names `name` exactly; "GLX_EXT_swap_control_tear" is not "GLX_EXT_swap_control".
bool ExtensionListHas(const char* extensions, std::string_view name);

// A failure code for a glGetError() value; S_OK for GL_NO_ERROR.
[[nodiscard]] HRESULT HresultFromGlError(unsigned int gl_error);

// A width x height ARGB32 copy of `picture` flattened onto opaque black:
// every pixel fully opaque, the picture at (0,0) unscaled, black where it
// does not reach. `picture` may be null (all black). Null when out of memory.
SurfacePtr FlattenOntoBlack(cairo_surface_t* picture, int width, int height);

}  // namespace quol::saver
