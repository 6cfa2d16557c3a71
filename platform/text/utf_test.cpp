#include "platform/text/utf.h"

#include <gtest/gtest.h>

namespace quol::platform {
namespace {

TEST(UtfTest, RoundTripsAllPlanes) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x91z";
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDD11, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(UtfTest, BrokenInputBecomesReplacementCharacters) {
  // truncated sequence, overlong "/", encoded surrogate, lone continuation byte
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), (std::u16string{u'a', 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").front(), 0xFFFD);
  EXPECT_EQ(Utf8ToUtf16("\x80"), std::u16string{0xFFFD});
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

TEST(UtfTest, CaseAndTrimHelpers) {
  EXPECT_TRUE(EqualsIgnoreCase("QuolScreensaver-12-06.LOG", "quolscreensaver-12-06.log"));
  EXPECT_FALSE(EqualsIgnoreCase("abc", "abcd"));
  EXPECT_TRUE(StartsWithIgnoreCase("HTTPS://x", "https://"));
  EXPECT_FALSE(StartsWithIgnoreCase("http", "https://"));
  EXPECT_EQ(TrimWhitespace("  \t a b \r\n"), "a b");
  EXPECT_EQ(TrimWhitespace(" \n "), "");
}

}  // namespace
}  // namespace quol::platform
