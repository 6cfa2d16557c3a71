#include "client/app/command_line.h"

#include <gtest/gtest.h>

namespace quol::client {
namespace {

TEST(ClientCommandLineTest, ModeIsDecidedByPrefixWithoutCase) {
  const struct {
    const char* text;
    int mode;
  } cases[] = {
      {"", kModeClient},
      {"/w", kModeWizard},
      {"/W 12", kModeWizard},
      {"/EE", kModeAllUsersSaver},
      {"/ee", kModeAllUsersSaver},
      {"/e 0", kModeSetSaver},
      {"/example", kModeSetSaver},
      {"/E:4242", kModeSetSaver},
      {"/c", kModeSettings},
      {"/c 4242", kModeSettings},
      {"/C:4242", kModeSettings},
      {"/p", kModeClient},
      {"/s", kModeClient},
      {"/n calendar", kModeClient},
      {"http://my.quol.example/", kModeClient},
      {" /c", kModeClient},  // only the very beginning counts
  };
  for (const auto& c : cases) EXPECT_EQ(DecideMode(c.text), c.mode) << c.text;
}

TEST(ClientCommandLineTest, ParentWindowFollowsTheSwitchLetter) {
  const struct {
    const char* text;
    unsigned long window;
  } cases[] = {
      {"/e 4242", 4242},
      {"/c:4242", 4242},
      {"/w=4242", 4242},
      {"/c :=  77", 77},
      {"/e 0", 0},
      {"/c ", 0},          // no number: no parent
      {"/c", 0},           // too short
      {"/c 1", 1},
      {"c 4242", 0},       // must begin with "/"
      {"/c x42", 0},
      {"/c 4294967295", 4294967295ul},
      {"/c 4294967296", 0},   // beyond a window id
      {"/c 99999999999", 0},  // more than ten digits
  };
  for (const auto& c : cases) EXPECT_EQ(ParseParentWindow(c.text), c.window) << c.text;
}

TEST(ClientCommandLineTest, ArgumentsJoinWithSingleBlanksWithinTheBound) {
  const char* argv[] = {"QuolDevuzez", "/n", "calendar"};
  EXPECT_EQ(JoinArguments(3, argv), "/n calendar");
  EXPECT_EQ(JoinArguments(1, argv), "");
  const std::string huge(kMaxArgumentTextLength * 2, 'x');
  const char* long_argv[] = {"QuolDevuzez", huge.c_str(), huge.c_str()};
  EXPECT_EQ(JoinArguments(3, long_argv).size(), kMaxArgumentTextLength);
}

TEST(ClientCommandLineTest, ClientArgumentsTable) {
  auto safe = [](const std::string& url) { return url.rfind("http://my.quol.example/", 0) == 0; };
  const struct {
    std::vector<std::string> args;
    std::string start_url;
    bool from_saver;
    bool path_flag;
    std::string path;
  } cases[] = {
      {{}, "", false, false, ""},
      {{"http://my.quol.example/x"}, "http://my.quol.example/x", false, false, ""},
      {{"http://evil.example/"}, "", false, false, ""},  // unsafe host: configured URL stays
      {{"/s"}, "", true, false, ""},
      {{"/S"}, "", true, false, ""},
      {{"/n", "calendar"}, "", false, true, "/calendar"},
      {{"/N", "a/b"}, "", false, true, "/a/b"},
      {{"/n", "/calendar"}, "", false, false, ""},  // a second argument with "/" is ignored
      {{"/n", ""}, "", false, false, ""},
      {{"/n"}, "", false, false, ""},
      {{"/p"}, "", false, false, ""},
      {{"/n", std::string(kMaxStartPathLength, 'a')}, "", false, false, ""},
  };
  for (const auto& c : cases) {
    const ClientArguments parsed = ReadClientArguments(c.args, safe);
    const std::string label = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(parsed.start_url, c.start_url) << label;
    EXPECT_EQ(parsed.from_screensaver, c.from_saver) << label;
    EXPECT_EQ(parsed.start_path_flag, c.path_flag) << label;
    EXPECT_EQ(parsed.start_path, c.path) << label;
  }
}

}  // namespace
}  // namespace quol::client
