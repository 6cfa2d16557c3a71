// What the build-time artwork programs share (the screen saver's in
// resources/artwork, the desktop client's in client/windows/artwork): owned
// Cairo and Pango handles, the bundled font made known to the process, text
// set on a baseline, rounded rectangles, the product's mark and PNG output.
// Header only; include it from one source file per program (it also tells
// the sanitizers' leak checker about the font libraries' caches).
#pragma once

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace quol::artwork {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
struct PatternDeleter {
  void operator()(cairo_pattern_t* p) const { cairo_pattern_destroy(p); }
};
struct GObjectDeleter {
  void operator()(void* object) const { g_object_unref(object); }
};
struct FontDescriptionDeleter {
  void operator()(PangoFontDescription* d) const { pango_font_description_free(d); }
};
struct FcPatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};

using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;
using Pattern = std::unique_ptr<cairo_pattern_t, PatternDeleter>;
using Layout = std::unique_ptr<PangoLayout, GObjectDeleter>;
using FontDescription = std::unique_ptr<PangoFontDescription, FontDescriptionDeleter>;

inline constexpr double kPi = 3.14159265358979323846;

// The family name fontconfig gives the bundled font, after making it known
// to this process. Empty when the file cannot be read.
inline std::string RegisterFont(const char* file) {
  if (FcConfigAppFontAddFile(FcConfigGetCurrent(), reinterpret_cast<const FcChar8*>(file)) ==
      FcFalse) {
    return {};
  }
  int count = 0;
  std::unique_ptr<FcPattern, FcPatternDeleter> pattern(
      FcFreeTypeQuery(reinterpret_cast<const FcChar8*>(file), 0, nullptr, &count));
  FcChar8* family = nullptr;
  if (!pattern || FcPatternGetString(pattern.get(), FC_FAMILY, 0, &family) != FcResultMatch) {
    return {};
  }
  return reinterpret_cast<const char*>(family);
}

// `text` in `family` at `pixels` (absolute size), with letter spacing in
// pixels.
inline Layout MakeText(cairo_t* cr, const std::string& family, const std::string& text,
                       double pixels, int weight = PANGO_WEIGHT_NORMAL, double letter_spacing = 0) {
  Layout layout(pango_cairo_create_layout(cr));
  FontDescription font(pango_font_description_new());
  pango_font_description_set_family(font.get(), family.c_str());
  pango_font_description_set_weight(font.get(), static_cast<PangoWeight>(weight));
  pango_font_description_set_absolute_size(font.get(), pixels * PANGO_SCALE);
  pango_layout_set_font_description(layout.get(), font.get());
  if (letter_spacing != 0) {
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes,
                           pango_attr_letter_spacing_new(static_cast<int>(letter_spacing * PANGO_SCALE)));
    pango_layout_set_attributes(layout.get(), attributes);
    pango_attr_list_unref(attributes);
  }
  pango_layout_set_text(layout.get(), text.c_str(), -1);
  return layout;
}

struct TextBox {
  double ink_x, ink_y, ink_width, ink_height;  // ink rectangle relative to the layout
  double baseline;
};

inline TextBox Measure(PangoLayout* layout) {
  PangoRectangle ink, logical;
  pango_layout_get_extents(layout, &ink, &logical);
  return {ink.x / double(PANGO_SCALE), ink.y / double(PANGO_SCALE), ink.width / double(PANGO_SCALE),
          ink.height / double(PANGO_SCALE), pango_layout_get_baseline(layout) / double(PANGO_SCALE)};
}

// Draws `layout` with its baseline at y and its ink starting at x; returns
// the ink width.
inline double ShowOnBaseline(cairo_t* cr, PangoLayout* layout, double x, double baseline) {
  const TextBox box = Measure(layout);
  cairo_move_to(cr, x - box.ink_x, baseline - box.baseline);
  pango_cairo_show_layout(cr, layout);
  return box.ink_width;
}

inline void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  r = std::min(r, std::min(w, h) / 2);
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

// The product's mark: a rounded square holding a little landscape (sun and
// two hills) cut out of it, filled with `fill`.
inline void DrawMark(cairo_t* cr, double x, double y, double size, cairo_pattern_t* fill) {
  cairo_save(cr);
  cairo_push_group(cr);
  cairo_set_source(cr, fill);
  RoundedRect(cr, x, y, size, size, size * 0.26);
  cairo_fill(cr);

  cairo_set_operator(cr, CAIRO_OPERATOR_DEST_OUT);
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  cairo_arc(cr, x + size * 0.68, y + size * 0.32, size * 0.1, 0, 2 * kPi);
  cairo_fill(cr);
  // Hills, clipped to the inner square so the rim stays whole.
  cairo_save(cr);
  const double inset = size * 0.14;
  RoundedRect(cr, x + inset, y + inset, size - 2 * inset, size - 2 * inset, size * 0.12);
  cairo_clip(cr);
  cairo_move_to(cr, x, y + size * 0.86);
  cairo_curve_to(cr, x + size * 0.2, y + size * 0.42, x + size * 0.42, y + size * 0.42,
                 x + size * 0.6, y + size * 0.74);
  cairo_curve_to(cr, x + size * 0.7, y + size * 0.56, x + size * 0.86, y + size * 0.54,
                 x + size, y + size * 0.7);
  cairo_line_to(cr, x + size, y + size * 0.8);
  cairo_line_to(cr, x, y + size * 0.8);
  cairo_close_path(cr);
  cairo_fill(cr);
  cairo_restore(cr);

  cairo_pop_group_to_source(cr);
  cairo_paint(cr);
  cairo_restore(cr);
}

inline bool WritePng(cairo_surface_t* surface, const std::string& path) {
  const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), cairo_status_to_string(status));
    return false;
  }
  return true;
}

}  // namespace quol::artwork

// Pango's and fontconfig's font caches live until the process ends; in the
// sanitizer build the leak checker would report them (see
// screensaver/widgets/font_registry.cpp).
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n";
}
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "print_suppressions=0";
}
