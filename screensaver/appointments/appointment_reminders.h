// The appointment reminders above the clock: what starts within the hour or
// lasts all day today (group 0, large), what comes later today (group 1,
// "L A T E R") and, from 15:00 on, what comes tomorrow (group 2,
// "T O M O R R O W"). Each row shows the start time, one dot per attendee
// and the subject.
//
// The widget copies the appointments and places them in groups when it is
// made, so a collage keeps showing what was due when it was built.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "platform/clock/clock.h"
#include "screensaver/appointments/appointment.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

class AppointmentSnapshot;

// Sets each appointment's group (0, 1, 2, or -1 when not shown) for `now`
// in local time and returns the number in each group.
std::array<int, 3> AssignGroups(std::vector<Appointment>& appointments, platform::TimePoint now);

class AppointmentReminders : public ISlideWidget {
 public:
  static constexpr int kWidth = 300;

  // Takes a snapshot of the process's appointments (which may start a
  // refresh in the background) and groups them for platform::Now().
  AppointmentReminders();
  // The same with another snapshot.
  explicit AppointmentReminders(AppointmentSnapshot& snapshot);
  // Groups `appointments` for platform::Now(); no snapshot is taken.
  explicit AppointmentReminders(std::vector<Appointment> appointments);

  // At least one appointment is shown.
  bool valid() const { return valid_; }
  int group_count(int group) const { return counts_[static_cast<std::size_t>(group)]; }
  const std::vector<Appointment>& appointments() const { return appointments_; }

  // (300, the height the groups need) when valid, else (0, 0). `cr` may be
  // null; the size does not depend on it.
  WidgetSize Measure(cairo_t* cr) override;
  // The rounded panel with the groups; rows that do not fit end in "...".
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

 private:
  void Group();

  std::vector<Appointment> appointments_;
  std::array<int, 3> counts_{};
  bool valid_ = false;
};

// The widget for a new collage's stack; null when it has nothing to show.
std::unique_ptr<ISlideWidget> MakeAppointmentsWidget();

}  // namespace quol::saver
