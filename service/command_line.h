// The command line of quol-devservice.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "service/devservice.h"

namespace quol::service {

struct CommandLine {
  DevServiceOptions options;
  bool demo = false;
  bool help = false;
  std::vector<std::pair<std::string, std::string>> accounts;  // e-mail, password
};

inline constexpr char kDefaultDbPath[] = "devservice.sqlite";

// Parses argv[1..]. False with a one-line reason on a wrong command line.
// Flags take their value as the next argument or after "=".
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

std::string UsageText();

}  // namespace quol::service
