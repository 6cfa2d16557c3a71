// Test helpers of the x11 tests: a private Xvfb (it picks its own display
// number) and a child process run with a bound on how long it may take.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace quol::testing {

inline pid_t StartChild(const std::vector<std::string>& args, int keep_fd = -1) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  const int null_fd = ::open("/dev/null", O_RDWR);
  ::dup2(null_fd, STDIN_FILENO);
  ::dup2(null_fd, STDOUT_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Runs `args` to its end (killed after `limit`); the exit status, -1 when
// it had to be killed.
inline int RunChild(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const pid_t pid = StartChild(args);
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PrivateXvfb {
 public:
  PrivateXvfb() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = StartChild({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                       "-nolisten", "tcp", "-noreset"},
                      fds[1]);
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~PrivateXvfb() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  PrivateXvfb(const PrivateXvfb&) = delete;
  PrivateXvfb& operator=(const PrivateXvfb&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace quol::testing
