#include "foundation/rest/rest_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "platform/clock/clock.h"
#include "platform/http/http.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

namespace quol {
namespace {

TEST(RestRequestTest, EscapesEverythingButLettersAndDigits) {
  EXPECT_EQ(CRestRequest::EscapeQueryValue("x y+z.1"), "x%20y%2bz%2e1");
  EXPECT_EQ(CRestRequest::EscapeQueryValue("\xC3\xA9"), "%c3%a9");
  EXPECT_EQ(CRestRequest::EscapeQueryValue("a-b_c~d@e&f=g"), "a%2db%5fc%7ed%40e%26f%3dg");

  CRestRequest request("http://127.0.0.1/api?fixed=1");
  request.AddParam("empty", "");
  EXPECT_EQ(request.url(), "http://127.0.0.1/api?fixed=1");
  request.AddParam("q", "a b");
  platform::CalendarTime date;
  date.year = 2026;
  date.month = 3;
  date.day = 7;
  request.AddDateParam("startDate", date);
  EXPECT_EQ(request.url(), "http://127.0.0.1/api?fixed=1&q=a%20b&startDate=2026%2d03%2d07");
  request.Reset();
  request.AddParam("first", "1");
  EXPECT_EQ(request.url(), "http://127.0.0.1/api?fixed=1&first=1");
  CRestRequest plain("http://127.0.0.1/api");
  plain.AddParam("first", "1");
  EXPECT_EQ(plain.url(), "http://127.0.0.1/api?first=1");
}

// Envelope checks against canned answers.
class RestEnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get("/api", [this](const httplib::Request&, httplib::Response& res) {
      ++hits_;
      res.status = status_;
      res.set_content(body_, content_type_);
    });
    server_.Start();
  }
  HRESULT Call(const std::string& body, int status = 200) {
    body_ = body;
    status_ = status;
    request_.Reset();
    return request_.Call();
  }

  testing::ScopedHttpDefaults fast_{[](platform::HttpDefaults& d) { d.total_timeout_ms = 1500; }};
  testing::HttpTestServer server_;
  testing::LogCapture log_;
  std::string body_;
  int status_ = 200;
  int hits_ = 0;
  std::string content_type_ = "text/xml";
  CRestRequest request_{server_.Url("/api")};
};

TEST_F(RestEnvelopeTest, SuccessIsCaseInsensitiveAndDataIsReadable) {
  ASSERT_EQ(Call("<quol><success>TRUE</success><appointments><appointment><subject> Swim "
                 "</subject></appointment></appointments></quol>"),
            S_OK);
  EXPECT_EQ(request_.GetChildValue("appointments/appointment/subject"), "Swim");
  EXPECT_EQ(request_.GetChildValue("missing"), "");
  EXPECT_EQ(request_.GetChildValue("bad[["), "");
}

TEST_F(RestEnvelopeTest, BrokenEnvelopesFailWithTheirLogLines) {
  EXPECT_EQ(Call("<Quol><success>true</success></Quol>"), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR No <quol>\r\n"));
  EXPECT_EQ(Call("<html><body>Service Unavailable<br></body></html>"), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR REST response not valid xml: "));
  EXPECT_EQ(Call("<quol><success>true</success>", 200), E_FAIL);
  EXPECT_EQ(Call("", 200), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR Not xml\r\n"));
  EXPECT_EQ(Call("<quol><success>true</success></quol>", 500), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR REST failed: 80190000\r\n"));
  EXPECT_EQ(Call("<quol>" + std::string(20u << 20, ' ') + "</quol>"), E_FAIL);
  EXPECT_FALSE(request_.root());
}

TEST_F(RestEnvelopeTest, ServiceFailureKeepsTheAnswerReadable) {
  EXPECT_EQ(Call("<quol><success>false</success><errorCode>7</errorCode><error>Busy</error></quol>"),
            E_REST_CALL_FAILED);
  EXPECT_TRUE(log_.Contains("ERROR Call failed Busy (7).\r\n"));
  EXPECT_EQ(request_.GetChildValue("errorCode"), "7");
  EXPECT_EQ(Call("<quol><error>no success element</error></quol>"), E_REST_CALL_FAILED);
}

TEST_F(RestEnvelopeTest, SilentServerFailsWithoutHanging) {
  testing::SilentListener silent;
  CRestRequest request(silent.Url("/api"));
  EXPECT_EQ(request.Call(), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR REST failed: 80072ee2"));
}

TEST_F(RestEnvelopeTest, DeeplyNestedAnswersAreRefusedBeforeAnythingWalksThem) {
  auto nested = [](int levels, const std::string& inner) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
  };
  struct Case {
    const char* name;
    std::string body;
    HRESULT result;
  };
  const std::vector<Case> cases = {
      {"at the limit", "<quol><success>true</success>" + nested(63, "deep") + "</quol>", S_OK},
      {"one level more", "<quol><success>true</success>" + nested(64, "deep") + "</quol>", E_FAIL},
      {"60000 levels inside", "<quol><success>true</success>" + nested(60000, "x") + "</quol>",
       E_FAIL},
      {"60000 levels around", nested(60000, "<quol><success>true</success></quol>"), E_FAIL},
  };
  auto refusals = [this] {
    const std::string line = "ERROR REST response not valid xml: nesting deeper than 64 levels";
    const std::string text = log_.Text();
    int count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
  };
  int refused = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(Call(c.body), c.result) << c.name;
    if (c.result == S_OK) {
      EXPECT_EQ(request_.GetChildValue("a"), "deep") << c.name;
    } else {
      ++refused;
      EXPECT_FALSE(request_.root()) << c.name;
    }
    EXPECT_EQ(refusals(), refused) << c.name << ": " << log_.Text().substr(0, 2000);
  }
}

TEST_F(RestEnvelopeTest, StopFlagEndsAWaitingCall) {
  testing::SilentListener silent;
  testing::ScopedHttpDefaults patient{[](platform::HttpDefaults& d) { d.total_timeout_ms = 120000; }};
  CRestRequest request(silent.Url("/api"));
  std::atomic<bool> stop{false};
  request.SetStopFlag(&stop);
  HRESULT hr = S_OK;
  std::chrono::steady_clock::time_point ended;
  std::thread worker([&] {
    hr = request.Call();
    ended = std::chrono::steady_clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto set = std::chrono::steady_clock::now();
  stop = true;
  worker.join();
  EXPECT_EQ(hr, E_ABORT);
  EXPECT_LT(ended - set, std::chrono::seconds(5));
  EXPECT_TRUE(log_.Contains("ERROR REST failed: 80004004"));

  // Once set, later calls send nothing.
  request_.SetStopFlag(&stop);
  EXPECT_EQ(Call("<quol><success>true</success></quol>"), E_ABORT);
  EXPECT_EQ(hits_, 0);
}

TEST_F(RestEnvelopeTest, RedirectsMustPassTheUrlPolicy) {
  testing::IsolatedEnvironment env;  // the policy reads the process's configuration
  server_.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://evil.example/api?steal=1");
  });
  CRestRequest request(server_.Url("/moved"));
  EXPECT_EQ(request.Call(), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR URL http://evil.example/api?steal=1 is not safe -- rejected."))
      << log_.Text();
  EXPECT_TRUE(log_.Contains("ERROR REST failed: 80072f7c"));
}

// Sign-in lifetime rules, driven by canned answers and a settable clock.
class SignInTicketTest : public RestEnvelopeTest {
 protected:
  void SetUp() override {
    RestEnvelopeTest::SetUp();
    ResetTicketForTesting();
    clock_.Set(std::chrono::system_clock::now());
    platform::SetClockForTesting(&clock_);
    ASSERT_EQ(settings_.Load(), S_OK);
  }
  void TearDown() override {
    platform::SetClockForTesting(nullptr);
    ResetTicketForTesting();
  }
  HRESULT SignInWithTtl(const std::string& ttl_element, bool force = true) {
    body_ = "<quol><success>true</success><account>42</account><auth>T</auth>" + ttl_element +
            "</quol>";
    return SignIn(request_, "mum@quol.example", "pw", force, settings_);
  }

  testing::IsolatedEnvironment env_;
  platform::FakeClock clock_;
  CSuiteSettings settings_;
};

TEST_F(SignInTicketTest, LifetimeIsCappedAndRaised) {
  ASSERT_EQ(SignInWithTtl("<ttlMinutes>20000</ttlMinutes>"), S_OK);
  EXPECT_EQ(CurrentTicket().lifetime_minutes, 10080);
  ASSERT_EQ(SignInWithTtl("<ttlMinutes>2</ttlMinutes>"), S_OK);
  EXPECT_EQ(CurrentTicket().lifetime_minutes, 5);
  ASSERT_EQ(SignInWithTtl("<ttlMinutes>30</ttlMinutes>"), S_OK);
  ASSERT_EQ(SignInWithTtl(""), S_OK);  // absent: keeps the previous lifetime
  EXPECT_EQ(CurrentTicket().lifetime_minutes, 30);
  ASSERT_EQ(SignInWithTtl("<ttlMinutes>abc</ttlMinutes>"), S_OK);
  EXPECT_EQ(CurrentTicket().lifetime_minutes, 5);
  ASSERT_EQ(SignInWithTtl("<ttlMinutes>45min</ttlMinutes>"), S_OK);
  EXPECT_EQ(CurrentTicket().lifetime_minutes, 45);
}

TEST_F(SignInTicketTest, CachedTicketIsReusedWithinItsLifetime) {
  ASSERT_EQ(SignInWithTtl("", false), S_OK);  // default lifetime: 10 minutes
  EXPECT_EQ(hits_, 1);
  EXPECT_EQ(settings_.account_id(), "42");
  EXPECT_TRUE(settings_.dirty());
  clock_.Advance(std::chrono::minutes(4));
  EXPECT_EQ(SignInWithTtl("", false), S_FALSE);
  EXPECT_EQ(hits_, 1);
  EXPECT_EQ(SignInWithTtl("", true), S_OK);
  EXPECT_EQ(hits_, 2);
  clock_.Advance(std::chrono::minutes(10));
  EXPECT_EQ(SignInWithTtl("", false), S_OK);
  EXPECT_EQ(hits_, 3);
  // A clock set back never stretches the ticket.
  clock_.Advance(std::chrono::minutes(-1));
  EXPECT_EQ(SignInWithTtl("", false), S_OK);
  EXPECT_EQ(hits_, 4);
}

TEST_F(SignInTicketTest, FailuresKeepTheOldTicket) {
  ASSERT_EQ(SignInWithTtl(""), S_OK);
  body_ = "<quol><success>false</success><errorCode>2</errorCode></quol>";
  EXPECT_EQ(SignIn(request_, "mum@quol.example", "bad", true, settings_), E_REST_SIGNIN_REFUSED);
  body_ = "<quol><success>false</success><errorCode>5</errorCode></quol>";
  EXPECT_EQ(SignIn(request_, "mum@quol.example", "pw", true, settings_), E_REST_CALL_FAILED);
  body_ = "garbage";
  EXPECT_EQ(SignIn(request_, "mum@quol.example", "pw", true, settings_), E_FAIL);
  EXPECT_EQ(CurrentTicket().ticket, "T");
  EXPECT_EQ(CurrentTicket().account_id, "42");
}

TEST_F(SignInTicketTest, UnusableCredentialsSendNothing) {
  EXPECT_EQ(SignIn(request_, "ab", "pw", true, settings_), E_INVALIDARG);
  EXPECT_EQ(SignIn(request_, "\xC3\xA9\xC3\xA9", "pw", true, settings_), E_INVALIDARG);
  EXPECT_EQ(SignIn(request_, "abc", "", true, settings_), E_INVALIDARG);
  EXPECT_EQ(hits_, 0);
}

// Against the service stand-in.
class SignInServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTicketForTesting();
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    account_ = service_->AddAccount("Mum.Smith@quol.example", "s3cret pass+1");
    ASSERT_EQ(settings_.Load(), S_OK);
  }
  void TearDown() override { ResetTicketForTesting(); }
  std::string AuthUrl() const {
    return service_->api_base() + "/Service/API/accounts/auth/default.ashx";
  }
  int SignInCount() const {
    return service_->RequestCount("/Service/API/accounts/auth/default.ashx");
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  std::unique_ptr<service::DevService> service_;
  std::string account_;
  CSuiteSettings settings_;
};

TEST_F(SignInServiceTest, RightPasswordSignsInOnceWithinTheLifetime) {
  CRestRequest request(AuthUrl());
  ASSERT_EQ(SignIn(request, "mum.smith@quol.example", "s3cret pass+1", false, settings_), S_OK);
  EXPECT_EQ(CurrentTicket().account_id, account_);
  EXPECT_FALSE(CurrentTicket().ticket.empty());
  EXPECT_EQ(settings_.account_id(), account_);
  EXPECT_TRUE(log_.Contains("INFO Auth OK\r\n"));
  const std::vector<std::string> requests = service_->RequestLog();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(),
            "/Service/API/accounts/auth/default.ashx?username=mum%2esmith%40quol%2eexample"
            "&password=s3cret%20pass%2b1&apiKey=qvtrsn");

  platform::FakeClock later(platform::Now() + std::chrono::minutes(4));
  platform::SetClockForTesting(&later);
  HRESULT again = SignIn(request, "mum.smith@quol.example", "s3cret pass+1", false, settings_);
  platform::SetClockForTesting(nullptr);
  EXPECT_EQ(again, S_FALSE);
  EXPECT_EQ(SignInCount(), 1);
}

TEST_F(SignInServiceTest, CredentialCheckTellsWrongFromBroken) {
  EXPECT_EQ(CheckCredentials(AuthUrl(), "mum.smith@quol.example", "s3cret pass+1", settings_),
            kCredentialsAccepted);
  EXPECT_EQ(CheckCredentials(AuthUrl(), "mum.smith@quol.example", "wrong", settings_),
            kCredentialsWrong);
  EXPECT_EQ(CheckCredentials(AuthUrl(), "nobody@quol.example", "wrong", settings_),
            kCredentialsWrong);
  EXPECT_EQ(SignInCount(), 3);  // a check always asks the service
  CRestRequest request(AuthUrl());
  EXPECT_EQ(SignIn(request, "mum.smith@quol.example", "wrong", true, settings_),
            E_REST_SIGNIN_REFUSED);
  service_->Stop();
  EXPECT_EQ(CheckCredentials(AuthUrl(), "mum.smith@quol.example", "s3cret pass+1", settings_),
            kCredentialsError);
}

}  // namespace
}  // namespace quol
