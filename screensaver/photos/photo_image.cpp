#include "screensaver/photos/photo_image.h"

#include <glib.h>
#include <pango/pangocairo.h>

#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>

#include "foundation/log/process_log.h"
#include "screensaver/photos/photo_decode.h"

namespace quol::saver {
namespace {

// The status a failed draw or reload reports (the desktop's "generic error").
constexpr int kSystemError = 7;

constexpr char kFailureFontFamily[] = "Futura Bk BT";
constexpr double kFailureFontPoints = 10.0;

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct FontDescriptionFree {
  void operator()(PangoFontDescription* description) const {
    pango_font_description_free(description);
  }
};
struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};

// "<path> (<status>)" in black, centred in the rectangle.
void DrawFailureText(cairo_t* cr, const std::string& path, int status, int x, int y, int width,
                     int height) {
  // A context in an error state draws nothing at all.
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return;
  // File names need not be UTF-8; Pango only takes valid text.
  std::unique_ptr<gchar, GFree> valid(g_utf8_make_valid(path.c_str(), -1));
  std::string text = std::string(valid.get()) + " (" + std::to_string(status) + ")";

  std::unique_ptr<PangoFontDescription, FontDescriptionFree> font(pango_font_description_new());
  pango_font_description_set_family(font.get(), kFailureFontFamily);
  // Points at 96 dpi, as pixels.
  pango_font_description_set_absolute_size(font.get(),
                                           kFailureFontPoints * 96.0 / 72.0 * PANGO_SCALE);
  std::unique_ptr<PangoLayout, GObjectUnref> layout(pango_cairo_create_layout(cr));
  pango_layout_set_font_description(layout.get(), font.get());
  pango_layout_set_text(layout.get(), text.c_str(), -1);
  int text_width = 0, text_height = 0;
  pango_layout_get_pixel_size(layout.get(), &text_width, &text_height);

  cairo_save(cr);
  cairo_rectangle(cr, x, y, width, height);
  cairo_clip(cr);
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  cairo_move_to(cr, x + (width - text_width) / 2.0, y + (height - text_height) / 2.0);
  pango_cairo_show_layout(cr, layout.get());
  cairo_restore(cr);
}

// The photos whose load failed and was logged. A folder's photos are dealt
// again and again, so without this a broken file would be logged on every
// round of its folder. Bounded: when full it starts afresh, so a failure is
// logged at most once per kMaxRememberedFailures distinct failures.
constexpr std::size_t kMaxRememberedFailures = 10000;

struct FailedLoads {
  std::mutex mutex;
  std::unordered_set<std::string> paths;
};

FailedLoads& Failures() {
  static FailedLoads* failures = new FailedLoads;  // never destroyed: used until exit
  return *failures;
}

// True the first time `path` fails (since it was last forgotten).
bool RememberFailure(const std::string& path) {
  FailedLoads& failures = Failures();
  std::lock_guard<std::mutex> lock(failures.mutex);
  if (failures.paths.count(path) != 0) return false;
  if (failures.paths.size() >= kMaxRememberedFailures) failures.paths.clear();
  failures.paths.insert(path);
  return true;
}

}  // namespace

void PhotoImage::ForgetFailedLoads() {
  FailedLoads& failures = Failures();
  std::lock_guard<std::mutex> lock(failures.mutex);
  failures.paths.clear();
}

std::size_t PhotoImage::RememberedFailedLoadsForTesting() {
  FailedLoads& failures = Failures();
  std::lock_guard<std::mutex> lock(failures.mutex);
  return failures.paths.size();
}

PhotoImage::PhotoImage(std::string path, int screen_width, int screen_height)
    : path_(std::move(path)), screen_width_(screen_width), screen_height_(screen_height) {}

PhotoImage::~PhotoImage() = default;

std::unique_ptr<PhotoImage> PhotoImage::Open(const std::string& path, int screen_width,
                                             int screen_height) {
  std::unique_ptr<PhotoImage> image(new PhotoImage(path, screen_width, screen_height));
  if (std::optional<PhotoHeader> header = ReadPhotoHeader(path)) {
    image->size_ = header->shown();
    image->rotate_flip_ = header->rotate_flip;
  } else if (RememberFailure(path)) {
    LogError("Photo %s could not be loaded", path.c_str());
  }
  return image;
}

std::unique_ptr<PhotoImage> PhotoImage::Load(const std::string& path, int screen_width,
                                             int screen_height) {
  std::unique_ptr<PhotoImage> image = Open(path, screen_width, screen_height);
  if (image->has_size() && !image->Decode() && RememberFailure(path)) {
    LogError("Photo %s could not be loaded", path.c_str());
  }
  return image;
}

bool PhotoImage::Decode() {
  DecodedPhoto decoded = DecodePhotoFile(path_, screen_width_, screen_height_);
  surface_.reset(decoded.surface.release());
  if (surface_) rotate_flip_ = decoded.rotate_flip;
  return surface_ != nullptr;
}

bool PhotoImage::DecodeToSize(int width, int height) {
  DecodedPhoto decoded = DecodePhotoFileAt(path_, PixelSize{width, height});
  if (!decoded.surface) {
    if (RememberFailure(path_)) LogError("Photo %s could not be loaded", path_.c_str());
    return false;
  }
  surface_.reset(decoded.surface.release());
  rotate_flip_ = decoded.rotate_flip;
  return true;
}

bool PhotoImage::DecodeForDraw(int width, int height) {
  return width > 0 && height > 0 ? DecodeToSize(width, height) : Decode();
}

int PhotoImage::width() const {
  return surface_ ? cairo_image_surface_get_width(surface_.get()) : 0;
}

int PhotoImage::height() const {
  return surface_ ? cairo_image_surface_get_height(surface_.get()) : 0;
}

int PhotoImage::DrawBitmap(cairo_t* cr, int x, int y, int width, int height) {
  if (failing_draws_for_testing_ > 0) {
    --failing_draws_for_testing_;
    return kSystemError;
  }
  // Cairo hands out a fresh (and never freed) error pattern for every
  // cairo_get_source on a broken context, so such a context is not touched.
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return kSystemError;
  if (width <= 0 || height <= 0) return 0;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, width, height);
  cairo_clip(cr);
  cairo_translate(cr, x, y);
  if (width != this->width() || height != this->height()) {
    // Only when the photo could not be decoded at this size: an older
    // bitmap stretched is better than a hole.
    cairo_scale(cr, static_cast<double>(width) / this->width(),
                static_cast<double>(height) / this->height());
  }
  cairo_set_source_surface(cr, surface_.get(), 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr);
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_paint(cr);
  cairo_restore(cr);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
    return kSystemError;
  }
  return 0;
}

int PhotoImage::Draw(cairo_t* cr, int x, int y, int width, int height) {
  if (!surface_ && !has_size()) return 0;
  if (width > 0 && height > 0 && (width != this->width() || height != this->height())) {
    DecodeToSize(width, height);
  }
  if (!surface_) return 0;
  int status = DrawBitmap(cr, x, y, width, height);
  if (status != 0) {
    // The bitmap may be what broke: decode the file afresh and try once more.
    surface_.reset();
    if (DecodeForDraw(width, height)) {
      status = DrawBitmap(cr, x, y, width, height);
    } else {
      LogError("Load Failed: %d", kSystemError);
    }
  }
  if (status != 0) {
    LogError("Render %s failed: %d", path_.c_str(), status);
    DrawFailureText(cr, path_, status, x, y, width, height);
  }
  return status;
}

}  // namespace quol::saver
