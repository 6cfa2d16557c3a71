// What QuolDevuzez's command line asks for.
//
// The mode is decided from the raw argument text (argv[1..] joined by single
// blanks) by prefix, without case, in this order: "/w" wizard, "/ee" the
// collage for every account, "/e" the set-screen-saver dialog, "/c"
// settings, anything else the client. "/e" before "/c" and "/ee" before
// "/e" matter: "/example" is the set-saver mode, "/EE" the all-users one.
//
// Only the client (and a second start with "/n") reads the argument list:
// a safe URL replaces the start URL, "/s" marks a start from the screen
// saver, "/n PATH" opens PATH of the web application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quol::client {

enum ProgramMode : int {
  kModeClient = 0,
  kModeWizard = 1,
  kModeSettings = 2,
  kModeSetSaver = 3,
  kModeAllUsersSaver = 4,
};

// Longer argument texts are cut here: nothing the program takes is longer,
// and the mode only looks at the first characters.
inline constexpr std::size_t kMaxArgumentTextLength = 8192;
// A start path longer than this is no path of the web application.
inline constexpr std::size_t kMaxStartPathLength = 2048;

// argv[1..argc-1] joined by single blanks (bounded).
std::string JoinArguments(int argc, const char* const* argv);

int DecideMode(const std::string& argument_text);

// The parent window of "/e 4242", "/c:4242", "/w=4242": the text begins with
// "/" and has at least 4 characters; after the switch letter a run of
// blanks, ":" or "=", then a decimal number (at most 10 digits, at most
// 0xFFFFFFFF). 0 when there is none. Whether it names a window is checked
// later, on the display.
unsigned long ParseParentWindow(const std::string& argument_text);

struct ClientArguments {
  std::string start_url;   // a safe URL given as argument 1 (empty: none)
  bool from_screensaver = false;  // argument 1 begins with "/s"
  bool start_path_flag = false;   // "/n PATH"
  std::string start_path;         // "/" + PATH
};

// Reads argument 1 and 2 as the client does. `is_safe_url` judges a URL
// argument (the URL policy with the unsafe-host check on).
ClientArguments ReadClientArguments(const std::vector<std::string>& args,
                                    const std::function<bool(const std::string&)>& is_safe_url);

extern const char kClientUsage[];

}  // namespace quol::client
