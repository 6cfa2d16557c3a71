#include "platform/url/url.h"

#include <gtest/gtest.h>

#include "platform/text/utf.h"

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

TEST(UrlTest, WebUrlsAreReadTheWayBrowsersReadThem) {
  struct Case {
    const char* url;
    const char* host;        // nullptr: the URL does not parse
    const char* for_request;
  };
  const Case cases[] = {
      // A backslash ends the authority: what follows is path, not user info.
      {"http://evil.example\\@my.quol.example/", "evil.example", "http://evil.example/@my.quol.example/"},
      {"http://my.quol.example\\@evil.example/", "my.quol.example", "http://my.quol.example/@evil.example/"},
      {"https:\\\\evil.example\\x", "evil.example", "https://evil.example/x"},
      {"http:evil.example/x", "evil.example", "http://evil.example/x"},
      {"http:///evil.example", "evil.example", "http://evil.example/"},
      // User info is dropped; the last "@" ends it.
      {"http://my.quol.example@evil.example/", "evil.example", "http://evil.example/"},
      {"http://a@b@evil.example:8080/p?q=1#frag", "evil.example", "http://evil.example:8080/p?q=1"},
      {"http://user:pw@secure.quol.example/", "secure.quol.example", "http://secure.quol.example/"},
      // Escapes, case, ports, trailing dots.
      {"http://my%2equol%2eexample/", "my.quol.example", "http://my.quol.example/"},
      {"HTTPS://My.Quol.EXAMPLE:443/a", "my.quol.example", "https://my.quol.example/a"},
      {"http://my.quol.example:0080", "my.quol.example", "http://my.quol.example/"},
      {"http://my.quol.example.:8080/", "my.quol.example.", "http://my.quol.example.:8080/"},
      {"http://my.quol.example?x", "my.quol.example", "http://my.quol.example/?x"},
      // Numbers are IPv4 addresses in any notation; IPv6 stays bracketed.
      {"http://2130706433/", "127.0.0.1", "http://127.0.0.1/"},
      {"http://0x7f.1/", "127.0.0.1", "http://127.0.0.1/"},
      {"http://0177.0.0.1./", "127.0.0.1", "http://127.0.0.1/"},
      {"http://[::1]:2175/x", "[::1]", "http://[::1]:2175/x"},
      {"http://[0:0:0:0:0:0:0:1]/", "[::1]", "http://[::1]/"},
      // Refused: controls and spaces anywhere, odd hosts, bad ports.
      {"http://my.quol.example\t.evil.example/", nullptr, nullptr},
      {"http://evil.example\n/", nullptr, nullptr},
      {" http://my.quol.example/", nullptr, nullptr},
      {"http://my.quol.example/a b", nullptr, nullptr},
      {"http://my.quol.example\x7f/", nullptr, nullptr},
      {"http://m\xC3\xBD.quol.example/", nullptr, nullptr},
      {"http://xn--m-0ga.quol.example/", "xn--m-0ga.quol.example", "http://xn--m-0ga.quol.example/"},
      {"http://my%2fquol.example/", nullptr, nullptr},
      {"http://my%20quol.example/", nullptr, nullptr},
      {"http://my..quol.example/", nullptr, nullptr},
      {"http://.quol.example/", nullptr, nullptr},
      {"http://user@/", nullptr, nullptr},
      {"http:///", nullptr, nullptr},
      {"http://my.quol.example:99999/", nullptr, nullptr},
      {"http://my.quol.example:8o/", nullptr, nullptr},
      {"http://[::1/", nullptr, nullptr},
      {"http://[::1]x/", nullptr, nullptr},
      {"http://256.0.0.1/", nullptr, nullptr},
      {"http://1.2.3.4.5/", nullptr, nullptr},
      {"http://4294967296/", nullptr, nullptr},
      {"www.quol.example/page", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    WebUrl url;
    const HRESULT hr = ParseWebUrl(c.url, &url);
    if (c.host == nullptr) {
      EXPECT_LT(hr, 0) << c.url << " read as host " << url.host;
      continue;
    }
    ASSERT_EQ(hr, S_OK) << c.url;
    EXPECT_EQ(url.host, c.host) << c.url;
    EXPECT_EQ(WebUrlForRequest(url), c.for_request) << c.url;
    // What goes to a transport reads the same to curl as to a browser.
    UrlParts curl_view;
    ASSERT_EQ(SplitUrl(WebUrlForRequest(url), &curl_view), S_OK) << c.url;
    EXPECT_TRUE(EqualsIgnoreCase(curl_view.host, url.host) ||
                "[" + curl_view.host + "]" == url.host)
        << c.url << " curl reads " << curl_view.host;
  }
}

TEST(UrlTest, OtherSchemesKeepTheirTextAndHaveNoHost) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* path;
  };
  const Case cases[] = {
      {"javascript:void(0)", "javascript", "void(0)"},
      {"javascript:go(1, 2)", "javascript", "go(1, 2)"},
      {"RES://QuolDevuzez/offline.htm", "res", "//QuolDevuzez/offline.htm"},
      {"mailto:support@quol.example", "mailto", "support@quol.example"},
      {"file:///etc/passwd", "file", "///etc/passwd"},
  };
  for (const Case& c : cases) {
    WebUrl url;
    ASSERT_EQ(ParseWebUrl(c.url, &url), S_OK) << c.url;
    EXPECT_EQ(url.scheme, c.scheme) << c.url;
    EXPECT_EQ(url.path, c.path) << c.url;
    EXPECT_EQ(url.host, "") << c.url;
    EXPECT_EQ(WebUrlForRequest(url), "") << c.url;
  }
  WebUrl url;
  EXPECT_LT(ParseWebUrl("javascript:a()\r\n", &url), 0);
  EXPECT_LT(ParseWebUrl("", &url), 0);
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
