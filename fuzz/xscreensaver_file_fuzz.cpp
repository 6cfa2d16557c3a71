// A user's ~/.xscreensaver of any content. Reading never fails. The
// installation writes an edit only when it is sound (ours active after
// turning on, the user's bytes back after turning off) and leaves any other
// file alone; for the sound ones, turning on again changes nothing and asks
// for no new backup, and turning off without a backup switches the saver off.
#include <optional>
#include <string>

#include "foundation/saverinstall/xscreensaver_file.h"
#include "fuzz/fuzz_support.h"

namespace xs = quol::saverinstall;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  if (size > xs::kMaxXscreensaverFileBytes) return 0;  // callers never edit these
  const std::string original(quol::fuzz::AsText(data, size));
  const std::string ours = "/usr/libexec/xscreensaver/quolsaver";

  xs::ParseXscreensaverPrograms(original);
  xs::XscreensaverValue(original, "mode");
  if (xs::ActiveXscreensaverProgram(original) == ours) return 0;

  const xs::XsTurnOn on = xs::TurnOnInXscreensaverFile(original, ours);
  if (xs::ActiveXscreensaverProgram(on.text) != ours) return 0;  // left alone
  if (!on.backup) quol::fuzz::Broken("no backup of another saver");
  if (xs::TurnOffInXscreensaverFile(on.text, ours, on.backup).text != original) return 0;  // left alone

  const xs::XsTurnOn again = xs::TurnOnInXscreensaverFile(on.text, ours);
  if (again.text != on.text) quol::fuzz::Broken("turning on twice changed the file");
  if (again.backup) quol::fuzz::Broken("turning on twice asked for a new backup");
  const xs::XsTurnOff off = xs::TurnOffInXscreensaverFile(on.text, ours, std::nullopt);
  if (xs::ActiveXscreensaverProgram(off.text) == ours) quol::fuzz::Broken("off without backup left ours on");
  return 0;
}
