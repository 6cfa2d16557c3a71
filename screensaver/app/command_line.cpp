#include "screensaver/app/command_line.h"

#include <cctype>
#include <cstdlib>

#include "platform/text/utf.h"

namespace quol::saver {
namespace {

bool Starts(const std::string& text, const char* prefix) {
  return platform::StartsWithIgnoreCase(text, prefix);
}

// A window id as X tools print it: decimal or 0x hexadecimal.
bool ParseWindowId(const std::string& text, std::uint64_t* id) {
  if (text.empty()) return false;
  char* end = nullptr;
  const bool hex = Starts(text, "0x");
  unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (end == nullptr || *end != '\0' || value == 0 || value > 0xFFFFFFFFull) return false;
  *id = value;
  return true;
}

}  // namespace

const char kSaverUsage[] =
    "Usage: QuolScreensaver [switch] [options]\n"
    "\n"
    "The Quol Collage photo screen saver.\n"
    "\n"
    "Switches (only the first one counts; case does not matter):\n"
    "  /s            run full screen on every monitor (also with no switch)\n"
    "  /p <window>   show the preview in the X window <window> (decimal or 0x hex);\n"
    "                without an existing window, run full screen\n"
    "  /c[:<window>] the settings pages; /w, /e, /ee the other settings modes\n"
    "  /d            debug mode: repeatable layouts, the debug panel, windows that\n"
    "                are not topmost; only Escape, C, D, S and mouse buttons end it\n"
    "\n"
    "Options (as an xscreensaver hack):\n"
    "  -root, --root             draw into the root window (or XSCREENSAVER_WINDOW)\n"
    "  -window-id, --window-id ID draw into the window ID; no grabs, no own windows;\n"
    "                            ends when the window goes away or on SIGTERM\n"
    "  --help                    show this text\n"
    "  --apply-choice N          make the collage the screen saver of everyone (1),\n"
    "                            of the current user only (2) or of nobody (3),\n"
    "                            and end; exit status: accounts not changed\n"
    "\n"
    "Keys while running: Escape ends; Left/Right step through collages; C opens\n"
    "the Quol client; S copies the picture; / opens the settings.\n";

std::uint64_t ParseParentWindow(const std::string& text) {
  if (text.size() <= 3 || text[0] != '/') return 0;
  std::size_t at = 2;
  std::size_t separators = 0;
  while (at < text.size() && separators < 10 &&
         (text[at] == ' ' || text[at] == ':' || text[at] == '=')) {
    ++at;
    ++separators;
  }
  if (separators == 0) return 0;
  const bool hex = Starts(text.substr(at), "0x");
  std::size_t end = at + (hex ? 2 : 0);
  while (end < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[end]))
                                   : std::isdigit(static_cast<unsigned char>(text[end]))) != 0) {
    ++end;
  }
  std::uint64_t id = 0;
  return ParseWindowId(text.substr(at, end - at), &id) ? id : 0;
}

bool ParseSaverCommandLine(const std::vector<std::string>& args, const char* xscreensaver_window,
                           SaverCommandLine* out, std::string* error) {
  *out = SaverCommandLine();
  std::vector<std::string> switches;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string bare = Starts(arg, "--") ? arg.substr(2) : Starts(arg, "-") ? arg.substr(1) : "";
    if (bare.empty() || arg == "-" || arg == "--") {
      switches.push_back(arg);
      continue;
    }
    if (bare == "help" || bare == "h") {
      out->help = true;
    } else if (bare == "root") {
      out->embedded = true;
    } else if (bare == "window-id" || bare.rfind("window-id=", 0) == 0) {
      std::string value;
      if (bare == "window-id") {
        if (i + 1 >= args.size()) {
          *error = "option '" + arg + "' needs a window id";
          return false;
        }
        value = args[++i];
      } else {
        value = bare.substr(10);
      }
      if (!ParseWindowId(value, &out->embed_window)) {
        *error = "'" + value + "' is not a window id (decimal or 0x hex)";
        return false;
      }
      out->embedded = true;
    } else {
      *error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }
  // xscreensaver names the window it wants drawn on in the environment.
  if (xscreensaver_window != nullptr && *xscreensaver_window != '\0' && out->embed_window == 0) {
    std::uint64_t id = 0;
    if (ParseWindowId(xscreensaver_window, &id)) {
      out->embedded = true;
      out->embed_window = id;
    }
  }

  for (std::size_t i = 0; i < switches.size(); ++i) {
    if (i > 0) out->text += " ";
    out->text += switches[i];
  }
  const std::string& t = out->text;
  out->debug = Starts(t, "/d");
  if (Starts(t, "/w")) {
    out->ui_mode = 1;
  } else if (Starts(t, "/ee")) {
    out->ui_mode = 4;
  } else if (Starts(t, "/e")) {
    out->ui_mode = 3;
  } else if (Starts(t, "/c")) {
    out->ui_mode = 2;
  }
  out->preview = Starts(t, "/p");
  out->parent_window = ParseParentWindow(t);
  return true;
}

}  // namespace quol::saver
