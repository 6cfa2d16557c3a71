#include "screensaver/app/command_line.h"

#include <gtest/gtest.h>

namespace quol::saver {
namespace {

SaverCommandLine Parse(std::vector<std::string> args, const char* env = nullptr) {
  SaverCommandLine line;
  std::string error;
  EXPECT_TRUE(ParseSaverCommandLine(args, env, &line, &error)) << error;
  return line;
}

TEST(SaverCommandLineTest, SwitchesAreCaseInsensitivePrefixesAtTheStart) {
  EXPECT_EQ(Parse({"/ee"}).ui_mode, 4);
  EXPECT_EQ(Parse({"/e"}).ui_mode, 3);
  EXPECT_EQ(Parse({"/W"}).ui_mode, 1);
  SaverCommandLine settings = Parse({"/c:1234"});
  EXPECT_EQ(settings.ui_mode, 2);
  EXPECT_EQ(settings.parent_window, 1234u);
  EXPECT_EQ(Parse({"/s"}).ui_mode, 0);
  EXPECT_EQ(Parse({}).ui_mode, 0);
  EXPECT_TRUE(Parse({"/D"}).debug);
  EXPECT_FALSE(Parse({"/s", "/d"}).debug);  // only the start of the line counts
  SaverCommandLine preview = Parse({"/P", "5000"});
  EXPECT_TRUE(preview.preview);
  EXPECT_EQ(preview.parent_window, 5000u);
  EXPECT_EQ(preview.text, "/P 5000");
}

TEST(SaverCommandLineTest, ParentWindowPattern) {
  EXPECT_EQ(ParseParentWindow("/p 1234"), 1234u);
  EXPECT_EQ(ParseParentWindow("/c:1234"), 1234u);
  EXPECT_EQ(ParseParentWindow("/p=1234"), 1234u);
  EXPECT_EQ(ParseParentWindow("/p :=1234"), 1234u);
  EXPECT_EQ(ParseParentWindow("/p 0x2a00007"), 0x2a00007u);
  EXPECT_EQ(ParseParentWindow("/p1234"), 0u);  // needs a separator
  EXPECT_EQ(ParseParentWindow("/p 0"), 0u);
  EXPECT_EQ(ParseParentWindow("/p"), 0u);
  EXPECT_EQ(ParseParentWindow("/p            1"), 0u);  // more than ten separators
  EXPECT_EQ(ParseParentWindow("p 1234"), 0u);
}

TEST(SaverCommandLineTest, XscreensaverConventions) {
  SaverCommandLine root = Parse({"-root"});
  EXPECT_TRUE(root.embedded);
  EXPECT_EQ(root.embed_window, 0u);
  SaverCommandLine from_env = Parse({"--root"}, "0x1e00005");
  EXPECT_TRUE(from_env.embedded);
  EXPECT_EQ(from_env.embed_window, 0x1e00005u);
  SaverCommandLine explicit_id = Parse({"--window-id", "0x400001"}, "0x1e00005");
  EXPECT_EQ(explicit_id.embed_window, 0x400001u);
  EXPECT_EQ(Parse({"-window-id=77"}).embed_window, 77u);
  EXPECT_TRUE(Parse({"--help"}).help);

  SaverCommandLine line;
  std::string error;
  EXPECT_FALSE(ParseSaverCommandLine({"--frobnicate"}, nullptr, &line, &error));
  EXPECT_EQ(error, "unknown option '--frobnicate' (see --help)");
  EXPECT_FALSE(ParseSaverCommandLine({"--window-id"}, nullptr, &line, &error));
  EXPECT_FALSE(ParseSaverCommandLine({"--window-id", "banana"}, nullptr, &line, &error));
}

}  // namespace
}  // namespace quol::saver

// Keys map to the desktop's virtual-key numbers that the log and the key
// table use; keys without a number of their own must still end the saver.
#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include "screensaver/app/saver_frame.h"

namespace quol::saver {
namespace {

TEST(SaverKeysTest, KeysymsMapToVirtualKeys) {
  EXPECT_EQ(VirtualKeyFromKeysym(XK_Escape), 27);
  EXPECT_EQ(VirtualKeyFromKeysym(XK_Left), 37);
  EXPECT_EQ(VirtualKeyFromKeysym(XK_Down), 40);
  EXPECT_EQ(VirtualKeyFromKeysym(XK_c), 'C');
  EXPECT_EQ(VirtualKeyFromKeysym(XK_S), 'S');
  EXPECT_EQ(VirtualKeyFromKeysym(XK_F1), 112);
  EXPECT_TRUE(IsIgnoredKey(VirtualKeyFromKeysym(XK_Shift_R)));
  EXPECT_TRUE(IsIgnoredKey(VirtualKeyFromKeysym(XF86XK_AudioLowerVolume)));
  EXPECT_TRUE(IsIgnoredKey(VirtualKeyFromKeysym(XF86XK_AudioPlay)));
  EXPECT_FALSE(IsIgnoredKey(VirtualKeyFromKeysym(XK_Super_L)));
  // Latin-1 keys whose low byte falls on the media keys' numbers.
  EXPECT_FALSE(IsIgnoredKey(VirtualKeyFromKeysym(XK_registered)));   // 0xAE
  EXPECT_FALSE(IsIgnoredKey(VirtualKeyFromKeysym(XK_ydiaeresis)));   // 0xFF
}

}  // namespace
}  // namespace quol::saver
