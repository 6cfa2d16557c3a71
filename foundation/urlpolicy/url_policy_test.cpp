#include "foundation/urlpolicy/url_policy.h"

#include "foundation/config/global_config.h"

#include <gtest/gtest.h>

#include "foundation/testing/log_capture.h"
#include "platform/url/url.h"

namespace quol {
namespace {

// The service's lists, as the configuration hands them to the policy.
UrlPolicyInputs Service() { return ServiceUrlPolicy("", false); }

class UrlPolicyTest : public ::testing::Test {
 protected:
  bool Safe(const std::string& url, const UrlPolicyInputs& inputs = Service(), int* kind = nullptr,
            bool log = true) {
    return IsUrlSafe(url, inputs, kind, log);
  }
  testing::LogCapture log_;
};

TEST_F(UrlPolicyTest, ScriptAndResourceUrlsPassWithoutAHostTest) {
  int kind = 0;
  EXPECT_TRUE(Safe("javascript:void(0)", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindJavascript);
  EXPECT_TRUE(Safe("res://QuolDevuzez/offline.htm", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindRes);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(UrlPolicyTest, FtpFileAndUnparsableUrlsFailSilently) {
  int kind = 0;
  EXPECT_FALSE(Safe("ftp://download.quol.example/pkg", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindFtp);
  EXPECT_FALSE(Safe("file:///etc/passwd", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindOther);
  EXPECT_FALSE(Safe("mailto:support@quol.example", Service(), &kind));
  EXPECT_FALSE(Safe("my.quol.example/devuzez", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindOther);
  EXPECT_FALSE(Safe("", Service(), &kind));
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(UrlPolicyTest, ServiceHostsPassAndOthersAreRejectedAndLogged) {
  int kind = 0;
  EXPECT_TRUE(Safe("https://my.quol.example/devuzez/", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindHttps);
  EXPECT_TRUE(Safe("http://secure.quol.example/", Service(), &kind));
  EXPECT_EQ(kind, kUrlKindHttp);
  EXPECT_TRUE(Safe("http://quol.partner.example/x"));
  EXPECT_TRUE(Safe("http://shop.quol.partner.example/x"));
  EXPECT_EQ(log_.Text(), "");

  EXPECT_FALSE(Safe("http://www.quol.example/help"));  // the public site, though under the domain
  EXPECT_FALSE(Safe("http://%77ww.quol.example/help"));  // escapes are decoded first
  EXPECT_FALSE(Safe("http://quol.example/"));            // bare domain: not under ".quol.example"
  EXPECT_FALSE(Safe("http://evil.example/", Service(), nullptr, false));
  EXPECT_TRUE(log_.Contains("ERROR URL http://www.quol.example/help is not safe -- rejected.\r\n"));
  EXPECT_TRUE(log_.Contains("ERROR URL http://quol.example/ is not safe -- rejected.\r\n"));
  EXPECT_FALSE(log_.Contains("evil.example"));
}

TEST_F(UrlPolicyTest, SafeListMatchesOnLabelBoundariesOnly) {
  EXPECT_FALSE(Safe("http://evilquol.partner.example/", Service(), nullptr, false));
  EXPECT_FALSE(Safe("http://notsecure.quol.example.attacker.example/", Service(), nullptr, false));
  EXPECT_FALSE(Safe("http://myquol.example/", Service(), nullptr, false));
  EXPECT_TRUE(HostInDomain("SECURE.Quol.Example", "secure.quol.example"));
  EXPECT_TRUE(HostInDomain("a.secure.quol.example", "secure.quol.example"));
  EXPECT_FALSE(HostInDomain("notsecure.quol.example", "secure.quol.example"));
  EXPECT_FALSE(HostInDomain("quol.example", ".quol.example"));
  // The plain suffix test stays for rejections, where it can only reject more.
  EXPECT_TRUE(HostEndsWith("notsecure.example", "secure.example"));
  EXPECT_FALSE(HostEndsWith("example", "secure.example"));
}

TEST_F(UrlPolicyTest, UnsafeDomainsWinOverTheSafeList) {
  UrlPolicyInputs inputs = Service();
  inputs.not_safe_domains = "calendar.quol.example; beta.quol.example";
  EXPECT_FALSE(Safe("https://calendar.quol.example/x", inputs));
  EXPECT_FALSE(Safe("https://old.beta.quol.example/x", inputs));
  EXPECT_TRUE(Safe("https://my.quol.example/x", inputs));
  EXPECT_TRUE(log_.Contains("URL https://calendar.quol.example/x is not safe -- rejected."));

  // Any run of ";" and blanks separates entries.
  for (const char* list : {"a.example;beta.quol.example", "a.example; beta.quol.example",
                           " a.example ;; beta.quol.example ", "a.example beta.quol.example"}) {
    inputs.not_safe_domains = list;
    EXPECT_FALSE(Safe("https://x.beta.quol.example/", inputs, nullptr, false)) << list;
    EXPECT_TRUE(Safe("https://my.quol.example/", inputs, nullptr, false)) << list;
  }
  // Plain suffix: an unsafe entry also catches look-alikes.
  inputs.not_safe_domains = "my.quol.example";
  EXPECT_FALSE(Safe("https://army.quol.example/", inputs, nullptr, false));
}

// Each URL with the host a browser goes to and the policy's verdict: the
// verdict must follow the browser's host, whatever curl would make of it.
TEST_F(UrlPolicyTest, VerdictFollowsTheHostTheBrowserReads) {
  struct Case {
    const char* url;
    const char* browser_host;  // nullptr: browsers would not load it / we refuse it
    bool safe;
  };
  const Case cases[] = {
      {"http://evil.example\\@my.quol.example/", "evil.example", false},
      {"http://my.quol.example\\@evil.example/", "my.quol.example", true},
      {"http://my.quol.example@evil.example/", "evil.example", false},
      {"http://evil.example@my.quol.example/", "my.quol.example", true},
      {"https:\\\\evil.example\\my.quol.example", "evil.example", false},
      {"http:evil.example/.quol.example", "evil.example", false},
      {"http://my%2equol%2eexample/", "my.quol.example", true},
      {"http://evil%2eexample%2f.quol.example/", nullptr, false},
      {"http://my.quol.example./", "my.quol.example.", true},
      {"http://www.quol.example./help", "www.quol.example.", false},
      {"HTTP://MY.QUOL.EXAMPLE:8080/x", "my.quol.example", true},
      {"http://[::1]/", "[::1]", false},
      {"http://[::1]@my.quol.example/", "my.quol.example", true},
      {"http://m\xC3\xBD.quol.example/", nullptr, false},
      {"http://xn--m-0ga.quol.example/", "xn--m-0ga.quol.example", true},
      {"http://my.quol.example\t.evil.example/", nullptr, false},
      {"http://my.quol.example\n/", nullptr, false},
      {" http://my.quol.example/", nullptr, false},
      {"http://my.quol.example /", nullptr, false},
      {"javascript:\talert(1)", nullptr, false},
  };
  for (const Case& c : cases) {
    platform::WebUrl parsed;
    const bool parses = Succeeded(platform::ParseWebUrl(c.url, &parsed));
    EXPECT_EQ(parses, c.browser_host != nullptr) << c.url;
    if (parses) {
      EXPECT_EQ(parsed.host, c.browser_host) << c.url;
    }
    EXPECT_EQ(Safe(c.url, Service(), nullptr, false), c.safe) << c.url;
  }
  // Refused outright, these are never logged as rejected hosts.
  EXPECT_FALSE(log_.Contains("\t"));
}

TEST_F(UrlPolicyTest, LoopbackInAnyNotationIsStillLoopback) {
  UrlPolicyInputs local = Service();
  local.trust_loopback = true;
  for (const char* url : {"http://2130706433:11110/", "http://0x7f.1/", "http://127.0.0.1.:2175/"}) {
    EXPECT_TRUE(Safe(url, local, nullptr, false)) << url;
    EXPECT_FALSE(Safe(url, Service(), nullptr, false)) << url;
  }
  local.not_safe_domains = "127.0.0.1";
  EXPECT_FALSE(Safe("http://2130706433/", local, nullptr, false));
}

// The policy has no hosts of its own: what is safe or blocked comes only
// from the lists it is handed.
TEST_F(UrlPolicyTest, OnlyTheHandedListsDecide) {
  const UrlPolicyInputs none;
  EXPECT_FALSE(Safe("https://my.quol.example/", none, nullptr, false));
  UrlPolicyInputs other;
  other.safe_domains = {"family.example"};
  other.blocked_hosts = {"ads.family.example"};
  EXPECT_TRUE(Safe("https://www.family.example/", other, nullptr, false));
  EXPECT_FALSE(Safe("https://ads.family.example/", other, nullptr, false));
  EXPECT_FALSE(Safe("https://my.quol.example/", other, nullptr, false));
}

TEST_F(UrlPolicyTest, HostlessHttpUrlIsLoggedEvenWithoutTheFlag) {
  EXPECT_FALSE(IsHostSafe("http://:80/nohost", Service(), false));
  EXPECT_TRUE(log_.Contains("ERROR 'http://:80/nohost' didn't parse: rejected.\r\n"));
}

TEST_F(UrlPolicyTest, LoopbackIsTrustedOnlyInTheLocalClientMode) {
  EXPECT_FALSE(Safe("http://127.0.0.1:11110/Service/API/accounts/auth/default.ashx", Service(), nullptr,
                    false));
  UrlPolicyInputs local = Service();
  local.trust_loopback = true;
  EXPECT_TRUE(Safe("http://127.0.0.1:11110/Service/API/accounts/auth/default.ashx", local));
  EXPECT_TRUE(Safe("http://localhost:2175/devuzez/", local));
  EXPECT_FALSE(Safe("http://127.0.0.10/", local, nullptr, false));
  EXPECT_FALSE(Safe("http://evil127.0.0.1.example/", local, nullptr, false));
}

}  // namespace
}  // namespace quol
