#include "screensaver/appointments/appointment_snapshot.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"
#include "platform/crash/crash_handler.h"

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
  int failures_in_a_row = 0;
  std::int64_t retry_not_before = 0;  // seconds; after a failure
  bool stopped = false;
  // Read by the running HTTP transfer; set once, at shutdown.
  std::atomic<bool> stop{false};

  // Used only by the running worker (at most one at a time).
  std::unique_ptr<CalendarRequest> request;
};

AppointmentSnapshot::AppointmentSnapshot(CalendarSources sources)
    : state_(std::make_shared<State>(std::move(sources))) {}

AppointmentSnapshot::~AppointmentSnapshot() {
  std::lock_guard lock(state_->lock);
  if (!worker_.joinable()) return;
  // A finished worker only has to be joined; one still busy owns the state.
  if (state_->in_progress) {
    state_->stop.store(true);
    worker_.detach();
  } else {
    worker_.join();
  }
}

AppointmentSnapshot& AppointmentSnapshot::Instance() {
  static AppointmentSnapshot snapshot(CalendarSources::FromProcess());
  return snapshot;
}

namespace {

// The wait after `failures` failures in a row: the first wait, doubled for
// each further one, at most `cap` (both in seconds).
std::int64_t RetryDelay(int failures, std::int64_t first, std::int64_t cap) {
  if (first <= 0 || failures <= 0) return 0;
  std::int64_t delay = first;
  for (int i = 1; i < failures && delay < cap; ++i) delay *= 2;
  return std::min(delay, std::max(cap, first));
}

}  // namespace

void AppointmentSnapshot::RunWorker(const std::shared_ptr<State>& state) {
  const platform::ScopedSignalStack crash_stack;  // so a stack overflow here is recorded too
  if (!state->request) {
    state->request = std::make_unique<CalendarRequest>(state->sources);
    state->request->SetStopFlag(&state->stop);
  }
  const HRESULT hr = state->request->Fetch();
  const int first_retry =
      state->sources.first_retry_seconds ? state->sources.first_retry_seconds() : 0;
  const int interval =
      state->sources.update_interval_minutes ? state->sources.update_interval_minutes() : 0;
  std::lock_guard lock(state->lock);
  if (Succeeded(hr)) {
    state->appointments = state->request->appointments();
    state->data_available = true;
    state->failures_in_a_row = 0;
    state->retry_not_before = 0;
  } else {
    ++state->failures_in_a_row;
    state->retry_not_before =
        state->last_fetch_start +
        RetryDelay(state->failures_in_a_row, first_retry, std::int64_t{interval} * 60);
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
  const bool due = (!state_->data_available || (now - state_->last_fetch_start) / 60 > interval) &&
                   now >= state_->retry_not_before;
  if (!state_->in_progress && !state_->stopped && due) {
    state_->last_fetch_start = now;
    state_->in_progress = true;
    try {
      // The previous worker has finished (nothing is in progress): only its
      // thread is left to collect.
      if (worker_.joinable()) worker_.join();
      worker_ = std::thread(&AppointmentSnapshot::RunWorker, state_);
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

void AppointmentSnapshot::RequestStop() {
  std::lock_guard lock(state_->lock);
  state_->stopped = true;
  state_->stop.store(true);
}

bool AppointmentSnapshot::Shutdown(std::chrono::milliseconds bound) {
  RequestStop();
  std::unique_lock lock(state_->lock);
  if (!state_->idle.wait_for(lock, bound, [this] { return !state_->in_progress; })) {
    LogError("Appointments: the calendar call is still busy; leaving it");
    return false;
  }
  if (worker_.joinable()) worker_.join();
  return true;
}

bool AppointmentSnapshot::WaitUntilIdle(std::chrono::milliseconds bound) const {
  std::unique_lock lock(state_->lock);
  return state_->idle.wait_for(lock, bound, [this] { return !state_->in_progress; });
}

}  // namespace quol::saver
