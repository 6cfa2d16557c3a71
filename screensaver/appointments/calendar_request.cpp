#include "screensaver/appointments/calendar_request.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "platform/text/utf.h"

namespace quol::saver {
namespace {

using std::chrono::duration_cast;
using std::chrono::minutes;
using std::chrono::seconds;

std::int64_t ToSeconds(platform::TimePoint t) {
  return duration_cast<seconds>(t.time_since_epoch()).count();
}

// "%a %H:%M", always with English day names (the log is for support).
std::string LogTime(const platform::CalendarTime& t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  char text[32];
  std::snprintf(text, sizeof text, "%s %02d:%02d", kDays[(t.day_of_week % 7 + 7) % 7], t.hour,
                t.minute);
  return text;
}

bool IsTrue(const std::string& text) { return platform::EqualsIgnoreCase(text, "true"); }

Appointment ReadAppointment(const RestElement& item, int offset_minutes) {
  Appointment appointment;
  appointment.subject = item.Text("subject");
  appointment.all_day = IsTrue(item.Text("isAllDayEvent"));
  appointment.routine = IsTrue(item.Text("isRoutine"));
  appointment.start = ServiceTimeToLocalSeconds(item.Text("startTime"), offset_minutes);
  appointment.end = ServiceTimeToLocalSeconds(item.Text("endTime"), offset_minutes);
  // Only attendees that carry a colour element (even an empty one) count.
  item.ForEachElement("attendees/attendee", [&](const RestElement& attendee) {
    if (!attendee.Has("color")) return;
    appointment.attendee_colours.push_back(
        AttendeeColour(attendee.Text("color"), IsTrue(attendee.Text("cobrand"))));
  });
  return appointment;
}

}  // namespace

CalendarSources CalendarSources::FromProcess() {
  CalendarSources sources;
  sources.credentials = [] {
    const CSuiteSettings& settings = CSuiteSettings::Instance();
    return CalendarCredentials{settings.email_address(), settings.password()};
  };
  sources.reminder_service_url = [] { return CGlobalConfig::Instance().reminder_service_url(); };
  sources.auth_service_url = [] { return CGlobalConfig::Instance().auth_service_url(); };
  sources.cobrand_colour_text = [] {
    return CCobrandableModule::Instance().LoadString(kStringCobrandColour);
  };
  sources.update_interval_minutes = [] {
    return CGlobalConfig::Instance().calendar_update_interval();
  };
  sources.first_retry_seconds = [] {
    return std::max(1, CSuiteSettings::Instance().inter_photo_interval());
  };
  sources.settings = &CSuiteSettings::Instance();
  return sources;
}

int TimeZoneOffsetMinutes(const platform::CalendarTime& utc, const platform::CalendarTime& local) {
  // Both read as if they were UTC: the difference is the zone's offset.
  const std::int64_t difference =
      ToSeconds(platform::FromUtcTime(utc)) - ToSeconds(platform::FromUtcTime(local));
  return static_cast<int>(difference / 60);
}

platform::CalendarTime WindowEndUtc(const platform::CalendarTime& local) {
  platform::CalendarTime end = local;
  end.day += 1;  // the C library carries into the month and year
  end.hour = 23;
  end.minute = 59;
  end.second = 59;
  end.millisecond = 999;
  return platform::ToUtcTime(platform::FromLocalTime(end));
}

std::int64_t ServiceTimeToLocalSeconds(const std::string& text, int offset_minutes) {
  platform::CalendarTime utc;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &utc.year, &utc.month, &utc.day, &utc.hour,
                  &utc.minute, &utc.second) != 6) {
    return 0;
  }
  // An appointment outside these years is a broken answer, not a date to
  // show; the offset is ours, but is kept within a day all the same.
  if (utc.year < 1700 || utc.year > 2200 || offset_minutes < -24 * 60 ||
      offset_minutes > 24 * 60) {
    return 0;
  }
  // The wall-clock reading in the caller's zone, then back to seconds the
  // way local times are counted here (daylight saving as the system sees it).
  const platform::CalendarTime wall =
      platform::ToUtcTime(platform::FromUtcTime(utc) - minutes(offset_minutes));
  return ToSeconds(platform::FromLocalTime(wall));
}

CalendarRequest::CalendarRequest(CalendarSources sources)
    : sources_(std::move(sources)),
      calendar_(sources_.reminder_service_url ? sources_.reminder_service_url() : std::string()),
      sign_in_(sources_.auth_service_url ? sources_.auth_service_url() : std::string()) {
  if (sources_.settings == nullptr) {
    private_settings_ = std::make_unique<CSuiteSettings>();
    sources_.settings = private_settings_.get();
  }
}

CalendarRequest::~CalendarRequest() = default;

void CalendarRequest::SetStopFlag(const std::atomic<bool>* stop) {
  calendar_.SetStopFlag(stop);
  sign_in_.SetStopFlag(stop);
}

HRESULT CalendarRequest::Fetch() {
  LogInfo("Fetching appts");
  const CalendarCredentials credentials =
      sources_.credentials ? sources_.credentials() : CalendarCredentials{};
  if (credentials.email_address.empty() || credentials.password.empty()) {
    LogError("No creds");
    return E_FAIL;
  }

  const platform::TimePoint now = platform::Now();
  const platform::CalendarTime utc = platform::ToUtcTime(now);
  const platform::CalendarTime local = platform::ToLocalTime(now);
  const int offset = TimeZoneOffsetMinutes(utc, local);

  // From today (UTC) to the end of tomorrow as the family counts days.
  const platform::CalendarTime& window_start = utc;
  const platform::CalendarTime window_end = WindowEndUtc(local);
  if (!have_window_end_ || window_end != window_end_) version_.clear();

  HRESULT hr = SignIn(sign_in_, credentials.email_address, credentials.password, false,
                      *sources_.settings);
  if (Failed(hr)) {
    LogError("Auth failed: %x", static_cast<unsigned>(hr));
    return hr;
  }

  const std::string offset_text = std::to_string(offset);
  LogInfo("FROM UTC: %s", LogTime(window_start).c_str());
  LogInfo("TO UTC: %s", LogTime(window_end).c_str());
  LogInfo("TZ: %s", offset_text.c_str());

  const SignInTicket ticket = CurrentTicket();
  calendar_.Reset();
  calendar_.AddDateParam("startDate", window_start);
  calendar_.AddDateParam("endDate", window_end);
  calendar_.AddParam("version", version_);
  calendar_.AddParam("tzoffset", offset_text);
  calendar_.AddParam("account", ticket.account_id);
  calendar_.AddParam("auth", ticket.ticket);
  calendar_.AddParam("apiKey", kRestApiKey);
  hr = calendar_.Call();
  if (Failed(hr)) return hr;

  if (CobrandColour() == kColourUnset) {
    SetCobrandColourOnce(sources_.cobrand_colour_text ? sources_.cobrand_colour_text()
                                                      : std::string());
  }

  // An answer without the list is a failure; an empty list is not.
  if (!calendar_.HasChild("appointments")) {
    LogError("No appts");
    return E_FAIL;
  }
  std::vector<Appointment> fetched;
  calendar_.ForEachElement("appointments/appointment", [&](const RestElement& item) {
    fetched.push_back(ReadAppointment(item, offset));
  });
  LogInfo("Fetched %d appts", static_cast<int>(fetched.size()));
  appointments_ = std::move(fetched);

  window_end_ = window_end;
  have_window_end_ = true;
  version_ = calendar_.GetChildValue("version");
  return S_OK;
}

}  // namespace quol::saver
