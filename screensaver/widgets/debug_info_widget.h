// The debug panel (debug mode, or Shift+D held while a collage is built):
// six lines about the process on a black rounded box with a red rim.
//
//   Working: <MB>Mb (avg <MB>)       resident memory (VmRSS)
//   Private: <MB>Mb (avg <MB>)       anonymous memory, resident or swapped
//   [Not ]Secure/[Not ]Local system  (session_status.h)
//   [Not ]Locked on '<desktop>'
//   Vista/Elevated | Not Vista/elevated   (effective uid 0)
//   Version:<file version>
//
// The averages are over every panel drawn in the process from the sixth on,
// so the start-up burst does not count; until then they read 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "screensaver/widgets/session_status.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

struct ProcessMemory {
  std::uint64_t working_set_bytes = 0;  // VmRSS
  std::uint64_t private_bytes = 0;      // RssAnon + VmSwap
};

// Reads the calling process's memory from /proc/self/status. "Private" is
// the memory no other process shares and no file backs: anonymous pages in
// RAM (RssAnon) plus those swapped out (VmSwap). False when the file or
// those lines are missing.
bool ReadProcessMemory(ProcessMemory* memory);

using MemoryReader = std::function<bool(ProcessMemory*)>;

// Running totals of the process, shared by every panel.
struct MemoryAverages {
  std::uint64_t working_set_sum = 0;
  std::uint64_t private_sum = 0;
  std::uint64_t samples = 0;
};

// The six lines for one panel.
std::vector<std::string> DebugPanelLines(const ProcessMemory& now, const MemoryAverages& averages,
                                         const SessionStatus& session, const std::string& version);

class DebugInfoWidget : public ISlideWidget {
 public:
  static constexpr double kPoints = 10;  // in kPrivateFontFamily
  static constexpr int kWidth = 190;
  static constexpr int kLines = 6;
  // Panels drawn before sampling starts.
  static constexpr int kUnsampledDraws = 5;

  explicit DebugInfoWidget(MemoryReader read_memory = ReadProcessMemory);

  // (190, 6 * L) with L = trunc(font height + 4). `cr` may be null.
  WidgetSize Measure(cairo_t* cr) override;
  // Reads the memory (nothing is drawn when that fails), counts the draw
  // and, from the sixth draw in the process on, adds a sample; then paints
  // the box and line i at (x + 2, y + i * L) in a (w - 4) x (L - 2) slot.
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

  // The lines of the last panel drawn by this widget (empty before).
  const std::vector<std::string>& last_lines() const { return last_lines_; }

  static void ResetStatisticsForTesting();

 private:
  MemoryReader read_memory_;
  std::vector<std::string> last_lines_;
};

}  // namespace quol::saver
