#include "service/command_line.h"

#include <charconv>
#include <cstdlib>
#include <optional>

#include "service/markup.h"

namespace quol::service {
namespace {

std::optional<int> ParseInt(const std::string& text, int min, int max) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
    return std::nullopt;
  return value;
}

}  // namespace

std::string DefaultDbPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string folder;
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home != nullptr && home[0] == '/' ? home : "/tmp") + "/.local/state";
  }
  return folder + "/quol-devservice/devservice.sqlite";
}

std::string UsageText() {
  return "Usage: quol-devservice [options]\n"
         "The local stand-in of the Quol family-organizer service (127.0.0.1 only).\n"
         "\n"
         "  --api-port N            API port (default 11110, 0 = any free port)\n"
         "  --web-port N            web application port (default 2175, 0 = any free port)\n"
         "  --db PATH               SQLite state file (default\n"
         "                          $XDG_STATE_HOME/quol-devservice/devservice.sqlite)\n"
         "  --demo                  seed the demo family around the current time and\n"
         "                          print its sign-in\n"
         "  --latest-version V      version offered by the configuration (default 1.0.0.1)\n"
         "  --min-version V         minimum version of the configuration (default 0.0.0.0)\n"
         "  --download-url URL      downloadUrl of the configuration (default: the package\n"
         "                          of the latest version here, /packages/Pkg_1_0_0_1.deb)\n"
         "  --package-dir DIR       serve every file of DIR under /packages/, signed\n"
         "  --public-key-out PATH   write the package signing public key to PATH\n"
         "  --ttl-minutes N         lifetime of sign-in tickets (default 60)\n"
         "  --add-account EMAIL:PASSWORD\n"
         "                          add an account or reset its password (repeatable)\n"
         "  --help                  show this text\n"
         "\n"
         "Prints \"quol-devservice listening api=PORT web=PORT\" once both ports serve.\n"
         "SIGINT or SIGTERM stops it.\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
  CommandLine result;
  result.options.db_path = DefaultDbPath();
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    std::optional<std::string> inline_value;
    if (const auto equals = flag.find('='); flag.starts_with("--") && equals != std::string::npos) {
      inline_value = flag.substr(equals + 1);
      flag.resize(equals);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto no_value = [&]() { return !inline_value.has_value(); };

    if (flag == "--help" || flag == "-h") {
      if (!no_value()) return fail(flag + " takes no value");
      result.help = true;
    } else if (flag == "--demo") {
      if (!no_value()) return fail("--demo takes no value");
      result.demo = true;
    } else if (flag == "--api-port" || flag == "--web-port") {
      auto text = value();
      if (!text) return fail(flag + " needs a port number");
      auto port = ParseInt(*text, 0, 65535);
      if (!port) return fail(flag + ": not a port number (0-65535): " + *text);
      (flag == "--api-port" ? result.options.api_port : result.options.web_port) = *port;
    } else if (flag == "--db") {
      auto text = value();
      if (!text || text->empty()) return fail("--db needs a file path");
      result.options.db_path = *text;
    } else if (flag == "--latest-version" || flag == "--min-version") {
      auto text = value();
      if (!text) return fail(flag + " needs a version");
      if (!IsDottedVersion(*text)) return fail(flag + ": not a version like 1.2.3.4: " + *text);
      (flag == "--latest-version" ? result.options.latest_version : result.options.min_version) =
          *text;
    } else if (flag == "--download-url") {
      auto text = value();
      if (!text || text->empty()) return fail("--download-url needs a URL");
      if (text->size() > kMaxDownloadUrlBytes)
        return fail("--download-url: longer than " + std::to_string(kMaxDownloadUrlBytes) +
                    " bytes");
      result.options.download_url = *text;
    } else if (flag == "--package-dir") {
      auto text = value();
      if (!text || text->empty()) return fail("--package-dir needs a folder");
      result.options.package_dir = *text;
    } else if (flag == "--public-key-out") {
      auto text = value();
      if (!text || text->empty()) return fail("--public-key-out needs a file path");
      result.public_key_out = *text;
    } else if (flag == "--ttl-minutes") {
      auto text = value();
      if (!text) return fail("--ttl-minutes needs a number");
      auto minutes = ParseInt(*text, 1, 525600);
      if (!minutes) return fail("--ttl-minutes: not a number of minutes (1-525600): " + *text);
      result.options.ttl_minutes = *minutes;
    } else if (flag == "--add-account") {
      auto text = value();
      if (!text) return fail("--add-account needs EMAIL:PASSWORD");
      const auto colon = text->find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == text->size())
        return fail("--add-account: expected EMAIL:PASSWORD");
      result.accounts.emplace_back(text->substr(0, colon), text->substr(colon + 1));
    } else {
      return fail("unknown argument: " + args[i]);
    }
  }
  if (result.options.api_port != 0 && result.options.api_port == result.options.web_port)
    return fail("--api-port and --web-port must differ");
  *out = std::move(result);
  return true;
}

}  // namespace quol::service
