#include "platform/url/url.h"

#include <gtest/gtest.h>

namespace quol::platform {
namespace {

TEST(UrlTest, SplitsSchemeAndDecodedHost) {
  UrlParts parts;
  ASSERT_EQ(SplitUrl("HTTPS://My.Quol.Example:8443/devuzez/?mode=1", &parts), S_OK);
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.host, "My.Quol.Example");
  EXPECT_EQ(parts.port, 8443);
  EXPECT_EQ(parts.path, "/devuzez/");
  EXPECT_EQ(parts.query, "mode=1");

  ASSERT_EQ(SplitUrl("http://%77ww.quol.example/help", &parts), S_OK);
  EXPECT_EQ(parts.host, "www.quol.example");
  ASSERT_EQ(SplitUrl("http://user:pw@secure.quol.example/", &parts), S_OK);
  EXPECT_EQ(parts.host, "secure.quol.example");
}

TEST(UrlTest, OpaqueSchemesHaveNoHostAndSchemelessTextFails) {
  UrlParts parts;
  ASSERT_EQ(SplitUrl("javascript:void(0)", &parts), S_OK);
  EXPECT_EQ(parts.scheme, "javascript");
  EXPECT_TRUE(parts.host.empty());
  ASSERT_EQ(SplitUrl("res://QuolDevuzez/offline.htm", &parts), S_OK);
  EXPECT_EQ(parts.scheme, "res");
  ASSERT_EQ(SplitUrl("mailto:support@quol.example", &parts), S_OK);
  EXPECT_EQ(parts.scheme, "mailto");
  EXPECT_LT(SplitUrl("www.quol.example/page", &parts), 0);
  EXPECT_LT(SplitUrl("", &parts), 0);
  EXPECT_LT(SplitUrl("1http://x", &parts), 0);
  EXPECT_LT(SplitUrl("http://exa mple.com:99999999/", &parts), 0);
}

TEST(UrlTest, ResolvesRelativeAddressesTheStandardWay) {
  const std::string base = "http://127.0.0.1:11110/QuolDevuzez/GlobalConfig_v2.xml?account=&v=1.0";
  std::string out;
  ASSERT_EQ(ResolveUrl(base, "/devuzez/whatsnew.htm", &out), S_OK);
  EXPECT_EQ(out, "http://127.0.0.1:11110/devuzez/whatsnew.htm");
  ASSERT_EQ(ResolveUrl(base, "whatsnew.htm", &out), S_OK);
  EXPECT_EQ(out, "http://127.0.0.1:11110/QuolDevuzez/whatsnew.htm");
  ASSERT_EQ(ResolveUrl(base, "../a/./b.htm", &out), S_OK);
  EXPECT_EQ(out, "http://127.0.0.1:11110/a/b.htm");
  ASSERT_EQ(ResolveUrl(base, "//my.quol.example/x", &out), S_OK);
  EXPECT_EQ(out, "http://my.quol.example/x");
  ASSERT_EQ(ResolveUrl(base, "https://secure.quol.example/y", &out), S_OK);
  EXPECT_EQ(out, "https://secure.quol.example/y");
  EXPECT_LT(ResolveUrl("not a url", "x", &out), 0);
}

}  // namespace
}  // namespace quol::platform
