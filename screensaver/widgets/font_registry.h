// The screen saver's fonts. The clock and the debug panel are set in
// "Futura Bk BT"; the program brings its own font for that name (a free
// geometric sans, see resources/README.md) in its resource bundle and makes
// it known to fontconfig for this process only. Without the bundled font the
// name falls back to the generic sans-serif family.
#pragma once

#include <pango/pango.h>

#include <memory>
#include <string>

namespace quol::saver {

inline constexpr char kPrivateFontFamily[] = "Futura Bk BT";
inline constexpr char kSansSerifFamily[] = "sans-serif";

// Registers the bundled font under kPrivateFontFamily. Call once at start-up,
// before the first text is laid out; later calls (from any thread) return at
// once. MakeFont calls it too, so forgetting it only costs the first caller.
void RegisterPrivateFont();

// Whether kPrivateFontFamily resolves to the bundled font (false before
// RegisterPrivateFont and when the bundle has no usable font).
bool PrivateFontAvailable();

// The file name fontconfig knows the bundled font by; empty when not
// available. The font lives in an anonymous in-memory file of the process.
std::string PrivateFontFile();

struct FontDescriptionDeleter {
  void operator()(PangoFontDescription* font) const { pango_font_description_free(font); }
};
using FontHandle = std::unique_ptr<PangoFontDescription, FontDescriptionDeleter>;

// Points are at 96 DPI: pixels = points * 96 / 72.
inline double PointsToPixels(double points) { return points * 96.0 / 72.0; }

// A regular-weight, upright font of `family` (null: sans-serif) at `points`,
// sized in pixels so the result does not depend on a context's resolution.
// kPrivateFontFamily becomes sans-serif when the bundled font is missing.
FontHandle MakeFont(const char* family, double points);

// The font's height (ascent + descent) in pixels, as Pango lays it out on
// an image surface.
double FontHeightPixels(const PangoFontDescription* font);
inline double FontHeightPixels(const FontHandle& font) { return FontHeightPixels(font.get()); }

// The font file Pango draws `font` with (empty when unknown), for checks and
// diagnostics.
std::string FontFileOf(PangoFont* font);
std::string ResolvedFontFile(const PangoFontDescription* font);

}  // namespace quol::saver
