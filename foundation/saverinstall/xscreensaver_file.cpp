#include "foundation/saverinstall/xscreensaver_file.h"

#include <cctype>
#include <charconv>

namespace quol::saverinstall {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// One logical line: physical lines joined by trailing backslashes.
struct Line {
  std::size_t begin = 0;
  std::size_t end = 0;          // past the terminating '\n' (if any)
  bool terminated = false;      // ends with an unescaped '\n'
  std::string key;              // empty for comments and blank lines
  std::size_t value_begin = 0;  // raw value, trailing blanks trimmed
  std::size_t value_end = 0;
};

// An odd run of backslashes right before `pos` escapes what is at `pos`.
bool Escaped(std::string_view text, std::size_t pos) {
  std::size_t run = 0;
  while (pos > run && text[pos - run - 1] == '\\') ++run;
  return run % 2 == 1;
}

// Skips blanks and backslash-newline continuations.
std::size_t SkipSpace(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end) {
    if (IsBlank(text[pos])) {
      ++pos;
    } else if (text[pos] == '\\' && pos + 1 < end && text[pos + 1] == '\n') {
      pos += 2;
    } else {
      break;
    }
  }
  return pos;
}

// Moves `end` back over blanks and continuations.
std::size_t TrimBack(std::string_view text, std::size_t begin, std::size_t end) {
  while (end > begin) {
    if (IsBlank(text[end - 1]) || text[end - 1] == '\n') {
      // A newline inside a value is always part of a continuation.
      if (text[end - 1] == '\n' && end - 1 > begin && text[end - 2] == '\\') {
        end -= 2;
      } else {
        --end;
      }
    } else {
      break;
    }
  }
  return end;
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    std::size_t first = pos;
    while (first < text.size() && IsBlank(text[first])) ++first;
    const bool comment = first < text.size() && (text[first] == '#' || text[first] == '!');
    std::size_t end = pos;
    for (;;) {
      std::size_t nl = text.find('\n', end);
      if (nl == std::string_view::npos) {
        end = text.size();
        break;
      }
      end = nl + 1;
      if (comment || !Escaped(text, nl)) {
        line.terminated = true;
        break;
      }
    }
    line.end = end;
    if (!comment) {
      std::size_t k = first;
      while (k < end && text[k] != ':' && !IsBlank(text[k]) && text[k] != '\n' && text[k] != '\\') ++k;
      if (k < end && k > first && text[k] == ':') {
        line.key.assign(text.substr(first, k - first));
        const std::size_t content_end = line.terminated ? end - 1 : end;
        line.value_begin = SkipSpace(text, k + 1, content_end);
        line.value_end = std::max(line.value_begin, TrimBack(text, line.value_begin, content_end));
      }
    }
    lines.push_back(std::move(line));
    pos = end;
  }
  return lines;
}

bool KeyIs(const Line& line, std::string_view key) {
  if (line.key.size() != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line.key[i])) !=
        std::tolower(static_cast<unsigned char>(key[i])))
      return false;
  }
  return true;
}

const Line* FindKey(const std::vector<Line>& lines, std::string_view key) {
  // The last one wins, as when the daemon reads the file.
  const Line* found = nullptr;
  for (const Line& line : lines)
    if (KeyIs(line, key)) found = &line;
  return found;
}

// An entry of `programs:` with its raw place in the file.
struct RawEntry {
  std::size_t begin = 0;
  std::size_t end = 0;
  XsEntry entry;
};

// Splits sh words: quotes and backslashes as sh reads them, no expansion.
std::vector<std::string> ShellWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size()) break;
    std::string word;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
      const char c = text[i];
      if (c == '\'') {
        std::size_t close = text.find('\'', i + 1);
        if (close == std::string_view::npos) close = text.size();
        word.append(text.substr(i + 1, close - i - 1));
        i = std::min(text.size(), close + 1);
      } else if (c == '"') {
        ++i;
        while (i < text.size() && text[i] != '"') {
          if (text[i] == '\\' && i + 1 < text.size() &&
              std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos)
            ++i;
          word.push_back(text[i++]);
        }
        ++i;
      } else if (c == '\\' && i + 1 < text.size()) {
        word.push_back(text[i + 1]);
        i += 2;
      } else {
        word.push_back(c);
        ++i;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

bool IsVisualWord(std::string_view word) {
  if (word.size() < 2 || word.back() != ':') return false;
  for (char c : word.substr(0, word.size() - 1))
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

XsEntry ParseEntry(std::string_view raw) {
  // Continuations inside an entry are only line breaks of the file.
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '\n') {
      ++i;
      text.push_back(' ');
    } else {
      text.push_back(raw[i]);
    }
  }
  XsEntry entry;
  std::string_view rest = text;
  auto skip = [&rest] {
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
  };
  skip();
  if (!rest.empty() && rest.front() == '-') {
    entry.hidden = true;
    rest.remove_prefix(1);
    skip();
  }
  std::size_t word_end = 0;
  while (word_end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[word_end]))) ++word_end;
  if (IsVisualWord(rest.substr(0, word_end))) {
    entry.visual.assign(rest.substr(0, word_end - 1));
    rest.remove_prefix(word_end);
    skip();
  }
  if (!rest.empty() && rest.front() == '"') {
    std::size_t close = rest.find('"', 1);
    if (close != std::string_view::npos) {
      entry.name.assign(rest.substr(1, close - 1));
      rest.remove_prefix(close + 1);
      skip();
    }
  }
  std::vector<std::string> words = ShellWords(rest);
  if (!words.empty()) entry.program = words.front();
  for (const std::string& word : words) {
    if (!entry.command.empty()) entry.command.push_back(' ');
    entry.command += word;
  }
  return entry;
}

std::vector<RawEntry> ProgramEntries(std::string_view text, const Line& line) {
  std::vector<RawEntry> entries;
  std::size_t pos = line.value_begin;
  const std::size_t end = line.value_end;
  while (pos <= end && entries.size() < kMaxXscreensaverEntries) {
    std::size_t chunk_end = pos;
    while (chunk_end < end) {
      if (text[chunk_end] == '\\' && chunk_end + 1 < end) {
        if (text[chunk_end + 1] == 'n') break;
        chunk_end += 2;
      } else {
        ++chunk_end;
      }
    }
    const std::size_t begin = SkipSpace(text, pos, chunk_end);
    const std::size_t stop = std::max(begin, TrimBack(text, begin, chunk_end));
    if (begin < stop) {
      XsEntry entry = ParseEntry(text.substr(begin, stop - begin));
      if (!entry.command.empty()) entries.push_back({begin, stop, std::move(entry)});
    }
    if (chunk_end >= end) break;
    pos = chunk_end + 2;  // past "\n"
  }
  return entries;
}

std::vector<RawEntry> ProgramEntries(std::string_view text) {
  std::vector<Line> lines = SplitLines(text);
  const Line* programs = FindKey(lines, "programs");
  return programs != nullptr ? ProgramEntries(text, *programs) : std::vector<RawEntry>{};
}

std::optional<long> ParseIndex(std::string_view value) {
  long index = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(first, last, index);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return index;
}

// Where new key lines go: after the last line that ends cleanly, so a line
// that continues at the end of the file never swallows them.
std::size_t InsertPoint(const std::vector<Line>& lines) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (it->terminated) return it->end;
  return 0;
}

std::string ValueLine(std::string_view key, std::string_view value) {
  // The layout the desktop's settings dialog writes: values line up at the
  // second tab stop.
  std::string line(key);
  line += ':';
  line += key.size() + 1 < 8 ? "\t\t" : "\t";
  line += value;
  line += '\n';
  return line;
}

// Sets `key` to `value`, replacing only the value's bytes; adds the line
// when there is none.
void SetValue(std::string* text, std::string_view key, std::string_view value) {
  std::vector<Line> lines = SplitLines(*text);
  if (const Line* line = FindKey(lines, key)) {
    text->replace(line->value_begin, line->value_end - line->value_begin, value);
  } else {
    text->insert(InsertPoint(lines), ValueLine(key, value));
  }
}

void RemoveKey(std::string* text, std::string_view key) {
  std::vector<Line> lines = SplitLines(*text);
  if (const Line* line = FindKey(lines, key)) text->erase(line->begin, line->end - line->begin);
}

// The leading blanks of the line holding `pos`.
std::string IndentAt(std::string_view text, std::size_t pos) {
  std::size_t start = text.rfind('\n', pos == 0 ? 0 : pos - 1);
  start = (start == std::string_view::npos || pos == 0) ? 0 : start + 1;
  std::size_t stop = start;
  while (stop < text.size() && IsBlank(text[stop])) ++stop;
  return std::string(text.substr(start, stop - start));
}

// Appends our entry after the last one, in the file's own continuation
// style; the inserted bytes are exactly what RemoveEntry takes out again.
XsBackup::Added AppendEntry(std::string* text, const std::string& our_path) {
  std::vector<Line> lines = SplitLines(*text);
  const Line* programs = FindKey(lines, "programs");
  const std::string entry = OurXscreensaverEntry(our_path);
  if (programs == nullptr) {
    text->insert(InsertPoint(lines), ValueLine("programs", entry));
    return XsBackup::Added::kProgramsLine;
  }
  std::vector<RawEntry> entries = ProgramEntries(*text, *programs);
  if (entries.empty()) {
    text->insert(programs->value_begin, entry);
    return XsBackup::Added::kEntry;
  }
  std::string indent;
  for (auto it = entries.rbegin(); it != entries.rend() && indent.empty(); ++it)
    indent = IndentAt(*text, it->begin);
  if (indent.empty()) indent = "  ";
  text->insert(entries.back().end, "\\n\\\n" + indent + entry);
  return XsBackup::Added::kEntry;
}

// Removes entry `index` together with the separator before it (or after it
// when it is the first), so the list reads as if it had never been there.
void RemoveEntry(std::string* text, std::size_t index) {
  std::vector<RawEntry> entries = ProgramEntries(*text);
  if (index >= entries.size()) return;
  std::size_t begin = entries[index].begin;
  std::size_t end = entries[index].end;
  if (index > 0) {
    begin = entries[index - 1].end;
  } else if (entries.size() > 1) {
    end = entries[1].begin;
  }
  text->erase(begin, end - begin);
}

std::optional<std::size_t> OurIndex(const std::vector<RawEntry>& entries, const std::string& our_path,
                                    std::optional<long> prefer) {
  if (prefer && *prefer >= 0 && static_cast<std::size_t>(*prefer) < entries.size() &&
      entries[static_cast<std::size_t>(*prefer)].entry.program == our_path)
    return static_cast<std::size_t>(*prefer);
  for (std::size_t i = entries.size(); i-- > 0;)
    if (entries[i].entry.program == our_path) return i;
  return std::nullopt;
}

}  // namespace

std::vector<XsEntry> ParseXscreensaverPrograms(std::string_view file) {
  std::vector<XsEntry> result;
  for (RawEntry& raw : ProgramEntries(file)) result.push_back(std::move(raw.entry));
  return result;
}

std::optional<std::string> XscreensaverValue(std::string_view file, std::string_view key) {
  std::vector<Line> lines = SplitLines(file);
  const Line* line = FindKey(lines, key);
  if (line == nullptr) return std::nullopt;
  return std::string(file.substr(line->value_begin, line->value_end - line->value_begin));
}

std::string ActiveXscreensaverProgram(std::string_view file) {
  std::optional<std::string> mode = XscreensaverValue(file, "mode");
  std::optional<std::string> selected = XscreensaverValue(file, "selected");
  if (!mode || *mode != "one" || !selected) return {};
  std::optional<long> index = ParseIndex(*selected);
  std::vector<RawEntry> entries = ProgramEntries(file);
  if (!index || *index < 0 || static_cast<std::size_t>(*index) >= entries.size()) return {};
  return entries[static_cast<std::size_t>(*index)].entry.program;
}

std::string ShellQuote(std::string_view word) {
  bool plain = !word.empty();
  for (char c : word)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string_view("/._-+=,:@%").find(c) == std::string_view::npos)
      plain = false;
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  quoted += "'";
  return quoted;
}

std::string OurXscreensaverEntry(const std::string& our_path) {
  return std::string("\"") + kOurPrettyName + "\" " + ShellQuote(our_path) + " --root";
}

XsTurnOn TurnOnInXscreensaverFile(const std::optional<std::string>& file, const std::string& our_path) {
  XsTurnOn result;
  if (!file) {
    XsBackup backup;
    backup.created_file = true;
    result.text = "# The Quol Collage screen saver, made for this account.\n" +
                  ValueLine("mode", "one") + ValueLine("selected", "0") +
                  ValueLine("timeout", kDefaultXscreensaverTimeout) +
                  ValueLine("programs", OurXscreensaverEntry(our_path));
    result.backup = backup;
    return result;
  }
  result.text = *file;
  if (ActiveXscreensaverProgram(*file) == our_path) return result;

  XsBackup backup;
  backup.previous_mode = XscreensaverValue(*file, "mode");
  backup.previous_selected = XscreensaverValue(*file, "selected");
  std::vector<RawEntry> entries = ProgramEntries(*file);
  std::optional<long> selected;
  if (backup.previous_selected) selected = ParseIndex(*backup.previous_selected);
  if (selected && *selected >= 0 && static_cast<std::size_t>(*selected) < entries.size())
    backup.old_command = entries[static_cast<std::size_t>(*selected)].entry.command;

  std::optional<std::size_t> ours = OurIndex(entries, our_path, std::nullopt);
  if (!ours) {
    backup.added = AppendEntry(&result.text, our_path);
    ours = OurIndex(ProgramEntries(result.text), our_path, std::nullopt);
  }
  SetValue(&result.text, "selected", std::to_string(ours.value_or(0)));
  SetValue(&result.text, "mode", "one");
  if (!XscreensaverValue(result.text, "timeout")) {
    SetValue(&result.text, "timeout", kDefaultXscreensaverTimeout);
    backup.added_timeout = true;
  }
  result.backup = backup;
  return result;
}

XsTurnOff TurnOffInXscreensaverFile(const std::string& file, const std::string& our_path,
                                    const std::optional<XsBackup>& backup) {
  XsTurnOff result;
  result.text = file;
  if (ActiveXscreensaverProgram(file) != our_path) return result;
  if (!backup) {
    SetValue(&result.text, "mode", "off");
    return result;
  }
  if (backup->created_file) {
    result.remove_file = true;
    return result;
  }
  std::optional<long> old_index;
  if (backup->previous_selected) old_index = ParseIndex(*backup->previous_selected);
  if (backup->added == XsBackup::Added::kProgramsLine) {
    RemoveKey(&result.text, "programs");
  } else if (backup->added == XsBackup::Added::kEntry) {
    std::optional<long> current;
    if (std::optional<std::string> value = XscreensaverValue(result.text, "selected"))
      current = ParseIndex(*value);
    if (std::optional<std::size_t> ours = OurIndex(ProgramEntries(result.text), our_path, current))
      RemoveEntry(&result.text, *ours);
  }

  // Entries may have moved since: the previous one is found by its command,
  // at its old place when it is still there.
  std::optional<std::string> selected = backup->previous_selected;
  bool lost = false;
  if (!backup->old_command.empty()) {
    std::vector<RawEntry> entries = ProgramEntries(result.text);
    std::optional<std::size_t> found;
    if (old_index && *old_index >= 0 && static_cast<std::size_t>(*old_index) < entries.size() &&
        entries[static_cast<std::size_t>(*old_index)].entry.command == backup->old_command)
      found = static_cast<std::size_t>(*old_index);
    for (std::size_t i = 0; !found && i < entries.size(); ++i)
      if (entries[i].entry.command == backup->old_command) found = i;
    if (found) {
      if (!old_index || static_cast<std::size_t>(*old_index) != *found) selected = std::to_string(*found);
    } else {
      lost = true;
    }
  }
  if (selected) {
    SetValue(&result.text, "selected", *selected);
  } else {
    RemoveKey(&result.text, "selected");
  }
  if (lost && backup->previous_mode == std::optional<std::string>("one")) {
    // The saver that was chosen is gone from the list: better none than ours.
    SetValue(&result.text, "mode", "off");
  } else if (backup->previous_mode) {
    SetValue(&result.text, "mode", *backup->previous_mode);
  } else {
    RemoveKey(&result.text, "mode");
  }
  if (backup->added_timeout &&
      XscreensaverValue(result.text, "timeout") == std::optional<std::string>(kDefaultXscreensaverTimeout))
    RemoveKey(&result.text, "timeout");
  return result;
}

}  // namespace quol::saverinstall
