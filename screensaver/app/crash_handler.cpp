#include "screensaver/app/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace quol::saver {
namespace {

// Kept ready before anything can go wrong: a crash handler must not allocate.
char g_crash_path[4096];
char g_program[128];
// A stack overflow leaves no room on the thread's own stack; the handler runs
// here instead. backtrace() and snprintf need a few KiB; 64 KiB is plenty.
alignas(16) char g_alternate_stack[64 * 1024];

void OnFatalSignal(int signal_number) {
  const int fd = ::open(g_crash_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, "%s: signal %d\n", g_program, signal_number);
    if (n > 0) {
      ssize_t ignored = ::write(fd, line, static_cast<std::size_t>(n) < sizeof line
                                              ? static_cast<std::size_t>(n)
                                              : sizeof line - 1);
      (void)ignored;
    }
    void* frames[64];
    const int depth = backtrace(frames, 64);
    backtrace_symbols_fd(frames, depth, fd);
    ::close(fd);
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
  const bool have_stack = sigaltstack(&stack, nullptr) == 0;

  struct sigaction action {};
  action.sa_handler = &OnFatalSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | (have_stack ? SA_ONSTACK : 0);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &action, nullptr);
}

}  // namespace quol::saver
