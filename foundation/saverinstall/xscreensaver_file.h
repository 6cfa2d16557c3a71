// Reading and editing one ~/.xscreensaver without disturbing anything else in
// it. No file access here: text in, text out, so every case is a table row.
//
// The file is `key:<blanks>value` lines, `#`/`!` comments, a trailing
// backslash continuing a line. The value of `programs:` is a list of
// entries ended by the two characters `\n`; an entry is
// `[-] [VISUAL:] ["Pretty Name"] command args` with sh quoting. The active
// saver is, with `mode: one`, the program (first word of the command) of the
// entry `selected:` points at (0-based, into this file's own list).
//
// Turning ours on touches only the `mode:` and `selected:` values, appends
// our entry when it is missing and adds `timeout:` when it is missing; what
// was there before goes into an XsBackup that the caller keeps elsewhere.
// Turning off with that backup gives back the original bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quol::saverinstall {

// Files larger than this are not ours to edit; callers leave them alone.
inline constexpr std::size_t kMaxXscreensaverFileBytes = std::size_t{1} << 20;
// At most this many `programs:` entries are looked at.
inline constexpr std::size_t kMaxXscreensaverEntries = 20000;
// What `timeout:` is set to when the file has none (the daemon's own default
// without the key is ten hours).
inline constexpr char kDefaultXscreensaverTimeout[] = "0:10:00";
// The name our entry shows in the desktop's saver list.
inline constexpr char kOurPrettyName[] = "Quol Collage";

struct XsEntry {
  bool hidden = false;   // a leading "-": left out of random mode
  std::string visual;    // "GL" for "GL:", empty when none
  std::string name;      // the "Pretty Name", unquoted
  std::string program;   // first word of the command, sh-unquoted
  std::string command;   // the command's words, sh-unquoted, joined by one space
};

// What turning on found before it changed the file.
struct XsBackup {
  std::string old_command;                   // command of programs[selected], "" when none
  std::optional<std::string> previous_mode;  // the raw value; nullopt: no `mode:` line
  std::optional<std::string> previous_selected;
  enum class Added { kNothing, kEntry, kProgramsLine };
  Added added = Added::kNothing;  // what we added to `programs:`
  bool added_timeout = false;
  bool created_file = false;
};

// The entries of the `programs:` list, in order (blank entries skipped).
std::vector<XsEntry> ParseXscreensaverPrograms(std::string_view file);
// The raw value of `key` ("mode", "selected"...), nullopt without the key.
std::optional<std::string> XscreensaverValue(std::string_view file, std::string_view key);
// The active saver's program, "" when the mode is not `one` or `selected:`
// points at no entry.
std::string ActiveXscreensaverProgram(std::string_view file);

// Quotes `word` for sh when it needs it.
std::string ShellQuote(std::string_view word);
// Our entry's text: "Quol Collage" <path> --root.
std::string OurXscreensaverEntry(const std::string& our_path);

struct XsTurnOn {
  std::string text;               // the new file
  std::optional<XsBackup> backup; // set when ours was not already active
};
// `file` nullopt: there is no file (one is made).
XsTurnOn TurnOnInXscreensaverFile(const std::optional<std::string>& file, const std::string& our_path);

struct XsTurnOff {
  std::string text;
  bool remove_file = false;  // the file was ours from the start
};
// Restores what `backup` describes; without one the saver is switched off
// (`mode: off`). A file whose active saver is not `our_path` comes back as it is.
XsTurnOff TurnOffInXscreensaverFile(const std::string& file, const std::string& our_path,
                                    const std::optional<XsBackup>& backup);

}  // namespace quol::saverinstall
