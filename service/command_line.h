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
  // Where the package signing public key is written before the listening
  // line (empty: nowhere).
  std::string public_key_out;
  std::vector<std::pair<std::string, std::string>> accounts;  // e-mail, password
};

// The state file when --db is not given: devservice.sqlite in
// ${XDG_STATE_HOME:-$HOME/.local/state}/quol-devservice, never the working
// folder (a checkout would collect state files). The caller creates the
// folder (see DefaultDbFolderFor).
std::string DefaultDbPath();

// Parses argv[1..]. False with a one-line reason on a wrong command line.
// Flags take their value as the next argument or after "=".
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

std::string UsageText();

}  // namespace quol::service
