// A collage: one screen-sized picture of photos from one folder, each on a
// dark rounded mat, plus the overlays (widget stack, logo, notice strip)
// that are painted on a copy each time the collage is shown.
//
// Geometry, with W x H the collage size: m = min(W, H) / 110 is the margin
// unit, s = min(W, H) / 4 the smallest photo size, mats reach 2m beyond
// their photo with corner radius 2m.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "screensaver/common/cairo_ptr.h"
#include "screensaver/common/drawing.h"
#include "screensaver/photos/photo_image.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

class CollageWidgetStack;

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
};

// Intersection of two rectangles that share an area of positive size.
bool Overlap(const Rect& a, const Rect& b, Rect* intersection);

struct CollagePhoto {
  Rect rect;
  std::string path;
  std::unique_ptr<PhotoImage> image;  // loaded only while needed
};

struct MatPainter {
  std::vector<Rect> mats;
  std::vector<Rect> fillers;  // close the notches where mats meet
  int radius = 0;
};

class Collage {
 public:
  Collage(int width, int height);
  ~Collage();
  Collage(const Collage&) = delete;
  Collage& operator=(const Collage&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int s() const { return s_; }
  int m() const { return m_; }

  // The composed picture (photos on mats on black), without overlays.
  cairo_surface_t* bitmap() const { return bitmap_.get(); }
  bool has_bitmap() const { return bitmap_ != nullptr; }

  // Records a photo at `rect`, its mat and filler squares, and draws it on
  // the photo layer (made transparent first when there is none).
  void AddPhoto(const Rect& rect, std::unique_ptr<PhotoImage> image, const std::string& path);
  // Composites black, the mats (rim, then gradient) and the photo layer into
  // the collage's bitmap. The stored mat rectangles are not changed, so a
  // collage finished again looks exactly the same.
  void Finish();
  // Draws the collage anew from its photo files (after Release).
  void Rerender();
  // Frees the bitmap and the loaded photos; records and overlays stay.
  void Release();
  // The photo layer, created transparent when missing.
  cairo_surface_t* EnsurePhotoLayer();

  const std::vector<CollagePhoto>& photos() const { return photos_; }
  std::vector<CollagePhoto>& photos() { return photos_; }
  const std::vector<Rect>& corner_squares() const { return corner_squares_; }
  const MatPainter& mat_painter() const { return mats_; }

  std::string feed_name;
  bool single_photo = false;
  int stack_corner = 0;
  // Where the four quadrants meet (full collages only).
  int split_x = 0, split_y = 0;

  // Overlays, placed while the collage is built.
  std::unique_ptr<CollageWidgetStack> stack;
  Rect stack_rect;
  std::unique_ptr<ISlideWidget> logo;
  Rect logo_rect;
  std::unique_ptr<ISlideWidget> strip;
  Rect strip_rect;

 private:
  int width_, height_, s_, m_;
  SurfacePtr bitmap_;
  SurfacePtr photo_layer_;
  std::vector<CollagePhoto> photos_;
  std::vector<Rect> corner_squares_;
  MatPainter mats_;
};

}  // namespace quol::saver
