// Draws the desktop client's pictures and its start-up sound:
//
//   quol_client_artwork OUTPUT_FOLDER FONT_FILE
//
// writes Splash5000.png (350 x 150, the splash), Icon502.png (64 x 64, the
// window icon), About102.png (60 x 56, the about box's picture) and
// Sound501.wav (a short two-note chime, 16-bit mono PCM). Everything is
// vector drawing or synthesis, so nothing binary lives in the source tree.
// The words are set in FONT_FILE, the font the programs bundle as
// "Futura Bk BT", so the splash matches the about box.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "resources/artwork/artwork_kit.h"

namespace {

using quol::artwork::Context;
using quol::artwork::kPi;
using quol::artwork::Layout;
using quol::artwork::Pattern;
using quol::artwork::RegisterFont;
using quol::artwork::RoundedRect;
using quol::artwork::ShowOnBaseline;
using quol::artwork::Surface;

void SetHex(cairo_t* cr, unsigned rgb, double alpha = 1.0) {
  cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                        (rgb & 0xFF) / 255.0, alpha);
}

std::string g_family = "sans-serif";


Layout MakeText(cairo_t* cr, const std::string& text, double pixels, double letter_spacing = 0) {
  return quol::artwork::MakeText(cr, g_family, text, pixels, PANGO_WEIGHT_NORMAL, letter_spacing);
}


// The Quol mark (as on the screen saver's logos): a rounded square with a
// little landscape, sun and two hills, cut out of it; filled with a
// top-to-bottom gradient of two colours.
void DrawMark(cairo_t* cr, double x, double y, double size, unsigned top, unsigned bottom) {
  Pattern fill(cairo_pattern_create_linear(0, y, 0, y + size));
  cairo_pattern_add_color_stop_rgb(fill.get(), 0, ((top >> 16) & 0xFF) / 255.0,
                                   ((top >> 8) & 0xFF) / 255.0, (top & 0xFF) / 255.0);
  cairo_pattern_add_color_stop_rgb(fill.get(), 1, ((bottom >> 16) & 0xFF) / 255.0,
                                   ((bottom >> 8) & 0xFF) / 255.0, (bottom & 0xFF) / 255.0);
  quol::artwork::DrawMark(cr, x, y, size, fill.get());
}

constexpr unsigned kTeal = 0x30A5BA;
constexpr unsigned kBlue = 0x4F7CC9;
constexpr unsigned kInk = 0x22313F;
constexpr unsigned kGrey = 0x808080;

using quol::artwork::WritePng;

// The splash: the mark and the product's words on a light card with a band
// of the product's colours at the bottom, a thin frame, and the start-up
// line at the lower right.
bool DrawSplash(const std::string& path) {
  const int w = 350, h = 150;
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h));
  Context c(cairo_create(surface.get()));
  cairo_t* cr = c.get();

  Pattern sky(cairo_pattern_create_linear(0, 0, 0, h));
  cairo_pattern_add_color_stop_rgb(sky.get(), 0, 1, 1, 1);
  cairo_pattern_add_color_stop_rgb(sky.get(), 1, 0xE8 / 255.0, 0xF1 / 255.0, 0xFA / 255.0);
  cairo_set_source(cr, sky.get());
  cairo_paint(cr);

  // A soft hill line behind the words, echoing the mark.
  cairo_move_to(cr, 0, h - 30);
  cairo_curve_to(cr, 90, h - 62, 170, h - 58, 230, h - 36);
  cairo_curve_to(cr, 270, h - 50, 320, h - 54, w, h - 40);
  cairo_line_to(cr, w, h);
  cairo_line_to(cr, 0, h);
  cairo_close_path(cr);
  SetHex(cr, kTeal, 0.10);
  cairo_fill(cr);

  // The colour band.
  Pattern band(cairo_pattern_create_linear(0, 0, w, 0));
  cairo_pattern_add_color_stop_rgb(band.get(), 0, 0x30 / 255.0, 0xA5 / 255.0, 0xBA / 255.0);
  cairo_pattern_add_color_stop_rgb(band.get(), 1, 0x4F / 255.0, 0x7C / 255.0, 0xC9 / 255.0);
  cairo_set_source(cr, band.get());
  cairo_rectangle(cr, 0, h - 8, w, 8);
  cairo_fill(cr);

  DrawMark(cr, 28, 30, 66, kTeal, kBlue);

  SetHex(cr, kInk);
  Layout word = MakeText(cr, "Quol", 52);
  ShowOnBaseline(cr, word.get(), 112, 78);
  SetHex(cr, kTeal);
  Layout tag = MakeText(cr, "DEVUZEZ", 13, 4.2);
  ShowOnBaseline(cr, tag.get(), 114, 98);

  SetHex(cr, kGrey);
  Layout starting = MakeText(cr, "Starting...", 12);
  PangoRectangle ink, logical;
  pango_layout_get_extents(starting.get(), &ink, &logical);
  ShowOnBaseline(cr, starting.get(), w - 16 - ink.width / double(PANGO_SCALE), h - 20);

  cairo_set_line_width(cr, 1);
  SetHex(cr, kGrey, 0.8);
  cairo_rectangle(cr, 0.5, 0.5, w - 1, h - 1);
  cairo_stroke(cr);
  cairo_surface_flush(surface.get());
  return WritePng(surface.get(), path);
}

// A picture with just the mark, centred, on transparent.
bool DrawMarkPicture(const std::string& path, int w, int h) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
  Context c(cairo_create(surface.get()));
  const double size = std::min(w, h) - 4;
  DrawMark(c.get(), (w - size) / 2, (h - size) / 2, size, kTeal, kBlue);
  cairo_surface_flush(surface.get());
  return WritePng(surface.get(), path);
}

void PutLe(std::string* out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A soft two-note chime (a rising fifth, each note with a few harmonics and
// an exponential decay), 22050 Hz 16-bit mono, about 0.7 s.
bool WriteChime(const std::string& path) {
  constexpr int kRate = 22050;
  const double notes[][2] = {{659.25, 0.0}, {987.77, 0.16}};  // frequency, start (s)
  const int total = static_cast<int>(kRate * 0.72);
  std::vector<double> mix(static_cast<std::size_t>(total), 0.0);
  for (const auto& note : notes) {
    const int start = static_cast<int>(note[1] * kRate);
    for (int i = start; i < total; ++i) {
      const double t = double(i - start) / kRate;
      const double envelope = std::min(1.0, t / 0.005) * std::exp(-t * 6.0);
      const double tone = std::sin(2 * kPi * note[0] * t) + 0.35 * std::sin(4 * kPi * note[0] * t) +
                          0.12 * std::sin(6 * kPi * note[0] * t);
      mix[static_cast<std::size_t>(i)] += 0.32 * envelope * tone;
    }
  }
  std::string data;
  for (double sample : mix) {
    const double clipped = std::clamp(sample, -1.0, 1.0);
    PutLe(&data, static_cast<std::uint16_t>(static_cast<std::int16_t>(clipped * 32000)), 2);
  }
  std::string wav = "RIFF";
  PutLe(&wav, static_cast<std::uint32_t>(36 + data.size()), 4);
  wav += "WAVEfmt ";
  PutLe(&wav, 16, 4);
  PutLe(&wav, 1, 2);  // PCM
  PutLe(&wav, 1, 2);  // mono
  PutLe(&wav, kRate, 4);
  PutLe(&wav, kRate * 2, 4);
  PutLe(&wav, 2, 2);
  PutLe(&wav, 16, 2);
  wav += "data";
  PutLe(&wav, static_cast<std::uint32_t>(data.size()), 4);
  wav += data;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                        &std::fclose);
  if (!file || std::fwrite(wav.data(), 1, wav.size(), file.get()) != wav.size()) {
    std::fprintf(stderr, "quol_client_artwork: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace


int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quol_client_artwork OUTPUT_FOLDER FONT_FILE\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string family = RegisterFont(argv[2]);
  if (family.empty()) {
    std::fprintf(stderr, "quol_client_artwork: cannot load the font %s\n", argv[2]);
    return 1;
  }
  g_family = family;
  const bool ok = DrawSplash(folder + "/Splash5000.png") &&
                  DrawMarkPicture(folder + "/Icon502.png", 64, 64) &&
                  DrawMarkPicture(folder + "/About102.png", 60, 56) &&
                  WriteChime(folder + "/Sound501.wav");
  return ok ? 0 : 1;
}
