// The calendar call: signs in on the authentication service, asks the
// reminder service for the appointments from today (UTC) to the end of
// tomorrow (local), and turns the answer into appointments in local time.
//
// Blocks for the whole exchange (bounded by the HTTP layer's time-outs and by
// the stop flag); only the snapshot's worker thread runs it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/rest/rest_request.h"
#include "platform/clock/clock.h"
#include "platform/common/hresult.h"
#include "screensaver/appointments/appointment.h"

namespace quol {
class CSuiteSettings;
}

namespace quol::saver {

struct CalendarCredentials {
  std::string email_address;
  std::string password;
};

// Where the calendar call gets what it needs. FromProcess() reads the
// process's settings, configuration and cobrand module; tests point the
// functions at a service stand-in. An unset function yields an empty value
// (no credentials, no URL, no partner colour, an interval of 0 minutes).
struct CalendarSources {
  std::function<CalendarCredentials()> credentials;
  std::function<std::string()> reminder_service_url;
  std::function<std::string()> auth_service_url;
  std::function<std::string()> cobrand_colour_text;
  std::function<int()> update_interval_minutes;
  // The first wait before trying again after a failed fetch, in seconds
  // (one collage interval); each further failure doubles it, up to the
  // update interval. Unset or 0: no wait.
  std::function<int()> first_retry_seconds;
  // Receives the account id of a successful sign-in; null: a private,
  // unsaved settings object.
  CSuiteSettings* settings = nullptr;

  static CalendarSources FromProcess();
};

// Pieces of the calendar call, exposed for tests.
// Minutes to add to local time to get UTC: 480 for UTC-8, -60 for UTC+1.
int TimeZoneOffsetMinutes(const platform::CalendarTime& utc, const platform::CalendarTime& local);
// Tomorrow's local date at 23:59:59.999, in UTC.
platform::CalendarTime WindowEndUtc(const platform::CalendarTime& local);
// "YYYY-MM-DDTHH:MM:SS" (UTC) to local calendar seconds; 0 when unreadable.
std::int64_t ServiceTimeToLocalSeconds(const std::string& text, int offset_minutes);

class CalendarRequest {
 public:
  // Reads both URLs now; they stay for the life of the request.
  explicit CalendarRequest(CalendarSources sources);
  ~CalendarRequest();
  CalendarRequest(const CalendarRequest&) = delete;
  CalendarRequest& operator=(const CalendarRequest&) = delete;

  // One calendar call. S_OK replaces appointments(); on failure they stay
  // as they were. E_FAIL without credentials (nothing sent), the sign-in's
  // code when it fails, the REST layer's code when the call fails, E_FAIL
  // for an answer without an appointment list.
  [[nodiscard]] HRESULT Fetch();
  // Once `*stop` is true, a running or later Fetch() gives up soon (E_ABORT
  // from the HTTP layer). Borrowed; set before the first Fetch().
  void SetStopFlag(const std::atomic<bool>* stop);

  const std::vector<Appointment>& appointments() const { return appointments_; }
  // The `version` of the last answer; sent back while the window end stays.
  const std::string& version() const { return version_; }

 private:
  CalendarSources sources_;
  std::unique_ptr<CSuiteSettings> private_settings_;
  CRestRequest calendar_;
  CRestRequest sign_in_;
  bool have_window_end_ = false;
  platform::CalendarTime window_end_;
  std::string version_;
  std::vector<Appointment> appointments_;
};

}  // namespace quol::saver
