#include "screensaver/app/message_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"

namespace quol::saver {
namespace {

// Written by QuitFromSignal; the loop checks it after every wake-up.
volatile sig_atomic_t g_signal_quit = 0;

}  // namespace

MessageLoop::MessageLoop(Display* display) : display_(display) {
  if (::pipe2(wake_pipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
    wake_pipe_[0] = wake_pipe_[1] = -1;
  }
  g_signal_quit = 0;
}

MessageLoop::~MessageLoop() {
  for (int fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void MessageLoop::AddEventFilter(EventFilter filter) { filters_.push_back(std::move(filter)); }

void MessageLoop::AddIdleHandler(IdleHandler handler) {
  idle_handlers_.push_back(std::move(handler));
}

void MessageLoop::SetTimer(int id, std::chrono::milliseconds interval, TimerHandler handler) {
  interval = std::max(interval, std::chrono::milliseconds(10));
  timers_[id] = Timer{interval, platform::TickMs() + static_cast<std::uint64_t>(interval.count()),
                      std::move(handler)};
}

void MessageLoop::KillTimer(int id) { timers_.erase(id); }

void MessageLoop::PostTimer(int id) {
  posted_timers_.push_back(id);
  Wake();
}

void MessageLoop::PostTask(std::function<void()> task) {
  {
    std::lock_guard lock(tasks_mutex_);
    tasks_.push_back(std::move(task));
  }
  Wake();
}

void MessageLoop::RunPostedTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard lock(tasks_mutex_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) {
    if (quit_) return;
    task();
    idle_active_ = true;
  }
}

void MessageLoop::Quit(int code) {
  quit_ = true;
  exit_code_ = code;
  Wake();
}

void MessageLoop::Wake() {
  if (wake_pipe_[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
    (void)ignored;
  }
}

void MessageLoop::QuitFromSignal() {
  g_signal_quit = 1;
  Wake();
}

bool MessageLoop::RunIdleHandlers() {
  bool more = false;
  for (IdleHandler& handler : idle_handlers_) more = handler() || more;
  return more;
}

void MessageLoop::RunDueTimers() {
  std::vector<int> posted;
  posted.swap(posted_timers_);
  for (int id : posted) {
    auto it = timers_.find(id);
    if (it != timers_.end()) {
      TimerHandler handler = it->second.handler;
      handler(id);
      idle_active_ = true;
    }
  }
  const std::uint64_t now = platform::TickMs();
  std::vector<int> due;
  for (auto& [id, timer] : timers_) {
    if (timer.due_ms <= now) due.push_back(id);
  }
  for (int id : due) {
    auto it = timers_.find(id);
    // Killed, or set again, by an earlier handler of this pass.
    if (it == timers_.end() || it->second.due_ms > now) continue;
    it->second.due_ms = now + static_cast<std::uint64_t>(it->second.interval.count());
    TimerHandler handler = it->second.handler;
    handler(id);
    idle_active_ = true;
    if (quit_) return;
  }
}

int MessageLoop::MillisecondsToNextTimer() const {
  if (!posted_timers_.empty()) return 0;
  if (timers_.empty()) return -1;
  const std::uint64_t now = platform::TickMs();
  std::uint64_t next = UINT64_MAX;
  for (const auto& [id, timer] : timers_) next = std::min(next, timer.due_ms);
  return next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(next - now, 60000));
}

int MessageLoop::Run() {
  while (!quit_ && g_signal_quit == 0) {
    if (display_ != nullptr) {
      while (!quit_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type != MotionNotify && event.type != Expose && event.type != NoExpose) {
          idle_active_ = true;
        }
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
          if ((*it)(event)) break;
        }
      }
    }
    if (quit_) break;
    RunDueTimers();
    if (quit_) break;
    RunPostedTasks();
    if (quit_) break;

    bool more = false;
    if (idle_active_) {
      more = RunIdleHandlers();
      idle_active_ = more;
    }
    if (display_ != nullptr) XFlush(display_);
    if (display_ != nullptr && XPending(display_) > 0) continue;

    pollfd fds[2];
    int count = 0;
    if (display_ != nullptr) fds[count++] = pollfd{ConnectionNumber(display_), POLLIN, 0};
    if (wake_pipe_[0] >= 0) fds[count++] = pollfd{wake_pipe_[0], POLLIN, 0};
    const int timeout = more ? 0 : MillisecondsToNextTimer();
    int ready = ::poll(fds, static_cast<nfds_t>(count), timeout);
    if (ready < 0 && errno != EINTR) {
      LogError("The message loop cannot wait (poll: %d); ending", errno);
      return 1;
    }
    if (wake_pipe_[0] >= 0) {
      char buffer[64];
      while (::read(wake_pipe_[0], buffer, sizeof buffer) > 0) {
      }
    }
    if (display_ != nullptr) {
      for (int i = 0; i < count; ++i) {
        if (fds[i].fd == ConnectionNumber(display_) && (fds[i].revents & (POLLERR | POLLHUP))) {
          LogError("The X connection failed; ending");
          return 1;
        }
      }
    }
  }
  return exit_code_;
}

}  // namespace quol::saver
