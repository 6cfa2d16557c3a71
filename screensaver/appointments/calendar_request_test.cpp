#include "screensaver/appointments/calendar_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "platform/testing/http_test_server.h"
#include "screensaver/appointments/appointment_reminders.h"
#include "screensaver/appointments/appointment_snapshot.h"
#include "screensaver/appointments/appointment_test_util.h"
#include "screensaver/common/png_writer.h"
#include "service/devservice.h"

namespace quol::saver {
namespace {

using test::LocalAt;
using test::SecondsOf;

constexpr char kCalendarPath[] = "/Service/api/calendar/interval/default.ashx";
constexpr char kAuthPath[] = "/Service/API/accounts/auth/default.ashx";
constexpr char kEmail[] = "mia.smith@quol.example";
constexpr char kPassword[] = "pool+lane 4";

std::time_t Utc(int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 2;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return timegm(&tm);
}

// A service on 127.0.0.1 that signs anyone in and answers every calendar
// call with the text last given to SetAnswer.
class CannedCalendarService {
 public:
  CannedCalendarService() {
    server_.server().Get("/auth", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<quol><success>true</success><account>42</account><auth>T</auth></quol>",
                      "text/xml");
    });
    server_.server().Get("/calendar", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard guard(lock_);
      res.set_content(answer_, "text/xml");
    });
    server_.Start();
  }
  void SetAnswer(const std::string& answer) {
    std::lock_guard guard(lock_);
    answer_ = answer;
  }
  // Points the sign-in and calendar addresses of `sources` here.
  void Serve(CalendarSources* sources) {
    sources->auth_service_url = [this] { return server_.Url("/auth"); };
    sources->reminder_service_url = [this] { return server_.Url("/calendar"); };
  }

 private:
  std::mutex lock_;
  std::string answer_;
  testing::HttpTestServer server_;  // last: stops before what it serves goes
};

// The calendar call against the service stand-in on an ephemeral port, on
// Tuesday 10 March 2026 at 14:30, one hour east of UTC.
class CalendarServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTicketForTesting();
    ResetPaletteForTesting();
    clock_.Set(LocalAt(10, 14, 30));
    platform::SetClockForTesting(&clock_);
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    account_ = service_->AddAccount(kEmail, kPassword);
  }
  void TearDown() override {
    platform::SetClockForTesting(nullptr);
    ResetTicketForTesting();
    ResetPaletteForTesting();
  }

  void SetCredentials(const std::string& email, const std::string& password) {
    std::lock_guard lock(credentials_lock_);
    credentials_ = {email, password};
  }
  CalendarSources Sources() {
    CalendarSources sources;
    sources.credentials = [this] {
      ++credential_reads_;
      std::lock_guard lock(credentials_lock_);
      return credentials_;
    };
    sources.reminder_service_url = [this] { return service_->api_base() + kCalendarPath; };
    sources.auth_service_url = [this] { return service_->api_base() + kAuthPath; };
    sources.cobrand_colour_text = [this] { return cobrand_text_; };
    sources.update_interval_minutes = [this] { return interval_.load(); };
    sources.settings = &settings_;
    return sources;
  }
  std::vector<std::string> CalendarRequests() const {
    std::vector<std::string> calls;
    for (const std::string& target : service_->RequestLog()) {
      if (target.rfind(kCalendarPath, 0) == 0) calls.push_back(target);
    }
    return calls;
  }
  // The end of a calendar call with the current ticket.
  static std::string Who() {
    const SignInTicket ticket = CurrentTicket();
    return "&account=" + CRestRequest::EscapeQueryValue(ticket.account_id) + "&auth=" + ticket.ticket +
           "&apiKey=qvtrsn";
  }
  void AddSwim() {  // 15:10 local, Mia's yellow
    service::Appointment swim;
    swim.subject = "Swim";
    swim.start_utc = swim.end_utc = Utc(10, 14, 10);
    swim.attendees = {{"Mia", "3", false}};
    ASSERT_TRUE(service_->AddAppointment(account_, swim));
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  test::ScopedTimeZone zone_{"QST-1"};
  platform::FakeClock clock_;
  CSuiteSettings settings_;
  std::unique_ptr<service::DevService> service_;
  std::string account_;
  std::mutex credentials_lock_;
  CalendarCredentials credentials_{kEmail, kPassword};
  std::atomic<int> credential_reads_{0};
  std::atomic<int> interval_{1};
  std::string cobrand_text_;
};

TEST_F(CalendarServiceTest, TheWindowTheOffsetAndTheVersionRule) {
  AddSwim();
  CalendarRequest request(Sources());
  std::vector<std::string> who;
  auto fetch = [&] {
    EXPECT_EQ(request.Fetch(), S_OK);
    who.push_back(Who());
  };
  fetch();
  const std::string version = request.version();
  ASSERT_FALSE(version.empty());
  clock_.Advance(std::chrono::minutes(10));
  fetch();                               // same window end: the version goes back
  clock_.Set(LocalAt(11, 9, 0));         // a new day moves the end
  fetch();
  {
    test::ScopedTimeZone west("QST8");  // the same instant is midnight at UTC-8
    fetch();
  }

  const std::string path = kCalendarPath;
  const std::vector<std::string> calls = CalendarRequests();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], path + "?startDate=2026%2d03%2d10&endDate=2026%2d03%2d11&tzoffset=%2d60" + who[0]);
  EXPECT_EQ(calls[1], path + "?startDate=2026%2d03%2d10&endDate=2026%2d03%2d11&version=" + version +
                          "&tzoffset=%2d60" + who[1]);
  EXPECT_EQ(calls[2], path + "?startDate=2026%2d03%2d11&endDate=2026%2d03%2d12&tzoffset=%2d60" + who[2]);
  EXPECT_EQ(calls[3], path + "?startDate=2026%2d03%2d11&endDate=2026%2d03%2d13&tzoffset=480" + who[3]);
  for (const char* line : {"INFO Fetching appts\r\n", "INFO FROM UTC: Tue 13:30\r\n",
                           "INFO TO UTC: Wed 22:59\r\n", "INFO TZ: -60\r\n", "INFO TZ: 480\r\n",
                           "INFO Fetched 1 appts\r\n"}) {
    EXPECT_TRUE(log_.Contains(line)) << line;
  }
}

TEST_F(CalendarServiceTest, AppointmentsArriveInLocalTimeWithTheirColours) {
  cobrand_text_ = "#FF112233";
  service::Appointment swim;
  swim.subject = "Swim & dive";
  swim.start_utc = Utc(10, 14, 10);
  swim.end_utc = Utc(10, 15, 0);
  swim.attendees = {{"Mia", "3", false},         {"Dad", "#FF30A5BA", false},
                    {"Leo", "170 , 187 , 204", false}, {"Club", "#FF010203", true},
                    {"Odd", "99", false},        {"Partner", "0", true}};
  ASSERT_TRUE(service_->AddAppointment(account_, swim));
  service::Appointment birthday;
  birthday.subject = "Birthday";
  birthday.all_day = birthday.routine = true;
  birthday.local_date = "2026-03-10";
  ASSERT_TRUE(service_->AddAppointment(account_, birthday));

  CalendarRequest request(Sources());
  ASSERT_EQ(request.Fetch(), S_OK);
  const std::vector<Appointment>& list = request.appointments();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].subject, "Birthday");  // the service's order: by start
  EXPECT_TRUE(list[0].all_day && list[0].routine);
  EXPECT_EQ(list[0].start, SecondsOf(LocalAt(10, 0, 0)));  // local midnight
  EXPECT_EQ(list[1].subject, "Swim & dive");
  EXPECT_FALSE(list[1].all_day || list[1].routine);
  EXPECT_EQ(list[1].start, Utc(10, 14, 10));
  EXPECT_EQ(list[1].end, Utc(10, 15, 0));
  const RgbColour partner = MakeRgb(0x11, 0x22, 0x33);
  EXPECT_EQ(list[1].attendee_colours,
            (std::vector<RgbColour>{MakeRgb(0xFA, 0xC7, 0x51), MakeRgb(0x30, 0xA5, 0xBA),
                                    MakeRgb(0xAA, 0xBB, 0xCC), partner, kFallbackGrey, partner}));
  EXPECT_EQ(ServiceTimeToLocalSeconds("2026-03-10 14:10", -60), 0);  // unreadable
  for (const char* broken : {"1012-02-29T00:00:00", "8024-03-31T01:30:00",
                             "99999999999-01-01T00:00:00"}) {
    EXPECT_EQ(ServiceTimeToLocalSeconds(broken, -60), 0) << broken;
  }
  EXPECT_EQ(ServiceTimeToLocalSeconds("2026-03-10T14:10:00", 2147483647), 0);
}

TEST_F(CalendarServiceTest, NoCredentialsOrAWrongPasswordAskNoCalendar) {
  CalendarRequest request(Sources());
  SetCredentials("", kPassword);
  EXPECT_EQ(request.Fetch(), E_FAIL);
  SetCredentials(kEmail, "");
  EXPECT_EQ(request.Fetch(), E_FAIL);
  EXPECT_TRUE(log_.Contains("ERROR No creds\r\n"));
  EXPECT_TRUE(service_->RequestLog().empty());

  SetCredentials(kEmail, "not the password");
  EXPECT_EQ(request.Fetch(), E_REST_SIGNIN_REFUSED);
  EXPECT_TRUE(log_.Contains("ERROR Auth failed: 80040201\r\n"));
  EXPECT_EQ(service_->RequestCount(kAuthPath), 1);
  EXPECT_TRUE(CalendarRequests().empty());
}

// How an answer's shape turns into appointments: every appointment list of
// the answer in document order, only attendees with a colour element, text
// collected from inside nested markup.
TEST_F(CalendarServiceTest, AnswersAreReadListByListAttendeeByAttendee) {
  CannedCalendarService service;
  CalendarSources sources = Sources();
  service.Serve(&sources);
  CalendarRequest request(sources);

  struct Case {
    const char* name;
    std::string lists;  // what follows <success> in the answer
    HRESULT result;
    std::vector<std::string> subjects;
    std::vector<std::size_t> colours;  // attendee colours of each appointment
  };
  const std::vector<Case> cases = {
      {"two lists",
       "<appointments><appointment><subject>A</subject></appointment></appointments>"
       "<appointments><appointment><subject>B</subject></appointment>"
       "<appointment><subject>C</subject></appointment></appointments>",
       S_OK, {"A", "B", "C"}, {0, 0, 0}},
      {"nested text", "<appointments><appointment><subject> Swim <b>&amp;</b><![CDATA[ dive ]]>"
                      "</subject></appointment></appointments>",
       S_OK, {"Swim & dive"}, {0}},
      {"attendees", "<appointments><appointment><attendees><attendee><color/></attendee>"
                    "<attendee><name>Mia</name></attendee><attendee><color>3</color></attendee>"
                    "</attendees><attendees><attendee><color>9</color></attendee></attendees>"
                    "</appointment></appointments>",
       S_OK, {""}, {3}},
      {"strays", "<appointment><subject>outside</subject></appointment>"
                 "<appointments><item><subject>other</subject></item></appointments>",
       S_OK, {}, {}},
      {"attendees again", "<appointments><appointment><attendees><attendee><color>3</color>"
                          "</attendee></attendees></appointment></appointments>",
       S_OK, {""}, {1}},
      // Kept from the answer before.
      {"no list", "<appointment><subject>outside</subject></appointment>", E_FAIL, {""}, {1}},
  };
  for (const Case& c : cases) {
    service.SetAnswer(std::string("<quol><success>true</success>") + c.lists + "</quol>");
    ASSERT_EQ(request.Fetch(), c.result) << c.name;
    std::vector<std::string> subjects;
    std::vector<std::size_t> colours;
    for (const Appointment& appointment : request.appointments()) {
      subjects.push_back(appointment.subject);
      colours.push_back(appointment.attendee_colours.size());
    }
    EXPECT_EQ(subjects, c.subjects) << c.name;
    EXPECT_EQ(colours, c.colours) << c.name;
    EXPECT_TRUE(log_.Contains(Succeeded(c.result)
                                  ? "INFO Fetched " + std::to_string(c.subjects.size()) + " appts\r\n"
                                  : std::string("ERROR No appts\r\n")))
        << c.name;
  }
}

// The shared snapshot and its worker, against the same stand-in.
using AppointmentSnapshotTest = CalendarServiceTest;

TEST_F(AppointmentSnapshotTest, FetchesUntilTheFirstSuccessThenOnlyAfterTheInterval) {
  interval_ = 5;
  SetCredentials("", "");
  AppointmentSnapshot snapshot(Sources());
  std::vector<Appointment> list;
  EXPECT_FALSE(snapshot.Take(&list));
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_FALSE(snapshot.Take(&list));  // nothing yet: again at once
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_EQ(credential_reads_, 2);

  AddSwim();
  SetCredentials(kEmail, kPassword);
  snapshot.Take(&list);
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  ASSERT_TRUE(snapshot.Take(&list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(credential_reads_, 3);

  clock_.Advance(std::chrono::seconds(5 * 60 + 59));  // five whole minutes: not more
  EXPECT_TRUE(snapshot.Take(&list));
  EXPECT_FALSE(snapshot.fetch_in_progress());
  clock_.Advance(std::chrono::seconds(1));
  EXPECT_TRUE(snapshot.Take(&list));
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_EQ(credential_reads_, 4);
}

// After a failure the next try waits one collage interval, then twice that,
// and so on, never longer than the calendar interval.
TEST_F(AppointmentSnapshotTest, FailedFetchesBackOffUpToTheCalendarInterval) {
  interval_ = 1;  // minute
  SetCredentials("", "");  // every fetch fails, without a word on the network
  CalendarSources sources = Sources();
  sources.first_retry_seconds = [] { return 10; };
  AppointmentSnapshot snapshot(sources);
  struct Take {
    int at;       // seconds after the first
    bool starts;  // a fetch starts
  };
  const Take takes[] = {
      {0, true},   {5, false},  {9, false},   {10, true},   // waited 10 s
      {29, false}, {30, true},  {69, false},  {70, true},   // 20 s, 40 s
      {129, false}, {130, true}, {189, false}, {190, true},  // 80 s, capped at 60 s
  };
  const platform::TimePoint start = platform::Now();
  int fetches = 0;
  for (const Take& take : takes) {
    SCOPED_TRACE(::testing::Message() << "at " << take.at << " s");
    clock_.Set(start + std::chrono::seconds(take.at));
    std::vector<Appointment> list;
    EXPECT_FALSE(snapshot.Take(&list));
    ASSERT_TRUE(snapshot.WaitUntilIdle());
    fetches += take.starts ? 1 : 0;
    EXPECT_EQ(credential_reads_, fetches);
  }

  // A success ends the waiting; the list is there at once.
  AddSwim();
  SetCredentials(kEmail, kPassword);
  clock_.Set(start + std::chrono::seconds(250));
  std::vector<Appointment> list;
  snapshot.Take(&list);
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_TRUE(snapshot.Take(&list));
  EXPECT_EQ(list.size(), 1u);
}

// Shutting down stops a call the service never answers and starts no other.
TEST_F(AppointmentSnapshotTest, ShutdownEndsARefreshThatHangsAndStartsNoMore) {
  service_->SetHandlerDelayMs(60000);
  AppointmentSnapshot snapshot(Sources());
  std::vector<Appointment> list;
  snapshot.Take(&list);
  EXPECT_TRUE(snapshot.fetch_in_progress());
  const bool ended = snapshot.Shutdown(std::chrono::seconds(20));
  EXPECT_TRUE(ended);
  clock_.Advance(std::chrono::minutes(10));
  snapshot.Take(&list);
  EXPECT_FALSE(snapshot.fetch_in_progress());
  EXPECT_EQ(credential_reads_, 1);
  service_->Stop();
}

TEST_F(AppointmentSnapshotTest, ASlowOrStoppedServiceNeitherBlocksNorLosesTheList) {
  AddSwim();
  AppointmentSnapshot snapshot(Sources());
  EXPECT_FALSE(AppointmentReminders(snapshot).valid());  // starts the first fetch
  ASSERT_TRUE(snapshot.WaitUntilIdle());

  service_->SetHandlerDelayMs(60000);
  clock_.Advance(std::chrono::minutes(2));
  AppointmentReminders widget(snapshot);  // its refresh now waits on the service
  EXPECT_TRUE(snapshot.fetch_in_progress());
  EXPECT_EQ(widget.group_count(0), 1);     // 15:10 at 14:30, from the last list
  clock_.Advance(std::chrono::minutes(2));
  EXPECT_TRUE(AppointmentReminders(snapshot).valid());  // no second fetch meanwhile

  service_->Stop();  // cuts the wait short; the refresh fails
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_EQ(credential_reads_, 2);
  clock_.Advance(std::chrono::minutes(2));
  std::vector<Appointment> list;
  snapshot.Take(&list);  // against a port nobody listens on
  ASSERT_TRUE(snapshot.WaitUntilIdle());
  EXPECT_TRUE(log_.Contains("ERROR REST failed: "));
  EXPECT_TRUE(snapshot.Take(&list));
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(AppointmentSnapshotTest, GarbageAndMissingListsKeepThePreviousList) {
  const std::string first =
      "<quol><success>true</success><appointments><appointment><subject>Swim</subject>"
      "<startTime>2026-03-10T14:10:00</startTime><attendees><attendee><name>Mia</name></attendee>"
      "<attendee><color>9</color></attendee></attendees></appointment></appointments></quol>";
  CannedCalendarService service;
  CalendarSources sources = Sources();
  service.Serve(&sources);
  AppointmentSnapshot snapshot(sources);
  auto refresh = [&](const std::string& next) {
    service.SetAnswer(next);
    clock_.Advance(std::chrono::minutes(2));
    std::vector<Appointment> list;
    snapshot.Take(&list);
    EXPECT_TRUE(snapshot.WaitUntilIdle());
    EXPECT_TRUE(snapshot.Take(&list));
    return list;
  };

  std::vector<Appointment> list = refresh(first);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].attendee_colours, (std::vector<RgbColour>{MakeRgb(0x03, 0x7C, 0xBC)}));
  EXPECT_EQ(refresh("<html><body>Service Unavailable<br></body></html>").size(), 1u);
  EXPECT_EQ(refresh("<quol><success>true</success><version>4</version></quol>").size(), 1u);
  EXPECT_TRUE(log_.Contains("ERROR No appts\r\n"));
  EXPECT_TRUE(refresh("<quol><success>true</success><appointments/></quol>").empty());
  EXPECT_TRUE(log_.Contains("INFO Fetched 0 appts\r\n"));
}

// The demo family at 16:00, end to end. With QUOL_APPOINTMENTS_PNG set the
// picture is written there for a look.
TEST_F(AppointmentSnapshotTest, DemoFamilyEndToEnd) {
  clock_.Set(LocalAt(10, 16, 0));
  const service::DemoCredentials demo = service_->SeedDemo(SecondsOf(LocalAt(10, 16, 0)));
  SetCredentials(demo.email, demo.password);
  AppointmentSnapshot snapshot(Sources());
  std::vector<Appointment> first;
  snapshot.Take(&first);
  ASSERT_TRUE(snapshot.WaitUntilIdle());

  AppointmentReminders widget(snapshot);
  std::vector<std::string> shown[3];
  for (const Appointment& a : widget.appointments()) {
    if (a.group >= 0) shown[a.group].push_back(a.subject);
  }
  EXPECT_EQ(shown[0], (std::vector<std::string>{"Grandma's birthday", "Soccer practice"}));
  EXPECT_EQ(shown[1], (std::vector<std::string>{"Piano lesson", "Family dinner"}));
  EXPECT_EQ(shown[2], (std::vector<std::string>{"Dentist", "Quol Kids Club"}));

  SurfacePtr surface = test::FilledSurface(400, 400, 0.12, 0.12, 0.14);
  ContextPtr cr = MakeContext(surface.get());
  const WidgetSize size = widget.Measure(cr.get());
  widget.Draw(cr.get(), 50, 50, size.width, size.height);
  widget.Draw(cr.get(), 50, 280, 190, 100);  // squeezed: subjects cut short, "..." below
  EXPECT_GT(test::BoundsOf(surface.get(), [](const test::Pixel& p) {
              return p.r == 0xFA && p.g == 0xC7 && p.b == 0x51;  // Mia's dot
            }).width, 0);
  if (const char* path = std::getenv("QUOL_APPOINTMENTS_PNG")) {
    EXPECT_EQ(WritePng(surface.get(), path), S_OK);
  }
}

}  // namespace
}  // namespace quol::saver
