// What the screen saver's command line asks for.
//
// The desktop's screen-saver switches come first in the line and are matched
// by prefix, without case: "/s" (or nothing) full screen, "/p <window>"
// preview in a window, "/c[:<window>]" settings, "/w", "/e", "/ee" the other
// settings modes, "/d" debug. Only the start of the line counts. The
// xscreensaver conventions come as options: "-root" / "--root",
// "-window-id ID" / "--window-id ID", and the XSCREENSAVER_WINDOW variable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quol::saver {

struct SaverCommandLine {
  std::string text;        // the arguments joined by blanks ("null" in logs when empty)
  bool debug = false;      // "/d"
  int ui_mode = 0;         // 1 "/w", 4 "/ee", 3 "/e", 2 "/c", else 0
  bool preview = false;    // "/p"
  std::uint64_t parent_window = 0;  // from "/x<sep><id>"; still to be checked
  // Draw into an existing window (xscreensaver): no grabs, no own windows.
  bool embedded = false;
  std::uint64_t embed_window = 0;   // 0 with `embedded`: the root window
  bool help = false;
};

// Parses the arguments (without the program name). Returns false with a
// one-line reason for options it does not know or that lack their value.
bool ParseSaverCommandLine(const std::vector<std::string>& args, const char* xscreensaver_window,
                           SaverCommandLine* out, std::string* error);

// The window id of "/p 1234", "/c:1234", "/p=1234": the switch letter, up to
// ten blanks, colons or equals signs, then the id (decimal, or 0x hex). 0 when
// there is none.
std::uint64_t ParseParentWindow(const std::string& text);

extern const char kSaverUsage[];

}  // namespace quol::saver
