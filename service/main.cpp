// quol-devservice: runs the local stand-in of the family-organizer service
// until SIGINT or SIGTERM.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "service/command_line.h"
#include "service/devservice.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Fail(int code, const std::string& why) {
  std::fprintf(stderr, "quol-devservice: %s\n", why.c_str());
  return code;
}

// Writes the public key for scripts and tests to hand to the programs. Mode
// 0644 whatever the umask: it is public, and the reader may be another user.
bool WritePublicKey(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write the public key to " + path + ": " + std::strerror(errno);
    return false;
  }
  int failure = ::fchmod(fd, 0644) == 0 ? 0 : errno;
  for (std::size_t done = 0; failure == 0 && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failure = n < 0 ? errno : EIO;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0)
    *error = "cannot write the public key to " + path + ": " + std::strerror(failure);
  return failure == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quol::service;
  CommandLine command_line;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &command_line, &error))
    return Fail(kExitUsage, error + " (see --help)");
  if (command_line.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }

  // Block the stop signals before any thread starts, so that every thread
  // inherits the mask and only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A client hanging up mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);

  // The default state folder may not exist yet; a folder named with --db
  // must, so that a mistyped path is reported rather than created.
  if (command_line.options.db_path == DefaultDbPath()) {
    const std::string folder =
        command_line.options.db_path.substr(0, command_line.options.db_path.rfind('/'));
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  }
  auto service = DevService::Create(command_line.options, &error);
  if (!service) return Fail(kExitFailure, error);

  for (const auto& [email, password] : command_line.accounts) {
    const std::string id = service->AddAccount(email, password);
    if (id.empty()) return Fail(kExitFailure, "cannot add account " + email);
    std::printf("account %s id=%s\n", email.c_str(), id.c_str());
  }
  if (command_line.demo) {
    const DemoCredentials demo = service->SeedDemo(std::time(nullptr));
    if (demo.account_id.empty()) return Fail(kExitFailure, "cannot seed the demo family");
    std::printf("demo account %s password %s\n", demo.email.c_str(), demo.password.c_str());
  }

  if (!service->Start(&error)) return Fail(kExitFailure, error);
  if (!command_line.public_key_out.empty() &&
      !WritePublicKey(command_line.public_key_out, service->public_key_text(), &error)) {
    return Fail(kExitFailure, error);
  }
  std::printf("quol-devservice listening api=%d web=%d\n", service->api_port(),
              service->web_port());
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&stop_signals, &received) != 0) {
  }
  service->Stop();
  std::fprintf(stderr, "quol-devservice: stopped (signal %d)\n", received);
  return 0;
}
