#include "screensaver/appointments/appointment_reminders.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "foundation/log/process_log.h"
#include "screensaver/appointments/appointment_snapshot.h"
#include "screensaver/common/drawing.h"
#include "screensaver/widgets/clock.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"

namespace quol::saver {
namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
// Appointments that started this recently still count as "now".
constexpr std::int64_t kGracePeriod = 5 * kMinute;
// From this local hour on, tomorrow's appointments are shown too.
constexpr int kTomorrowFromHour = 15;

constexpr int kCornerRadius = 10;
constexpr int kInset = 5;
constexpr char kLaterHeader[] = "L A T E R";
constexpr char kTomorrowHeader[] = "T O M O R R O W";
constexpr char kEllipsis[] = "...";

// Sizes in pixels, colours ARGB.
struct GroupLayout {
  int row_font_size;
  int header_font_size;
  int row_height;
  int row_spacing;
  int dot_size;  // 0: no dots
  int dot_spacing;
  std::uint32_t header_colour;
  std::uint32_t row_colour;
  int header_padding;
};

constexpr GroupLayout kLayoutNow{24, 24, 24, 3, 13, 2, 0xFFFFFFFF, 0xFFFFFFFF, 0};
constexpr GroupLayout kLayoutLater{18, 14, 18, 2, 11, 2, 0xFF9F9F9F, 0xFFFFFFFF, 9};
constexpr GroupLayout kLayoutTrailing{16, 14, 16, 2, 0, 0, 0xFF8D8D8D, 0xFF8D8D8D, 9};

// The height `rows` rows need, with the header when there is one to show.
int Need(const GroupLayout& layout, int rows, bool header) {
  int need = rows * (layout.row_spacing + layout.row_height);
  if (header && rows > 0) need += layout.header_font_size + 2 * layout.header_padding;
  return need;
}

// Group 2 gets the quiet layout when something is shown above it.
const GroupLayout& TomorrowLayout(const std::array<int, 3>& counts) {
  return counts[0] + counts[1] > 0 ? kLayoutTrailing : kLayoutLater;
}

std::int64_t Seconds(platform::TimePoint t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

FontHandle PixelFont(int pixels) { return MakeFont(kPrivateFontFamily, pixels * 72.0 / 96.0); }

void SetArgb(cairo_t* cr, std::uint32_t argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                        (argb & 0xFF) / 255.0, (argb >> 24) / 255.0);
}

int TextWidth(cairo_t* cr, const PangoFontDescription* font, const std::string& text) {
  LayoutPtr layout = MakeLayout(cr, font, text);
  return LogicalPixelSize(layout.get()).width;
}

// One line, left-aligned, cut with an ellipsis at a character when wider
// than `width`.
void DrawRowText(cairo_t* cr, const PangoFontDescription* font, const std::string& text, int x,
                 int y, int width, std::uint32_t colour) {
  if (width <= 0) return;
  LayoutPtr layout = MakeLayout(cr, font, text);
  pango_layout_set_width(layout.get(), width * PANGO_SCALE);
  pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
  pango_layout_set_alignment(layout.get(), PANGO_ALIGN_LEFT);
  SetArgb(cr, colour);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout.get());
}

std::string TimeText(const Appointment& appointment) {
  if (appointment.all_day) return " ";
  return UserClockTime(platform::ToLocalTime(
      std::chrono::system_clock::from_time_t(static_cast<std::time_t>(appointment.start))));
}

// Draws the groups one after another into the panel's inset rectangle.
class GroupPainter {
 public:
  GroupPainter(cairo_t* cr, const std::vector<Appointment>& appointments, int x, int y, int width,
               int height)
      : cr_(cr),
        appointments_(appointments),
        x_(x + kInset),
        y_(y + kInset),
        width_(width - 2 * kInset),
        height_(height - 2 * kInset) {}

  bool stopped() const { return stopped_; }

  void DrawGroup(const GroupLayout& layout, const char* header, int group, int rows) {
    FontHandle row_font = PixelFont(layout.row_font_size);
    int time_width = 0;
    int dot_count = 0;
    for (const Appointment& a : appointments_) {
      if (a.group != group) continue;
      time_width = std::max(time_width, TextWidth(cr_, row_font.get(), TimeText(a)));
      dot_count = std::max(dot_count, static_cast<int>(a.attendee_colours.size()));
    }
    // Text boxes are measured tight; without a little air after the figures
    // the quiet layout (no dots, no spacing) would run time and subject together.
    if (time_width > 0) time_width += layout.row_font_size / 4;
    const int text_height = static_cast<int>(FontHeightPixels(row_font));

    // Room for the whole group, or for at least two of more than two rows.
    const bool has_header = header != nullptr;
    const int available = height_ - offset_;
    if (available < Need(layout, rows, has_header) &&
        !(rows > 2 && available >= Need(layout, 2, has_header))) {
      if (text_height <= available) {
        DrawRowText(cr_, row_font.get(), kEllipsis, x_, y_ + offset_, width_, layout.row_colour);
      }
      stopped_ = true;
      return;
    }

    if (has_header) DrawHeader(layout, header, text_height);

    const bool dots = layout.dot_size > 0;
    const int dots_start = time_width + layout.dot_spacing;
    const int dots_width =
        dots && dot_count > 0 ? dot_count * layout.dot_size + (dot_count - 1) * layout.dot_spacing : 0;
    const int subject_x = dots_start + dots_width + layout.dot_spacing;

    int left = rows;
    for (const Appointment& a : appointments_) {
      if (a.group != group) continue;
      const int row_top = offset_;
      offset_ += layout.row_spacing + layout.row_height;
      if (left > 1 && height_ < offset_ + layout.row_height) {
        DrawRowText(cr_, row_font.get(), kEllipsis, x_ + subject_x, y_ + row_top,
                    width_ - subject_x, layout.row_colour);
        stopped_ = true;
        return;
      }
      --left;
      DrawRowText(cr_, row_font.get(), TimeText(a), x_, y_ + row_top, time_width, layout.row_colour);
      if (dots) {
        const int k = static_cast<int>(a.attendee_colours.size());
        const double radius = layout.dot_size / 2.0;
        for (int i = 0; i < k; ++i) {
          const int slot = dot_count - k + i;  // right-aligned in the column
          const RgbColour c = a.attendee_colours[static_cast<std::size_t>(i)];
          cairo_set_source_rgb(cr_, RedOf(c) / 255.0, GreenOf(c) / 255.0, BlueOf(c) / 255.0);
          cairo_new_path(cr_);
          cairo_arc(cr_, x_ + dots_start + slot * (layout.dot_size + layout.dot_spacing) + radius,
                    y_ + row_top + text_height / 2.0, radius, 0, 2 * G_PI);
          cairo_fill(cr_);
        }
      }
      DrawRowText(cr_, row_font.get(), a.subject, x_ + subject_x, y_ + row_top, width_ - subject_x,
                  layout.row_colour);
    }
  }

 private:
  // The header centred, cut at a character when too wide, with a thin line
  // on either side when there is room.
  void DrawHeader(const GroupLayout& layout, const char* header, int text_height) {
    FontHandle font = PixelFont(layout.header_font_size);
    LayoutPtr text = MakeLayout(cr_, font.get(), header);
    const WidgetSize measured = LogicalPixelSize(text.get());
    offset_ += layout.header_padding;
    const int top = y_ + offset_;

    if (width_ > 0) {
      pango_layout_set_width(text.get(), width_ * PANGO_SCALE);
      pango_layout_set_wrap(text.get(), PANGO_WRAP_CHAR);
      pango_layout_set_alignment(text.get(), PANGO_ALIGN_CENTER);
      cairo_save(cr_);
      cairo_rectangle(cr_, x_, top, width_, measured.height + 1);
      cairo_clip(cr_);
      SetArgb(cr_, layout.header_colour);
      cairo_move_to(cr_, x_, top);
      pango_cairo_show_layout(cr_, text.get());
      cairo_restore(cr_);
    }

    const int tw = static_cast<int>(measured.width + 4);
    if (tw < width_ - 10) {
      const int line_y = top + text_height / 2 - 2;
      const int centre = x_ + width_ / 2;
      SetArgb(cr_, layout.header_colour);
      cairo_rectangle(cr_, x_, line_y, centre - tw / 2 - x_, 1);
      cairo_rectangle(cr_, centre + tw / 2, line_y, x_ + width_ - (centre + tw / 2), 1);
      cairo_fill(cr_);
    }
    offset_ += layout.header_font_size + layout.header_padding;
  }

  cairo_t* cr_;
  const std::vector<Appointment>& appointments_;
  const int x_, y_, width_, height_;  // the inset rectangle
  int offset_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::array<int, 3> AssignGroups(std::vector<Appointment>& appointments, platform::TimePoint now_point) {
  const std::int64_t now = Seconds(now_point);
  const platform::CalendarTime local = platform::ToLocalTime(now_point);
  platform::CalendarTime midnight = local;
  midnight.hour = midnight.minute = midnight.second = midnight.millisecond = 0;
  const std::int64_t today = Seconds(platform::FromLocalTime(midnight));
  midnight.day += 1;
  const std::int64_t tomorrow = Seconds(platform::FromLocalTime(midnight));
  midnight.day += 1;
  const std::int64_t day_after = Seconds(platform::FromLocalTime(midnight));
  const std::int64_t soon = std::min(now + kHour, tomorrow);
  const bool afternoon = local.hour >= kTomorrowFromHour;

  // Half-open: the start is in, the end is out.
  const auto in = [](std::int64_t t, std::int64_t from, std::int64_t to) {
    return t >= from && t < to;
  };
  std::array<int, 3> counts{};
  for (Appointment& a : appointments) {
    const std::int64_t s = a.start;
    if (!a.all_day && in(s, now - kGracePeriod, soon)) {
      a.group = 0;
    } else if (a.all_day && in(s, today, tomorrow)) {
      a.group = 0;
    } else if (!a.all_day && in(s, soon, tomorrow)) {
      a.group = 1;
    } else if (afternoon && a.all_day && in(s, tomorrow, day_after)) {
      a.group = 2;
    } else if (afternoon && !a.all_day && in(s, tomorrow, now + kDay)) {
      a.group = 2;
    } else {
      a.group = -1;
      continue;
    }
    ++counts[static_cast<std::size_t>(a.group)];
  }
  return counts;
}

AppointmentReminders::AppointmentReminders() : AppointmentReminders(AppointmentSnapshot::Instance()) {}

AppointmentReminders::AppointmentReminders(AppointmentSnapshot& snapshot) {
  snapshot.Take(&appointments_);
  Group();
}

AppointmentReminders::AppointmentReminders(std::vector<Appointment> appointments)
    : appointments_(std::move(appointments)) {
  Group();
}

void AppointmentReminders::Group() {
  counts_ = AssignGroups(appointments_, platform::Now());
  valid_ = counts_[0] + counts_[1] + counts_[2] >= 1;
  LogInfo("Valid: %d", valid_ ? 1 : 0);
}

WidgetSize AppointmentReminders::Measure(cairo_t*) {
  if (!valid_) return {};
  const int height = Need(kLayoutLater, counts_[1], counts_[0] > 0) +
                     Need(TomorrowLayout(counts_), counts_[2], true) +
                     counts_[0] * (kLayoutNow.row_spacing + kLayoutNow.row_height) + 10;
  return WidgetSize{kWidth, height};
}

void AppointmentReminders::Draw(cairo_t* cr, int x, int y, int width, int height) {
  if (!valid_ || cr == nullptr) return;
  cairo_save(cr);

  RoundedRectanglePath(cr, x, y, width, height, kCornerRadius);
  PatternPtr gradient(cairo_pattern_create_linear(0, y, 0, y + height));
  cairo_pattern_add_color_stop_rgba(gradient.get(), 0, 0x50 / 255.0, 0x50 / 255.0, 0x50 / 255.0, 1);
  cairo_pattern_add_color_stop_rgba(gradient.get(), 1, 0, 0, 0, 1);
  cairo_set_source(cr, gradient.get());
  cairo_fill(cr);

  GroupPainter painter(cr, appointments_, x, y, width, height);
  if (counts_[0] > 0) painter.DrawGroup(kLayoutNow, nullptr, 0, counts_[0]);
  if (counts_[1] > 0 && !painter.stopped()) {
    painter.DrawGroup(kLayoutLater, counts_[0] > 0 ? kLaterHeader : nullptr, 1, counts_[1]);
  }
  if (counts_[2] > 0 && !painter.stopped()) {
    painter.DrawGroup(TomorrowLayout(counts_), kTomorrowHeader, 2, counts_[2]);
  }
  cairo_restore(cr);
}

std::unique_ptr<ISlideWidget> MakeAppointmentsWidget() {
  auto widget = std::make_unique<AppointmentReminders>();
  if (!widget->valid()) return nullptr;
  return widget;
}

}  // namespace quol::saver
