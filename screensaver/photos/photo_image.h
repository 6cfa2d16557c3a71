// One photo, loaded for drawing on a collage.
//
// A photo is first opened: only its header is read (size, EXIF orientation)
// and images of 100 pixels or less in either direction are refused. The
// collage is laid out from these sizes; then each photo is decoded straight
// to the size of its place on the collage (JPEGs at the smallest DCT scale
// that still covers it) and resampled once with a bicubic filter, so it is
// drawn pixel for pixel and never from fewer pixels than its place has.
// Drawing into a rectangle of another size decodes the file again at that
// size.
//
// Load decodes at once, before any place is known, and keeps the reduced
// size (see ReducedSize): photos within the screen as they are, larger ones
// at half the screen width, above 15000000 pixels a 256-pixel-wide
// thumbnail. Landscape-stored photos are turned by their EXIF orientation.
//
// A PhotoImage is used by one thread at a time.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <memory>
#include <string>

#include "screensaver/photos/photo_decode.h"

namespace quol::saver {

class PhotoImage {
 public:
  // Never fails: a photo that cannot be loaded has no bitmap. The first
  // failure of each file is logged, later ones of the same file are not.
  static std::unique_ptr<PhotoImage> Load(const std::string& path, int screen_width,
                                          int screen_height);
  // Reads only the header; has_size() tells whether the photo can be shown.
  // Failures are logged as for Load.
  static std::unique_ptr<PhotoImage> Open(const std::string& path, int screen_width,
                                          int screen_height);
  // Lets every file's next failure be logged again.
  static void ForgetFailedLoads();
  static std::size_t RememberedFailedLoadsForTesting();
  ~PhotoImage();
  PhotoImage(const PhotoImage&) = delete;
  PhotoImage& operator=(const PhotoImage&) = delete;

  bool has_bitmap() const { return surface_ != nullptr; }
  // The bitmap's size after reduction and orientation (0 without bitmap).
  int width() const;
  int height() const;
  // Whether the header was read and passed the limits.
  bool has_size() const { return size_.width > 0 && size_.height > 0; }
  // The photo's full size as shown, after orientation, from its header
  // (0 when it could not be read): what collages are laid out from.
  int photo_width() const { return size_.width; }
  int photo_height() const { return size_.height; }

  // Replaces the bitmap by the photo decoded at exactly width x height (as
  // shown). False when the file cannot be decoded; the bitmap is then left
  // as it was, and the failure logged once per file.
  bool DecodeToSize(int width, int height);
  // CAIRO_FORMAT_ARGB32 (premultiplied), owned by the PhotoImage.
  cairo_surface_t* surface() const { return surface_.get(); }
  const std::string& path() const { return path_; }
  // 0 none; 1 90° cw; 2 180°; 3 270°; 4 flip horizontally; 5 90° + flip;
  // 6 180° + flip; 7 270° + flip.
  int rotate_flip() const { return rotate_flip_; }

  // Draws the whole photo into the rectangle, decoding it at the
  // rectangle's size first unless the bitmap already has it (when that
  // decode fails, an older bitmap is drawn scaled; without one, nothing).
  // On a drawing failure the photo is decoded again and drawn once more; if
  // that fails too, the path and status are drawn as text instead. Returns
  // the final status (0 = drawn).
  int Draw(cairo_t* cr, int x, int y, int width, int height);

 private:
  friend class PhotoImageTestPeer;

  PhotoImage(std::string path, int screen_width, int screen_height);
  // Reads the file into surface_ and rotate_flip_ at the reduced size;
  // false when it cannot.
  bool Decode();
  // The decode behind a draw: at the rectangle's size when it has one.
  bool DecodeForDraw(int width, int height);
  // Paints the bitmap into the rectangle; the status (0 or 7) afterwards.
  int DrawBitmap(cairo_t* cr, int x, int y, int width, int height);

  std::string path_;
  int screen_width_ = 0;
  int screen_height_ = 0;
  int rotate_flip_ = 0;
  PixelSize size_;  // from the header, as shown
  SurfacePtr surface_;
  // Tests: the next this many bitmap draws report a failure.
  int failing_draws_for_testing_ = 0;
};

}  // namespace quol::saver
