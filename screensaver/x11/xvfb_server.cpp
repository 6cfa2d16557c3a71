#include "screensaver/x11/xvfb_server.h"

#include <X11/Xutil.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "screensaver/x11/x_display.h"

namespace quol::saver {
namespace {

constexpr int kFirstCandidate = 100;
constexpr int kCandidateSpread = 800;
constexpr int kAttempts = 8;
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool LooksFree(int number) {
  return !Exists("/tmp/.X" + std::to_string(number) + "-lock") &&
         !Exists("/tmp/.X11-unix/X" + std::to_string(number));
}

// Starts `args` with stdout and stderr going to `log_path` (or /dev/null).
// The child gets SIGTERM when this thread ends, so a crashed test leaves no
// server behind.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log_path) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const char* out = log_path.empty() ? "/dev/null" : log_path.c_str();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  }
  const int null_in = ::open("/dev/null", O_RDONLY);
  if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

std::string ReadTail(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  constexpr size_t kMax = 600;
  return all.size() > kMax ? all.substr(all.size() - kMax) : all;
}

// The pid written in the server's lock file, -1 when there is none (yet).
pid_t LockOwner(int number) {
  std::ifstream in("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

// Exit status of `pid` if it has ended, without waiting.
std::optional<int> ReapIfEnded(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunAndWait(const std::vector<std::string>& args) {
  const pid_t pid = Spawn(args, {});
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

XvfbServer::XvfbServer(XvfbOptions options) {
  if (options.two_monitors) {
    options.width = 3200;
    options.height = 1080;
  }
  width_ = options.width;
  height_ = options.height;
  if (::access(kXvfbPath, X_OK) != 0) {
    error_ = std::string(kXvfbPath) + " is missing: install the xvfb package (scripts/setup.sh)";
    return;
  }
  // Test programs run in parallel: start the search at a number that depends
  // on the process, and move on when another server wins the race.
  int number = kFirstCandidate + static_cast<int>(::getpid() % kCandidateSpread);
  std::string why;
  for (int attempt = 0; attempt < kAttempts && pid_ <= 0; ++attempt) {
    while (!LooksFree(number)) ++number;
    if (!StartOn(number, options, &why)) {
      error_ += "display :" + std::to_string(number) + ": " + why + "\n";
      ++number;
    }
  }
  if (pid_ <= 0) {
    error_ = "could not start Xvfb:\n" + error_;
    return;
  }
  error_.clear();
  if (options.two_monitors && !SetUpMonitors(&why)) {
    error_ = "xrandr --setmonitor failed on " + display_name_ + ": " + why;
    Stop();
    return;
  }
  const char* old = std::getenv("DISPLAY");
  if (old != nullptr) old_display_ = old;
  ::setenv("DISPLAY", display_name_.c_str(), 1);
  had_display_ = true;
}

XvfbServer::~XvfbServer() {
  if (had_display_) {
    if (old_display_) {
      ::setenv("DISPLAY", old_display_->c_str(), 1);
    } else {
      ::unsetenv("DISPLAY");
    }
  }
  Stop();
}

bool XvfbServer::StartOn(int number, const XvfbOptions& options, std::string* why) {
  const std::string name = ":" + std::to_string(number);
  const std::string log_path =
      "/tmp/quol-xvfb-" + std::to_string(::getpid()) + "-" + std::to_string(number) + ".log";
  std::vector<std::string> args = {kXvfbPath, name, "-screen", "0",
                                   std::to_string(options.width) + "x" +
                                       std::to_string(options.height) + "x24",
                                   "-noreset", "-nolisten", "tcp"};
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  const pid_t pid = Spawn(args, log_path);
  if (pid < 0) {
    *why = "fork failed";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    if (std::optional<int> status = ReapIfEnded(pid)) {
      *why = "Xvfb exited with status " + std::to_string(*status) + ": " + ReadTail(log_path);
      ::unlink(log_path.c_str());
      return false;
    }
    // Another test program may have started a server on the same number a
    // moment earlier: only a server whose lock file names our child counts.
    if (LockOwner(number) == pid) {
      if (Display* display = XOpenDisplay(name.c_str())) {
        XCloseDisplay(display);
        break;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      *why = "no connection after 15 s: " + ReadTail(log_path);
      ::unlink(log_path.c_str());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::unlink(log_path.c_str());
  pid_ = pid;
  number_ = number;
  display_name_ = name;
  return true;
}

bool XvfbServer::SetUpMonitors(std::string* why) {
  const std::vector<std::vector<std::string>> commands = {
      {kXrandrPath, "-display", display_name_, "--setmonitor", "*LEFT", "1920/508x1080/286+0+0",
       "screen"},
      {kXrandrPath, "-display", display_name_, "--setmonitor", "RIGHT",
       "1280/338x1024/270+1920+0", "none"},
  };
  for (const auto& command : commands) {
    if (::access(kXrandrPath, X_OK) != 0) {
      *why = std::string(kXrandrPath) + " is missing: install x11-xserver-utils";
      return false;
    }
    const int status = RunAndWait(command);
    if (status != 0) {
      *why = command[4] + " exited with " + std::to_string(status);
      return false;
    }
  }
  return true;
}

void XvfbServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (!ReapIfEnded(pid_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void PinLoadedGlDrivers() {
  std::vector<std::string> drivers;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        if (name.find("_dri.so") != std::string::npos) {
          static_cast<std::vector<std::string>*>(data)->push_back(name);
        }
        return 0;
      },
      &drivers);
  for (const std::string& driver : drivers) {
    // NOLOAD: only what is loaded; NODELETE: never unloaded after this. The
    // extra reference is meant to stay.
    dlopen(driver.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

std::optional<std::uint32_t> ReadPixel(Display* display, Drawable drawable, int x, int y) {
  XErrorTrap trap(display);
  XImage* image = XGetImage(display, drawable, x, y, 1, 1, AllPlanes, ZPixmap);
  if (image == nullptr || trap.HasError()) {
    if (image != nullptr) XDestroyImage(image);
    return std::nullopt;
  }
  const unsigned long pixel = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  // Depth 24 TrueColor: masks ff0000 / ff00 / ff.
  return static_cast<std::uint32_t>(pixel & 0xFFFFFFu);
}

}  // namespace quol::saver
