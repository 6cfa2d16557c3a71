// Writes an ARGB32 Cairo surface as a PNG file (libpng, fast compression).
#pragma once

#include <cairo.h>

#include <string>

#include "platform/common/hresult.h"

namespace quol::saver {

// `level` is zlib's 0..9; 1 trades size for speed. The file is replaced
// atomically.
[[nodiscard]] HRESULT WritePng(cairo_surface_t* surface, const std::string& path, int level = 1);

}  // namespace quol::saver
