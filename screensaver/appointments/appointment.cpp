#include "screensaver/appointments/appointment.h"

#include <cstdio>
#include <mutex>
#include <string>


namespace quol::saver {
namespace {

constexpr Palette kBuiltIn = {
    MakeRgb(0xED, 0x65, 0x26), MakeRgb(0x30, 0xA5, 0xBA), MakeRgb(0x99, 0x50, 0xB2),
    MakeRgb(0xFA, 0xC7, 0x51), MakeRgb(0xAA, 0xD7, 0x62), MakeRgb(0x3C, 0x71, 0xE1),
    MakeRgb(0x04, 0x38, 0x6A), MakeRgb(0xFF, 0x96, 0x3B), MakeRgb(0x8A, 0x07, 0x53),
    MakeRgb(0x03, 0x7C, 0xBC), MakeRgb(0xDB, 0x39, 0x68), MakeRgb(0xC1, 0xD6, 0xCF),
    MakeRgb(0x33, 0x86, 0x02), MakeRgb(0x81, 0x77, 0xB3), MakeRgb(0xC1, 0x04, 0x35),
    MakeRgb(0x7D, 0xD4, 0xC1), MakeRgb(0x54, 0x27, 0x43),
};

// Below this squared distance a palette entry counts as "the same colour"
// as the partner's.
constexpr int kSwapDistance = 900;
// The swap looks at the first sixteen entries only.
constexpr int kSwapCandidates = 16;

struct PaletteState {
  std::mutex lock;
  Palette colours = kBuiltIn;
  RgbColour cobrand = kColourUnset;
};

PaletteState& State() {
  static PaletteState state;
  return state;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int SquaredDistance(RgbColour a, RgbColour b) {
  const int dr = RedOf(a) - RedOf(b);
  const int dg = GreenOf(a) - GreenOf(b);
  const int db = BlueOf(a) - BlueOf(b);
  return dr * dr + dg * dg + db * db;
}

// Caller holds the palette lock.
void InstallLocked(PaletteState& state, RgbColour colour) {
  Palette& p = state.colours;
  if (p[0] != colour) {
    int nearest = 0;
    int best = SquaredDistance(p[0], colour);
    for (int i = 1; i < kSwapCandidates; ++i) {
      const int d = SquaredDistance(p[static_cast<std::size_t>(i)], colour);
      if (d < best) {
        best = d;
        nearest = i;
      }
    }
    if (nearest != 0 && best < kSwapDistance) p[static_cast<std::size_t>(nearest)] = p[0];
    p[0] = colour;
  }
  state.cobrand = colour;
}

// Up to two characters: "-1", "7", "16". Nothing but an optional minus sign
// and digits counts as a number.
bool ParseSmallIndex(std::string_view text, int* value) {
  if (text.empty()) return false;
  bool negative = false;
  std::size_t i = 0;
  if (text[0] == '-') {
    negative = true;
    i = 1;
  }
  if (i == text.size()) return false;
  int v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = negative ? -v : v;
  return true;
}

}  // namespace

Palette BuiltInPalette() { return kBuiltIn; }

RgbColour ParseColourText(std::string_view text) {
  if (text.size() == 9 && text[0] == '#') {
    int bytes[4];
    for (int i = 0; i < 4; ++i) {
      const int high = HexDigit(text[static_cast<std::size_t>(1 + 2 * i)]);
      const int low = HexDigit(text[static_cast<std::size_t>(2 + 2 * i)]);
      if (high < 0 || low < 0) return kFallbackGrey;
      bytes[i] = high * 16 + low;
    }
    return MakeRgb(bytes[1], bytes[2], bytes[3]);  // bytes[0] is alpha
  }
  // Blanks in the scanf pattern match any white space, also none.
  const std::string copy(text);
  int red = 0, green = 0, blue = 0;
  if (std::sscanf(copy.c_str(), "%d , %d , %d", &red, &green, &blue) != 3) return kFallbackGrey;
  return MakeRgb(red, green, blue);
}

Palette CurrentPalette() {
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  return state.colours;
}

RgbColour PaletteColour(int index) {
  if (index < 0 || index >= kPaletteSize) return kFallbackGrey;
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  return state.colours[static_cast<std::size_t>(index)];
}

RgbColour CobrandColour() {
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  return state.cobrand;
}

void SetCobrandColourOnce(const std::string& cobrand_text) {
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  if (state.cobrand != kColourUnset) return;
  if (cobrand_text.empty()) {
    state.cobrand = state.colours[0];
  } else {
    InstallLocked(state, ParseColourText(cobrand_text));
  }
}

void InstallCobrandColour(RgbColour colour) {
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  InstallLocked(state, colour);
}

void ResetPaletteForTesting() {
  PaletteState& state = State();
  std::lock_guard lock(state.lock);
  state.colours = kBuiltIn;
  state.cobrand = kColourUnset;
}

RgbColour AttendeeColour(std::string_view colour_text, bool cobrand_attendee) {
  if (colour_text.size() <= 2) {
    int index = -1;
    if (!ParseSmallIndex(colour_text, &index)) return kFallbackGrey;
    return PaletteColour(index);
  }
  if (cobrand_attendee) {
    const RgbColour cobrand = CobrandColour();
    if (cobrand != kColourUnset) return cobrand;
  }
  return ParseColourText(colour_text);
}

}  // namespace quol::saver
