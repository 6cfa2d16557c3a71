// One photo, loaded for drawing on a collage.
//
// Loading reads the header first and refuses images of 100 pixels or less
// in either direction. JPEGs are decoded straight at the largest DCT scale
// (1/2, 1/4, 1/8) that still covers the size they will be reduced to, so a
// 20-megapixel photo is never decoded whole; PNGs are read row by row into
// the reduced size. Reduction, with S the screen's and P the photo's pixel
// count: P <= S keeps the size; S < P <= 15000000 gives width sw / 2 (sw the
// screen width) and height (sw / 2) * h / w; above that a 256-pixel-wide
// thumbnail. Landscape-stored photos are turned by their EXIF orientation.
//
// A PhotoImage is used by one thread at a time.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <memory>
#include <string>

namespace quol::saver {

class PhotoImage {
 public:
  // Never fails: a photo that cannot be loaded has no bitmap. The first
  // failure of each file is logged, later ones of the same file are not.
  static std::unique_ptr<PhotoImage> Load(const std::string& path, int screen_width,
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
  // CAIRO_FORMAT_ARGB32 (premultiplied), owned by the PhotoImage.
  cairo_surface_t* surface() const { return surface_.get(); }
  const std::string& path() const { return path_; }
  // 0 none; 1 90° cw; 2 180°; 3 270°; 4 flip horizontally; 5 90° + flip;
  // 6 180° + flip; 7 270° + flip.
  int rotate_flip() const { return rotate_flip_; }

  // Draws the whole bitmap scaled into the rectangle. On a drawing failure
  // the photo is decoded again and drawn once more; if that fails too, the
  // path and status are drawn as text instead. Returns the final status
  // (0 = drawn).
  int Draw(cairo_t* cr, int x, int y, int width, int height);

 private:
  friend class PhotoImageTestPeer;
  struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
  };
  using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

  PhotoImage(std::string path, int screen_width, int screen_height);
  // Reads the file into surface_ and rotate_flip_; false when it cannot.
  bool Decode();
  // Paints the bitmap into the rectangle; the status (0 or 7) afterwards.
  int DrawBitmap(cairo_t* cr, int x, int y, int width, int height);

  std::string path_;
  int screen_width_ = 0;
  int screen_height_ = 0;
  int rotate_flip_ = 0;
  SurfacePtr surface_;
  // Tests: the next this many bitmap draws report a failure.
  int failing_draws_for_testing_ = 0;
};

}  // namespace quol::saver
