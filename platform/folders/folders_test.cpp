#include "platform/folders/folders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::IsolatedEnvironment;
using testing::ScopedEnv;
using testing::WriteFileOrDie;

TEST(FoldersTest, HomeFolderComesFromHomeWithoutTrailingSlashes) {
  struct Case {
    const char* home;
    const char* expected;
  };
  const Case cases[] = {
      {"/home/ana", "/home/ana"},
      {"/home/ana/", "/home/ana"},
      {"/home/ana//", "/home/ana"},
      {"/", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.home);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(HomeFolder(), c.expected);
  }
}

TEST(FoldersTest, WithoutHomeTheAccountsFolderIsUsed) {
  ScopedEnv home("HOME", std::nullopt);
  const std::string account = HomeFolder();
  ScopedEnv empty("HOME", "");
  EXPECT_EQ(HomeFolder(), account);
  // Whatever the account says, it is a path or nothing, never a relative name.
  if (!account.empty()) {
    EXPECT_EQ(account.front(), '/');
  }
}

TEST(FoldersTest, PicturesFolderFollowsUserDirs) {
  IsolatedEnvironment env;
  const std::string home = env.root() + "/home";
  struct Case {
    const char* name;
    std::optional<std::string> user_dirs;  // nullopt: no file
    std::string expected;
  };
  const Case cases[] = {
      {"no file", std::nullopt, home + "/Pictures"},
      {"relative to home",
       "# written by the desktop\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
       home + "/Bilder"},
      {"absolute", "XDG_PICTURES_DIR=\"/srv/photos\"\n", "/srv/photos"},
      {"indented, trailing slash", "  \tXDG_PICTURES_DIR=\"/srv/photos/\"\n", "/srv/photos"},
      {"last assignment wins", "XDG_PICTURES_DIR=\"/a\"\nXDG_PICTURES_DIR=\"/b\"\n", "/b"},
      {"home itself switches it off", "XDG_PICTURES_DIR=\"$HOME/\"\n", ""},
      {"unquoted value ignored", "XDG_PICTURES_DIR=/srv/photos\n", home + "/Pictures"},
      {"unclosed quote ignored", "XDG_PICTURES_DIR=\"/srv/photos\n", home + "/Pictures"},
      {"relative value ignored", "XDG_PICTURES_DIR=\"photos\"\n", home + "/Pictures"},
      {"$HOMEX is not $HOME", "XDG_PICTURES_DIR=\"$HOMEX/p\"\n", home + "/Pictures"},
  };
  const std::string file = home + "/.config/user-dirs.dirs";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(file.c_str());
    if (c.user_dirs) WriteFileOrDie(file, *c.user_dirs);
    EXPECT_EQ(PicturesFolder(), c.expected);
  }
}

TEST(FoldersTest, PicturesFolderReadsUserDirsFromXdgConfigHome) {
  IsolatedEnvironment env;
  const std::string home = env.root() + "/home";
  WriteFileOrDie(env.root() + "/elsewhere/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Fotos\"\n");
  ScopedEnv config("XDG_CONFIG_HOME", env.root() + "/elsewhere");
  EXPECT_EQ(PicturesFolder(), home + "/Fotos");
  ScopedEnv no_config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(PicturesFolder(), home + "/Pictures");
}

TEST(FoldersTest, SharedPicturesFolderHonoursTheOverride) {
  struct Case {
    std::optional<std::string> value;
    const char* expected;
  };
  const Case cases[] = {
      {"/srv/shared", "/srv/shared"},
      {"", "/usr/share/backgrounds"},
      {std::nullopt, "/usr/share/backgrounds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    ScopedEnv shared("QUOL_SHARED_PICTURES_DIR", c.value);
    EXPECT_EQ(SharedPicturesFolder(), c.expected);
  }
}

}  // namespace
}  // namespace quol::platform
