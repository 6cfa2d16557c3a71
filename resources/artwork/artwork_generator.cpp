// Draws the screen saver's artwork as PNG files:
//
//   quol_artwork_generator OUTPUT_FOLDER FONT_FILE
//
// Everything is vector drawing with Cairo and PangoCairo, so the pictures are
// made again on every clean build and nothing binary is kept in the source
// tree. FONT_FILE is the font the program bundles; the word mark is set in
// it so the artwork matches the clock.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "resources/artwork/artwork_kit.h"

namespace quol::saver {
namespace {

using artwork::Context;
using artwork::kPi;
using artwork::Layout;
using artwork::Measure;
using artwork::Pattern;
using artwork::RegisterFont;
using artwork::RoundedRect;
using artwork::ShowOnBaseline;
using artwork::Surface;
using artwork::TextBox;

struct Rgba {
  double r, g, b, a;
};

Rgba Hex(unsigned rgb, double alpha = 1.0) {
  return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0, alpha};
}

void SetColour(cairo_t* cr, const Rgba& c) { cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a); }

Surface MakeSurface(cairo_format_t format, int width, int height) {
  return Surface(cairo_image_surface_create(format, width, height));
}


std::string g_family = "sans-serif";

Layout MakeText(cairo_t* cr, const std::string& text, double pixels, int weight = PANGO_WEIGHT_NORMAL,
                double letter_spacing = 0) {
  return artwork::MakeText(cr, g_family, text, pixels, weight, letter_spacing);
}


// A box blur of an A8 surface, three passes each way (close to a Gaussian).
void BlurAlpha(cairo_surface_t* surface, int radius) {
  cairo_surface_flush(surface);
  const int w = cairo_image_surface_get_width(surface);
  const int h = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  std::vector<int> line;
  auto blur_line = [&](auto at, int length) {
    line.assign(static_cast<std::size_t>(length), 0);
    for (int pass = 0; pass < 3; ++pass) {
      for (int i = 0; i < length; ++i) line[static_cast<std::size_t>(i)] = at(i);
      for (int i = 0; i < length; ++i) {
        int sum = 0, n = 0;
        for (int k = i - radius; k <= i + radius; ++k) {
          if (k >= 0 && k < length) sum += line[static_cast<std::size_t>(k)];
          ++n;
        }
        at(i) = static_cast<unsigned char>(sum / n);
      }
    }
  };
  for (int y = 0; y < h; ++y) {
    blur_line([&](int i) -> unsigned char& { return data[y * stride + i]; }, w);
  }
  for (int x = 0; x < w; ++x) {
    blur_line([&](int i) -> unsigned char& { return data[i * stride + x]; }, h);
  }
  cairo_surface_mark_dirty(surface);
}

// Paints `ink` onto `cr` over a soft dark shadow of itself, so light artwork
// stays readable on bright photos.
void PaintWithShadow(cairo_t* cr, cairo_surface_t* ink, int radius, double dy, double opacity) {
  const int w = cairo_image_surface_get_width(ink);
  const int h = cairo_image_surface_get_height(ink);
  Surface shadow = MakeSurface(CAIRO_FORMAT_A8, w, h);
  {
    Context scr(cairo_create(shadow.get()));
    cairo_set_source_surface(scr.get(), ink, 0, dy);
    cairo_paint(scr.get());
  }
  BlurAlpha(shadow.get(), radius);
  cairo_save(cr);
  cairo_set_source_rgba(cr, 0, 0, 0, opacity);
  cairo_mask_surface(cr, shadow.get(), 0, 0);
  cairo_set_source_surface(cr, ink, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

// The mark in one colour.
void DrawMark(cairo_t* cr, double x, double y, double size, const Rgba& colour) {
  Pattern fill(cairo_pattern_create_rgba(colour.r, colour.g, colour.b, colour.a));
  artwork::DrawMark(cr, x, y, size, fill.get());
}

// The corner logo: mark and word, flush with the logo's outer edge (left or
// right) and sitting on its bottom edge.
Surface CornerLogo(bool right) {
  const int w = 124, h = 88;
  Surface ink = MakeSurface(CAIRO_FORMAT_ARGB32, w, h);
  {
    Context c(cairo_create(ink.get()));
    cairo_t* cr = c.get();
    const Rgba white = Hex(0xFFFFFF, 0.94);
    const double margin = 7, mark = 36, gap = 7, bottom = h - 12.0;

    Layout word = MakeText(cr, "Quol", 36);
    Layout tag = MakeText(cr, "COLLAGE", 9.5, PANGO_WEIGHT_NORMAL, 2.2);
    const TextBox wb = Measure(word.get());
    const TextBox tb = Measure(tag.get());
    const double text_width = std::max(wb.ink_width, tb.ink_width);

    const double mark_x = right ? w - margin - mark : margin;
    const double text_x = right ? mark_x - gap - text_width : margin + mark + gap;
    DrawMark(cr, mark_x, bottom - mark, mark, white);

    SetColour(cr, white);
    const double word_baseline = bottom - tb.ink_height - 6;
    ShowOnBaseline(cr, word.get(), right ? text_x + text_width - wb.ink_width : text_x, word_baseline);
    SetColour(cr, Hex(0xFFFFFF, 0.78));
    ShowOnBaseline(cr, tag.get(), right ? text_x + text_width - tb.ink_width : text_x, bottom);
  }
  Surface out = MakeSurface(CAIRO_FORMAT_ARGB32, w, h);
  Context c(cairo_create(out.get()));
  PaintWithShadow(c.get(), ink.get(), 3, 1.5, 0.55);
  return out;
}

// One photo card of the message-slide picture: a white frame around an empty
// slot, turned by `angle` around its centre.
void PhotoCard(cairo_t* cr, double cx, double cy, double angle, bool front) {
  const double w = 104, h = 78, border = 6;
  cairo_save(cr);
  cairo_translate(cr, cx, cy);
  cairo_rotate(cr, angle);
  RoundedRect(cr, -w / 2, -h / 2, w, h, 6);
  SetColour(cr, front ? Hex(0xF4F6F8) : Hex(0xC9D0D8));
  cairo_fill(cr);
  const double iw = w - 2 * border, ih = h - 2 * border;
  RoundedRect(cr, -iw / 2, -ih / 2, iw, ih, 3);
  Pattern slot(cairo_pattern_create_linear(0, -ih / 2, 0, ih / 2));
  const Rgba top = front ? Hex(0x3A4656) : Hex(0x56616F);
  const Rgba bottom = front ? Hex(0x273140) : Hex(0x444E5B);
  cairo_pattern_add_color_stop_rgba(slot.get(), 0, top.r, top.g, top.b, 1);
  cairo_pattern_add_color_stop_rgba(slot.get(), 1, bottom.r, bottom.g, bottom.b, 1);
  cairo_set_source(cr, slot.get());
  cairo_fill(cr);
  if (front) {
    // A dashed outline of the landscape the card is waiting for.
    SetColour(cr, Hex(0xFFFFFF, 0.55));
    cairo_set_line_width(cr, 2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    const double dashes[] = {4, 4};
    cairo_set_dash(cr, dashes, 2, 0);
    cairo_arc(cr, 20, -14, 7, 0, 2 * kPi);
    cairo_stroke(cr);
    cairo_move_to(cr, -36, 22);
    cairo_line_to(cr, -14, -4);
    cairo_line_to(cr, 2, 12);
    cairo_line_to(cr, 14, 2);
    cairo_line_to(cr, 36, 22);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

Surface NoImagesLogo() {
  const int w = 369, h = 187;
  Surface ink = MakeSurface(CAIRO_FORMAT_ARGB32, w, h);
  {
    Context c(cairo_create(ink.get()));
    cairo_t* cr = c.get();
    PhotoCard(cr, w / 2.0 - 46, 56, -0.2, false);
    PhotoCard(cr, w / 2.0 + 46, 56, 0.2, false);
    PhotoCard(cr, w / 2.0, 50, 0.0, true);

    Layout title = MakeText(cr, "Quol Collage", 30);
    Layout hint = MakeText(cr, "Your family\u2019s photos and appointments", 13.5);
    const TextBox tb = Measure(title.get());
    const TextBox hb = Measure(hint.get());
    SetColour(cr, Hex(0xFFFFFF, 0.95));
    ShowOnBaseline(cr, title.get(), (w - tb.ink_width) / 2, 145);
    SetColour(cr, Hex(0xFFFFFF, 0.7));
    ShowOnBaseline(cr, hint.get(), (w - hb.ink_width) / 2, 172);
  }
  Surface out = MakeSurface(CAIRO_FORMAT_ARGB32, w, h);
  Context c(cairo_create(out.get()));
  PaintWithShadow(c.get(), ink.get(), 4, 2, 0.5);
  return out;
}

// A made-up photo for the previews: sky, sun or moon, hills or sea.
struct Scene {
  unsigned sky_top, sky_bottom, sun, far_land, near_land;
  bool sea;
};

const Scene kScenes[] = {
    {0xF29E6D, 0xFBD38D, 0xFFF4D6, 0xB4607A, 0x6B3A5E, false},  // sunset hills
    {0x5AA9E6, 0xBFE3F7, 0xFFFFFF, 0x6BB36B, 0x3D8B4F, false},  // summer day
    {0x7FC8E8, 0xD8F0F7, 0xFFF6CC, 0x2F7EA8, 0xE9D8A6, true},   // beach
    {0x1F2A4D, 0x6A5A96, 0xF3F0E0, 0x505892, 0x2E3466, false},  // dusk
    {0x9FD3C7, 0xE3F4EC, 0xFFFFFF, 0x4E8C6A, 0x2E5E48, false},  // misty forest
    {0xF6C1A6, 0xFCE7D8, 0xFFFFFF, 0x5D7FA3, 0xD9B38C, true},   // morning coast
};

void DrawScene(cairo_t* cr, double x, double y, double w, double h, const Scene& s) {
  cairo_save(cr);
  cairo_rectangle(cr, x, y, w, h);
  cairo_clip(cr);
  Pattern sky(cairo_pattern_create_linear(0, y, 0, y + h));
  const Rgba top = Hex(s.sky_top), bottom = Hex(s.sky_bottom);
  cairo_pattern_add_color_stop_rgb(sky.get(), 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(sky.get(), 1, bottom.r, bottom.g, bottom.b);
  cairo_set_source(cr, sky.get());
  cairo_paint(cr);

  SetColour(cr, Hex(s.sun, 0.95));
  cairo_arc(cr, x + w * 0.72, y + h * 0.3, std::min(w, h) * 0.11, 0, 2 * kPi);
  cairo_fill(cr);

  SetColour(cr, Hex(s.far_land));
  if (s.sea) {
    cairo_rectangle(cr, x, y + h * 0.58, w, h * 0.42);
    cairo_fill(cr);
    SetColour(cr, Hex(0xFFFFFF, 0.35));
    cairo_set_line_width(cr, 1);
    for (int i = 0; i < 3; ++i) {
      const double wy = y + h * (0.65 + 0.07 * i) + 0.5;
      cairo_move_to(cr, x + w * (0.1 + 0.2 * i), wy);
      cairo_line_to(cr, x + w * (0.3 + 0.2 * i), wy);
      cairo_stroke(cr);
    }
    SetColour(cr, Hex(s.near_land));
    cairo_move_to(cr, x, y + h);
    cairo_curve_to(cr, x + w * 0.3, y + h * 0.78, x + w * 0.7, y + h * 0.8, x + w, y + h * 0.88);
    cairo_line_to(cr, x + w, y + h);
    cairo_close_path(cr);
    cairo_fill(cr);
  } else {
    cairo_move_to(cr, x, y + h * 0.7);
    cairo_curve_to(cr, x + w * 0.25, y + h * 0.45, x + w * 0.45, y + h * 0.5, x + w * 0.65, y + h * 0.62);
    cairo_curve_to(cr, x + w * 0.8, y + h * 0.5, x + w * 0.9, y + h * 0.52, x + w, y + h * 0.58);
    cairo_line_to(cr, x + w, y + h);
    cairo_line_to(cr, x, y + h);
    cairo_close_path(cr);
    cairo_fill(cr);
    SetColour(cr, Hex(s.near_land));
    cairo_move_to(cr, x, y + h * 0.86);
    cairo_curve_to(cr, x + w * 0.35, y + h * 0.66, x + w * 0.6, y + h * 0.72, x + w, y + h * 0.8);
    cairo_line_to(cr, x + w, y + h);
    cairo_line_to(cr, x, y + h);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  cairo_restore(cr);
}

struct Box {
  double x, y, w, h;
};

// A miniature of the screen saver: photos on dark mats over black, the clock
// with its reflection in one bottom corner and the mark in the other.
Surface Preview(const std::vector<Box>& photos, int first_scene, bool clock_left) {
  const int w = 152, h = 112;
  Surface out = MakeSurface(CAIRO_FORMAT_ARGB32, w, h);
  Context c(cairo_create(out.get()));
  cairo_t* cr = c.get();
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);

  int scene = first_scene;
  for (const Box& b : photos) {
    Pattern mat(cairo_pattern_create_linear(0, b.y - 2, 0, b.y + b.h + 2));
    cairo_pattern_add_color_stop_rgb(mat.get(), 0, 0.24, 0.24, 0.26);
    cairo_pattern_add_color_stop_rgb(mat.get(), 1, 0.13, 0.13, 0.15);
    RoundedRect(cr, b.x - 2, b.y - 2, b.w + 4, b.h + 4, 2.5);
    cairo_set_source(cr, mat.get());
    cairo_fill(cr);
    DrawScene(cr, b.x, b.y, b.w, b.h, kScenes[scene % std::size(kScenes)]);
    ++scene;
  }

  // The clock, as the screen saver draws it: white text over a faint,
  // squashed mirror image.
  Layout clock = MakeText(cr, clock_left ? "9:05" : "18:40", 15);
  const TextBox cb = Measure(clock.get());
  const double cx = clock_left ? 6 : w - 6 - cb.ink_width;
  const double baseline = h - 9;
  cairo_save(cr);
  cairo_translate(cr, 0, baseline + 1);
  cairo_scale(cr, 1, -0.7);
  cairo_translate(cr, 0, -baseline);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.22);
  ShowOnBaseline(cr, clock.get(), cx, baseline);
  cairo_restore(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 1);
  ShowOnBaseline(cr, clock.get(), cx, baseline);

  const double mark = 11;
  DrawMark(cr, clock_left ? w - 6 - mark : 6, baseline - mark, mark, Hex(0xFFFFFF, 0.85));
  return out;
}


int Run(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER FONT_FILE\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::string family = RegisterFont(argv[2]);
  if (family.empty()) {
    std::fprintf(stderr, "cannot use the font %s\n", argv[2]);
    return 1;
  }
  g_family = family;

  bool ok = true;
  ok = artwork::WritePng(CornerLogo(false).get(), folder + "/CollageLogo_left.png") && ok;
  ok = artwork::WritePng(CornerLogo(true).get(), folder + "/CollageLogo_right.png") && ok;
  ok = artwork::WritePng(NoImagesLogo().get(), folder + "/CollageNoImagesLogo.png") && ok;
  ok = artwork::WritePng(Preview({{4, 4, 62, 42}, {72, 4, 36, 42}, {114, 4, 34, 30}, {4, 52, 46, 30},
                      {56, 52, 52, 30}, {114, 40, 34, 42}},
                     0, true)
                 .get(),
             folder + "/PreviewWindow1.png") &&
       ok;
  ok = artwork::WritePng(Preview({{4, 4, 44, 50}, {54, 4, 94, 32}, {54, 42, 44, 40}, {104, 42, 44, 40},
                      {4, 60, 44, 22}},
                     2, false)
                 .get(),
             folder + "/PreviewWindow2.png") &&
       ok;
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace quol::saver


int main(int argc, char** argv) { return quol::saver::Run(argc, argv); }
