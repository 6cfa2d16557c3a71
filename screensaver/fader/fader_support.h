// The pure parts of the faders, apart so they can be checked without a server.
#pragma once

#include <cairo.h>

#include <string_view>

#include "platform/common/hresult.h"
#include "screensaver/common/cairo_ptr.h"

namespace quol::saver {

// The side of the fade textures for a screen side of `need` pixels: the
// smallest power of two from 512 up that holds it, while that stays below
// the GL limit `max_texture_size` (and 16384); otherwise the limit itself.
int FadeTextureSize(int need, int max_texture_size);

// Whether the space-separated `extensions` list (glXQueryExtensionsString)
// names `name` exactly; "GLX_EXT_swap_control_tear" is not "GLX_EXT_swap_control".
bool ExtensionListHas(const char* extensions, std::string_view name);

// A failure code for a glGetError() value; S_OK for GL_NO_ERROR.
HRESULT HresultFromGlError(unsigned int gl_error);

// A width x height ARGB32 copy of `picture` flattened onto opaque black:
// every pixel fully opaque, the picture at (0,0) unscaled, black where it
// does not reach. `picture` may be null (all black). Null when out of memory.
SurfacePtr FlattenOntoBlack(cairo_surface_t* picture, int width, int height);

}  // namespace quol::saver
