#include "platform/crash/crash_handler.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

// Deep enough to run out of any stack; the volatile keeps the compiler from
// turning it into a loop.
int Recurse(volatile int* depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(*depth);
  if (*depth < 0) return 0;
  *depth = *depth + 1;
  return Recurse(depth) + frame[0];
}

[[noreturn]] void Overflow() {
  volatile int depth = 0;
  const int result = Recurse(&depth);
  std::_Exit(result == 0 ? 0 : 1);  // never reached
}

// A write into the unmapped first page. Not through a null pointer itself:
// the sanitizer builds would report that and end the child their own way.
[[noreturn]] void NullWrite() {
  volatile std::uintptr_t address = 64;
  *reinterpret_cast<volatile int*>(address) = 1;
  std::_Exit(0);
}

[[noreturn]] void Abort() { std::abort(); }

// The same overflow on a worker thread that holds (or lacks) its own
// alternate stack, as the collage builder and the calendar worker do.
void OverflowOnThread(bool with_stack) {
  std::thread worker([with_stack] {
    std::optional<ScopedSignalStack> stack;
    if (with_stack) {
      stack.emplace();
    } else {
      // Sanitizer runtimes give threads a stack of their own: take it away.
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    Overflow();
  });
  worker.join();
  std::_Exit(0);
}
[[noreturn]] void OverflowOnWorkerWithStack() {
  OverflowOnThread(true);
  std::_Exit(0);
}
[[noreturn]] void OverflowOnWorkerWithoutStack() {
  OverflowOnThread(false);
  std::_Exit(0);
}

// Runs `fault` in a child with the handler installed; the signal that ended
// it, or 0 when it did not end by a signal within a generous bound.
int RunCrashingChild(const std::string& dump, void (*fault)()) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    InstallCrashHandler(dump, "QuolScreensaver 9.8.7.6");
    fault();
    std::_Exit(0);
  }
  if (pid < 0) return 0;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(CrashHandlerTest, RecordsTheSignalAndABacktraceThenDiesOfIt) {
  struct Case {
    const char* name;
    void (*fault)();
    int signal_number;
  };
  const Case cases[] = {
      {"stack overflow", &Overflow, SIGSEGV},
      {"stack overflow on a worker thread", &OverflowOnWorkerWithStack, SIGSEGV},
      {"write through null", &NullWrite, SIGSEGV},
      {"abort", &Abort, SIGABRT},
  };
  testing::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dump = dir / (std::string(c.name) + ".dmp");
    // An earlier record stays: the file is appended to.
    testing::WriteFileOrDie(dump, "earlier\n");
    EXPECT_EQ(RunCrashingChild(dump, c.fault), c.signal_number);
    const std::string text = testing::ReadFileOrEmpty(dump);
    const std::string line =
        "earlier\nQuolScreensaver 9.8.7.6: signal " + std::to_string(c.signal_number) + "\n";
    EXPECT_EQ(text.substr(0, line.size()), line) << text;
    // The backtrace follows: one line per frame.
    EXPECT_GT(text.size(), line.size() + 10) << text;
  }
}

TEST(CrashHandlerTest, AWorkerWithoutItsOwnStackDiesUnrecordedOnOverflow) {
  // The other side of the worker case above: the record there comes from
  // the worker's own alternate stack, not from some other thread's.
  testing::TempDir dir;
  const std::string dump = dir / "worker.dmp";
  EXPECT_EQ(RunCrashingChild(dump, &OverflowOnWorkerWithoutStack), SIGSEGV);
  EXPECT_EQ(testing::ReadFileOrEmpty(dump), "");
}

// The alternate stack in force on the calling thread, as sigaltstack tells it.
stack_t CurrentSignalStack() {
  stack_t now{};
  EXPECT_EQ(sigaltstack(nullptr, &now), 0);
  return now;
}

TEST(ScopedSignalStackTest, InstallsForItsLifetimeAndPutsBackWhatWasThere) {
  struct Case {
    const char* name;
    bool outer_stack;  // whether the thread already had one
  };
  const Case cases[] = {{"thread without a stack", false}, {"thread with a stack", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::thread([&c] {
      std::optional<ScopedSignalStack> outer;
      if (c.outer_stack) {
        outer.emplace();
        ASSERT_TRUE(outer->installed());
      }
      const stack_t before = CurrentSignalStack();
      {
        ScopedSignalStack inner;
        ASSERT_TRUE(inner.installed());
        const stack_t during = CurrentSignalStack();
        EXPECT_EQ(during.ss_flags & SS_DISABLE, 0);
        EXPECT_NE(during.ss_sp, before.ss_sp);
        EXPECT_EQ(during.ss_size, ScopedSignalStack::kSize);
      }
      const stack_t after = CurrentSignalStack();
      EXPECT_EQ(after.ss_flags & SS_DISABLE, before.ss_flags & SS_DISABLE);
      if ((before.ss_flags & SS_DISABLE) == 0) {
        EXPECT_EQ(after.ss_sp, before.ss_sp);
        EXPECT_EQ(after.ss_size, before.ss_size);
      }
    }).join();
  }
}

}  // namespace
}  // namespace quol::platform
