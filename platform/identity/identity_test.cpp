#include "platform/identity/identity.h"

#include <gtest/gtest.h>

namespace quol::platform {
namespace {

TEST(IdentityTest, KnowsItsOwnExecutableAndVersion) {
  EXPECT_EQ(ExecutableBaseName(), "platform_tests");
  EXPECT_EQ(ExecutablePath().front(), '/');
  EXPECT_EQ(BaseNameWithoutExtension("/opt/quol/QuolScreensaver.scr"), "QuolScreensaver");
  EXPECT_EQ(BaseNameWithoutExtension("/opt/quol.d/Updater"), "Updater");
  EXPECT_EQ(BaseNameWithoutExtension("/opt/.hidden"), ".hidden");
  FileVersion v = ProgramFileVersion();
  EXPECT_EQ(ProgramFileVersionText(), std::to_string(v.major) + "." + std::to_string(v.minor) +
                                          "." + std::to_string(v.build) + "." +
                                          std::to_string(v.revision));
  EXPECT_GT(v.major + v.minor + v.build + v.revision, 0u);
}

}  // namespace
}  // namespace quol::platform
