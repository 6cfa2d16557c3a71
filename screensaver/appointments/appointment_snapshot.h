// The appointments every new collage starts from: the list of the last
// successful calendar call, refreshed in the background.
//
// Taking a snapshot never waits for the network. When a refresh is due
// (nothing fetched successfully yet, or more whole minutes than the
// configured calendar interval since the last one started) and none is
// running, it starts one on a thread of its own and returns what it already
// has. A failed refresh keeps the previous list.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "screensaver/appointments/appointment.h"
#include "screensaver/appointments/calendar_request.h"

namespace quol::saver {

class AppointmentSnapshot {
 public:
  // A snapshot fed by `sources`. The worker keeps its state alive on its
  // own, so destroying the snapshot (or leaving the process) while a
  // refresh runs is safe; the refresh's result is then dropped.
  explicit AppointmentSnapshot(CalendarSources sources);
  ~AppointmentSnapshot();
  AppointmentSnapshot(const AppointmentSnapshot&) = delete;
  AppointmentSnapshot& operator=(const AppointmentSnapshot&) = delete;

  // The process's snapshot, fed by the process's settings and configuration.
  static AppointmentSnapshot& Instance();

  // Clears `out`, starts a refresh when one is due, then copies the list
  // into `out` when there is one. Returns whether a list is available. Any
  // thread; returns at once.
  bool Take(std::vector<Appointment>* out);

  bool fetch_in_progress() const;

  // Waits until no refresh runs, at most `bound`; false when one still runs.
  // For offline renderers (quol-collage) and tests; the screen saver never
  // waits.
  bool WaitUntilIdle(std::chrono::milliseconds bound = std::chrono::seconds(60)) const;

 private:
  struct State;
  static void RunWorker(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};

}  // namespace quol::saver
