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

// Callers read answers through the request alone; none of the headers above
// may hand them the XML library's types.
#ifdef PUGIXML_VERSION
#error "a public header exposes pugixml"
#endif

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
  EXPECT_FALSE(request_.has_answer());
}

// An answer handed over directly goes through the same checks as one that
// came over HTTP: same result, same answer left to read, same log line.
TEST_F(RestEnvelopeTest, ReadAnswerChecksLikeACall) {
  struct Case {
    const char* name;
    std::string body;
    HRESULT result;
    const char* logged;  // the ERROR line, or nullptr for none
  };
  const std::vector<Case> cases = {
      {"success", "<quol><success>true</success><account>42</account></quol>", S_OK, nullptr},
      {"service failure", "<quol><success>no</success><error>Busy</error><errorCode>7</errorCode>"
                          "<account>42</account></quol>",
       E_REST_CALL_FAILED, "ERROR Call failed Busy (7).\r\n"},
      {"other root", "<Quol><success>true</success></Quol>", E_FAIL, "ERROR No <quol>\r\n"},
      {"no element", "<!-- nothing -->", E_FAIL, "ERROR Not xml\r\n"},
      {"not xml", "<html><br></html>", E_FAIL, "ERROR REST response not valid xml: "},
  };
  // The lines logged since `from`, without their time stamps.
  auto logged_since = [this](std::size_t from) {
    std::string lines;
    const std::string text = log_.Text().substr(from);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      const std::size_t dash = line.find(" - ");
      lines += (dash == std::string::npos ? line : line.substr(dash + 3)) + "\n";
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  };
  for (const Case& c : cases) {
    CRestRequest direct("http://127.0.0.1/api");
    const std::size_t before_call = log_.Text().size();
    ASSERT_EQ(Call(c.body), c.result) << c.name;
    const std::string over_http = logged_since(before_call);
    const std::size_t before_read = log_.Text().size();
    EXPECT_EQ(direct.ReadAnswer(c.body), c.result) << c.name;
    const std::string handed_over = logged_since(before_read);
    EXPECT_EQ(handed_over, over_http) << c.name;
    EXPECT_EQ(handed_over.empty(), c.logged == nullptr) << c.name << ": " << handed_over;
    if (c.logged != nullptr) {
      EXPECT_TRUE(log_.Contains(c.logged)) << c.name;
    }
    EXPECT_EQ(direct.has_answer(), request_.has_answer()) << c.name;
    EXPECT_EQ(direct.has_answer(), Succeeded(c.result) || c.result == E_REST_CALL_FAILED)
        << c.name;
    EXPECT_EQ(direct.GetChildValue("account"), request_.GetChildValue("account")) << c.name;
  }
}

// Elements are walked by name in document order, across every element a
// step matches, as the calendar reads its appointments.
TEST(RestElementTest, ForEachElementWalksEveryMatchInDocumentOrder) {
  CRestRequest request("http://127.0.0.1/api");
  ASSERT_EQ(request.ReadAnswer(
                "<quol><success>true</success>"
                "<appointments><appointment id='1'><subject> Swim <b>&amp;</b> dive </subject>"
                "</appointment><note/><appointment id='2'/></appointments>"
                "<appointment id='stray'/>"
                "<appointments><appointment id='3'><attendees><attendee><color/></attendee>"
                "<attendee><name>no colour</name></attendee><attendee><color>9</color>"
                "</attendee></attendees></appointment></appointments></quol>"),
            S_OK);
  struct Case {
    const char* path;
    std::vector<std::string> ids;  // Attribute("id") of each element visited
  };
  const std::vector<Case> cases = {
      {"appointments/appointment", {"1", "2", "3"}},
      {"appointment", {"stray"}},
      {"appointments/note", {""}},
      {"appointments//appointment", {}},
      {"/appointments/appointment", {}},
      {"appointments/appointment/", {}},
      {"appointments/appointment[1]", {}},
      {"missing/appointment", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> ids;
    const std::size_t count = request.ForEachElement(
        c.path, [&](const RestElement& element) { ids.push_back(element.Attribute("id")); });
    EXPECT_EQ(ids, c.ids) << c.path;
    EXPECT_EQ(count, c.ids.size()) << c.path;
  }

  std::vector<std::string> subjects;
  std::vector<std::string> colours;
  request.ForEachElement("appointments/appointment", [&](const RestElement& item) {
    subjects.push_back(item.Text("subject"));
    item.ForEachElement("attendees/attendee", [&](const RestElement& attendee) {
      colours.push_back(attendee.Has("color") ? "[" + attendee.Text("color") + "]" : "none");
    });
  });
  EXPECT_EQ(subjects, (std::vector<std::string>{"Swim & dive", "", ""}));
  EXPECT_EQ(colours, (std::vector<std::string>{"[]", "none", "[9]"}));
  EXPECT_TRUE(request.HasChild("appointments"));
  EXPECT_FALSE(request.HasChild("appointments/appointment"));

  // A failed call leaves nothing of the earlier answer to walk.
  ASSERT_EQ(request.ReadAnswer("<Quol><appointments><appointment/></appointments></Quol>"),
            E_FAIL);
  EXPECT_EQ(request.ForEachElement("appointments/appointment", [](const RestElement&) {}), 0u);
  EXPECT_FALSE(request.HasChild("appointments"));
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
      EXPECT_FALSE(request_.has_answer()) << c.name;
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
