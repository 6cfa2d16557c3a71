#include "platform/datafolder/data_folder.h"

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(DataFolderTest, OverrideWinsAndIsCreatedWithParents) {
  TempDir dir;
  ScopedEnv data("QUOL_DATA_DIR", dir / "deep/down/data");
  std::string path;
  ASSERT_EQ(EnsureDataFolder(&path), S_OK);
  EXPECT_EQ(path, dir / "deep/down/data");
  EXPECT_TRUE(IsDirectory(path));
}

TEST(DataFolderTest, DefaultsFollowXdgThenHome) {
  ScopedEnv data("QUOL_DATA_DIR", std::nullopt);
  ScopedEnv home("HOME", std::string("/home/mum"));
  {
    ScopedEnv xdg("XDG_DATA_HOME", std::string("/xdg/data"));
    EXPECT_EQ(DataFolderPath(), "/xdg/data/Quol/Vevuvov");
  }
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(DataFolderPath(), "/home/mum/.local/share/Quol/Vevuvov");
}

TEST(DataFolderTest, PerUserIgnoresTheMachineOverride) {
  ScopedEnv data("QUOL_DATA_DIR", std::string("/srv/quol"));
  ScopedEnv xdg("XDG_DATA_HOME", std::string("/xdg/data"));
  EXPECT_EQ(DataFolderPath(false), "/srv/quol");
  EXPECT_EQ(DataFolderPath(true), "/xdg/data/Quol/Vevuvov");
}

}  // namespace
}  // namespace quol::platform
