#include "foundation/settings/version_number.h"

#include <gtest/gtest.h>

namespace quol {
namespace {

TEST(VersionNumberTest, ReadsUpToFourPartsAndKeepsTextOnlyWhenValid) {
  VersionNumber v("3.0.12.7");
  EXPECT_TRUE(v.valid());
  EXPECT_EQ(v.count(), 4);
  EXPECT_EQ(v.part(2), 12u);
  EXPECT_EQ(v.text(), "3.0.12.7");

  VersionNumber partial("5.x");
  EXPECT_EQ(partial.count(), 1);
  EXPECT_EQ(partial.part(1), 0u);

  VersionNumber bad("v2");
  EXPECT_FALSE(bad.valid());
  EXPECT_EQ(bad.text(), "");
  EXPECT_FALSE(VersionNumber("").valid());

  v.Read("junk");  // rereading zeroes every part
  EXPECT_FALSE(v.valid());
  EXPECT_EQ(v.part(0), 0u);
}

TEST(VersionNumberTest, ComparesUnsignedOverTheLargerCountCappedByTheLimit) {
  EXPECT_EQ(VersionNumber("2.1").Compare(VersionNumber("2.1.0.0")), 0);
  EXPECT_EQ(VersionNumber("2.1").Compare(VersionNumber("2.1.0.1")), -1);
  EXPECT_EQ(VersionNumber("2.1").Compare(VersionNumber("2.1.0.1"), 3), 0);
  EXPECT_EQ(VersionNumber("3").Compare(VersionNumber("2.9.9.9")), 1);
  // -1 reads as 0xFFFFFFFF and so is larger than any small part.
  EXPECT_EQ(VersionNumber("1.-1").Compare(VersionNumber("1.5")), 1);
  EXPECT_EQ(VersionNumber().Compare(VersionNumber()), 0);
}

}  // namespace
}  // namespace quol
