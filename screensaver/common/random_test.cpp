#include "screensaver/common/random.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quol::saver {
namespace {

TEST(RandomTest, DebugModeRepeatsPerThreadAndNormalModeDoesNot) {
  SetDebugRandom(true);
  SeedThreadRandom();
  std::vector<std::uint32_t> first;
  for (int i = 0; i < 5; ++i) first.push_back(Random31());
  std::vector<std::uint32_t> other_thread;
  std::thread([&] {
    SeedThreadRandom();
    for (int i = 0; i < 5; ++i) other_thread.push_back(Random31());
  }).join();
  EXPECT_EQ(first, other_thread);

  SetDebugRandom(false);
  std::vector<std::uint32_t> system;
  for (int i = 0; i < 5; ++i) system.push_back(Random31());
  EXPECT_NE(system, first);
  for (std::uint32_t v : system) EXPECT_LE(v, 0x7FFFFFFFu);
}

TEST(RandomTest, RandomBelowStaysInRange) {
  EXPECT_EQ(RandomBelow(0), 0);
  EXPECT_EQ(RandomBelow(-5), 0);
  for (int i = 0; i < 1000; ++i) {
    int v = RandomBelow(7);
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 7);
  }
}

}  // namespace
}  // namespace quol::saver
