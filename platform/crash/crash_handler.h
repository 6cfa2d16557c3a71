// The crash record: on a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) one line "<program> <version>: signal <n>" and a backtrace are
// appended to a file, then the signal's default action runs (a core dump
// where the system keeps them).
//
// The handler runs on an alternate signal stack, so a stack overflow, which
// leaves no room on the thread's own stack, is recorded too. Alternate stacks
// belong to one thread each: InstallCrashHandler gives the installing thread
// (the window thread) one, and every worker thread holds a ScopedSignalStack
// for its lifetime. A thread without one is still recorded when its stack
// has room.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <signal.h>

namespace quol::platform {

// Installs the handler for the process; call once, early, on the main thread.
// `program` heads the record ("QuolScreensaver 1.2.3.4"). Everything the
// handler needs is prepared here: it allocates nothing when it runs.
void InstallCrashHandler(const std::string& dump_path, const std::string& program);

// An alternate signal stack for the calling thread while the object lives;
// the thread's previous alternate stack (if any) is put back at the end.
// Create it first thing in a thread's body and destroy it on the same thread.
class ScopedSignalStack {
 public:
  static constexpr std::size_t kSize = 64 * 1024;

  ScopedSignalStack();
  ~ScopedSignalStack();
  ScopedSignalStack(const ScopedSignalStack&) = delete;
  ScopedSignalStack& operator=(const ScopedSignalStack&) = delete;

  // Whether the stack was installed (false when memory or sigaltstack failed:
  // the thread then runs as it would without one).
  bool installed() const { return installed_; }

 private:
  std::unique_ptr<char[]> memory_;
  stack_t previous_{};
  bool installed_ = false;
};

}  // namespace quol::platform
