// The window thread's loop: X events, timers and idle work, on one poll().
//
// While nothing is waiting, the idle handlers run; as long as any of them
// has more to do (a fade in progress), they are called again without
// waiting. After any event other than pointer motion and exposure, or a
// timer, idle processing starts again. Event filters see each X event, the
// last added first, until one takes it.
//
// Everything here is called on the window thread (the one that runs Run()),
// except where a method says otherwise.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace quol::saver {

class MessageLoop {
 public:
  using EventFilter = std::function<bool(XEvent& event)>;
  using IdleHandler = std::function<bool()>;
  using TimerHandler = std::function<void(int id)>;

  // `display` may be null (a loop of timers only, for tests).
  explicit MessageLoop(Display* display);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  void AddEventFilter(EventFilter filter);
  void AddIdleHandler(IdleHandler handler);
  // A repeating timer; setting an id again restarts it.
  void SetTimer(int id, std::chrono::milliseconds interval, TimerHandler handler);
  void KillTimer(int id);
  bool HasTimer(int id) const { return timers_.count(id) != 0; }
  // The interval a timer was set with; zero when it is not set.
  std::chrono::milliseconds TimerInterval(int id) const {
    auto it = timers_.find(id);
    return it == timers_.end() ? std::chrono::milliseconds(0) : it->second.interval;
  }
  // Runs the timer's handler once from the loop, as soon as possible.
  void PostTimer(int id);

  // Runs `task` on the window thread soon, after the current dispatch. Any
  // thread. Tasks still queued when the loop ends are dropped unrun.
  void PostTask(std::function<void()> task);

  // Ends Run() with `code` once the current dispatch returns.
  void Quit(int code);
  // Makes a sleeping loop look again; safe from other threads and signal
  // handlers.
  void Wake();
  // Ends the loop from a signal handler (SIGTERM): async-signal-safe.
  void QuitFromSignal();

  // Until Quit(), a signal, or the X connection failing: then, like a
  // failing poll(), with a non-zero code.
  int Run();

 private:
  struct Timer {
    std::chrono::milliseconds interval;
    std::uint64_t due_ms;
    TimerHandler handler;
  };
  bool RunIdleHandlers();
  void RunPostedTasks();
  void RunDueTimers();
  int MillisecondsToNextTimer() const;

  Display* display_;
  std::vector<EventFilter> filters_;
  std::vector<IdleHandler> idle_handlers_;
  std::map<int, Timer> timers_;
  std::vector<int> posted_timers_;
  std::mutex tasks_mutex_;
  std::vector<std::function<void()>> tasks_;  // under tasks_mutex_
  bool idle_active_ = true;
  bool quit_ = false;
  int exit_code_ = 0;
  int wake_pipe_[2] = {-1, -1};
};

}  // namespace quol::saver
