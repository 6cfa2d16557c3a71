#include "screensaver/collage/collage.h"

#include <algorithm>
#include <cmath>

#include "screensaver/widgets/collage_widget_stack.h"

namespace quol::saver {
namespace {

constexpr double kRim[] = {0xA7 / 255.0, 0xA1 / 255.0, 0xA1 / 255.0};
constexpr double kMatTop = 0x54 / 255.0;
constexpr double kMatBottom = 0x36 / 255.0;

Rect Grow(const Rect& r, int by) { return Rect{r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by}; }

}  // namespace

bool Overlap(const Rect& a, const Rect& b, Rect* intersection) {
  const int x0 = std::max(a.x, b.x);
  const int y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.right(), b.right());
  const int y1 = std::min(a.bottom(), b.bottom());
  if (x1 <= x0 || y1 <= y0) return false;
  *intersection = Rect{x0, y0, x1 - x0, y1 - y0};
  return true;
}

Collage::Collage(int width, int height)
    : width_(width),
      height_(height),
      s_(std::min(width, height) / 4),
      m_(std::min(width, height) / 110) {
  mats_.radius = 2 * m_;
}

Collage::~Collage() = default;

cairo_surface_t* Collage::EnsurePhotoLayer() {
  if (!photo_layer_) photo_layer_ = MakeArgbSurface(width_, height_);
  return photo_layer_.get();
}

void Collage::AddPhoto(const Rect& rect, std::unique_ptr<PhotoImage> image,
                       const std::string& path) {
  const int two_m = 2 * m_;
  const Rect mat{rect.x - two_m, rect.y - two_m, rect.width + 2 * two_m, rect.height + 2 * two_m};
  mats_.mats.push_back(mat);
  const Rect squares[4] = {
      {mat.x, mat.y, two_m, two_m},
      {mat.right() - two_m, mat.y, two_m, two_m},
      {mat.right() - two_m, mat.bottom() - two_m, two_m, two_m},
      {mat.x, mat.bottom() - two_m, two_m, two_m},
  };
  for (const Rect& old_square : corner_squares_) {
    for (const Rect& new_square : squares) {
      Rect filler;
      if (Overlap(old_square, new_square, &filler)) mats_.fillers.push_back(filler);
    }
  }
  corner_squares_.insert(corner_squares_.end(), std::begin(squares), std::end(squares));

  if (image && EnsurePhotoLayer() != nullptr) {
    ContextPtr cr = MakeContext(photo_layer_.get());
    image->Draw(cr.get(), rect.x, rect.y, rect.width, rect.height);
  }
  photos_.push_back(CollagePhoto{rect, path, std::move(image)});
}

void Collage::Finish() {
  SurfacePtr layer = std::move(photo_layer_);
  bitmap_ = MakeArgbSurface(width_, height_);
  if (!bitmap_) return;
  ContextPtr holder = MakeContext(bitmap_.get());
  cairo_t* cr = holder.get();
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_GOOD);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);

  // Rim: one pixel beyond every mat and filler, a shade lighter. Enlarged
  // copies are drawn; the stored rectangles stay as they are.
  const int r = mats_.radius;
  cairo_set_source_rgb(cr, kRim[0], kRim[1], kRim[2]);
  for (const Rect& mat : mats_.mats) {
    Rect g = Grow(mat, 1);
    RoundedRectanglePath(cr, g.x, g.y, g.width, g.height, r + 1);
    cairo_fill(cr);
  }
  for (const Rect& filler : mats_.fillers) {
    Rect g = Grow(filler, 1);
    cairo_rectangle(cr, g.x, g.y, g.width, g.height);
    cairo_fill(cr);
  }

  // The mats themselves, one gradient over the whole screen height.
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, height_);
  cairo_pattern_add_color_stop_rgb(gradient, 0, kMatTop, kMatTop, kMatTop);
  cairo_pattern_add_color_stop_rgb(gradient, 1, kMatBottom, kMatBottom, kMatBottom);
  cairo_set_source(cr, gradient);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  for (const Rect& mat : mats_.mats) {
    RoundedRectanglePath(cr, mat.x, mat.y, mat.width, mat.height, r);
    cairo_fill(cr);
  }
  for (const Rect& filler : mats_.fillers) {
    cairo_rectangle(cr, filler.x, filler.y, filler.width, filler.height);
    cairo_fill(cr);
  }
  cairo_pattern_destroy(gradient);

  if (layer) {
    cairo_set_source_surface(cr, layer.get(), 0, 0);
    cairo_paint(cr);
  }
  cairo_surface_flush(bitmap_.get());
}

void Collage::Rerender() {
  photo_layer_ = MakeArgbSurface(width_, height_);
  if (photo_layer_) {
    ContextPtr cr = MakeContext(photo_layer_.get());
    for (CollagePhoto& photo : photos_) {
      // Opened afresh when released; the draw decodes it at its
      // rectangle's size again.
      if (!photo.image) photo.image = PhotoImage::Open(photo.path, width_, height_);
      photo.image->Draw(cr.get(), photo.rect.x, photo.rect.y, photo.rect.width, photo.rect.height);
    }
  }
  Finish();
}

void Collage::Release() {
  bitmap_.reset();
  photo_layer_.reset();
  for (CollagePhoto& photo : photos_) photo.image.reset();
}

}  // namespace quol::saver
