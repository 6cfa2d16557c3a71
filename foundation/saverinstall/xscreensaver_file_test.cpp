#include "foundation/saverinstall/xscreensaver_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quol::saverinstall {
namespace {

constexpr char kOurs[] = "/usr/libexec/xscreensaver/quolsaver";

std::string TestData(const std::string& name) {
  std::ifstream in(std::string(QUOL_SOURCE_DIR) + "/foundation/saverinstall/testdata/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Hand-written the way people edit the file: comments, a continued comment
// line, tabs, pretty names, visuals, hidden entries, sh quoting, and no
// timeout.
constexpr char kHandWritten[] =
    "# my settings\n"
    "! also a comment \\\n"
    "lock:\tTrue\n"
    "mode:   one\n"
    "selected:  2\n"
    "programs:\t\\\n"
    "  - GL:  \"Spinning\"  gears --root \\n\\\n"
    "\t\"Quiet Maze\" maze -root -grid-size 3\\n\\\n"
    "  default-n: '/opt/my savers/bin/swirl' --root --count 5 \\n\\\n"
    "  -\tnoseguy --root\n"
    "textMode:\tdate\n";

struct RoundTripCase {
  const char* name;
  std::string file;
  std::string active_before;  // the program active before ours
  std::string old_command;    // what the backup names
  bool adds_timeout;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, OnSelectsOursAndOffGivesTheFileBackByteForByte) {
  const RoundTripCase& c = GetParam();
  ASSERT_FALSE(c.file.empty());
  EXPECT_EQ(ActiveXscreensaverProgram(c.file), c.active_before);

  XsTurnOn on = TurnOnInXscreensaverFile(c.file, kOurs);
  EXPECT_EQ(ActiveXscreensaverProgram(on.text), kOurs);
  ASSERT_TRUE(on.backup.has_value());
  EXPECT_EQ(on.backup->old_command, c.old_command);
  EXPECT_EQ(on.backup->added_timeout, c.adds_timeout);
  EXPECT_EQ(XscreensaverValue(on.text, "timeout").has_value(), true);
  // Every entry that was there is still there, in order, ours after them.
  std::vector<XsEntry> before = ParseXscreensaverPrograms(c.file);
  std::vector<XsEntry> after = ParseXscreensaverPrograms(on.text);
  ASSERT_EQ(after.size(), before.size() + 1);
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i].command, before[i].command) << i;
  EXPECT_EQ(after.back().name, "Quol Collage");
  EXPECT_EQ(after.back().command, std::string(kOurs) + " --root");

  // Turning on again finds ours active and leaves file and backup alone.
  XsTurnOn again = TurnOnInXscreensaverFile(on.text, kOurs);
  EXPECT_EQ(again.text, on.text);
  EXPECT_FALSE(again.backup.has_value());

  XsTurnOff off = TurnOffInXscreensaverFile(on.text, kOurs, on.backup);
  EXPECT_FALSE(off.remove_file);
  EXPECT_EQ(off.text, c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RoundTrip,
    ::testing::Values(
        RoundTripCase{"SettingsDialogOneMode", TestData("xscreensaver-6.06-one"), "metaballs",
                      "metaballs --root", false},
        RoundTripCase{"SettingsDialogRandomMode", TestData("xscreensaver-6.06-random"), "", "", false},
        RoundTripCase{"HandWrittenWithContinuations", kHandWritten, "/opt/my savers/bin/swirl",
                      "/opt/my savers/bin/swirl --root --count 5", true},
        RoundTripCase{"ModeOff", "mode:\t\toff\nselected:\t0\ntimeout:\t0:05:00\nprograms:\tmaze --root\n", "",
                      "maze --root", false},
        RoundTripCase{"OneLineListNoModeLines", "timeout: 0:01:00\nprograms: maze -root\\n qix -root\n", "", "",
                      false},
        RoundTripCase{"NoProgramsAndNoFinalNewline", "# empty\nlock: False", "", "", true},
        RoundTripCase{"EmptyProgramsValue", "mode: random\nprograms:\n", "", "", true},
        RoundTripCase{"SelectedPointsPastTheList", "mode: one\nselected: 7\nprograms: \\\n  maze \\n\\\n\n", "",
                      "", true}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

TEST(XscreensaverFile, EntriesAreReadAsTheDaemonReadsThem) {
  std::vector<XsEntry> entries = ParseXscreensaverPrograms(kHandWritten);
  ASSERT_EQ(entries.size(), 4u);
  struct Expect {
    bool hidden;
    const char* visual;
    const char* name;
    const char* program;
  } expect[] = {
      {true, "GL", "Spinning", "gears"},
      {false, "", "Quiet Maze", "maze"},
      {false, "default-n", "", "/opt/my savers/bin/swirl"},
      {true, "", "", "noseguy"},
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].hidden, expect[i].hidden) << i;
    EXPECT_EQ(entries[i].visual, expect[i].visual) << i;
    EXPECT_EQ(entries[i].name, expect[i].name) << i;
    EXPECT_EQ(entries[i].program, expect[i].program) << i;
  }
  EXPECT_EQ(ParseXscreensaverPrograms(TestData("xscreensaver-6.06-one")).size(), 249u);
}

TEST(XscreensaverFile, ActiveSaverNeedsModeOneAndAnEntry) {
  const struct {
    const char* file;
    const char* active;
  } cases[] = {
      {"mode: one\nselected: 1\nprograms: a\\n b --root\\n c\n", "b"},
      {"mode: random\nselected: 1\nprograms: a\\n b\n", ""},
      {"mode: one\nselected: -1\nprograms: a\\n b\n", ""},
      {"mode: one\nselected: x\nprograms: a\\n b\n", ""},
      {"mode: one\nselected: 0\n", ""},
      // The last of two lines wins, as in the daemon.
      {"mode: off\nmode: one\nselected: 0\nprograms: \"N\" 'x y' -z\n", "x y"},
      // Blank entries do not count.
      {"mode: one\nselected: 1\nprograms: \\n a\\n \\n b\\n\n", "b"},
  };
  for (const auto& c : cases) EXPECT_EQ(ActiveXscreensaverProgram(c.file), c.active) << c.file;
}

TEST(XscreensaverFile, NoFileIsCreatedAndRemovedAgain) {
  XsTurnOn on = TurnOnInXscreensaverFile(std::nullopt, "/opt/q q/saver");
  ASSERT_TRUE(on.backup.has_value());
  EXPECT_TRUE(on.backup->created_file);
  EXPECT_EQ(ActiveXscreensaverProgram(on.text), "/opt/q q/saver");
  EXPECT_EQ(XscreensaverValue(on.text, "timeout"), std::optional<std::string>("0:10:00"));
  XsTurnOff off = TurnOffInXscreensaverFile(on.text, "/opt/q q/saver", on.backup);
  EXPECT_TRUE(off.remove_file);
}

TEST(XscreensaverFile, OffFindsThePreviousSaverAfterTheListChanged) {
  const std::string file = "mode: one\nselected: 1\nprograms: a\\n b --root\\n c\n";
  XsTurnOn on = TurnOnInXscreensaverFile(file, kOurs);
  ASSERT_TRUE(on.backup.has_value());
  // The desktop's dialog has since put a new entry first.
  std::string moved = on.text;
  moved.replace(moved.find("programs: a"), 11, "programs: z\\n a");
  ASSERT_EQ(ActiveXscreensaverProgram(moved), "c");  // its index now points one early
  std::string fixed = moved;
  fixed.replace(fixed.find("selected: 3"), 11, "selected: 4");
  ASSERT_EQ(ActiveXscreensaverProgram(fixed), kOurs);
  XsTurnOff off = TurnOffInXscreensaverFile(fixed, kOurs, on.backup);
  EXPECT_EQ(ActiveXscreensaverProgram(off.text), "b");
  EXPECT_EQ(XscreensaverValue(off.text, "selected"), std::optional<std::string>("2"));
  EXPECT_EQ(ParseXscreensaverPrograms(off.text).size(), 4u);  // ours is gone again
}

TEST(XscreensaverFile, OffWithoutBackupSwitchesTheSaverOff) {
  const std::string file = std::string("mode: one\nselected: 0\nprograms: ") + kOurs + " --root\n";
  XsTurnOff off = TurnOffInXscreensaverFile(file, kOurs, std::nullopt);
  EXPECT_EQ(off.text, std::string("mode: off\nselected: 0\nprograms: ") + kOurs + " --root\n");
}

TEST(XscreensaverFile, OffLeavesAnotherActiveSaverAlone) {
  XsTurnOn on = TurnOnInXscreensaverFile(std::string("mode: one\nselected: 0\nprograms: maze\n"), kOurs);
  const std::string other = "mode: one\nselected: 0\nprograms: qix\n";
  XsTurnOff off = TurnOffInXscreensaverFile(other, kOurs, on.backup);
  EXPECT_EQ(off.text, other);
  EXPECT_FALSE(off.remove_file);
}

TEST(XscreensaverFile, OursAlreadyListedIsSelectedNotAddedAgain) {
  const std::string file = std::string("mode: random\nselected: -1\ntimeout: 0:01:00\nprograms: maze\\n ") +
                           kOurs + " --root\\n qix\n";
  XsTurnOn on = TurnOnInXscreensaverFile(file, kOurs);
  ASSERT_TRUE(on.backup.has_value());
  EXPECT_EQ(on.backup->added, XsBackup::Added::kNothing);
  EXPECT_EQ(XscreensaverValue(on.text, "selected"), std::optional<std::string>("1"));
  EXPECT_EQ(TurnOffInXscreensaverFile(on.text, kOurs, on.backup).text, file);
}

TEST(XscreensaverFile, PathsWithBlanksAreQuotedForSh) {
  EXPECT_EQ(ShellQuote("/usr/bin/x"), "/usr/bin/x");
  EXPECT_EQ(ShellQuote("/opt/a b/it's"), "'/opt/a b/it'\\''s'");
  EXPECT_EQ(OurXscreensaverEntry("/opt/a b/s"), "\"Quol Collage\" '/opt/a b/s' --root");
  std::vector<XsEntry> entries = ParseXscreensaverPrograms("programs: " + OurXscreensaverEntry("/opt/it's/s") + "\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].program, "/opt/it's/s");
}

}  // namespace
}  // namespace quol::saverinstall
