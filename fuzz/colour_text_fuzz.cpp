// Colour texts: the attendee and partner colours of the calendar
// ("#AARRGGBB", "R , G , B" or a palette index), and the partner colour's
// place in the palette.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "screensaver/appointments/appointment.h"

using quol::saver::RgbColour;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  quol::saver::ResetPaletteForTesting();
  const std::string text(quol::fuzz::AsText(data, size));

  // Whatever a text parses to, both written forms of that colour parse back
  // to it.
  const RgbColour colour = quol::saver::ParseColourText(text);
  char decimal[48];
  std::snprintf(decimal, sizeof decimal, "%d, %d ,%d", quol::saver::RedOf(colour),
                quol::saver::GreenOf(colour), quol::saver::BlueOf(colour));
  char hex[16];
  std::snprintf(hex, sizeof hex, "#ff%02X%02x%02X", quol::saver::RedOf(colour),
                quol::saver::GreenOf(colour), quol::saver::BlueOf(colour));
  if (quol::saver::ParseColourText(decimal) != colour) quol::fuzz::Broken("decimal form differs");
  if (quol::saver::ParseColourText(hex) != colour) quol::fuzz::Broken("hex form differs");

  quol::saver::AttendeeColour(text, false);
  quol::saver::AttendeeColour(text, true);
  quol::saver::SetCobrandColourOnce(text);
  // The partner's colour is entry 0 and, moved or not, the palette keeps
  // its size with the colour in it once only at the front.
  const quol::saver::Palette palette = quol::saver::CurrentPalette();
  if (quol::saver::CobrandColour() != palette[0]) quol::fuzz::Broken("partner colour not first");
  quol::saver::AttendeeColour(text, true);
  quol::saver::PaletteColour(static_cast<int>(size % 20) - 2);
  quol::saver::ResetPaletteForTesting();
  return 0;
}
