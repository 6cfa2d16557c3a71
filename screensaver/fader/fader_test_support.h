// Pictures and pixel checks shared by the fader tests.
#pragma once

// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <cstdlib>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/x11/xvfb_server.h"

namespace quol::saver {

inline SurfacePtr SolidPicture(int width, int height, std::uint32_t rgb,
                               cairo_format_t format = CAIRO_FORMAT_RGB24) {
  SurfacePtr picture(cairo_image_surface_create(format, width, height));
  ContextPtr cr = MakeContext(picture.get());
  cairo_set_source_rgb(cr.get(), ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                       (rgb & 0xFF) / 255.0);
  cairo_paint(cr.get());
  cairo_surface_flush(picture.get());
  return picture;
}

// Top-left quarter red, top-right quarter green, bottom half blue: shows at
// a glance whether a picture came out flipped or mirrored.
inline SurfacePtr QuadrantPicture(int width, int height) {
  SurfacePtr picture = SolidPicture(width, height, 0x0000FF);
  ContextPtr cr = MakeContext(picture.get());
  cairo_set_source_rgb(cr.get(), 1, 0, 0);
  cairo_rectangle(cr.get(), 0, 0, width / 2, height / 2);
  cairo_fill(cr.get());
  cairo_set_source_rgb(cr.get(), 0, 1, 0);
  cairo_rectangle(cr.get(), width / 2, 0, width - width / 2, height / 2);
  cairo_fill(cr.get());
  cairo_surface_flush(picture.get());
  return picture;
}

// A mapped override-redirect window of the default visual at the top left,
// showing `background` until something is drawn.
inline Window MapPlainWindow(Display* display, int width, int height, unsigned long background) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = background;
  const Window window =
      XCreateWindow(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                    static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

// Whether the window's pixel at (x, y) is `rgb`, each channel within
// `tolerance`.
inline ::testing::AssertionResult PixelIs(Display* display, Window window, int x, int y,
                                          std::uint32_t rgb, int tolerance = 0) {
  std::optional<std::uint32_t> got = ReadPixel(display, window, x, y);
  if (!got) return ::testing::AssertionFailure() << "cannot read pixel (" << x << "," << y << ")";
  for (int shift : {16, 8, 0}) {
    const int want = static_cast<int>((rgb >> shift) & 0xFF);
    const int have = static_cast<int>((*got >> shift) & 0xFF);
    if (std::abs(want - have) > tolerance) {
      return ::testing::AssertionFailure()
             << "pixel (" << x << "," << y << ") is 0x" << std::hex << *got << ", expected 0x"
             << rgb << std::dec << " +-" << tolerance;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace quol::saver
