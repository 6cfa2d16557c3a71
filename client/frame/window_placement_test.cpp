#include "client/frame/window_placement.h"

#include <gtest/gtest.h>

#include "client/frame/frame_host.h"
#include "foundation/config/cobrand_module.h"
#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol::client {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;

class WindowPlacementTest : public ::testing::Test {
 protected:
  RegistryKey& Key() {
    if (!key_.is_open()) {
      EXPECT_EQ(key_.Create(RegistryHive::kCurrentUser, kProductRegistryKey), S_OK);
    }
    return key_;
  }
  void WriteRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom,
                 std::uint32_t state) {
    ASSERT_EQ(Key().WriteDword("Left", static_cast<std::uint32_t>(left)), S_OK);
    ASSERT_EQ(Key().WriteDword("Top", static_cast<std::uint32_t>(top)), S_OK);
    ASSERT_EQ(Key().WriteDword("Right", static_cast<std::uint32_t>(right)), S_OK);
    ASSERT_EQ(Key().WriteDword("Bottom", static_cast<std::uint32_t>(bottom)), S_OK);
    ASSERT_EQ(Key().WriteDword("State", state), S_OK);
  }
  bool HasRunOnce() {
    std::string value;
    return Succeeded(Key().ReadString("RunOnce", &value));
  }
  std::uint32_t Dword(const char* name) {
    std::uint32_t value = 0;
    EXPECT_EQ(Key().ReadDword(name, &value), S_OK) << name;
    return value;
  }

  testing::IsolatedEnvironment env_;
  RegistryKey key_;
};

TEST_F(WindowPlacementTest, RunOnceLengthPicksTheLaunchModeAndGoesAtClose) {
  const struct {
    std::size_t length;
    std::uint32_t mode;
  } cases[] = {{0, kLaunchFirstTime},
               {30, kLaunchFirstTime},
               {31, kLaunchPostUpgrade},
               {99, kLaunchPostUpgrade},
               {500, kLaunchPostUpgrade}};
  for (const auto& c : cases) {
    WriteRect(10, 20, 810, 620, kShowRestore);
    ASSERT_EQ(Key().WriteString("RunOnce", std::string(c.length, 'r')), S_OK);
    WindowPlacement placement;
    placement.Load();
    EXPECT_EQ(placement.launch_mode(), c.mode) << c.length;
    EXPECT_TRUE(placement.dirty()) << c.length;
    // Nothing moved, but the note is still deleted at close.
    EXPECT_EQ(placement.Save({10, 20, 810, 620}, kShowRestore), S_OK);
    EXPECT_FALSE(HasRunOnce()) << c.length;
  }
}

TEST_F(WindowPlacementTest, RunOnceStaysWhenTheLaunchModeWasNone) {
  WindowPlacement placement;
  placement.Load();
  EXPECT_FALSE(placement.valid());
  EXPECT_EQ(placement.launch_mode(), kLaunchNormal);
  ASSERT_EQ(Key().WriteString("RunOnce", "written by the installer later"), S_OK);
  EXPECT_EQ(placement.Save({0, 0, 700, 500}, kShowRestore), S_OK);
  EXPECT_TRUE(HasRunOnce());
}

TEST_F(WindowPlacementTest, RecordIsValidOnlyWhenAllFiveNumbersRead) {
  WriteRect(-5, 7, 1000, 700, kShowMaximize);
  {
    WindowPlacement placement;
    placement.Load();
    EXPECT_TRUE(placement.valid());
    EXPECT_EQ(placement.rect(), (FrameRect{-5, 7, 1000, 700}));
    EXPECT_EQ(placement.state(), kShowMaximize);
  }
  ASSERT_EQ(Key().WriteString("State", "9"), S_OK);  // a string where a number belongs
  {
    WindowPlacement placement;
    placement.Load();
    EXPECT_FALSE(placement.valid());
    EXPECT_EQ(placement.launch_mode(), kLaunchNormal);
  }
  ASSERT_EQ(Key().WriteBinary("State", std::vector<std::uint8_t>{9, 0, 0, 0, 0, 0, 0, 0}), S_OK);
  WindowPlacement eight_bytes;
  eight_bytes.Load();
  EXPECT_FALSE(eight_bytes.valid());
}

TEST_F(WindowPlacementTest, SaveWritesOnlyWhatChangedAndKeepsOtherStatesAsRestore) {
  WriteRect(10, 20, 810, 620, kShowRestore);
  WindowPlacement placement;
  placement.Load();
  EXPECT_EQ(placement.Save({10, 20, 810, 620}, kShowRestore), S_FALSE);  // nothing to write

  EXPECT_EQ(placement.Save({11, 20, 810, 620}, kShowRestore), S_OK);
  EXPECT_EQ(Dword("Left"), 11u);
  EXPECT_EQ(placement.Save({11, 20, 810, 620}, kShowMaximize), S_OK);
  EXPECT_EQ(Dword("State"), kShowMaximize);
  EXPECT_EQ(placement.Save({11, 20, 810, 620}, 6 /* minimized */), S_OK);
  EXPECT_EQ(Dword("State"), kShowRestore);
  EXPECT_EQ(placement.Save({11, 20, 810, 620}, 2), S_FALSE);  // kept as 9 again: unchanged
  EXPECT_EQ(placement.Save({-100, -50, 700, 500}, kShowMaximize), S_OK);
  EXPECT_EQ(Dword("Left"), static_cast<std::uint32_t>(-100));
  EXPECT_EQ(Dword("State"), kShowMaximize);
  WindowPlacement again;
  again.Load();
  EXPECT_EQ(again.rect(), (FrameRect{-100, -50, 700, 500}));
}

}  // namespace
}  // namespace quol::client
