#include "platform/crash/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "platform/fs/unique_fd.h"

namespace quol::platform {
namespace {

// Kept ready before anything can go wrong: a crash handler must not allocate.
char g_crash_path[4096];
char g_program[128];
// A stack overflow leaves no room on the thread's own stack; the handler runs
// here instead. backtrace() and snprintf need a few KiB; 64 KiB is plenty.
alignas(16) char g_alternate_stack[ScopedSignalStack::kSize];

void OnFatalSignal(int signal_number) {
  {
    const UniqueFd fd(::open(g_crash_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd) {
      char line[256];
      const int n = std::snprintf(line, sizeof line, "%s: signal %d\n", g_program, signal_number);
      if (n > 0) {
        ssize_t ignored = ::write(fd.get(), line, static_cast<std::size_t>(n) < sizeof line
                                                      ? static_cast<std::size_t>(n)
                                                      : sizeof line - 1);
        (void)ignored;
      }
      void* frames[64];
      const int depth = backtrace(frames, 64);
      backtrace_symbols_fd(frames, depth, fd.get());
    }
  }
  // Then the default action.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void InstallCrashHandler(const std::string& dump_path, const std::string& program) {
  std::snprintf(g_crash_path, sizeof g_crash_path, "%s", dump_path.c_str());
  std::snprintf(g_program, sizeof g_program, "%s", program.c_str());
  // backtrace() loads libgcc on first use: do it now, not inside the handler.
  void* warm[1];
  backtrace(warm, 1);

  stack_t stack{};
  stack.ss_sp = g_alternate_stack;
  stack.ss_size = sizeof g_alternate_stack;
  stack.ss_flags = 0;
  // Should this fail, the main thread's faults are still recorded while its
  // stack has room.
  static_cast<void>(sigaltstack(&stack, nullptr));

  struct sigaction action {};
  action.sa_handler = &OnFatalSignal;
  sigemptyset(&action.sa_mask);
  // SA_ONSTACK only asks for a thread's alternate stack where that thread
  // has one, so it is set even if the main thread's could not be set up:
  // threads holding a ScopedSignalStack rely on it.
  action.sa_flags = SA_RESETHAND | SA_ONSTACK;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &action, nullptr);
}

ScopedSignalStack::ScopedSignalStack() : memory_(new (std::nothrow) char[kSize]) {
  if (!memory_) return;
  stack_t stack{};
  stack.ss_sp = memory_.get();
  stack.ss_size = kSize;
  stack.ss_flags = 0;
  installed_ = sigaltstack(&stack, &previous_) == 0;
  if (!installed_) memory_.reset();
}

ScopedSignalStack::~ScopedSignalStack() {
  if (!installed_) return;
  // The memory may only go once the kernel no longer points at it: put the
  // previous stack back, or switch alternate stacks off if there was none.
  if ((previous_.ss_flags & SS_DISABLE) != 0 || previous_.ss_sp == nullptr) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  } else {
    previous_.ss_flags = 0;
    sigaltstack(&previous_, nullptr);
  }
}

}  // namespace quol::platform
