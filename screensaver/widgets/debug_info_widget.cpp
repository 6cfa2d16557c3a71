#include "screensaver/widgets/debug_info_widget.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>

#include "platform/identity/identity.h"
#include "screensaver/common/drawing.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"

namespace quol::saver {
namespace {

std::atomic<std::uint64_t> g_draws{0};
std::atomic<std::uint64_t> g_working_set_sum{0};
std::atomic<std::uint64_t> g_private_sum{0};
std::atomic<std::uint64_t> g_samples{0};

constexpr double kCornerRadius = 5;

int LineHeight(cairo_t* cr, const PangoFontDescription* font) {
  return static_cast<int>(FontMetricsFor(cr, font).height() + 4);
}

int Megabytes(std::uint64_t bytes) { return static_cast<int>(bytes >> 20); }

int AverageMegabytes(std::uint64_t sum, std::uint64_t samples) {
  return static_cast<int>(sum / (samples != 0 ? samples : 1) / 1024 / 1024);
}

std::string Format(const char* format, int a, int b) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  return buffer;
}

}  // namespace

bool ReadProcessMemory(ProcessMemory* memory) {
  std::ifstream status("/proc/self/status");
  std::string line;
  bool have_rss = false, have_anon = false;
  std::uint64_t rss_kb = 0, anon_kb = 0, swap_kb = 0;
  while (std::getline(status, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %llu kB", &kb) == 1) {
      rss_kb = kb;
      have_rss = true;
    } else if (std::sscanf(line.c_str(), "RssAnon: %llu kB", &kb) == 1) {
      anon_kb = kb;
      have_anon = true;
    } else if (std::sscanf(line.c_str(), "VmSwap: %llu kB", &kb) == 1) {
      swap_kb = kb;
    }
  }
  if (!have_rss || !have_anon) return false;
  memory->working_set_bytes = rss_kb * 1024;
  memory->private_bytes = (anon_kb + swap_kb) * 1024;
  return true;
}

std::vector<std::string> DebugPanelLines(const ProcessMemory& now, const MemoryAverages& averages,
                                         const SessionStatus& session, const std::string& version) {
  return {
      Format("Working: %dMb (avg %d)", Megabytes(now.working_set_bytes),
             AverageMegabytes(averages.working_set_sum, averages.samples)),
      Format("Private: %dMb (avg %d)", Megabytes(now.private_bytes),
             AverageMegabytes(averages.private_sum, averages.samples)),
      std::string(session.secure ? "Secure/" : "Not secure/") +
          (session.local_system ? "Local system" : "Not local system"),
      std::string(session.locked() ? "Locked" : "Not locked") + " on '" + session.desktop_name + "'",
      session.elevated ? "Vista/Elevated" : "Not Vista/elevated",
      "Version:" + version,
  };
}

DebugInfoWidget::DebugInfoWidget(MemoryReader read_memory) : read_memory_(std::move(read_memory)) {}

void DebugInfoWidget::ResetStatisticsForTesting() {
  g_draws = 0;
  g_working_set_sum = 0;
  g_private_sum = 0;
  g_samples = 0;
}

WidgetSize DebugInfoWidget::Measure(cairo_t* cr) {
  FontHandle font = MakeFont(kPrivateFontFamily, kPoints);
  return WidgetSize{kWidth, kLines * LineHeight(cr, font.get())};
}

void DebugInfoWidget::Draw(cairo_t* cr, int x, int y, int width, int height) {
  ProcessMemory now;
  if (!read_memory_ || !read_memory_(&now)) return;
  if (g_draws.fetch_add(1) + 1 > kUnsampledDraws) {
    g_working_set_sum += now.working_set_bytes;
    g_private_sum += now.private_bytes;
    g_samples += 1;
  }
  const MemoryAverages averages{g_working_set_sum.load(), g_private_sum.load(), g_samples.load()};
  last_lines_ = DebugPanelLines(now, averages, ReadSessionStatus(), platform::ProgramFileVersionText());

  cairo_save(cr);
  RoundedRectanglePath(cr, x, y, width, height, kCornerRadius);
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  cairo_fill(cr);
  RoundedRectanglePath(cr, x + 0.5, y + 0.5, width - 1, height - 1, kCornerRadius);
  cairo_set_source_rgba(cr, 1, 0, 0, 1);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);

  FontHandle font = MakeFont(kPrivateFontFamily, kPoints);
  const int line_height = LineHeight(cr, font.get());
  cairo_set_source_rgba(cr, 1, 1, 1, 1);
  for (int i = 0; i < kLines && i < static_cast<int>(last_lines_.size()); ++i) {
    LayoutPtr layout = MakeLayout(cr, font.get(), last_lines_[static_cast<std::size_t>(i)]);
    pango_layout_set_width(layout.get(), std::max(0, width - 4) * PANGO_SCALE);
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
    pango_layout_set_alignment(layout.get(), PANGO_ALIGN_LEFT);
    cairo_save(cr);
    cairo_rectangle(cr, x + 2, y + i * line_height, width - 4, line_height - 2);
    cairo_clip(cr);
    cairo_move_to(cr, x + 2, y + i * line_height);
    pango_cairo_show_layout(cr, layout.get());
    cairo_restore(cr);
  }
  cairo_restore(cr);
}

}  // namespace quol::saver
