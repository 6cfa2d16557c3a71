// quol_icon_generator FOLDER SIZE...: draws the desktop icon (the product's
// mark in the product's colours, on transparent) as FOLDER/SIZE/quol.png for
// every SIZE, for the hicolor icon theme. Run at build time; nothing binary
// is kept in the source tree.
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "resources/artwork/artwork_kit.h"

namespace {

using quol::artwork::Context;
using quol::artwork::Pattern;
using quol::artwork::Surface;

bool DrawIcon(const std::string& path, int size) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  Context c(cairo_create(surface.get()));
  // A small margin, as the theme's other application icons have; at 16
  // pixels every pixel is needed for the mark.
  const double margin = size <= 16 ? 0.5 : size / 16.0;
  const double side = size - 2 * margin;
  Pattern fill(cairo_pattern_create_linear(0, margin, 0, margin + side));
  cairo_pattern_add_color_stop_rgb(fill.get(), 0, 0x30 / 255.0, 0xA5 / 255.0, 0xBA / 255.0);
  cairo_pattern_add_color_stop_rgb(fill.get(), 1, 0x4F / 255.0, 0x7C / 255.0, 0xC9 / 255.0);
  quol::artwork::DrawMark(c.get(), margin, margin, side, fill.get());
  cairo_surface_flush(surface.get());
  return quol::artwork::WritePng(surface.get(), path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "Usage: quol_icon_generator FOLDER SIZE...\n");
    return 64;
  }
  for (int i = 2; i < argc; ++i) {
    char* end = nullptr;
    const long size = std::strtol(argv[i], &end, 10);
    if (end == argv[i] || *end != '\0' || size < 8 || size > 1024) {
      std::fprintf(stderr, "quol_icon_generator: bad size %s\n", argv[i]);
      return 64;
    }
    const std::string folder = std::string(argv[1]) + "/" + argv[i];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!DrawIcon(folder + "/quol.png", static_cast<int>(size))) {
      std::fprintf(stderr, "quol_icon_generator: cannot write %s/quol.png\n", folder.c_str());
      return 1;
    }
  }
  return 0;
}
