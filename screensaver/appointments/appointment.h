// The family's appointments as the calendar call delivers them, and the
// colours of their attendees.
//
// Colours are 24-bit RGB with red in the low byte, then green, then blue
// (0x00BBGGRR), the way the service's palette has always been kept.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quol::saver {

using RgbColour = std::uint32_t;

constexpr RgbColour MakeRgb(int red, int green, int blue) {
  return static_cast<RgbColour>((red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16));
}
constexpr int RedOf(RgbColour c) { return static_cast<int>(c & 0xFF); }
constexpr int GreenOf(RgbColour c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int BlueOf(RgbColour c) { return static_cast<int>((c >> 16) & 0xFF); }

// What unreadable colour texts and unknown palette indexes become.
inline constexpr RgbColour kFallbackGrey = MakeRgb(0x80, 0x80, 0x80);
// The cobrand colour before the first successful fetch.
inline constexpr RgbColour kColourUnset = 0xFFFFFFFFu;

inline constexpr int kPaletteSize = 17;
using Palette = std::array<RgbColour, kPaletteSize>;

// The palette the service's colour indexes refer to, as shipped.
Palette BuiltInPalette();

struct Appointment {
  std::string subject;  // UTF-8
  bool all_day = false;
  bool routine = false;  // kept, not shown
  // Local calendar seconds (time_t style), from the service's UTC times.
  std::int64_t start = 0;
  std::int64_t end = 0;
  // 0, 1 or 2 once the widget placed it; -1 when it is not shown.
  int group = -1;
  std::vector<RgbColour> attendee_colours;
};

// "#AARRGGBB" (exactly nine characters, alpha dropped) or "R , G , B"
// (decimal, blanks optional); anything else is kFallbackGrey.
RgbColour ParseColourText(std::string_view text);

// The process's attendee palette. Entry 0 becomes the partner's colour after
// the first successful fetch; everything is guarded, any thread may read.
Palette CurrentPalette();
RgbColour PaletteColour(int index);  // kFallbackGrey outside 0..16
RgbColour CobrandColour();           // kColourUnset until set

// Once per process, after the first successful calendar call: with no
// partner text the colour is today's entry 0; otherwise the text is parsed
// and installed as entry 0 (InstallCobrandColour). Later calls do nothing.
void SetCobrandColourOnce(const std::string& cobrand_text);

// Makes `colour` entry 0. Unless entry 0 already is that colour, the nearest
// of the entries 0..15 (squared RGB distance, lower index on a tie) gives
// up its place to the old entry 0 when it is not entry 0 itself and closer
// than 900, so the partner's colour does not appear twice.
void InstallCobrandColour(RgbColour colour);

// Back to the built-in palette with the cobrand colour unset.
void ResetPaletteForTesting();

// An attendee's colour text: up to two characters are a palette index;
// longer texts are the cobrand colour for cobrand attendees (once it is
// set), else parsed with ParseColourText.
RgbColour AttendeeColour(std::string_view colour_text, bool cobrand_attendee);

}  // namespace quol::saver
