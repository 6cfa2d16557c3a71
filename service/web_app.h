// The web application the desktop client hosts, as the stand-in serves it on
// its web port: the family's calendar with a form to add appointments, the
// logon and logout pages the client watches for, and a few pages that
// exercise the client's navigation rules and page script object.
//
// Sessions: /logon/logon.aspx signs in from the client's "ExplorerCreds"
// cookie (e-mail "," password; the client percent-encodes them, the server
// library decodes every header before we see it) or from its
// form, and hands out the session cookie "quol_auth" (a sign-in ticket of the
// store, so the session lives as long as the ticket). /logon/logout.aspx ends
// it and sends the browser back to the logon page.
#pragma once

#include <httplib.h>

#include <ctime>
#include <optional>
#include <string>

#include "service/store.h"

namespace quol::service {

// What the pages show of the service around them.
struct WebAppContext {
  int api_port = 0;
  int web_port = 0;
  std::string latest_version;
  std::time_t now = 0;
  int ttl_minutes = 60;
};

// Bounds of what the pages accept.
inline constexpr std::size_t kMaxCookieHeaderBytes = 8192;
inline constexpr std::size_t kMaxSubjectBytes = 200;
inline constexpr std::size_t kMaxAttendeeNameBytes = 64;
// Appointments shown on the home page: from a day ago to this many days ahead.
inline constexpr int kCalendarDaysShown = 30;
inline constexpr std::size_t kMaxAppointmentsShown = 200;

class WebApp {
 public:
  explicit WebApp(Store& store) : store_(store) {}

  // Answers `req` (GET, HEAD or POST) into `res`, with a 404 page for paths
  // that are not the application's.
  void Handle(const httplib::Request& req, httplib::Response& res, const WebAppContext& context);

  // The value of cookie `name` in a Cookie header as the server library
  // hands it over (percent-escapes already decoded, so a value may hold
  // "; "): a value runs up to the next "; NAME=" with NAME a cookie-name
  // token, or to the end. nullopt when absent or the header is oversized.
  static std::optional<std::string> CookieValue(const std::string& header, const std::string& name);

 private:
  std::string HomePage(const httplib::Request& req, const WebAppContext& context,
                       const std::optional<SignedInAccount>& account);
  void Logon(const httplib::Request& req, httplib::Response& res, const WebAppContext& context);
  void Logout(const httplib::Request& req, httplib::Response& res);
  void AddAppointment(const httplib::Request& req, httplib::Response& res,
                      const WebAppContext& context, const std::optional<SignedInAccount>& account);
  std::optional<SignedInAccount> Session(const httplib::Request& req, const WebAppContext& context);

  Store& store_;
};

}  // namespace quol::service
