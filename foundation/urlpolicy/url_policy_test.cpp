#include "foundation/urlpolicy/url_policy.h"

#include <gtest/gtest.h>

#include "foundation/testing/log_capture.h"

namespace quol {
namespace {

class UrlPolicyTest : public ::testing::Test {
 protected:
  bool Safe(const std::string& url, const UrlPolicyInputs& inputs = {}, int* kind = nullptr,
            bool log = true) {
    return IsUrlSafe(url, inputs, kind, log);
  }
  testing::LogCapture log_;
};

TEST_F(UrlPolicyTest, ScriptAndResourceUrlsPassWithoutAHostTest) {
  int kind = 0;
  EXPECT_TRUE(Safe("javascript:void(0)", {}, &kind));
  EXPECT_EQ(kind, kUrlKindJavascript);
  EXPECT_TRUE(Safe("res://QuolDevuzez/offline.htm", {}, &kind));
  EXPECT_EQ(kind, kUrlKindRes);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(UrlPolicyTest, FtpFileAndUnparsableUrlsFailSilently) {
  int kind = 0;
  EXPECT_FALSE(Safe("ftp://download.quol.example/pkg", {}, &kind));
  EXPECT_EQ(kind, kUrlKindFtp);
  EXPECT_FALSE(Safe("file:///etc/passwd", {}, &kind));
  EXPECT_EQ(kind, kUrlKindOther);
  EXPECT_FALSE(Safe("mailto:support@quol.example", {}, &kind));
  EXPECT_FALSE(Safe("my.quol.example/devuzez", {}, &kind));
  EXPECT_EQ(kind, kUrlKindOther);
  EXPECT_FALSE(Safe("", {}, &kind));
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(UrlPolicyTest, ServiceHostsPassAndOthersAreRejectedAndLogged) {
  int kind = 0;
  EXPECT_TRUE(Safe("https://my.quol.example/devuzez/", {}, &kind));
  EXPECT_EQ(kind, kUrlKindHttps);
  EXPECT_TRUE(Safe("http://secure.quol.example/", {}, &kind));
  EXPECT_EQ(kind, kUrlKindHttp);
  EXPECT_TRUE(Safe("http://quol.partner.example/x"));
  EXPECT_TRUE(Safe("http://shop.quol.partner.example/x"));
  EXPECT_EQ(log_.Text(), "");

  EXPECT_FALSE(Safe("http://www.quol.example/help"));  // the public site, though under the domain
  EXPECT_FALSE(Safe("http://%77ww.quol.example/help"));  // escapes are decoded first
  EXPECT_FALSE(Safe("http://quol.example/"));            // bare domain: not under ".quol.example"
  EXPECT_FALSE(Safe("http://evil.example/", {}, nullptr, false));
  EXPECT_TRUE(log_.Contains("ERROR URL http://www.quol.example/help is not safe -- rejected.\r\n"));
  EXPECT_TRUE(log_.Contains("ERROR URL http://quol.example/ is not safe -- rejected.\r\n"));
  EXPECT_FALSE(log_.Contains("evil.example"));
}

TEST_F(UrlPolicyTest, SafeListMatchesOnLabelBoundariesOnly) {
  EXPECT_FALSE(Safe("http://evilquol.partner.example/", {}, nullptr, false));
  EXPECT_FALSE(Safe("http://notsecure.quol.example.attacker.example/", {}, nullptr, false));
  EXPECT_FALSE(Safe("http://myquol.example/", {}, nullptr, false));
  EXPECT_TRUE(HostInDomain("SECURE.Quol.Example", "secure.quol.example"));
  EXPECT_TRUE(HostInDomain("a.secure.quol.example", "secure.quol.example"));
  EXPECT_FALSE(HostInDomain("notsecure.quol.example", "secure.quol.example"));
  EXPECT_FALSE(HostInDomain("quol.example", ".quol.example"));
  // The plain suffix test stays for rejections, where it can only reject more.
  EXPECT_TRUE(HostEndsWith("notsecure.example", "secure.example"));
  EXPECT_FALSE(HostEndsWith("example", "secure.example"));
}

TEST_F(UrlPolicyTest, UnsafeDomainsWinOverTheSafeList) {
  UrlPolicyInputs inputs;
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

TEST_F(UrlPolicyTest, HostlessHttpUrlIsLoggedEvenWithoutTheFlag) {
  EXPECT_FALSE(IsHostSafe("http://:80/nohost", UrlPolicyInputs{}, false));
  EXPECT_TRUE(log_.Contains("ERROR 'http://:80/nohost' didn't parse: rejected.\r\n"));
}

TEST_F(UrlPolicyTest, LoopbackIsTrustedOnlyInTheLocalClientMode) {
  EXPECT_FALSE(Safe("http://127.0.0.1:11110/Service/API/accounts/auth/default.ashx", {}, nullptr,
                    false));
  UrlPolicyInputs local;
  local.trust_loopback = true;
  EXPECT_TRUE(Safe("http://127.0.0.1:11110/Service/API/accounts/auth/default.ashx", local));
  EXPECT_TRUE(Safe("http://localhost:2175/devuzez/", local));
  EXPECT_FALSE(Safe("http://127.0.0.10/", local, nullptr, false));
  EXPECT_FALSE(Safe("http://evil127.0.0.1.example/", local, nullptr, false));
}

}  // namespace
}  // namespace quol
