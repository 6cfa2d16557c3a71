#include "service/devservice.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pugixml.hpp>
#include <set>
#include <thread>

#include "service/civil_time.h"
#include "service/command_line.h"
#include "service/markup.h"
#include "service/web_app.h"
#include "platform/http/http.h"
#include "platform/testing/test_support.h"
#include "platform/trust/minisign.h"

extern char** environ;

namespace quol::service {
namespace {

constexpr char kConfig[] = "/QuolDevuzez/GlobalConfig_v2.xml";
constexpr char kAuth[] = "/Service/API/accounts/auth/default.ashx";
constexpr char kCalendar[] = "/Service/api/calendar/interval/default.ashx";

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "quol-devservice-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// As the desktop client sends values: every byte but letters and digits as
// lower-case %xx.
std::string Escape(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02x", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out;
}

std::int64_t ParseUtc(const std::string& text) {
  auto date = ParseIsoDate(text.substr(0, 10));
  if (!date || text.size() != 19) return -1;
  return DaysFromCivil(*date) * kSecondsPerDay + std::stoi(text.substr(11, 2)) * 3600 +
         std::stoi(text.substr(14, 2)) * 60 + std::stoi(text.substr(17, 2));
}

struct Served {
  std::string subject;
  bool all_day = false, routine = false;
  std::int64_t start = 0, end = 0;
  std::vector<Attendee> attendees;
};

class DevServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DevServiceOptions options;
    options.db_path = dir_ / "state.sqlite";
    options.api_port = options.web_port = 0;
    std::string error;
    service_ = DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    ASSERT_TRUE(service_->Start(&error)) << error;
    service_->SetLogSink([this](const std::string& line) {
      std::lock_guard lock(log_mutex_);
      log_lines_.push_back(line);
    });
  }

  httplib::Result Get(const std::string& target, bool web = false) {
    httplib::Client client("127.0.0.1", web ? service_->web_port() : service_->api_port());
    client.set_url_encode(false);
    return client.Get(target);
  }

  // The answer's <quol> element; fails the test when it does not parse.
  pugi::xml_node Xml(const std::string& target) {
    auto res = Get(target);
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml; charset=utf-8");
    docs_.emplace_back(std::make_unique<pugi::xml_document>());
    EXPECT_TRUE(docs_.back()->load_string(res->body.c_str())) << res->body;
    return docs_.back()->child("quol");
  }

  pugi::xml_node SignIn(const std::string& user, const std::string& password,
                        const std::string& key = kApiKey) {
    return Xml(std::string(kAuth) + "?username=" + Escape(user) + "&password=" + Escape(password) +
               "&apiKey=" + key);
  }

  std::pair<std::string, std::string> Ticket(const std::string& user, const std::string& pw) {
    auto quol = SignIn(user, pw);
    EXPECT_STREQ(quol.child_value("success"), "true");
    return {quol.child_value("account"), quol.child_value("auth")};
  }

  std::string CalendarTarget(const std::string& account, const std::string& ticket,
                             const std::string& first, const std::string& last, int tz = 0) {
    return std::string(kCalendar) + "?startDate=" + first + "&endDate=" + last +
           "&version=0&tzoffset=" + std::to_string(tz) + "&account=" + Escape(account) +
           "&auth=" + Escape(ticket) + "&apiKey=" + kApiKey;
  }

  std::vector<Served> Calendar(const std::string& account, const std::string& ticket,
                               const std::string& first, const std::string& last, int tz = 0) {
    auto quol = Xml(CalendarTarget(account, ticket, first, last, tz));
    EXPECT_STREQ(quol.child_value("success"), "true") << quol.child_value("error");
    std::vector<Served> list;
    for (auto node : quol.child("appointments").children("appointment")) {
      Served s{node.child_value("subject"),
               node.child_value("isAllDayEvent") == std::string("true"),
               node.child_value("isRoutine") == std::string("true"),
               ParseUtc(node.child_value("startTime")),
               ParseUtc(node.child_value("endTime")),
               {}};
      for (auto a : node.child("attendees").children("attendee")) {
        s.attendees.push_back({a.child_value("name"), a.child_value("color"),
                               a.child_value("cobrand") == std::string("true")});
      }
      list.push_back(std::move(s));
    }
    return list;
  }

  static Appointment Timed(const std::string& subject, const std::string& start,
                           const std::string& end) {
    Appointment a;
    a.subject = subject;
    a.start_utc = ParseUtc(start);
    a.end_utc = ParseUtc(end);
    return a;
  }

  // Declared before the service: its threads write the log until it stops.
  TempDir dir_;
  std::mutex log_mutex_;
  std::vector<std::string> log_lines_;
  std::vector<std::unique_ptr<pugi::xml_document>> docs_;
  std::unique_ptr<DevService> service_;
};

// --- configuration ---------------------------------------------------------------

TEST_F(DevServiceTest, ConfigNamesTheBoundPortsAndTheLatestVersion) {
  auto config =
      Xml(std::string(kConfig) + "?account=&cobrand=quol&v=1.0.0.1&ll=en-US").child("default");
  const std::string api = service_->api_base();
  EXPECT_EQ(config.child_value("updateServiceUrl"), api + kConfig);
  EXPECT_EQ(config.child_value("fallBackUpdateServiceUrl"), api + kConfig);
  EXPECT_EQ(config.child_value("authServiceUrl"), api + kAuth);
  EXPECT_EQ(config.child_value("reminderServiceUrl"), api + kCalendar);
  EXPECT_EQ(config.child_value("homePageUrl"), service_->web_base() + "/devuzez/");
  EXPECT_STREQ(config.child_value("whatsNewUrl"), "/devuzez/whatsnew.htm");
  EXPECT_STREQ(config.child_value("latestVersion"), "1.0.0.1");
  EXPECT_STREQ(config.child_value("authCookies"), "ASP.NET_SessionId;quol_state;quol_auth");
  EXPECT_NE(service_->api_port(), service_->web_port());
}

TEST_F(DevServiceTest, ConfigOverrideServesExactlyWhatATestAsks) {
  service_->OverrideConfig(503, "<quol><default>not closed", "text/plain");
  auto res = Get(kConfig);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_EQ(res->body, "<quol><default>not closed");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain");

  service_->OverrideConfig(500, "", "text/xml");
  res = Get(kConfig);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);
  EXPECT_EQ(res->body, "");  // not replaced by a generic error page

  service_->ClearConfigOverride();
  EXPECT_EQ(Xml(kConfig).child("default").child_value("minVersion"), std::string("0.0.0.0"));
}

// --- sign-in ---------------------------------------------------------------------

TEST_F(DevServiceTest, SignInGivesTheAccountAndATicket) {
  const std::string id = service_->AddAccount("mia@quol.example", "p@ss.w rd+&=%");
  ASSERT_FALSE(id.empty());
  auto quol = SignIn("mia@quol.example", "p@ss.w rd+&=%");  // every byte escaped, as clients do
  EXPECT_STREQ(quol.child_value("success"), "true");
  EXPECT_EQ(quol.child_value("account"), id);
  EXPECT_GE(std::string(quol.child_value("auth")).size(), 32u);
  EXPECT_STREQ(quol.child_value("ttlMinutes"), "60");
  EXPECT_NE(Ticket("mia@quol.example", "p@ss.w rd+&=%").second, quol.child_value("auth"));
}

TEST_F(DevServiceTest, SignInRefusesWrongCredentialsAndKeys) {
  service_->AddAccount("mia@quol.example", "secret");
  for (auto [user, pw] : {std::pair{"mia@quol.example", "Secret"},
                          {"leo@quol.example", "secret"},
                          {"mia@quol.example", ""},
                          {"", "secret"}}) {
    auto quol = SignIn(user, pw);
    EXPECT_STREQ(quol.child_value("success"), "false") << user << " " << pw;
    EXPECT_STREQ(quol.child_value("errorCode"), "2");
    EXPECT_STREQ(quol.child_value("error"), "Wrong user name or password");
  }
  for (std::string key : {"", "QVTRSN", "other"}) {
    auto quol = SignIn("mia@quol.example", "secret", key);
    EXPECT_STREQ(quol.child_value("errorCode"), "1") << key;
    EXPECT_STRNE(quol.child_value("error"), "");
  }
  auto missing = Xml(std::string(kAuth) + "?username=mia%40quol%2eexample&password=secret");
  EXPECT_STREQ(missing.child_value("errorCode"), "1");
}

TEST_F(DevServiceTest, EmailMatchesWithoutCaseAndReAddingResetsThePassword) {
  const std::string id = service_->AddAccount("Family@Quol.Example", "first");
  EXPECT_EQ(Ticket("family@QUOL.example", "first").first, id);
  EXPECT_EQ(service_->AddAccount("FAMILY@quol.example", "second"), id);
  EXPECT_STREQ(SignIn("family@quol.example", "first").child_value("errorCode"), "2");
  EXPECT_EQ(Ticket("family@quol.example", "second").first, id);
  // The path is matched without case too, as the service always did.
  auto lower =
      Xml("/service/api/accounts/auth/default.ashx?username=family%40quol%2eexample"
          "&password=second&apikey=qvtrsn");
  EXPECT_STREQ(lower.child_value("success"), "true");
}

TEST_F(DevServiceTest, HostileSignInValuesAreRefusedCleanly) {
  service_->AddAccount("mia@quol.example", "secret");
  for (std::string value : {"' OR '1'='1", "mia@quol.example' --", "%", "\xff\xfe", "a\"b<c>"}) {
    EXPECT_STREQ(SignIn(value, value).child_value("errorCode"), "2") << value;
    EXPECT_STREQ(SignIn("mia@quol.example", value).child_value("errorCode"), "2") << value;
  }
  EXPECT_STREQ(SignIn(std::string(3000, 'a'), std::string(3000, 'b')).child_value("errorCode"),
               "2");
  auto res = Get(std::string(kAuth) + "?username=" + std::string(20000, 'x'));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 414);
  // Broken escapes and stray separators still get an answer.
  EXPECT_STREQ(
      Xml(std::string(kAuth) + "?username=%zz%&&=&password&apiKey=qvtrsn").child_value("errorCode"),
      "2");
  EXPECT_EQ(Ticket("mia@quol.example", "secret").first.empty(), false);
}

// --- calendar --------------------------------------------------------------------

class DevServiceCalendarTest : public DevServiceTest {
 protected:
  void SetUp() override {
    DevServiceTest::SetUp();
    account_ = service_->AddAccount("mia@quol.example", "secret");
    std::tie(std::ignore, ticket_) = Ticket("mia@quol.example", "secret");
  }
  std::string account_, ticket_;
};

TEST_F(DevServiceCalendarTest, RequiresALiveTicketOfThatAccount) {
  const std::string other = service_->AddAccount("leo@quol.example", "secret2");
  const std::string other_ticket = Ticket("leo@quol.example", "secret2").second;
  for (auto [account, ticket] : {std::pair{account_, std::string("0123456789abcdef")},
                                 {account_, other_ticket},
                                 {other, ticket_},
                                 {account_, std::string()},
                                 {std::string("x' OR '1'='1"), std::string("' OR 1=1 --")}}) {
    auto quol = Xml(CalendarTarget(account, ticket, "2026-12-07", "2026-12-08"));
    EXPECT_STREQ(quol.child_value("errorCode"), "3") << account << " " << ticket;
    EXPECT_STREQ(quol.child_value("error"), "Not signed in");
  }
  auto wrong_key = CalendarTarget(account_, ticket_, "2026-12-07", "2026-12-08") + "x";
  EXPECT_STREQ(Xml(wrong_key).child_value("errorCode"), "1");

  // The ticket lives ttlMinutes (60).
  const std::time_t now = std::time(nullptr);
  service_->SetClockForTesting([now] { return now + 59 * 60; });
  EXPECT_STREQ(
      Xml(CalendarTarget(account_, ticket_, "2026-12-07", "2026-12-08")).child_value("success"),
      "true");
  service_->SetClockForTesting([now] { return now + 61 * 60; });
  EXPECT_STREQ(
      Xml(CalendarTarget(account_, ticket_, "2026-12-07", "2026-12-08")).child_value("errorCode"),
      "3");
}

TEST_F(DevServiceCalendarTest, RefusesBadDatesAndOffsets) {
  for (auto [first, last] : {std::pair{"2026-13-01", "2026-12-08"},
                             {"2026-02-29", "2026-03-01"},
                             {"2026-12-8", "2026-12-09"},
                             {"today", "2026-12-09"},
                             {"2026-12-09", "2026-12-08"},
                             {"", ""}}) {
    EXPECT_STREQ(Xml(CalendarTarget(account_, ticket_, first, last)).child_value("errorCode"), "4")
        << first;
  }
  auto target = CalendarTarget(account_, ticket_, "2026-12-07", "2026-12-07");
  for (std::string tz : {"abc", "99999999999999", "1441", "60.5"}) {
    auto bad = target;
    bad.replace(bad.find("tzoffset=0"), 10, "tzoffset=" + tz);
    EXPECT_STREQ(Xml(bad).child_value("errorCode"), "4") << tz;
  }
}

TEST_F(DevServiceCalendarTest, ReturnsOverlappingAppointmentsByStartWithAttendees) {
  Appointment late =
      Timed("Crosses into the day after", "2026-12-08T23:00:00", "2026-12-09T01:00:00");
  late.routine = true;
  late.attendees = {
      {"Mia", "3", false}, {"Dad", "#FF30A5BA", false}, {"Club", "170,187,204", true}};
  for (const Appointment& a :
       {late, Timed("Next day", "2026-12-09T00:00:00", "2026-12-09T01:00:00"),
        Timed("Ends at the window start", "2026-12-06T23:00:00", "2026-12-07T00:00:00"),
        Timed("Inside", "2026-12-07T15:00:00", "2026-12-07T16:30:00"),
        Timed("From the day before", "2026-12-06T23:30:00", "2026-12-07T00:30:00"),
        Timed("Instant at midnight", "2026-12-07T00:00:00", "2026-12-07T00:00:00")}) {
    ASSERT_TRUE(service_->AddAppointment(account_, a)) << a.subject;
  }
  auto list = Calendar(account_, ticket_, "2026-12-07", "2026-12-08");
  std::vector<std::string> subjects;
  for (const auto& s : list) subjects.push_back(s.subject);
  EXPECT_EQ(subjects, (std::vector<std::string>{"From the day before", "Instant at midnight",
                                                "Inside", "Crosses into the day after"}));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[3].start, ParseUtc("2026-12-08T23:00:00"));
  EXPECT_EQ(list[3].end, ParseUtc("2026-12-09T01:00:00"));
  EXPECT_TRUE(list[3].routine);
  EXPECT_FALSE(list[2].routine || list[2].all_day);
  ASSERT_EQ(list[3].attendees.size(), 3u);
  EXPECT_EQ(list[3].attendees[1].color, "#FF30A5BA");
  EXPECT_EQ(list[3].attendees[2].name, "Club");
  EXPECT_TRUE(list[3].attendees[2].cobrand);
  EXPECT_FALSE(list[3].attendees[0].cobrand);

  // Another account sees none of it.
  service_->AddAccount("leo@quol.example", "secret2");
  auto [leo, leo_ticket] = Ticket("leo@quol.example", "secret2");
  EXPECT_TRUE(Calendar(leo, leo_ticket, "2026-12-01", "2026-12-31").empty());
}

TEST_F(DevServiceCalendarTest, AllDayAppointmentsLandOnTheCallersLocalDay) {
  Appointment birthday;
  birthday.subject = "Birthday";
  birthday.all_day = true;
  birthday.local_date = "2026-12-07";
  ASSERT_TRUE(service_->AddAppointment(account_, birthday));
  birthday.local_date = "2026-12-32";
  EXPECT_FALSE(service_->AddAppointment(account_, birthday));

  // Five hours behind UTC: local midnight is 05:00 UTC.
  auto west = Calendar(account_, ticket_, "2026-12-07", "2026-12-07", 300);
  ASSERT_EQ(west.size(), 1u);
  EXPECT_TRUE(west[0].all_day);
  EXPECT_EQ(west[0].start, ParseUtc("2026-12-07T05:00:00"));
  EXPECT_EQ(west[0].end, ParseUtc("2026-12-08T04:59:59"));
  auto east = Calendar(account_, ticket_, "2026-12-06", "2026-12-06", -120);
  ASSERT_EQ(east.size(), 1u);
  EXPECT_EQ(east[0].start, ParseUtc("2026-12-06T22:00:00"));
  // The window follows the shifted times.
  EXPECT_EQ(Calendar(account_, ticket_, "2026-12-08", "2026-12-08", 300).size(), 1u);
  EXPECT_TRUE(Calendar(account_, ticket_, "2026-12-08", "2026-12-08", 0).empty());
}

TEST_F(DevServiceCalendarTest, VersionChangesOnlyWhenAppointmentsChange) {
  auto version = [&] {
    return std::string(
        Xml(CalendarTarget(account_, ticket_, "2026-12-07", "2026-12-07")).child_value("version"));
  };
  const std::string before = version();
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(version(), before);
  ASSERT_TRUE(service_->AddAppointment(
      account_, Timed("Swim", "2026-12-20T10:00:00", "2026-12-20T11:00:00")));
  EXPECT_NE(version(), before);
  EXPECT_FALSE(service_->AddAppointment(
      account_, Timed("Backwards", "2026-12-20T10:00:00", "2026-12-20T09:00:00")));
  EXPECT_FALSE(service_->AddAppointment(
      "no-such-account", Timed("Swim", "2026-12-20T10:00:00", "2026-12-20T11:00:00")));
}

TEST_F(DevServiceCalendarTest, TextIsStoredVerbatimAndServedAsValidXml) {
  const std::string subject = "'); DROP TABLE appointments; -- <b>&amp;";
  Appointment a = Timed(subject, "2026-12-07T10:00:00", "2026-12-07T11:00:00");
  a.attendees = {{"Bad \xC3(UTF-8\x01", "\" OR 1=1", false}};
  ASSERT_TRUE(service_->AddAppointment(account_, a));
  auto list = Calendar(account_, ticket_, "2026-12-07", "2026-12-07");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].subject, subject);
  EXPECT_EQ(list[0].attendees[0].name, "Bad \xEF\xBF\xBD(UTF-8");
  EXPECT_EQ(list[0].attendees[0].color, "\" OR 1=1");
  EXPECT_EQ(Calendar(account_, ticket_, "2026-12-07", "2026-12-07").size(), 1u);
}

// --- demo family -------------------------------------------------------------------

class DevServiceDemoTest : public DevServiceTest {
 protected:
  // Seeds the demo at `now` and reads it back as a client in this machine's
  // time zone would see it.
  std::vector<Served> SeedAndRead(std::time_t now) {
    auto credentials = service_->SeedDemo(now);
    EXPECT_EQ(credentials.email, kDemoEmail);
    auto [account, ticket] = Ticket(credentials.email, credentials.password);
    EXPECT_EQ(account, credentials.account_id);
    std::tm local{};
    localtime_r(&now, &local);
    tz_ = static_cast<int>(-local.tm_gmtoff / 60);
    today_ = DaysFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
    return Calendar(account, ticket, FormatIsoDate(CivilFromDays(today_ - 1)),
                    FormatIsoDate(CivilFromDays(today_ + 2)), tz_);
  }

  // Checks the groups; returns how many timed ones start within the hour.
  int CheckGroups(std::time_t now) {
    auto list = SeedAndRead(now);
    EXPECT_EQ(list.size(), 6u);
    int within_hour = 0, later_today = 0, all_day = 0, morning = 0, afternoon = 0;
    std::set<std::string> colors;
    bool cobrand = false;
    for (const auto& a : list) {
      const std::int64_t local_start = a.start - tz_ * 60;
      const std::int64_t day = local_start / kSecondsPerDay;
      const std::int64_t hour = local_start % kSecondsPerDay / 3600;
      if (a.all_day) {
        EXPECT_EQ(day, today_);
        EXPECT_EQ(local_start % kSecondsPerDay, 0);
        EXPECT_EQ(a.end - a.start, kSecondsPerDay - 1);
        ++all_day;
      } else if (day == today_) {
        EXPECT_GT(a.start, now) << a.subject;
        ++later_today;
        within_hour += a.start <= now + 3600;
      } else if (day == today_ + 1 && hour < 12) {
        ++morning;
      } else if (day == today_ + 1 && hour < 18) {
        ++afternoon;
      }
      for (const auto& person : a.attendees) {
        colors.insert(person.color);
        cobrand = cobrand || person.cobrand;
      }
    }
    EXPECT_EQ(later_today, 3);
    EXPECT_EQ(all_day, 1);
    EXPECT_EQ(morning, 1);
    EXPECT_EQ(afternoon, 1);
    EXPECT_TRUE(colors.count("#FF30A5BA") && colors.count("170,187,204") && colors.count("3"));
    EXPECT_TRUE(cobrand);
    return within_hour;
  }

  static std::time_t LocalTime(int hour, int minute, int second, int day = 14) {
    std::tm tm{};
    tm.tm_year = 2030 - 1900;
    tm.tm_mon = 4;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  }

  int tz_ = 0;
  std::int64_t today_ = 0;
};

TEST_F(DevServiceDemoTest, MorningSeedHasOneSoonTwoLaterAllDayAndTomorrow) {
  EXPECT_EQ(CheckGroups(LocalTime(9, 17, 23)), 1);
}

TEST_F(DevServiceDemoTest, LateEveningSeedStillPutsThreeAppointmentsToday) {
  EXPECT_GE(CheckGroups(LocalTime(21, 30, 0)), 1);
  EXPECT_GE(CheckGroups(LocalTime(23, 40, 10)), 1);
}

TEST_F(DevServiceDemoTest, ReseedingMovesTheSameAccountsAppointments) {
  const auto first = service_->SeedDemo(LocalTime(9, 0, 0));
  const std::time_t next_day = LocalTime(9, 0, 0, 15);
  auto list = SeedAndRead(next_day);
  EXPECT_EQ(list.size(), 6u);  // replaced, not added
  EXPECT_EQ(Ticket(kDemoEmail, kDemoPassword).first, first.account_id);
  ASSERT_FALSE(list.empty());
  const auto soccer = std::find_if(list.begin(), list.end(),
                                   [](const Served& s) { return s.subject == "Soccer practice"; });
  ASSERT_NE(soccer, list.end());
  EXPECT_EQ(soccer->start, LocalTime(9, 5, 0, 15));
}

// --- bookkeeping and lifecycle --------------------------------------------------------

TEST_F(DevServiceTest, CountsRequestsAndLogsThemMasked) {
  service_->AddAccount("mia@quol.example", "hunter2");
  Get(kConfig);
  Get(std::string(kConfig) + "?account=a&cobrand=b&v=1&ll=de");
  Ticket("mia@quol.example", "hunter2");
  Get("/Service/api/calendar/interval/default.ashx?auth=TICKET123&pass%77ord=hunter2");
  Get("/nowhere");
  EXPECT_EQ(service_->RequestCount(kConfig), 2);
  EXPECT_EQ(service_->RequestCount(kAuth), 1);
  EXPECT_EQ(service_->RequestCount("/nowhere"), 1);
  EXPECT_EQ(service_->RequestCount(kCalendar), 1);
  auto log = service_->RequestLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[1], std::string(kConfig) + "?account=a&cobrand=b&v=1&ll=de");
  EXPECT_NE(log[2].find("hunter2"), std::string::npos);  // unmasked for tests

  // Lines are written once each answer is out, in whatever order the
  // server's threads get there: wait for all five, then look them up.
  auto lines = [&] {
    std::lock_guard lock(log_mutex_);
    return log_lines_;
  };
  while (lines().size() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto logged = [&](const std::string& text) {
    auto all = lines();
    return std::count_if(all.begin(), all.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_EQ(logged("hunter2"), 0);
  EXPECT_EQ(logged("TICKET123"), 0);
  EXPECT_EQ(logged("api GET /QuolDevuzez/GlobalConfig_v2.xml?account=a&cobrand=b&v=1&ll=de -> 200"),
            1);
  EXPECT_EQ(logged("&password=***&apiKey=qvtrsn -> 200"), 1);
  EXPECT_EQ(logged("?auth=***&pass%77ord=*** -> 200"), 1);
  EXPECT_EQ(logged("api GET /nowhere -> 404"), 1);
}

TEST_F(DevServiceTest, StopCutsADelayedAnswerShort) {
  service_->SetHandlerDelayMs(10 * 60 * 1000);  // far beyond the test's time limit
  int status = 0;
  std::thread client([&] {
    httplib::Client client("127.0.0.1", service_->api_port());
    client.set_read_timeout(std::chrono::minutes(30));
    auto res = client.Get(kConfig);
    status = res ? res->status : -1;
  });
  while (service_->RequestCount(kConfig) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  service_->Stop();
  client.join();
  EXPECT_EQ(status, 503);
  service_->Stop();  // idempotent
  std::string error;
  EXPECT_FALSE(service_->Start(&error));
}

TEST_F(DevServiceTest, APortInUseFailsToStartWithAReason) {
  DevServiceOptions options;
  options.db_path = dir_ / "other.sqlite";
  options.api_port = service_->api_port();
  options.web_port = 0;
  std::string error;
  auto other = DevService::Create(options, &error);
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->Start(&error));
  EXPECT_NE(error.find(std::to_string(service_->api_port())), std::string::npos) << error;
  EXPECT_EQ(other->api_port(), 0);

  DevServiceOptions bad = options;
  bad.ttl_minutes = 0;
  EXPECT_FALSE(DevService::Create(bad, &error));
  bad = options;
  bad.db_path = dir_ / "missing-folder/state.sqlite";
  EXPECT_FALSE(DevService::Create(bad, &error));
  EXPECT_NE(error.find("missing-folder"), std::string::npos);
}

TEST_F(DevServiceTest, WebAppServesPagesAndEscapesWhatItShows) {
  auto home = Get("/devuzez/?mode=%3cscript%3ealert(1)%3c%2fscript%3e&cobrand=acme", true);
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  EXPECT_EQ(home->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(home->body.find("&lt;script&gt;alert(1)"), std::string::npos);
  EXPECT_EQ(home->body.find("<script>"), std::string::npos);
  EXPECT_NE(home->body.find(">acme<"), std::string::npos);
  EXPECT_EQ(Get("/devuzez/whatsnew.htm", true)->status, 200);
  EXPECT_EQ(Get("/devuzez?mode=x", true)->get_header_value("Location"), "/devuzez/?mode=x");
  EXPECT_EQ(Get("/elsewhere", true)->status, 404);
  EXPECT_EQ(Get("/devuzez/", false)->status, 404);  // not on the API port
}

// --- the web application: sessions, the calendar, the test pages -----------------

class WebAppTest : public DevServiceTest {
 protected:
  httplib::Result WebGet(const std::string& target, const std::string& cookie = "") {
    httplib::Client client("127.0.0.1", service_->web_port());
    client.set_url_encode(false);
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return client.Get(target, headers);
  }
  httplib::Result WebPost(const std::string& target, const httplib::Params& form,
                          const std::string& cookie = "") {
    httplib::Client client("127.0.0.1", service_->web_port());
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return client.Post(target, headers, form);
  }
  // "quol_auth=TICKET" from an answer's Set-Cookie; empty when none.
  static std::string SessionFrom(const httplib::Result& res) {
    const std::string set = res->get_header_value("Set-Cookie");
    const std::size_t end = set.find(';');
    return set.rfind("quol_auth=", 0) == 0 ? set.substr(0, end) : std::string();
  }
  // The client's cookie: e-mail "," password, percent-encoded.
  static std::string Creds(const std::string& email, const std::string& password) {
    return "ExplorerCreds=" + Escape(email + "," + password);
  }
};

TEST_F(WebAppTest, LogonPageSignsInFromTheClientsCookieOrShowsTheForm) {
  service_->AddAccount("mia@quol.example", "p@ss, word;");
  struct Case {
    const char* name;
    std::string cookie;
    std::string target;
    bool signed_in;
    std::string location;  // where a sign-in sends the browser
    std::string notice;    // on the form
  };
  const std::vector<Case> cases = {
      {"cookie with comma and semicolon in the password", Creds("mia@quol.example", "p@ss, word;"),
       "/logon/logon.aspx?ReturnUrl=%2Fdevuzez%2F%3Fmode%3D1", true, "/devuzez/?mode=1", ""},
      {"e-mail in another case", Creds("MIA@quol.example", "p@ss, word;"), "/logon/logon.aspx",
       true, "/devuzez/", ""},
      {"as the client sends it, among other cookies",
       "quol_state=1; ExplorerCreds=mia%40quol.example," + Escape("p@ss, word;") + "; other=2",
       "/logon/logon.aspx", true, "/devuzez/", ""},
      {"return to another host is not followed", Creds("mia@quol.example", "p@ss, word;"),
       "/logon/logon.aspx?ReturnUrl=%2F%2Fevil.example%2F", true, "/devuzez/", ""},
      {"absolute return URL is not followed", Creds("mia@quol.example", "p@ss, word;"),
       "/logon/logon.aspx?ReturnUrl=http%3A%2F%2Fevil.example%2F", true, "/devuzez/", ""},
      {"wrong password", Creds("mia@quol.example", "nope"), "/logon/logon.aspx", false, "",
       "The saved sign-in was not accepted."},
      {"the client's empty cookie after a sign-out", "ExplorerCreds=%2C", "/logon/logon.aspx", false,
       "", ""},
      {"no cookie", "", "/LOGON/Logon.aspx", false, "", ""},
      {"oversized cookie", Creds("mia@quol.example", std::string(2000, 'x')), "/logon/logon.aspx",
       false, "", "The saved sign-in was not accepted."},
  };
  for (const Case& c : cases) {
    auto res = WebGet(c.target, c.cookie);
    ASSERT_TRUE(res) << c.name;
    if (c.signed_in) {
      EXPECT_EQ(res->status, 302) << c.name;
      EXPECT_EQ(res->get_header_value("Location"), c.location) << c.name;
      EXPECT_FALSE(SessionFrom(res).empty()) << c.name;
    } else {
      EXPECT_EQ(res->status, 200) << c.name;
      EXPECT_TRUE(SessionFrom(res).empty()) << c.name;
      EXPECT_NE(res->body.find("name=\"password\""), std::string::npos) << c.name;
      if (!c.notice.empty()) {
        EXPECT_NE(res->body.find(c.notice), std::string::npos) << c.name;
      }
    }
  }

  // The home page sends a client with a saved sign-in (and no session yet)
  // through the logon page and back, query kept; a session, or no saved
  // sign-in, gets the page itself.
  auto home = WebGet("/devuzez/?mode=FirstTime&cobrand=", Creds("mia@quol.example", "p@ss, word;"));
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 302);
  // (The client library hands header values over percent-decoded.)
  EXPECT_EQ(home->get_header_value("Location"),
            "/logon/logon.aspx?ReturnUrl=/devuzez/?mode=FirstTime&cobrand=");
  auto signed_in = WebGet("/logon/logon.aspx?ReturnUrl=%2Fdevuzez%2F%3Fmode%3DFirstTime%26cobrand%3D",
                          Creds("mia@quol.example", "p@ss, word;"));
  ASSERT_TRUE(signed_in);
  EXPECT_EQ(signed_in->get_header_value("Location"), "/devuzez/?mode=FirstTime&cobrand=");
  auto page = WebGet("/devuzez/", Creds("mia@quol.example", "p@ss, word;") + "; " + SessionFrom(signed_in));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("mia@quol.example"), std::string::npos);
  EXPECT_EQ(WebGet("/devuzez/")->status, 200);
  EXPECT_EQ(WebGet("/devuzez/", "ExplorerCreds=")->status, 200);
  EXPECT_EQ(WebGet("/devuzez/", "ExplorerCreds=%2C")->status, 200);  // after a sign-out

  // The form signs in too; a wrong password keeps the form with a notice.
  auto wrong = WebPost("/logon/logon.aspx", {{"email", "mia@quol.example"}, {"password", "x"}});
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 200);
  EXPECT_NE(wrong->body.find("Wrong e-mail address or password."), std::string::npos);
  auto right = WebPost("/logon/logon.aspx", {{"email", "mia@quol.example"},
                                             {"password", "p@ss, word;"},
                                             {"ReturnUrl", "/devuzez/whatsnew.htm"}});
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 303);
  EXPECT_EQ(right->get_header_value("Location"), "/devuzez/whatsnew.htm");
  EXPECT_FALSE(SessionFrom(right).empty());
}

TEST(WebAppCookies, ValuesRunToTheNextCookieEvenThroughDecodedSemicolons) {
  struct Case {
    std::string header, name;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"ExplorerCreds=a@b.c,pw", "ExplorerCreds", "a@b.c,pw"},
      {"x=1; ExplorerCreds=a@b.c,p; w; y=2", "ExplorerCreds", "a@b.c,p; w"},
      {"ExplorerCreds=a@b.c,p;w; quol_auth=T", "quol_auth", "T"},
      {"ExplorerCreds=,", "ExplorerCreds", ","},
      {"MyExplorerCreds=x", "ExplorerCreds", std::nullopt},
      {"quol_auth", "quol_auth", std::nullopt},
      {"", "quol_auth", std::nullopt},
      {"quol_auth=" + std::string(9000, 'x'), "quol_auth", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WebApp::CookieValue(c.header, c.name), c.value) << c.header.substr(0, 60);
  }
}

TEST_F(WebAppTest, HomeShowsTheCalendarAndAddedAppointmentsReachTheSaversCalendar) {
  const std::string account = service_->AddAccount("mia@quol.example", "secret");
  Appointment swim;
  swim.subject = "Swim <b>&</b> \"dive\"";
  swim.start_utc = std::time(nullptr) + 3600;
  swim.end_utc = swim.start_utc + 1800;
  swim.attendees = {{"<Mia>", "3", false}};
  ASSERT_TRUE(service_->AddAppointment(account, swim));

  // Signed out: a welcome and a sign-in link, no calendar.
  auto anonymous = WebGet("/devuzez/");
  ASSERT_TRUE(anonymous);
  EXPECT_NE(anonymous->body.find("id=\"sign-in\""), std::string::npos);
  EXPECT_EQ(anonymous->body.find("Swim"), std::string::npos);

  auto logon = WebGet("/logon/logon.aspx", Creds("mia@quol.example", "secret"));
  const std::string session = SessionFrom(logon);
  ASSERT_FALSE(session.empty());
  auto home = WebGet("/devuzez/", session);
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  EXPECT_NE(home->body.find("Swim &lt;b&gt;&amp;&lt;/b&gt; &quot;dive&quot;"), std::string::npos);
  EXPECT_NE(home->body.find("&lt;Mia&gt;"), std::string::npos);
  EXPECT_EQ(home->body.find("<b>&</b>"), std::string::npos);
  EXPECT_NE(home->body.find("/logon/logout.aspx"), std::string::npos);
  EXPECT_NE(home->body.find("action=\"/devuzez/appointments\""), std::string::npos);

  // The form adds an all-day and a timed appointment; both show on the page
  // and in the calendar answer the screen saver reads.
  std::time_t tomorrow_time = std::time(nullptr) + 86400;
  std::tm local{};
  localtime_r(&tomorrow_time, &local);
  char tomorrow[16];
  std::strftime(tomorrow, sizeof tomorrow, "%Y-%m-%d", &local);
  auto added = WebPost("/devuzez/appointments",
                       {{"subject", "Piano <recital>"}, {"date", tomorrow}, {"time", "17:30"},
                        {"minutes", "45"}, {"attendee", "Noah"}, {"color", "9"}},
                       session);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->status, 303);
  EXPECT_EQ(added->get_header_value("Location"), "/devuzez/?added=1");
  ASSERT_EQ(WebPost("/devuzez/appointments",
                    {{"subject", "Grandma visits"}, {"date", tomorrow}, {"allDay", "on"}}, session)
                ->status,
            303);
  home = WebGet("/devuzez/?added=1", session);
  EXPECT_NE(home->body.find("Piano &lt;recital&gt;"), std::string::npos);
  EXPECT_NE(home->body.find(std::string(tomorrow) + " 17:30"), std::string::npos);
  EXPECT_NE(home->body.find("Grandma visits"), std::string::npos);

  auto [id, ticket] = Ticket("mia@quol.example", "secret");
  const int tz = static_cast<int>(-local.tm_gmtoff / 60);
  const auto served = Calendar(id, ticket, tomorrow, tomorrow, tz);
  std::vector<std::string> subjects;
  for (const Served& s : served) subjects.push_back(s.subject);
  EXPECT_NE(std::find(subjects.begin(), subjects.end(), "Piano <recital>"), subjects.end());
  EXPECT_NE(std::find(subjects.begin(), subjects.end(), "Grandma visits"), subjects.end());

  // What the form refuses, and posts without a session.
  struct Bad {
    httplib::Params form;
    std::string why;
  };
  const std::vector<Bad> bad = {
      {{{"subject", ""}, {"date", tomorrow}, {"time", "10:00"}}, "Say what"},
      {{{"subject", std::string(201, 's')}, {"date", tomorrow}, {"time", "10:00"}}, "Say what"},
      {{{"subject", "x"}, {"date", "2024-02-30"}, {"time", "10:00"}}, "The day must be"},
      {{{"subject", "x"}, {"date", tomorrow}, {"time", "25:00"}}, "The time must be"},
      {{{"subject", "x"}, {"date", tomorrow}, {"time", "10:00"}, {"minutes", "0"}}, "The length"},
      {{{"subject", "x"}, {"date", tomorrow}, {"time", "10:00"}, {"color", "17"}}, "The colour"},
      {{{"subject", "x"}, {"date", tomorrow}, {"time", "10:00"}, {"attendee", std::string(65, 'a')}},
       "A name"},
  };
  for (const Bad& b : bad) {
    auto res = WebPost("/devuzez/appointments", b.form, session);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << b.why;
    EXPECT_NE(res->body.find(b.why), std::string::npos) << b.why;
  }
  auto stranger = WebPost("/devuzez/appointments", {{"subject", "x"}, {"date", tomorrow}});
  EXPECT_EQ(stranger->status, 303);
  EXPECT_EQ(stranger->get_header_value("Location").rfind("/logon/logon.aspx", 0), 0u);
}

TEST_F(WebAppTest, LogoutEndsTheSessionAndGoesToTheLogonPage) {
  service_->AddAccount("mia@quol.example", "secret");
  const std::string session =
      SessionFrom(WebGet("/logon/logon.aspx", Creds("mia@quol.example", "secret")));
  ASSERT_FALSE(session.empty());
  EXPECT_NE(WebGet("/devuzez/", session)->body.find("id=\"signed-in\""), std::string::npos);

  auto out = WebGet("/logon/logout.aspx", session);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 302);
  EXPECT_EQ(out->get_header_value("Location").rfind("/logon/logon.aspx", 0), 0u);
  EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  // The old cookie no longer signs anybody in.
  EXPECT_EQ(WebGet("/devuzez/", session)->body.find("id=\"signed-in\""), std::string::npos);
}

TEST_F(WebAppTest, TestPagesAnswerAndEscapeWhatTheyEcho) {
  const std::string other = "http://localhost:" + std::to_string(service_->web_port());
  struct Case {
    std::string target;
    int status;
    std::string content_type;
    std::vector<std::string> parts;
  };
  const std::vector<Case> cases = {
      {"/devuzez/links.htm", 200, "text/html; charset=utf-8",
       {other + "/devuzez/whatsnew.htm", "target=\"_blank\"", "/devuzez/image.png",
        "/devuzez/missing.png", "/devuzez/nothing-here"}},
      {"/devuzez/frame.htm", 200, "text/html; charset=utf-8",
       {"<iframe id=\"ad\" src=\"" + other + "/devuzez/ad.htm\""}},
      {"/devuzez/ad.htm", 200, "text/html; charset=utf-8", {"Advertisement"}},
      {"/devuzez/image.png", 200, "image/png", {"\x89PNG"}},
      {"/devuzez/missing.png", 404, "text/html; charset=utf-8", {"Not found"}},
      {"/devuzez/external.htm?call=SetCredentials&arg1=%22%3E%3Cscript%3E&arg2=b", 200,
       "text/html; charset=utf-8",
       {"data-call=\"SetCredentials\"", "data-arg1=\"&quot;&gt;&lt;script&gt;\"",
        "data-arg2=\"b\"", "window.external", "external:done"}},
      // A call name that is not a plain method name is left out.
      {"/devuzez/external.htm?call=alert(1)", 200, "text/html; charset=utf-8", {"<div id=\"calls\">"}},
  };
  for (const Case& c : cases) {
    auto res = WebGet(c.target);
    ASSERT_TRUE(res) << c.target;
    EXPECT_EQ(res->status, c.status) << c.target;
    EXPECT_EQ(res->get_header_value("Content-Type"), c.content_type) << c.target;
    for (const std::string& part : c.parts) {
      EXPECT_NE(res->body.find(part), std::string::npos) << c.target << ": " << part;
    }
  }
  // Nothing else takes a form.
  httplib::Client client("127.0.0.1", service_->web_port());
  auto post = client.Post("/devuzez/", httplib::Params{{"a", "b"}});
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
}

// --- upgrade offers and packages ---------------------------------------------------

struct Offer {
  std::string latest, min;
  std::vector<std::pair<std::string, std::string>> download_urls;  // sku, URL
};

// What the configuration offers right now.
Offer OfferOf(pugi::xml_node quol) {
  auto config = quol.child("default");
  Offer offer{config.child_value("latestVersion"), config.child_value("minVersion"), {}};
  for (auto url : config.children("downloadUrl"))
    offer.download_urls.emplace_back(url.attribute("sku").value(), url.child_value());
  return offer;
}

std::vector<std::pair<std::string, std::string>> EverySku(const std::string& url) {
  return {{"", url}, {"vevuvov", url}, {"collage", url}};
}

struct Fetched {
  int status = -1;
  std::string body, content_type;
};

Fetched FetchFrom(int port, const std::string& target) {
  httplib::Client client("127.0.0.1", port);
  client.set_url_encode(false);
  Fetched fetched;
  if (auto res = client.Get(target)) {
    fetched.status = res->status;
    fetched.body = res->body;
    fetched.content_type = res->get_header_value("Content-Type");
  }
  return fetched;
}

// Bytes no text handling would leave alone.
std::string BinaryPackage(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return bytes;
}

TEST_F(DevServiceTest, ConfigOffersTheUpgradeForEverySku) {
  const std::string own = service_->api_base() + "/packages/";
  struct Case {
    std::string latest, min, url;
    Offer expected;
  };
  for (const Case& c : std::vector<Case>{
           {"", "", "", {"1.0.0.1", "0.0.0.0", EverySku(own + "Pkg_1_0_0_1.deb")}},
           {"2.1", "1.5.0.0", "", {"2.1", "1.5.0.0", EverySku(own + "Pkg_2_1.deb")}},
           {"2.1.0.3",
            "2",
            "https://dl.quol.example/get?a=1&b=<2>\"",
            {"2.1.0.3", "2", EverySku("https://dl.quol.example/get?a=1&b=<2>\"")}}}) {
    if (!c.latest.empty()) {
      ASSERT_TRUE(service_->SetUpdateOffer(c.latest, c.min, c.url));
    }
    const Offer offer = OfferOf(Xml(kConfig));
    EXPECT_EQ(offer.latest, c.expected.latest);
    EXPECT_EQ(offer.min, c.expected.min);
    EXPECT_EQ(offer.download_urls, c.expected.download_urls) << c.url;
  }
  // Refused offers change nothing.
  EXPECT_FALSE(service_->SetUpdateOffer("3.0", "1.x", ""));
  EXPECT_FALSE(service_->SetUpdateOffer("3.0.0.0.1", "1", ""));
  EXPECT_FALSE(service_->SetUpdateOffer("3.0", "1", "http://x/" + std::string(5000, 'a')));
  EXPECT_EQ(OfferOf(Xml(kConfig)).latest, "2.1.0.3");
}

TEST_F(DevServiceTest, AdminUpdateChangesTheOfferPartByPart) {
  const std::string own = service_->api_base() + "/packages/";
  const std::string elsewhere = "http://127.0.0.1/p?a=1&b=2";
  struct Step {
    std::string query;
    int status;
    std::string latest, min, url;
  };
  for (const Step& step : std::vector<Step>{
           {"?latestVersion=3.0.0.1", 200, "3.0.0.1", "0.0.0.0", own + "Pkg_3_0_0_1.deb"},
           {"?minVersion=2.0&downloadUrl=http%3A%2F%2F127.0.0.1%2Fp%3Fa%3D1%26b%3D2", 200,
            "3.0.0.1", "2.0", elsewhere},
           {"?LATESTVERSION=3.1", 200, "3.1", "2.0", elsewhere},
           {"?latestVersion=4.0&minVersion=1.x", 400, "3.1", "2.0", elsewhere},
           {"?latestVersion=1.2.3.4.5", 400, "3.1", "2.0", elsewhere},
           {"?latestVersion=&downloadUrl=http%3A%2F%2Fother", 400, "3.1", "2.0", elsewhere},
           {"", 200, "3.1", "2.0", elsewhere},
           {"?downloadUrl=", 200, "3.1", "2.0", own + "Pkg_3_1.deb"},
       }) {
    const Fetched answer = FetchFrom(service_->api_port(), "/admin/update" + step.query);
    EXPECT_EQ(answer.status, step.status) << step.query;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(answer.body.c_str())) << answer.body;
    EXPECT_STREQ(doc.child("quol").child_value("success"), step.status == 200 ? "true" : "false");
    const std::string error = doc.child("quol").child_value("error");
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.empty(), step.status == 200) << step.query;

    const Offer offer = OfferOf(Xml(kConfig));
    EXPECT_EQ(offer.latest, step.latest) << step.query;
    EXPECT_EQ(offer.min, step.min) << step.query;
    EXPECT_EQ(offer.download_urls, EverySku(step.url)) << step.query;
  }
}

TEST_F(DevServiceTest, ServedPackagesVerifyWithTheServiceKey) {
  const std::string content = BinaryPackage(100000);
  service_->AddPackage("Pkg_1_0_0_1.deb", content);
  // The default offer names this very package.
  const std::string url = OfferOf(Xml(kConfig)).download_urls.at(0).second;
  platform::HttpOptions options;
  options.total_timeout_ms = 20000;
  platform::HttpResponse package, signature;
  std::string error;
  ASSERT_EQ(platform::HttpGet(url, options, &package, &error), S_OK) << error;
  ASSERT_EQ(platform::HttpGet(url + ".minisig", options, &signature, &error), S_OK) << error;
  EXPECT_EQ(package.status, 200);
  EXPECT_EQ(package.content_type, "application/vnd.debian.binary-package");
  EXPECT_EQ(package.body, content);
  EXPECT_EQ(signature.status, 200);
  EXPECT_EQ(signature.content_type, "text/plain");

  const std::string key = service_->public_key_text();
  std::string comment;
  EXPECT_EQ(platform::VerifyMinisign(package.body, signature.body, key, &comment), S_OK)
      << signature.body << key;
  EXPECT_EQ(comment.rfind("timestamp:", 0), 0u) << comment;
  EXPECT_TRUE(comment.ends_with(" file:Pkg_1_0_0_1.deb")) << comment;
  std::string changed = content;
  changed[content.size() / 2] ^= 1;
  EXPECT_EQ(platform::VerifyMinisign(changed, signature.body, key), E_ACCESSDENIED);

  // Every service makes its own key.
  DevServiceOptions other_options;
  other_options.db_path = dir_ / "other.sqlite";
  auto other = DevService::Create(other_options, &error);
  ASSERT_TRUE(other) << error;
  EXPECT_NE(other->public_key_text(), key);
  EXPECT_EQ(platform::VerifyMinisign(package.body, signature.body, other->public_key_text()),
            E_ACCESSDENIED);
}

TEST_F(DevServiceTest, TheMinisignToolAcceptsServedSignatures) {
  if (::access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/minisign";
  service_->AddPackage("Pkg_2_0.deb", BinaryPackage(70000));
  service_->AddPackage("empty.deb", "");
  std::ofstream(dir_ / "key.pub") << service_->public_key_text();
  auto verify = [&](const std::string& name) {
    const std::string command = "/usr/bin/minisign -V -q -p " + (dir_ / "key.pub") + " -m " +
                                (dir_ / name) + " </dev/null >/dev/null 2>&1";
    return std::system(command.c_str());
  };
  for (const std::string name : {"Pkg_2_0.deb", "empty.deb"}) {
    const Fetched package = FetchFrom(service_->api_port(), "/packages/" + name);
    const Fetched signature = FetchFrom(service_->api_port(), "/packages/" + name + ".minisig");
    ASSERT_EQ(package.status, 200);
    ASSERT_EQ(signature.status, 200);
    std::ofstream(dir_ / name, std::ios::binary) << package.body;
    std::ofstream(dir_ / name + ".minisig", std::ios::binary) << signature.body;
    EXPECT_EQ(verify(name), 0) << name;
    std::ofstream(dir_ / name, std::ios::binary) << package.body << "x";
    EXPECT_NE(verify(name), 0) << name;
  }
}

TEST_F(DevServiceTest, PackagesAreFoundByExactNameOnly) {
  service_->AddPackage("plain.deb", "unsigned bytes", false);
  service_->AddPackage("signed.deb", "first");
  service_->AddPackage("signed.deb", "second");  // replaces
  service_->AddPackage("../escape.deb", "never");  // not a file name: ignored
  service_->AddPackage("forged.deb", "payload", false);
  service_->AddPackage("forged.deb.minisig", "not a signature", false);
  struct Case {
    std::string target;
    int status;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {"/packages/plain.deb", 200, "unsigned bytes"},
           {"/PACKAGES/plain.deb", 200, "unsigned bytes"},
           {"/packages/plain.deb.minisig", 404, ""},
           {"/packages/PLAIN.deb", 404, ""},
           {"/packages/signed.deb", 200, "second"},
           {"/packages/forged.deb.minisig", 200, "not a signature"},
           {"/packages/..%2Fescape.deb", 404, ""},
           {"/packages/", 404, ""},
           {"/packages/nothing.deb", 404, ""},
           {"/packages/nothing.deb.minisig", 404, ""},
       }) {
    const Fetched fetched = FetchFrom(service_->api_port(), c.target);
    EXPECT_EQ(fetched.status, c.status) << c.target;
    if (c.status == 200) {
      EXPECT_EQ(fetched.body, c.body) << c.target;
    }
  }
  const Fetched signature = FetchFrom(service_->api_port(), "/packages/signed.deb.minisig");
  EXPECT_EQ(platform::VerifyMinisign("second", signature.body, service_->public_key_text()), S_OK);
}

// Reads one raw answer to GET `target` until the server closes (at most 10 s).
std::string RawAnswer(int port, const std::string& target) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
    }
  }
  ::close(fd);
  return answer;
}

TEST_F(DevServiceTest, ACutOffPackageIsAFailedTransferAtTheClient) {
  const std::string content = BinaryPackage(300000);
  service_->AddPackage("Pkg_1_0_0_1.deb", content);
  service_->SetPackageCutOff("Pkg_1_0_0_1.deb", true);

  // Full length announced, half the bytes sent, then the connection ends.
  const std::string raw = RawAnswer(service_->api_port(), "/packages/Pkg_1_0_0_1.deb");
  const std::size_t head_end = raw.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos) << raw.substr(0, 200);
  EXPECT_NE(raw.find("Content-Length: " + std::to_string(content.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(raw.size() - head_end - 4, content.size() / 2);
  EXPECT_EQ(raw.substr(head_end + 4), content.substr(0, content.size() / 2));

  const std::string url = service_->api_base() + "/packages/Pkg_1_0_0_1.deb";
  platform::HttpOptions options;
  options.total_timeout_ms = 20000;  // today's failure is immediate; a hang would be the bug
  platform::HttpResponse response;
  std::string error;
  EXPECT_TRUE(Failed(platform::HttpGet(url, options, &response, &error)));
  long status = 0;
  EXPECT_TRUE(Failed(platform::HttpDownloadToFile(url, options, dir_ / "pkg.deb", &status, &error)));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "pkg.deb"));
  // The signature is not cut.
  EXPECT_EQ(FetchFrom(service_->api_port(), "/packages/Pkg_1_0_0_1.deb.minisig").status, 200);

  service_->SetPackageCutOff("Pkg_1_0_0_1.deb", false);
  ASSERT_EQ(platform::HttpGet(url, options, &response, &error), S_OK) << error;
  EXPECT_EQ(response.body, content);
}

class DevServicePackageFolderTest : public ::testing::Test {
 protected:
  // Starts a service serving `folder_`; explicit packages are added first.
  std::unique_ptr<DevService> StartWith(
      const std::vector<std::pair<std::string, std::string>>& added, std::string* error) {
    DevServiceOptions options;
    options.db_path = dir_ / "state.sqlite";
    options.api_port = options.web_port = 0;
    options.package_dir = folder_;
    auto service = DevService::Create(options, error);
    if (!service) return nullptr;
    service->SetLogSink([this](const std::string& line) {
      std::lock_guard lock(notes_mutex_);
      notes_.push_back(line);
    });
    for (const auto& [name, content] : added) service->AddPackage(name, content);
    if (!service->Start(error)) return nullptr;
    return service;
  }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(folder_ + "/" + name, std::ios::binary) << content;
  }

  // What the service logged up to now (its notes, then request lines).
  std::vector<std::string> Notes() {
    std::lock_guard lock(notes_mutex_);
    return notes_;
  }

  TempDir dir_;
  std::string folder_ = dir_ / "packages";
  std::mutex notes_mutex_;
  std::vector<std::string> notes_;
};

TEST_F(DevServicePackageFolderTest, ServesTheFolderFilesSigned) {
  ASSERT_TRUE(std::filesystem::create_directories(folder_ + "/sub"));
  Write("Pkg_1_0_0_2.deb", BinaryPackage(200000));
  Write("notes.txt", "plain text");
  Write("mine.deb", "from the folder");
  Write("notes.txt.minisig", "a stale signature of someone else");
  Write("sub/inner.deb", "not served: the folder is not walked down");
  {
    std::ofstream huge(folder_ + "/huge.deb");
  }
  std::filesystem::resize_file(folder_ + "/huge.deb", kMaxPackageFileBytes + 1);  // sparse
  std::string error;
  auto service = StartWith({{"mine.deb", "added explicitly"}}, &error);
  ASSERT_TRUE(service) << error;
  // Start has noted the skipped file; no request has been made yet.
  const std::vector<std::string> notes = Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("huge.deb not served"), std::string::npos) << notes[0];

  struct Case {
    std::string name;
    int status;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{{"Pkg_1_0_0_2.deb", 200, BinaryPackage(200000)},
                                        {"notes.txt", 200, "plain text"},
                                        {"mine.deb", 200, "added explicitly"},
                                        {"sub", 404, ""},
                                        {"inner.deb", 404, ""},
                                        {"huge.deb", 404, ""},
                                        {"notes.txt.minisig.minisig", 404, ""}}) {
    const Fetched package = FetchFrom(service->api_port(), "/packages/" + c.name);
    EXPECT_EQ(package.status, c.status) << c.name;
    if (c.status != 200) continue;
    EXPECT_EQ(package.body, c.body) << c.name;
    const Fetched signature = FetchFrom(service->api_port(), "/packages/" + c.name + ".minisig");
    std::string comment;
    EXPECT_EQ(platform::VerifyMinisign(package.body, signature.body, service->public_key_text(),
                                       &comment),
              S_OK)
        << c.name << "\n"
        << signature.body;
    EXPECT_TRUE(comment.ends_with(" file:" + c.name)) << comment;
  }
}

TEST_F(DevServicePackageFolderTest, TakesAtMostAThousandFilesInNameOrder) {
  ASSERT_TRUE(std::filesystem::create_directories(folder_));
  for (int i = 0; i <= 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%04d", i);
    Write(name, name);
  }
  std::string error;
  auto service = StartWith({}, &error);
  ASSERT_TRUE(service) << error;
  const std::vector<std::string> notes = Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("1001"), std::string::npos) << notes[0];
  EXPECT_EQ(FetchFrom(service->api_port(), "/packages/f0000").body, "f0000");
  EXPECT_EQ(FetchFrom(service->api_port(), "/packages/f0999").body, "f0999");
  EXPECT_EQ(FetchFrom(service->api_port(), "/packages/f1000").status, 404);
}

TEST_F(DevServicePackageFolderTest, AMissingFolderFailsTheStart) {
  std::string error;
  EXPECT_FALSE(StartWith({}, &error));
  EXPECT_NE(error.find(folder_), std::string::npos) << error;
}

// --- pieces ------------------------------------------------------------------------

TEST(DevServiceCivilTimeTest, ConvertsAndValidatesDates) {
  for (std::int64_t days : {-719468LL, -1LL, 0LL, 11016LL, 20794LL, 2932896LL}) {
    EXPECT_EQ(DaysFromCivil(CivilFromDays(days)), days);
  }
  EXPECT_EQ(DaysFromCivil({2000, 3, 1}) - DaysFromCivil({2000, 2, 28}), 2);
  EXPECT_EQ(DaysFromCivil({1900, 3, 1}) - DaysFromCivil({1900, 2, 28}), 1);
  EXPECT_TRUE(ParseIsoDate("2024-02-29"));
  for (auto bad : {"2023-02-29", "2024-04-31", "0000-01-01", "2024-00-10", "2024-1-01",
                   "2024-01-01x", "２０２４-01-01", "+024-01-01"}) {
    EXPECT_FALSE(ParseIsoDate(bad)) << bad;
  }
  EXPECT_EQ(FormatUtcDateTime(-1), "1969-12-31T23:59:59");
  EXPECT_EQ(FormatUtcDateTime(1796655600), "2026-12-07T15:00:00");
}

TEST(DevServiceMarkupTest, EscapesAndMasks) {
  EXPECT_EQ(EscapeMarkup("a<b>&\"'\x01\t"), "a&lt;b&gt;&amp;&quot;&#39;\t");
  EXPECT_EQ(EscapeMarkup("\xE2\x82\xAC \xED\xA0\x80 \xC0\xAF"),
            "\xE2\x82\xAC \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(MaskTargetForLog("/a?Password=x&auth=y&authx=z&auth"),
            "/a?Password=***&auth=***&authx=z&auth");
  EXPECT_EQ(MaskTargetForLog("/a\x1b[31m?q=\x7f"), "/a%1B[31m?q=%7F");
}

TEST(DevServiceCommandLineTest, ParsesFlagsAndRejectsBadOnes) {
  CommandLine parsed;
  std::string error;
  {
    quol::testing::ScopedEnv state("XDG_STATE_HOME", std::string("/var/tmp/st"));
    ASSERT_TRUE(ParseCommandLine({}, &parsed, &error));
    EXPECT_EQ(parsed.options.db_path, "/var/tmp/st/quol-devservice/devservice.sqlite");
  }
  {
    // Never the working folder, whatever the environment holds.
    quol::testing::ScopedEnv state("XDG_STATE_HOME", std::string("relative"));
    quol::testing::ScopedEnv home("HOME", std::string("/home/fam"));
    ASSERT_TRUE(ParseCommandLine({}, &parsed, &error));
    EXPECT_EQ(parsed.options.db_path, "/home/fam/.local/state/quol-devservice/devservice.sqlite");
  }
  EXPECT_EQ(parsed.options.api_port, 11110);
  EXPECT_EQ(parsed.options.web_port, 2175);
  EXPECT_EQ(parsed.options.min_version, "0.0.0.0");
  EXPECT_EQ(parsed.options.download_url, "");
  EXPECT_EQ(parsed.options.package_dir, "");
  EXPECT_EQ(parsed.public_key_out, "");
  ASSERT_TRUE(ParseCommandLine(
      {"--api-port", "0", "--web-port=8080", "--db", "x.db", "--demo", "--latest-version=2.0.1.7",
       "--ttl-minutes", "5", "--add-account", "a@b.c:pw:with:colons", "--add-account=d@e.f:x"},
      &parsed, &error));
  EXPECT_EQ(parsed.options.api_port, 0);
  EXPECT_EQ(parsed.options.web_port, 8080);
  EXPECT_EQ(parsed.options.latest_version, "2.0.1.7");
  EXPECT_EQ(parsed.options.ttl_minutes, 5);
  EXPECT_TRUE(parsed.demo);
  ASSERT_EQ(parsed.accounts.size(), 2u);
  EXPECT_EQ(parsed.accounts[0].second, "pw:with:colons");
  ASSERT_TRUE(ParseCommandLine({"--min-version=1.2", "--download-url", "http://x/Pkg?a=b&c=d",
                                "--package-dir", "/srv/pkgs", "--public-key-out=/tmp/k.pub"},
                               &parsed, &error))
      << error;
  EXPECT_EQ(parsed.options.min_version, "1.2");
  EXPECT_EQ(parsed.options.download_url, "http://x/Pkg?a=b&c=d");
  EXPECT_EQ(parsed.options.package_dir, "/srv/pkgs");
  EXPECT_EQ(parsed.public_key_out, "/tmp/k.pub");
  for (std::vector<std::string> bad : {std::vector<std::string>{"--api-port", "70000"},
                                       {"--api-port"},
                                       {"--web-port", "12x"},
                                       {"--api-port=5", "--web-port=5"},
                                       {"--ttl-minutes", "0"},
                                       {"--latest-version", "1.x"},
                                       {"--latest-version", "1.2.3.4.5"},
                                       {"--min-version", "1..2"},
                                       {"--min-version", "v1"},
                                       {"--min-version"},
                                       {"--download-url", ""},
                                       {"--download-url"},
                                       {"--download-url", "http://x/" + std::string(4096, 'a')},
                                       {"--package-dir="},
                                       {"--package-dir"},
                                       {"--public-key-out", ""},
                                       {"--public-key-out"},
                                       {"--add-account", "nopassword"},
                                       {"--add-account", ":pw"},
                                       {"--demo=yes"},
                                       {"--db", ""},
                                       {"--frobnicate"},
                                       {"extra"}}) {
    error.clear();
    EXPECT_FALSE(ParseCommandLine(bad, &parsed, &error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

// --- the program ------------------------------------------------------------------

struct Program {
  int exit_code = -1;
  std::string out, err;
};

// Runs quol-devservice with `args`; stdout and stderr go to files in `dir`.
// posix_spawn, not fork + freopen: this test process has server threads,
// and a forked child that allocates before exec can deadlock on a lock one
// of them held.
Program RunProgram(const TempDir& dir, const std::vector<std::string>& args) {
  const std::string out = dir / "out.txt", err = dir / "err.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv{const_cast<char*>(QUOL_DEVSERVICE_BINARY)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  // A hung program is ended instead of hanging the test.
  for (int waited_ms = 0; pid > 0 && waited_ms < 60000; waited_ms += 10) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid > 0) kill(pid, SIGKILL);  // no effect when it has already ended
  Program program;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    program.exit_code = WEXITSTATUS(status);
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  program.out = read(out);
  program.err = read(err);
  return program;
}

TEST(DevServiceProgramTest, HelpAndBadCommandLines) {
  TempDir dir;
  auto help = RunProgram(dir, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (std::string flag : {"--api-port", "--min-version", "--download-url", "--package-dir",
                           "--public-key-out"}) {
    EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
  }
  for (auto [flag, value] : {std::pair{"--api-port", "many"},
                             {"--min-version", "1.2.x"},
                             {"--download-url", ""},
                             {"--package-dir", ""},
                             {"--public-key-out", ""}}) {
    auto bad = RunProgram(dir, {flag, value});
    EXPECT_EQ(bad.exit_code, 2) << flag;
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
    EXPECT_NE(bad.err.find(flag), std::string::npos) << bad.err;
  }
  EXPECT_EQ(RunProgram(dir, {"--unknown"}).exit_code, 2);
}

TEST(DevServiceProgramTest, UnusablePackageFolderOrKeyPathExitsWithOne) {
  TempDir dir;
  for (auto [flag, path] : {std::pair{"--package-dir", dir / "no-such-folder"},
                            {"--public-key-out", dir / "no-such-folder/key.pub"}}) {
    auto run = RunProgram(dir, {"--api-port", "0", "--web-port", "0", "--db", dir / "s.sqlite",
                                flag, path});
    EXPECT_EQ(run.exit_code, 1) << flag;
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("listening"), std::string::npos) << run.out;
  }
}

TEST(DevServiceProgramTest, APortInUseExitsWithOne) {
  TempDir dir;
  DevServiceOptions options;
  options.db_path = dir / "a.sqlite";
  options.api_port = options.web_port = 0;
  std::string error;
  auto service = DevService::Create(options, &error);
  ASSERT_TRUE(service && service->Start(&error)) << error;
  const std::string port = std::to_string(service->web_port());
  auto run = RunProgram(dir, {"--api-port", "0", "--web-port", port, "--db", dir / "b.sqlite"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find(port), std::string::npos) << run.err;
}

// Kills and reaps the child unless the test already has.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(DevServiceProgramTest, ServesUntilSigtermAndExitsCleanly) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "packages"));
  std::ofstream(dir / "packages/Pkg_3_1_4_1.deb", std::ios::binary) << BinaryPackage(5000);
  // The key file must be there, whole, by the listening line; an old one
  // is replaced.
  std::ofstream(dir / "key.pub") << "stale key of an earlier run\n";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  Child child;
  const pid_t pid = child.pid = fork();
  if (pid == 0) {
    alarm(60);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    if (!freopen("/dev/null", "w", stderr)) _exit(99);
    const std::string db = dir / "state.sqlite";
    const std::string packages = dir / "packages";
    const std::string key = dir / "key.pub";
    execl(QUOL_DEVSERVICE_BINARY, QUOL_DEVSERVICE_BINARY, "--api-port", "0", "--web-port", "0",
          "--db", db.c_str(), "--demo", "--latest-version", "3.1.4.1", "--min-version", "3.0",
          "--package-dir", packages.c_str(), "--public-key-out", key.c_str(),
          static_cast<char*>(nullptr));
    _exit(98);
  }
  close(out[1]);
  std::string text;
  char c;
  while (text.find("listening") == std::string::npos || text.back() != '\n') {
    if (read(out[0], &c, 1) != 1) break;
    text += c;
  }
  close(out[0]);
  EXPECT_NE(text.find("demo account family@quol.example password quol-demo-1\n"),
            std::string::npos);
  int api = 0, web = 0;
  ASSERT_EQ(std::sscanf(text.c_str() + text.find("quol-devservice listening"),
                        "quol-devservice listening api=%d web=%d", &api, &web),
            2)
      << text;

  httplib::Client client("127.0.0.1", api);
  auto res = client.Get(kConfig);
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<latestVersion>3.1.4.1</latestVersion>"), std::string::npos);
  EXPECT_NE(res->body.find(":" + std::to_string(web) + "/devuzez/"), std::string::npos);
  EXPECT_NE(res->body.find("<minVersion>3.0</minVersion>"), std::string::npos);

  struct stat st {};
  ASSERT_EQ(::stat((dir / "key.pub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::ifstream key_file(dir / "key.pub");
  const std::string key(std::istreambuf_iterator<char>(key_file), {});
  const Fetched package = FetchFrom(api, "/packages/Pkg_3_1_4_1.deb");
  const Fetched signature = FetchFrom(api, "/packages/Pkg_3_1_4_1.deb.minisig");
  EXPECT_EQ(package.body, BinaryPackage(5000));
  EXPECT_EQ(platform::VerifyMinisign(package.body, signature.body, key), S_OK) << key;

  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  child.pid = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quol::service
