// The appointments every new collage starts from: the list of the last
// successful calendar call, refreshed in the background.
//
// Taking a snapshot never waits for the network. When a refresh is due
// (nothing fetched successfully yet, or more whole minutes than the
// configured calendar interval since the last one started) and none is
// running, it starts one on a thread of its own and returns what it already
// has. A failed refresh keeps the previous list, and the next try waits:
// one collage interval after the first failure, twice that after the
// second, and so on up to the calendar interval; a success starts over.
//
// Take() is called on the collage builder thread, the rest on the window
// thread; the refresh runs on a worker thread of its own.
#pragma once

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "screensaver/appointments/appointment.h"
#include "screensaver/appointments/calendar_request.h"

namespace quol::saver {

class AppointmentSnapshot {
 public:
  // A snapshot fed by `sources`. The worker keeps its state alive on its
  // own, so destroying the snapshot while a refresh runs is safe; the
  // refresh's result is then dropped. What `sources` refers to must outlive
  // a refresh that is left running (see Shutdown).
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

  // Ends the refreshes: a running one is told to give up (its HTTP transfer
  // stops soon) and no new one starts. Returns at once.
  void RequestStop();
  // RequestStop(), then waits at most `bound` for a running refresh and
  // joins its thread. False when it still runs: it is left behind, and
  // the process must then end without destroying what the sources use.
  bool Shutdown(std::chrono::milliseconds bound);

  // Waits until no refresh runs, at most `bound`; false when one still runs.
  // For offline renderers (quol-collage) and tests; the screen saver never
  // waits.
  bool WaitUntilIdle(std::chrono::milliseconds bound = std::chrono::seconds(60)) const;

 private:
  struct State;
  static void RunWorker(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread worker_;  // under the state's lock
};

}  // namespace quol::saver
