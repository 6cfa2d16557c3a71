// quol-devservice: runs the local stand-in of the family-organizer service
// until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <ctime>
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
