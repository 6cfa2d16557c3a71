#include <gtest/gtest.h>

#include "screensaver/appointments/appointment.h"

namespace quol::saver {
namespace {

constexpr RgbColour kAabbcc = MakeRgb(0xAA, 0xBB, 0xCC);

class AttendeeColourTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetPaletteForTesting(); }
  void TearDown() override { ResetPaletteForTesting(); }
};

TEST_F(AttendeeColourTest, IndexesAndColourTexts) {
  EXPECT_EQ(AttendeeColour("3", false), MakeRgb(0xFA, 0xC7, 0x51));
  EXPECT_EQ(AttendeeColour("16", false), MakeRgb(0x54, 0x27, 0x43));
  for (const char* grey : {"17", "-1", "x", "", "170;187;204", "170,187", "#FFAABBC", "#FFAABBGG"}) {
    EXPECT_EQ(AttendeeColour(grey, false), kFallbackGrey) << grey;
  }
  for (const char* aabbcc : {"#FFAABBCC", "#00aabbcc", "170,187,204", "170 , 187 , 204"}) {
    EXPECT_EQ(AttendeeColour(aabbcc, false), kAabbcc) << aabbcc;
  }
}

TEST_F(AttendeeColourTest, CobrandAttendeesTakeThePartnerColourOnceItIsSet) {
  EXPECT_EQ(AttendeeColour("#FF112233", true), MakeRgb(0x11, 0x22, 0x33));  // not set yet
  SetCobrandColourOnce("10,20,30");
  SetCobrandColourOnce("200,200,200");  // once per process
  EXPECT_EQ(CobrandColour(), MakeRgb(10, 20, 30));
  EXPECT_EQ(AttendeeColour("#FF112233", true), MakeRgb(10, 20, 30));
  EXPECT_EQ(AttendeeColour("#FF112233", false), MakeRgb(0x11, 0x22, 0x33));
  EXPECT_EQ(AttendeeColour("0", false), MakeRgb(10, 20, 30));  // entry 0 is the partner's

  ResetPaletteForTesting();
  SetCobrandColourOnce("");  // no partner text: today's entry 0
  EXPECT_EQ(CobrandColour(), MakeRgb(0xED, 0x65, 0x26));
  EXPECT_EQ(CurrentPalette(), BuiltInPalette());
}

TEST_F(AttendeeColourTest, ACloseEntryTradesPlacesWithEntryZero) {
  const Palette built_in = BuiltInPalette();
  InstallCobrandColour(MakeRgb(0x04, 0x7E, 0xC0));  // 21 from entry 9 (#037CBC)
  Palette expected = built_in;
  expected[0] = MakeRgb(0x04, 0x7E, 0xC0);
  expected[9] = built_in[0];
  EXPECT_EQ(CurrentPalette(), expected);

  ResetPaletteForTesting();
  InstallCobrandColour(MakeRgb(0xFF, 0xE5, 0x51));  // 925 from entry 3: too far
  expected = built_in;
  expected[0] = MakeRgb(0xFF, 0xE5, 0x51);
  EXPECT_EQ(CurrentPalette(), expected);

  ResetPaletteForTesting();
  InstallCobrandColour(MakeRgb(0x54, 0x27, 0x44));  // entry 16 never trades
  expected[0] = MakeRgb(0x54, 0x27, 0x44);
  EXPECT_EQ(CurrentPalette(), expected);

  ResetPaletteForTesting();
  InstallCobrandColour(built_in[0]);
  EXPECT_EQ(CurrentPalette(), built_in);
}

}  // namespace
}  // namespace quol::saver
