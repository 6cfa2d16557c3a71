// GTK test programs on a private Xvfb: one server per test program (GTK opens
// its display once per process), found through -displayfd so test programs
// run side by side never race for a display number. Programs the tests start
// inherit DISPLAY. Header only: include it from test programs that link GTK.
//
//   [[maybe_unused]] ::testing::Environment* const kXvfb =
//       ::testing::AddGlobalTestEnvironment(new quol::testing::GtkXvfbEnvironment);
//   ... ASSERT_TRUE(GtkXvfbEnvironment::error().empty()) << GtkXvfbEnvironment::error();
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace quol::testing {

class GtkXvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      error_ = "/usr/bin/Xvfb is missing (scripts/setup.sh)";
      return;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
      error_ = "no pipe for Xvfb";
      return;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::close(fds[0]);
      const int null_fd = ::open("/dev/null", O_RDWR);
      ::dup2(null_fd, STDIN_FILENO);
      ::dup2(null_fd, STDOUT_FILENO);
      ::dup2(null_fd, STDERR_FILENO);
      const std::string fd = std::to_string(fds[1]);
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
              "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(fds[0]);
    if (number.empty()) {
      error_ = "Xvfb did not start";
      return;
    }
    display_ = ":" + number;
    ::setenv("DISPLAY", display_.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("GDK_BACKEND", "x11", 1);
    ::setenv("GTK_THEME", "Adwaita", 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    ::setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) error_ = "GTK cannot open " + display_;
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Empty when the server and GTK are up.
  static const std::string& error() { return error_; }
  static const std::string& display() { return display_; }

 private:
  pid_t pid_ = -1;
  static inline std::string error_;
  static inline std::string display_;
};

// Runs what the main loop has ready now.
inline void PumpGtk() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

// Runs the main loop until `done`; false after `bound` (a liveness bound,
// not a timing check).
template <typename F>
bool PumpGtkUntil(F done, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + bound;
  for (;;) {
    PumpGtk();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace quol::testing
