#include "foundation/config/global_config.h"

#include <gtest/gtest.h>

#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "platform/http/http.h"
#include "platform/identity/identity.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

namespace quol {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::WriteFileOrDie;

class GlobalConfigTest : public ::testing::Test {
 protected:
  std::string DataFile(const std::string& name) const { return env_.data_dir() + "/" + name; }
  void WriteConfig(const std::string& body) {
    WriteFileOrDie(DataFile("GlobalConfig_v2.xml"), "<quol>" + body + "</quol>");
  }
  void WriteLocal(const std::string& body) {
    WriteFileOrDie(DataFile("LocalConfig.xml"), "<quol>" + body + "</quol>");
  }
  std::unique_ptr<CGlobalConfig> LoadConfig() {
    auto config = std::make_unique<CGlobalConfig>(module_, settings_);
    EXPECT_EQ(config->Load(), S_OK);
    return config;
  }

  testing::IsolatedEnvironment env_;
  ScopedEnv mode_{"DevuzezClientMode", std::nullopt};
  testing::LogCapture log_;
  CCobrandableModule module_;
  CSuiteSettings settings_;
};

TEST_F(GlobalConfigTest, MissingFileGivesTheProdDefaults) {
  auto config = LoadConfig();
  EXPECT_EQ(config->client_mode(), kClientModeProd);
  EXPECT_EQ(config->update_service_url(),
            "http://download.quol.example/QuolDevuzez/GlobalConfig_v2.xml");
  EXPECT_EQ(config->fallback_update_service_url(), config->update_service_url());
  EXPECT_EQ(config->auth_service_url(),
            "https://api.quol.example/v_p_v0.6/API/accounts/auth/default.ashx");
  EXPECT_EQ(config->reminder_service_url(),
            "http://my.quol.example/rest/api/calendar/interval/default.ashx");
  EXPECT_EQ(config->home_page_url(), "http://my.quol.example/devuzez/");
  EXPECT_EQ(config->logon_page(), "/logon/logon.");
  EXPECT_EQ(config->logoff_page(), "/logon/logout.");
  EXPECT_EQ(config->auth_cookies(), "ASP.NET_SessionId;quol_state;quol_auth");
  EXPECT_EQ(config->ttl_minutes(), 1440);
  EXPECT_EQ(config->calendar_update_interval(), 5);
  EXPECT_FALSE(config->latest_version().valid());
  EXPECT_EQ(config->min_version().text(), "0.0.0.0");
  EXPECT_FALSE(config->dont_download_updates());
  EXPECT_TRUE(log_.Contains("Setting 'default/ttl' defaulted to ''"));
}

TEST_F(GlobalConfigTest, ClientModeComesFromTheEnvironment) {
  {
    ScopedEnv mode("DevuzezClientMode", std::string("LOCAL"));
    CGlobalConfig config(module_, settings_);
    EXPECT_EQ(config.client_mode(), kClientModeLocal);
    EXPECT_EQ(config.auth_service_url(),
              "http://127.0.0.1:11110/Service/API/accounts/auth/default.ashx");
    EXPECT_EQ(config.reminder_service_url(),
              "http://127.0.0.1:11110/Service/api/calendar/interval/default.ashx");
    EXPECT_EQ(config.home_page_url(), "http://127.0.0.1:2175/devuzez/");
    EXPECT_EQ(config.update_service_url(),
              "http://download.quol.example/QuolDevuzez/GlobalConfig_v2.xml");
  }
  ScopedEnv mode("DevuzezClientMode", std::string("test"));
  EXPECT_EQ(CGlobalConfig(module_, settings_).client_mode(), kClientModeProd);
}

TEST_F(GlobalConfigTest, NumbersAreClamped) {
  struct Case {
    const char* ttl;
    const char* interval;
    int want_ttl;
    int want_interval;
  };
  for (const Case& c : {Case{"60", "0", 240, 1}, Case{"20000", "3", 10080, 3},
                        Case{"abc", "-4", 1440, 1}, Case{"600", "99", 600, 5}}) {
    WriteConfig(std::string("<default><ttl>") + c.ttl + "</ttl><calendarUpdateInterval>" +
                c.interval + "</calendarUpdateInterval></default>");
    auto config = LoadConfig();
    EXPECT_EQ(config->ttl_minutes(), c.want_ttl) << c.ttl;
    EXPECT_EQ(config->calendar_update_interval(), c.want_interval) << c.interval;
  }
}

TEST_F(GlobalConfigTest, CobrandSectionWinsAndCobrandIdIsSubstituted) {
  module_.SetCobrand("ABC", 0);
  WriteConfig(
      "<default><homePageUrl>http://my.quol.example/default/</homePageUrl>"
      "<whatsNewUrl>http://my.quol.example/%COBRANDID%/page%DEBUG%</whatsNewUrl>"
      "<logonPage>/logon/default.</logonPage><ttl>300</ttl></default>"
      "<ABC><homePageUrl>http://my.quol.example/abc/</homePageUrl><ttl>9000</ttl></ABC>");
  auto config = LoadConfig();
  EXPECT_EQ(config->home_page_url(), "http://my.quol.example/abc/");
  EXPECT_EQ(config->logon_page(), "/logon/default.");
  EXPECT_EQ(config->whats_new_url(), "http://my.quol.example/_ABC/page");
  EXPECT_EQ(config->ttl_minutes(), 300);  // read from default only

  module_.SetCobrand("", 0);
  auto plain = LoadConfig();
  EXPECT_EQ(plain->home_page_url(), "http://my.quol.example/default/");
  EXPECT_EQ(plain->whats_new_url(), "http://my.quol.example//page");
}

TEST_F(GlobalConfigTest, UnsafeServiceUrlsFallBackToTheModeDefaults) {
  WriteConfig(
      "<default><notSafeDomains>bad.quol.example</notSafeDomains>"
      "<homePageUrl>http://evil.example/phish</homePageUrl>"
      "<authServiceUrl>https://bad.quol.example/auth</authServiceUrl>"
      "<reminderServiceUrl>ftp://my.quol.example/cal</reminderServiceUrl></default>");
  auto config = LoadConfig();
  EXPECT_EQ(config->home_page_url(), "http://my.quol.example/devuzez/");
  EXPECT_EQ(config->auth_service_url(),
            "https://api.quol.example/v_p_v0.6/API/accounts/auth/default.ashx");
  EXPECT_EQ(config->reminder_service_url(),
            "http://my.quol.example/rest/api/calendar/interval/default.ashx");
  EXPECT_TRUE(log_.Contains("URL http://evil.example/phish is not safe -- rejected."));
  EXPECT_TRUE(log_.Contains("URL https://bad.quol.example/auth is not safe -- rejected."));
}

TEST_F(GlobalConfigTest, DownloadUrlIsChosenBySku) {
  WriteConfig(
      "<default><downloadUrl sku=''>http://download.quol.example/plain.deb</downloadUrl>"
      "<downloadUrl sku='collage'>http://download.quol.example/collage.deb</downloadUrl>"
      "<downloadUrl>http://download.quol.example/nosku.deb</downloadUrl></default>");
  module_.SetCobrand("", 2);
  EXPECT_EQ(LoadConfig()->download_url(), "http://download.quol.example/collage.deb");
  module_.SetCobrand("", 0);
  EXPECT_EQ(LoadConfig()->download_url(), "http://download.quol.example/plain.deb");
  module_.SetCobrand("", 1);
  EXPECT_EQ(LoadConfig()->download_url(), "");
}

TEST_F(GlobalConfigTest, TipsAreGapFreeAndBuiltInOnlyWhenNoneAreGiven) {
  WriteConfig(
      "<default><saverTip1>One</saverTip1><saverTip2>!Two</saverTip2><saverTip4>Four</saverTip4>"
      "</default>");
  auto config = LoadConfig();
  ASSERT_EQ(config->tip_count(), 2);
  EXPECT_EQ(config->GetTip(1), "!Two");
  EXPECT_EQ(config->GetTip(2), "");
  EXPECT_EQ(config->GetTip(-1), "");
  ASSERT_EQ(config->Load(), S_OK);  // reading again replaces, never appends
  EXPECT_EQ(config->tip_count(), 2);

  WriteConfig("<default/>");
  auto builtin = LoadConfig();
  ASSERT_EQ(builtin->tip_count(), 16);
  EXPECT_EQ(builtin->GetTip(0).substr(0, 6), "!Tip: ");
  EXPECT_EQ(builtin->GetTip(5),
            "Tip: If you know a friend who would love this photo screen saver, point them to "
            "www.quol.example.");
  EXPECT_EQ(builtin->GetTip(15),
            "We love to hear your feedback! Send questions and comments to support@quol.example.");
}

TEST_F(GlobalConfigTest, CobrandIdNamesASectionOnlyByItsExactName) {
  WriteConfig(
      "<default><homePageUrl>http://my.quol.example/default/</homePageUrl></default>"
      "<EVIL><homePageUrl>http://my.quol.example/evil/</homePageUrl></EVIL>"
      "<ABC><homePageUrl>http://my.quol.example/abc/</homePageUrl></ABC>");
  struct Case {
    const char* cobrand_id;
    const char* home;
  };
  const Case cases[] = {
      {"ABC", "http://my.quol.example/abc/"},
      {"EVIL", "http://my.quol.example/evil/"},
      {"NOPE|EVIL", "http://my.quol.example/default/"},
      {"EVIL[1]", "http://my.quol.example/default/"},
      {"*", "http://my.quol.example/default/"},
      {"abc", "http://my.quol.example/default/"},
      {"NOPE", "http://my.quol.example/default/"},
  };
  for (const Case& c : cases) {
    module_.SetCobrand(c.cobrand_id, 0);
    EXPECT_EQ(LoadConfig()->home_page_url(), c.home) << c.cobrand_id;
  }
}

TEST_F(GlobalConfigTest, ManyTipsAreAllReadInOrder) {
  constexpr int kTips = 50000;
  std::string tips;
  for (int n = kTips; n >= 1; --n) {  // document order does not matter, numbering does
    tips += "<saverTip" + std::to_string(n) + ">Tip number " + std::to_string(n) + "</saverTip" +
            std::to_string(n) + ">";
  }
  WriteConfig("<default>" + tips + "</default>");
  auto config = LoadConfig();
  ASSERT_EQ(config->tip_count(), kTips);
  for (int i : {0, 1, 777, kTips / 2, kTips - 1}) {
    EXPECT_EQ(config->GetTip(i), "Tip number " + std::to_string(i + 1));
  }
}

TEST_F(GlobalConfigTest, LocalOverridesTouchOnlyTheServiceUrls) {
  WriteLocal(
      "<default><homePageUrl>http://my.quol.example/devuzez/</homePageUrl>"
      "<ttl>9999</ttl><logonPage>/elsewhere</logonPage></default>");
  auto same = LoadConfig();
  EXPECT_FALSE(log_.Contains("Overriding"));
  EXPECT_EQ(same->ttl_minutes(), 1440);
  EXPECT_EQ(same->logon_page(), "/logon/logon.");

  WriteLocal(
      "<default><homePageUrl>https://test.quol.example:9895/devuzez/</homePageUrl>"
      "<authServiceUrl>http://evil.example/auth</authServiceUrl></default>");
  auto changed = LoadConfig();
  EXPECT_TRUE(log_.Contains(
      "INFO Overriding homePageUrl with https://test.quol.example:9895/devuzez/\r\n"));
  EXPECT_EQ(changed->home_page_url(), "https://test.quol.example:9895/devuzez/");
  EXPECT_EQ(changed->auth_service_url(),
            "https://api.quol.example/v_p_v0.6/API/accounts/auth/default.ashx");
  EXPECT_FALSE(log_.Contains("Overriding authServiceUrl"));
}

TEST_F(GlobalConfigTest, UpdateQueryCarriesAccountCobrandVersionAndLocale) {
  ScopedEnv lc_all("LC_ALL", std::nullopt);
  ScopedEnv lc_messages("LC_MESSAGES", std::nullopt);
  ScopedEnv lang("LANG", std::string("fr_CA.UTF-8"));
  module_.SetCobrand("ABC", 0);
  settings_.SetAccountId("1234");
  auto config = LoadConfig();
  const std::string v = platform::ProgramFileVersionText();
  EXPECT_EQ(config->BuildUpdateQuery(false),
            "http://download.quol.example/QuolDevuzez/GlobalConfig_v2.xml?account=1234&cobrand=ABC"
            "&v=" + v + "&ll=fr-CA");

  WriteLocal(
      "<default><fallBackUpdateServiceUrl>http://download.quol.example/cfg?x=1"
      "</fallBackUpdateServiceUrl></default>");
  settings_.SetAccountId("a b&c");
  ScopedEnv plain_lang("LANG", std::string("C"));
  auto fallback = LoadConfig();
  EXPECT_EQ(fallback->BuildUpdateQuery(true),
            "http://download.quol.example/cfg?x=1&account=a%20b%26c&cobrand=ABC&v=" + v +
                "&ll=en-US");
}

// Refreshing from a server on this machine: the local client mode trusts
// loopback, and LocalConfig.xml points the update service at the server.
class GlobalConfigRefreshTest : public GlobalConfigTest {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Get("/cfg", [this](const httplib::Request& req, httplib::Response& res) {
      last_query_ = req.target;
      res.status = status_;
      res.set_content(body_, content_type_);
    });
    s.Get("/fallback", [this](const httplib::Request&, httplib::Response& res) {
      ++fallback_hits_;
      res.status = 404;
    });
    server_.Start();
    WriteLocal("<default><updateServiceUrl>" + server_.Url("/cfg") +
               "</updateServiceUrl><fallBackUpdateServiceUrl>" + server_.Url("/fallback") +
               "</fallBackUpdateServiceUrl></default>");
    WriteConfig("<default><homePageUrl>http://127.0.0.1:2175/cached/</homePageUrl></default>");
  }
  ScopedEnv local_mode_{"DevuzezClientMode", std::string("local")};
  testing::ScopedHttpDefaults fast_{[](platform::HttpDefaults& d) { d.total_timeout_ms = 1500; }};
  testing::HttpTestServer server_;
  int status_ = 200;
  std::string body_;
  std::string content_type_ = "text/xml";
  std::string last_query_;
  int fallback_hits_ = 0;
};

std::string Nested(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "<x>";
  for (int i = 0; i < levels; ++i) text += "</x>";
  return text;
}

TEST_F(GlobalConfigRefreshTest, RedirectsAreFollowedOnlyToSafeAddresses) {
  int landed = 0;
  server_.server().Get("/moved", [this](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://localhost:" + std::to_string(server_.port()) + "/landing");
  });
  server_.server().Get("/moved-here", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/landing");
  });
  server_.server().Get("/landing", [&](const httplib::Request&, httplib::Response& res) {
    ++landed;
    res.set_content(
        "<quol><default><updateServiceUrl>/cfg</updateServiceUrl>"
        "<homePageUrl>http://127.0.0.1:2175/landed/</homePageUrl></default></quol>",
        "text/xml");
  });
  // The cached configuration lists this machine's name as unsafe.
  WriteConfig(
      "<default><notSafeDomains>localhost</notSafeDomains>"
      "<homePageUrl>http://127.0.0.1:2175/cached/</homePageUrl></default>");
  WriteLocal("<default><updateServiceUrl>" + server_.Url("/moved") +
             "</updateServiceUrl><fallBackUpdateServiceUrl>" + server_.Url("/fallback") +
             "</fallBackUpdateServiceUrl></default>");
  auto config = LoadConfig();
  EXPECT_EQ(config->RefreshFromService(), E_FAIL);
  EXPECT_EQ(landed, 0);
  EXPECT_EQ(config->home_page_url(), "http://127.0.0.1:2175/cached/");
  EXPECT_TRUE(log_.Contains("URL http://localhost:" + std::to_string(server_.port()) +
                            "/landing is not safe -- rejected."));

  WriteLocal("<default><updateServiceUrl>" + server_.Url("/moved-here") +
             "</updateServiceUrl></default>");
  auto followed = LoadConfig();
  ASSERT_EQ(followed->RefreshFromService(), S_OK);
  EXPECT_EQ(landed, 1);
  EXPECT_EQ(followed->home_page_url(), "http://127.0.0.1:2175/landed/");
}

TEST_F(GlobalConfigRefreshTest, TakesTheDocumentAndMakesRelativeUrlsAbsolute) {
  body_ =
      "<quol><default><updateServiceUrl>/cfg</updateServiceUrl>"
      "<homePageUrl>http://127.0.0.1:2175/fresh/</homePageUrl>"
      "<whatsNewUrl>news/whatsnew.htm</whatsNewUrl><logonPage>/logon/x.</logonPage>"
      "<latestVersion>2.5.0.0</latestVersion><saverTip1>Fresh tip</saverTip1></default></quol>";
  auto config = LoadConfig();
  EXPECT_EQ(config->home_page_url(), "http://127.0.0.1:2175/cached/");
  ASSERT_EQ(config->RefreshFromService(), S_OK);
  EXPECT_EQ(last_query_.substr(0, 13), "/cfg?account=");
  EXPECT_EQ(config->home_page_url(), "http://127.0.0.1:2175/fresh/");
  EXPECT_EQ(config->whats_new_url(), server_.Url("/news/whatsnew.htm"));
  EXPECT_EQ(config->logon_page(), "/logon/x.");
  EXPECT_EQ(config->latest_version().text(), "2.5.0.0");
  EXPECT_EQ(config->tip_count(), 1);
  // The local overrides still hold after the refresh.
  EXPECT_EQ(config->update_service_url(), server_.Url("/cfg"));

  const std::string cached = ReadFileOrEmpty(DataFile("GlobalConfig_v2.xml"));
  EXPECT_NE(cached.find("<updateServiceUrl>" + server_.Url("/cfg") + "</updateServiceUrl>"),
            std::string::npos);
  EXPECT_NE(cached.find("<logonPage>/logon/x.</logonPage>"), std::string::npos);
  auto restarted = LoadConfig();
  EXPECT_EQ(restarted->home_page_url(), "http://127.0.0.1:2175/fresh/");
}

TEST_F(GlobalConfigRefreshTest, HostileAnswersChangeNothing) {
  struct Case {
    const char* name;
    int status;
    std::string body;
    const char* content_type;
  };
  const std::vector<Case> cases = {
      {"html error page", 200, "<html><body>Oops<br></body></html>", "text/html"},
      {"status 500", 500, "<quol><default><updateServiceUrl>/x</updateServiceUrl></default></quol>",
       "text/xml"},
      {"truncated", 200, "<quol><default><updateServiceUrl>/cfg</updateSer", "text/xml"},
      {"50 MB", 200, "<quol>" + std::string(50u << 20, ' ') + "</quol>", "text/xml"},
      {"wrong root", 200, "<Quol><default><updateServiceUrl>/x</updateServiceUrl></default></Quol>",
       "text/xml"},
      {"no updateServiceUrl", 200, "<quol><default><homePageUrl>http://127.0.0.1/x</homePageUrl>"
                                   "</default></quol>", "text/xml"},
      {"empty updateServiceUrl", 200, "<quol><default><updateServiceUrl> </updateServiceUrl>"
                                      "<homePageUrl>http://127.0.0.1/x</homePageUrl></default></quol>",
       "text/xml"},
      {"60000 levels deep", 200,
       "<quol><default><updateServiceUrl>/cfg</updateServiceUrl><homePageUrl>" +
           Nested(60000) + "</homePageUrl></default></quol>",
       "text/xml"},
  };
  const std::string cached = ReadFileOrEmpty(DataFile("GlobalConfig_v2.xml"));
  for (const Case& c : cases) {
    status_ = c.status;
    body_ = c.body;
    content_type_ = c.content_type;
    auto config = LoadConfig();
    EXPECT_LT(config->RefreshFromService(), 0) << c.name;
    EXPECT_EQ(config->home_page_url(), "http://127.0.0.1:2175/cached/") << c.name;
    EXPECT_EQ(config->tip_count(), 16) << c.name;
    EXPECT_EQ(ReadFileOrEmpty(DataFile("GlobalConfig_v2.xml")), cached) << c.name;
  }
  EXPECT_TRUE(log_.Contains("INFO Global config not found attempting fallback"));
  EXPECT_TRUE(log_.Contains("ERROR Global config load failed."));
  EXPECT_TRUE(log_.Contains("ERROR GlobalConfig did not contain updateServiceUrl."));
  EXPECT_TRUE(log_.Contains("ERROR updateServiceUrl missing."));
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: "));
  EXPECT_TRUE(log_.Contains("ERROR Failed to get settings: nesting deeper than 64 levels"));
  EXPECT_GE(fallback_hits_, 3);
}

TEST_F(GlobalConfigRefreshTest, ServerThatNeverAnswersTimesOut) {
  testing::SilentListener silent;
  WriteLocal("<default><updateServiceUrl>" + silent.Url("/cfg") +
             "</updateServiceUrl><fallBackUpdateServiceUrl>" + silent.Url("/cfg2") +
             "</fallBackUpdateServiceUrl></default>");
  auto config = LoadConfig();
  EXPECT_EQ(config->RefreshFromService(), E_FAIL);
  EXPECT_EQ(config->home_page_url(), "http://127.0.0.1:2175/cached/");
}

TEST_F(GlobalConfigRefreshTest, DontDownloadUpdatesSkipsTheRefresh) {
  WriteConfig("<default><dontDownloadUpdates>TRUE</dontDownloadUpdates></default>");
  body_ = "<quol><default><updateServiceUrl>/cfg</updateServiceUrl></default></quol>";
  auto config = LoadConfig();
  EXPECT_TRUE(config->dont_download_updates());
  EXPECT_EQ(config->RefreshFromService(), S_OK);
  EXPECT_TRUE(last_query_.empty());
}

TEST_F(GlobalConfigTest, RefreshesFromTheServiceStandIn) {
  ScopedEnv local_mode("DevuzezClientMode", std::string("local"));
  service::DevServiceOptions options;
  options.db_path = env_.root() + "/service.sqlite";
  options.api_port = 0;
  options.web_port = 0;
  options.latest_version = "3.1.0.0";
  std::string error;
  auto service = service::DevService::Create(options, &error);
  ASSERT_TRUE(service) << error;
  service->SetLogSink([](const std::string&) {});
  ASSERT_TRUE(service->Start(&error)) << error;
  const std::string config_url = service->api_base() + "/QuolDevuzez/GlobalConfig_v2.xml";
  // The first address fails, the fallback is the stand-in.
  WriteLocal("<default><updateServiceUrl>" + service->api_base() +
             "/missing.xml</updateServiceUrl><fallBackUpdateServiceUrl>" + config_url +
             "</fallBackUpdateServiceUrl></default>");

  auto config = LoadConfig();
  ASSERT_EQ(config->RefreshFromService(), S_OK) << log_.Text();
  EXPECT_TRUE(log_.Contains("INFO Global config not found attempting fallback"));
  EXPECT_EQ(config->latest_version().text(), "3.1.0.0");
  EXPECT_EQ(config->auth_service_url(),
            service->api_base() + "/Service/API/accounts/auth/default.ashx");
  EXPECT_EQ(config->home_page_url(), service->web_base() + "/devuzez/");
  EXPECT_EQ(config->whats_new_url(), service->api_base() + "/devuzez/whatsnew.htm");
  EXPECT_EQ(config->logon_page(), "/logon/logon.");
  EXPECT_EQ(config->calendar_update_interval(), 1);
  EXPECT_EQ(service->RequestCount("/QuolDevuzez/GlobalConfig_v2.xml"), 1);
}

}  // namespace
}  // namespace quol
