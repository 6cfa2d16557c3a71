#include "client/app/command_line.h"

#include <cctype>

#include "platform/text/utf.h"

namespace quol::client {

const char kClientUsage[] =
    "Usage: QuolDevuzez [URL | /s | /n PATH | /w | /c [WINDOW] | /e [WINDOW] | /ee]\n"
    "\n"
    "Without a switch the desktop client opens the Quol web application.\n"
    "  URL        open this address instead of the home page (service addresses only)\n"
    "  /s         started from the screen saver\n"
    "  /n PATH    open PATH of the web application; a running client opens it instead\n"
    "  /w [WIN]   the screen saver's setup wizard, then exit\n"
    "  /c [WIN]   the screen saver's settings, then exit\n"
    "  /e [WIN]   choose who gets the collage as screen saver, then exit\n"
    "  /ee        make the collage the screen saver of every account, then exit\n"
    "  --help     this text\n"
    "WIN is an X window id in decimal (\"/c 4242\", \"/c:4242\"); the dialog is kept\n"
    "over that window when it exists.\n"
    "\n"
    "Environment: DevuzezClientMode=local (the service stand-in on this machine),\n"
    "QUOL_DATA_DIR, QUOL_REGISTRY_DIR (see client/README.md).\n";

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc && text.size() < kMaxArgumentTextLength; ++i) {
    if (i > 1) text += ' ';
    text += argv[i] != nullptr ? argv[i] : "";
  }
  if (text.size() > kMaxArgumentTextLength) text.resize(kMaxArgumentTextLength);
  return text;
}

int DecideMode(const std::string& argument_text) {
  using platform::StartsWithIgnoreCase;
  if (StartsWithIgnoreCase(argument_text, "/w")) return kModeWizard;
  if (StartsWithIgnoreCase(argument_text, "/ee")) return kModeAllUsersSaver;
  if (StartsWithIgnoreCase(argument_text, "/e")) return kModeSetSaver;
  if (StartsWithIgnoreCase(argument_text, "/c")) return kModeSettings;
  return kModeClient;
}

unsigned long ParseParentWindow(const std::string& text) {
  if (text.size() < 4 || text[0] != '/') return 0;
  std::size_t at = 2;
  while (at < text.size() && (text[at] == ' ' || text[at] == ':' || text[at] == '=')) ++at;
  std::uint64_t value = 0;
  std::size_t digits = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
    if (++digits > 10) return 0;
    value = value * 10 + static_cast<unsigned>(text[at] - '0');
    ++at;
  }
  if (digits == 0 || value > 0xFFFFFFFFull) return 0;
  return static_cast<unsigned long>(value);
}

ClientArguments ReadClientArguments(const std::vector<std::string>& args,
                                    const std::function<bool(const std::string&)>& is_safe_url) {
  using platform::StartsWithIgnoreCase;
  ClientArguments out;
  if (args.empty()) return out;
  const std::string& first = args[0];
  if (first.empty() || first[0] != '/') {
    if (!first.empty() && is_safe_url && is_safe_url(first)) out.start_url = first;
  } else if (StartsWithIgnoreCase(first, "/s")) {
    out.from_screensaver = true;
  } else if (StartsWithIgnoreCase(first, "/n")) {
    if (args.size() >= 2 && !args[1].empty() && args[1][0] != '/' &&
        args[1].size() < kMaxStartPathLength) {
      out.start_path_flag = true;
      out.start_path = "/" + args[1];
    }
  }
  return out;
}

}  // namespace quol::client
