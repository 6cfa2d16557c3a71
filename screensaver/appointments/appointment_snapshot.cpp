#include "screensaver/appointments/appointment_snapshot.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"

namespace quol::saver {

struct AppointmentSnapshot::State {
  explicit State(CalendarSources s) : sources(std::move(s)) {}

  const CalendarSources sources;

  // Everything below `lock` is read and written only under it.
  mutable std::mutex lock;
  mutable std::condition_variable idle;
  std::vector<Appointment> appointments;
  bool data_available = false;
  bool in_progress = false;
  std::int64_t last_fetch_start = 0;  // seconds

  // Used only by the running worker (at most one at a time).
  std::unique_ptr<CalendarRequest> request;
};

AppointmentSnapshot::AppointmentSnapshot(CalendarSources sources)
    : state_(std::make_shared<State>(std::move(sources))) {}

AppointmentSnapshot::~AppointmentSnapshot() = default;

AppointmentSnapshot& AppointmentSnapshot::Instance() {
  static AppointmentSnapshot snapshot(CalendarSources::FromProcess());
  return snapshot;
}

void AppointmentSnapshot::RunWorker(const std::shared_ptr<State>& state) {
  if (!state->request) state->request = std::make_unique<CalendarRequest>(state->sources);
  const HRESULT hr = state->request->Fetch();
  std::lock_guard lock(state->lock);
  if (Succeeded(hr)) {
    state->appointments = state->request->appointments();
    state->data_available = true;
  }
  state->in_progress = false;
  state->idle.notify_all();
}

bool AppointmentSnapshot::Take(std::vector<Appointment>* out) {
  out->clear();
  // Read before taking the lock: the configuration has a lock of its own.
  const CalendarSources& sources = state_->sources;
  const int interval = sources.update_interval_minutes ? sources.update_interval_minutes() : 0;
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(platform::Now().time_since_epoch()).count();

  std::lock_guard lock(state_->lock);
  const bool due = !state_->data_available || (now - state_->last_fetch_start) / 60 > interval;
  if (!state_->in_progress && due) {
    state_->last_fetch_start = now;
    state_->in_progress = true;
    try {
      std::thread(&AppointmentSnapshot::RunWorker, state_).detach();
    } catch (const std::system_error& error) {
      state_->in_progress = false;
      LogError("Appointments: no worker thread (%s)", error.what());
    }
  }
  if (state_->data_available) *out = state_->appointments;
  return state_->data_available;
}

bool AppointmentSnapshot::fetch_in_progress() const {
  std::lock_guard lock(state_->lock);
  return state_->in_progress;
}

bool AppointmentSnapshot::WaitUntilIdle(std::chrono::milliseconds bound) const {
  std::unique_lock lock(state_->lock);
  return state_->idle.wait_for(lock, bound, [this] { return !state_->in_progress; });
}

}  // namespace quol::saver
