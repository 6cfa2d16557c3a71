#include "service/web_app.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "service/civil_time.h"
#include "service/markup.h"

namespace quol::service {
namespace {

constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr char kSessionCookie[] = "quol_auth";
constexpr char kCredentialsCookie[] = "ExplorerCreds";
constexpr char kHomePath[] = "/devuzez/";
constexpr char kLogonPath[] = "/logon/logon.aspx";
constexpr char kLogoutPath[] = "/logon/logout.aspx";
constexpr std::size_t kMaxReturnUrlBytes = 512;
constexpr std::size_t kMaxEmailBytes = 320;
constexpr std::size_t kMaxPasswordBytes = 1024;
constexpr std::size_t kMaxTicketBytes = 128;
constexpr std::size_t kMaxScriptArgumentBytes = 1024;
constexpr std::size_t kMaxScriptCallBytes = 40;
constexpr int kMaxDurationMinutes = 24 * 60;

// A 16 x 16 picture in the product's teal, for pages that show an image.
constexpr unsigned char kImagePng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
    0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x91, 0x68,
    0x36, 0x00, 0x00, 0x00, 0x16, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x30, 0x58, 0xba, 0x8b,
    0x24, 0xc4, 0x30, 0xaa, 0x61, 0x54, 0xc3, 0xf0, 0xd5, 0x00, 0x00, 0x94, 0xce, 0x8f, 0x10, 0x47,
    0xad, 0x72, 0x62, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

std::optional<std::string> Param(const httplib::Request& req, std::string_view name) {
  const std::string wanted = AsciiLower(name);
  for (const auto& [key, value] : req.params) {
    if (AsciiLower(key) == wanted) return value;
  }
  return std::nullopt;
}

std::string ParamOr(const httplib::Request& req, std::string_view name) {
  return Param(req, name).value_or(std::string());
}

std::string Card(std::string_view heading, std::string_view inner) {
  std::string out = "<div class=\"card\"><h2>";
  out.append(heading).append("</h2>").append(inner).append("</div>\n");
  return out;
}

// Only a path of this site: no scheme, no other host ("//host"), no
// backslash a browser might read as a slash.
std::string SafeReturnUrl(const std::string& given) {
  if (given.empty() || given.size() > kMaxReturnUrlBytes || given[0] != '/' ||
      (given.size() > 1 && (given[1] == '/' || given[1] == '\\')) ||
      given.find_first_of("\\\r\n") != std::string::npos) {
    return kHomePath;
  }
  return given;
}

std::string SessionCookie(const std::string& ticket, int max_age_seconds) {
  return std::string(kSessionCookie) + "=" + ticket + "; Path=/; Max-Age=" +
         std::to_string(max_age_seconds) + "; HttpOnly; SameSite=Lax";
}

// Local wall-clock text of a UTC time on the machine running the service
// (the same zone the demo family's appointments are placed in).
std::string LocalTimeText(std::time_t utc, bool all_day) {
  std::tm local{};
  localtime_r(&utc, &local);
  char text[64];
  std::strftime(text, sizeof text, all_day ? "%a %Y-%m-%d, all day" : "%a %Y-%m-%d %H:%M", &local);
  return text;
}

// Minutes the machine's local time is behind UTC (the calendar's tzoffset).
int LocalOffsetMinutes(std::time_t at) {
  std::tm local{};
  localtime_r(&at, &local);
  return static_cast<int>(-local.tm_gmtoff / 60);
}

std::optional<int> SmallNumber(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// "HH:MM", 00:00 to 23:59.
std::optional<int> ParseClock(const std::string& text) {
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  const auto hours = SmallNumber(text.substr(0, 2), 0, 23);
  const auto minutes = SmallNumber(text.substr(3, 2), 0, 59);
  if (!hours || !minutes) return std::nullopt;
  return *hours * 60 + *minutes;
}

bool IsPaletteIndex(const std::string& text) { return SmallNumber(text, 0, 16).has_value(); }

// A page-script method name: letters only.
bool IsScriptName(const std::string& text) {
  return !text.empty() && text.size() <= kMaxScriptCallBytes &&
         std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isalpha(c) != 0; });
}

std::string Bounded(const std::string& text, std::size_t limit) {
  return text.size() > limit ? text.substr(0, limit) : text;
}

std::string LogonForm(const std::string& return_url, const std::string& email,
                      const std::string& notice) {
  std::string inner;
  if (!notice.empty()) inner += "<p id=\"notice\" class=\"notice\">" + EscapeMarkup(notice) + "</p>";
  inner +=
      "<form method=\"post\" action=\"/logon/logon.aspx\">"
      "<input type=\"hidden\" name=\"ReturnUrl\" value=\"" +
      EscapeMarkup(return_url) +
      "\"><dl><dt><label for=\"email\">E-mail address</label></dt>"
      "<dd><input id=\"email\" name=\"email\" type=\"email\" maxlength=\"320\" value=\"" +
      EscapeMarkup(Bounded(email, kMaxEmailBytes)) +
      "\"></dd><dt><label for=\"password\">Password</label></dt>"
      "<dd><input id=\"password\" name=\"password\" type=\"password\" maxlength=\"1024\"></dd>"
      "</dl><p><button type=\"submit\">Sign in</button></p></form>";
  return HtmlPage("Sign in to Quol", Card("Sign in", inner));
}

}  // namespace

std::optional<std::string> WebApp::CookieValue(const std::string& header, const std::string& name) {
  if (header.size() > kMaxCookieHeaderBytes || name.empty()) return std::nullopt;
  // Where a "; NAME=" (NAME a cookie-name token) starts the next cookie.
  auto next_cookie = [&header](std::size_t from) {
    for (std::size_t at = header.find("; ", from); at != std::string::npos;
         at = header.find("; ", at + 1)) {
      std::size_t end = at + 2;
      while (end < header.size() &&
             (std::isalnum(static_cast<unsigned char>(header[end])) != 0 ||
              std::strchr("_-.$", header[end]) != nullptr)) {
        ++end;
      }
      if (end > at + 2 && end < header.size() && header[end] == '=') return at;
    }
    return header.size();
  };
  std::size_t at = 0;
  while (at < header.size()) {
    while (at < header.size() && header[at] == ' ') ++at;
    const std::size_t end = next_cookie(at);
    if (header.compare(at, name.size(), name) == 0 && at + name.size() < header.size() &&
        header[at + name.size()] == '=') {
      return header.substr(at + name.size() + 1, end - at - name.size() - 1);
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::optional<SignedInAccount> WebApp::Session(const httplib::Request& req,
                                               const WebAppContext& context) {
  const auto ticket = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
  if (!ticket || ticket->empty() || ticket->size() > kMaxTicketBytes) return std::nullopt;
  return store_.AccountOfTicket(*ticket, context.now);
}

void WebApp::Handle(const httplib::Request& req, httplib::Response& res,
                    const WebAppContext& context) {
  const std::string path = AsciiLower(req.path);
  // The same server under another host name: "localhost" and "127.0.0.1"
  // are different hosts to a browser's rules.
  const std::string other_host = "http://localhost:" + std::to_string(context.web_port);
  res.status = 200;

  if (path == kLogonPath) {
    Logon(req, res, context);
    return;
  }
  if (path == kLogoutPath) {
    Logout(req, res);
    return;
  }
  if (req.method == "POST") {
    if (path == "/devuzez/appointments") {
      AddAppointment(req, res, context, Session(req, context));
      return;
    }
    res.status = 405;
    res.set_content(HtmlPage("Not allowed", Card("Not allowed", "<p>Nothing is sent here.</p>")),
                    kHtmlType);
    return;
  }
  if (path == kHomePath) {
    const std::optional<SignedInAccount> account = Session(req, context);
    const auto credentials = CookieValue(req.get_header_value("Cookie"), kCredentialsCookie);
    // "," is the client's cookie after a sign-out: no saved sign-in.
    const bool saved_sign_in = credentials && !credentials->empty() && (*credentials)[0] != ',';
    if (!account && saved_sign_in) {
      // The client's saved sign-in: the logon page signs in with it and
      // comes back here, as the service's own pages do.
      std::string back = req.target;
      if (back.size() > kMaxReturnUrlBytes) back = kHomePath;
      std::string escaped;
      for (unsigned char c : back) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
          escaped += static_cast<char>(c);
        } else {
          static constexpr char kHex[] = "0123456789ABCDEF";
          escaped += '%';
          escaped += kHex[c >> 4];
          escaped += kHex[c & 15];
        }
      }
      res.set_redirect("/logon/logon.aspx?ReturnUrl=" + escaped, 302);
      return;
    }
    res.set_content(HomePage(req, context, account), kHtmlType);
  } else if (path == "/devuzez/whatsnew.htm") {
    res.set_content(HtmlPage("What's new in Quol",
                             Card("What's new",
                                  "<ul><li>The screen saver shows today's and tomorrow's "
                                  "appointments next to your photos.</li>"
                                  "<li>Family members keep their colours everywhere.</li>"
                                  "<li>Faster sign-in.</li></ul>"
                                  "<p><a href=\"/devuzez/\">Back</a></p>")),
                    kHtmlType);
  } else if (path == "/devuzez/image.png") {
    res.set_content(std::string(reinterpret_cast<const char*>(kImagePng), sizeof kImagePng),
                    "image/png");
  } else if (path == "/devuzez/links.htm") {
    res.set_content(
        HtmlPage("Links",
                 Card("Links and pictures",
                      "<ul><li><a id=\"same-host\" href=\"/devuzez/whatsnew.htm\">This site</a></li>"
                      "<li><a id=\"other-host\" href=\"" + other_host +
                          "/devuzez/whatsnew.htm\">Another host</a></li>"
                          "<li><a id=\"outside\" href=\"https://www.example.org/\">An outside "
                          "site</a></li>"
                          "<li><a id=\"new-window\" href=\"/devuzez/whatsnew.htm\" "
                          "target=\"_blank\">This site in a new window</a></li>"
                          "<li><a id=\"not-found\" href=\"/devuzez/nothing-here\">A missing "
                          "page</a></li>"
                          "<li><a id=\"frame-page\" href=\"/devuzez/frame.htm\">A page with a "
                          "frame from another host</a></li>"
                          "<li><a id=\"external-page\" href=\"/devuzez/external.htm\">The page "
                          "script object</a></li></ul>"
                          "<p><img id=\"image\" src=\"/devuzez/image.png\" width=\"16\" "
                          "height=\"16\" alt=\"Quol\"> "
                          "<img id=\"missing-image\" src=\"/devuzez/missing.png\" width=\"16\" "
                          "height=\"16\" alt=\"\"></p>")),
        kHtmlType);
  } else if (path == "/devuzez/frame.htm") {
    res.set_content(HtmlPage("A frame from another host",
                             Card("Around a frame",
                                  "<iframe id=\"ad\" src=\"" + other_host +
                                      "/devuzez/ad.htm\" width=\"320\" height=\"120\"></iframe>")),
                    kHtmlType);
  } else if (path == "/devuzez/ad.htm") {
    res.set_content(HtmlPage("Advertisement",
                             Card("Advertisement", "<p id=\"ad-text\">Your ad could be here.</p>")),
                    kHtmlType);
  } else if (path == "/devuzez/external.htm") {
    // The method to call and its arguments come from the query; they reach
    // the script only as escaped attribute values, never as script text.
    std::string attributes;
    const std::string call = ParamOr(req, "call");
    if (IsScriptName(call)) attributes += " data-call=\"" + call + "\"";
    for (const char* name : {"arg1", "arg2"}) {
      if (auto value = Param(req, name)) {
        attributes += std::string(" data-") + name + "=\"" +
                      EscapeMarkup(Bounded(*value, kMaxScriptArgumentBytes)) + "\"";
      }
    }
    const std::string body =
        "<div id=\"calls\"" + attributes +
        "></div>" +
        Card("The page script object",
             "<dl><dt>window.external</dt><dd id=\"has-external\"></dd>"
             "<dt>GetVersion()</dt><dd id=\"version\"></dd>"
             "<dt>HasCredentials</dt><dd id=\"has-credentials\"></dd>"
             "<dt>IsDebugMode</dt><dd id=\"debug\"></dd>"
             "<dt>ScreensaverSetup</dt><dd id=\"saver-setup\"></dd>"
             "<dt>GetSetting('DebugSetting')</dt><dd id=\"debug-setting\"></dd>"
             "<dt>Call</dt><dd id=\"call-result\"></dd></dl>"
             "<p><button id=\"about\" onclick=\"window.external.ShowAboutDlg()\">About</button> "
             "<button id=\"check\" onclick=\"window.external.CheckForUpdates()\">Check for "
             "updates</button> "
             "<button id=\"status\" onclick=\"window.external.ShowStatusMessage('Hello from the "
             "page')\">Status message</button> "
             "<button id=\"home\" onclick=\"window.external.OpenHomePage()\">Home</button></p>") +
        "<script>\n"
        "async function value(v) { return await Promise.resolve(v); }\n"
        "function show(id, v) { document.getElementById(id).textContent = String(v); }\n"
        "async function run() {\n"
        "  var ext = window.external;\n"
        "  show('has-external', typeof ext);\n"
        "  try {\n"
        "    if (ext && typeof ext.GetVersion === 'function') {\n"
        "      show('version', await value(ext.GetVersion()));\n"
        "      show('has-credentials', await value(ext.HasCredentials));\n"
        "      show('debug', await value(ext.IsDebugMode));\n"
        "      show('saver-setup', await value(ext.ScreensaverSetup));\n"
        "      show('debug-setting', await value(ext.GetSetting('DebugSetting')));\n"
        "      var d = document.getElementById('calls').dataset;\n"
        "      if (d.call && typeof ext[d.call] === 'function') {\n"
        "        var args = [];\n"
        "        if (d.arg1 !== undefined) args.push(d.arg1);\n"
        "        if (d.arg2 !== undefined) args.push(d.arg2);\n"
        "        show('call-result', await value(ext[d.call].apply(ext, args)));\n"
        "      }\n"
        "    }\n"
        "  } catch (e) { show('call-result', 'error: ' + e); }\n"
        "  document.title = 'external:done';\n"
        "}\n"
        "window.addEventListener('DOMContentLoaded', run);\n"
        "</script>";
    res.set_content(HtmlPage("external:running", body), kHtmlType);
  } else {
    res.status = 404;
    res.set_content(HtmlPage("Not found", Card("Not found",
                                               "<p>There is no page here.</p>"
                                               "<p><a href=\"/devuzez/\">Home</a></p>")),
                    kHtmlType);
  }
}

std::string WebApp::HomePage(const httplib::Request& req, const WebAppContext& context,
                             const std::optional<SignedInAccount>& account) {
  std::string body;
  if (account) {
    body += Card("Welcome",
                 "<p>Signed in as <span id=\"signed-in\">" + EscapeMarkup(account->email) +
                     "</span>. <a id=\"sign-out\" href=\"/logon/logout.aspx\">Sign out</a></p>"
                     "<p><a href=\"/devuzez/whatsnew.htm\">What's new</a></p>");
  } else {
    body += Card("Welcome",
                 "<p>This is the local stand-in of the Quol family organizer. Sign in from the "
                 "Quol desktop client to see the family's calendar in the screen saver.</p>"
                 "<p><a id=\"sign-in\" href=\"/logon/logon.aspx?ReturnUrl=%2Fdevuzez%2F\">Sign "
                 "in</a> &middot; <a href=\"/devuzez/whatsnew.htm\">What's new</a></p>");
  }
  const auto mode = Param(req, "mode");
  const auto cobrand = Param(req, "cobrand");
  if (mode || cobrand) {
    std::string inner = "<dl>";
    if (mode) inner += "<dt>mode</dt><dd id=\"mode\">" + EscapeMarkup(Bounded(*mode, 120)) + "</dd>";
    if (cobrand) {
      inner += "<dt>cobrand</dt><dd id=\"cobrand\">" + EscapeMarkup(Bounded(*cobrand, 120)) + "</dd>";
    }
    body += Card("Opened with", inner + "</dl>");
  }

  if (account) {
    const std::time_t now = context.now;
    auto page = store_.Calendar(account->account_id, now - kSecondsPerDay,
                                now + std::int64_t{kCalendarDaysShown} * kSecondsPerDay,
                                LocalOffsetMinutes(now));
    std::string inner;
    if (!page) {
      inner = "<p>The calendar cannot be read right now.</p>";
    } else if (page->appointments.empty()) {
      inner = "<p id=\"no-appointments\">Nothing planned.</p>";
    } else {
      inner = "<ul id=\"appointments\">";
      std::size_t shown = 0;
      for (const ServedAppointment& a : page->appointments) {
        if (++shown > kMaxAppointmentsShown) break;
        inner += "<li><strong class=\"subject\">" + EscapeMarkup(a.subject) + "</strong> &middot; " +
                 EscapeMarkup(LocalTimeText(static_cast<std::time_t>(a.start_utc), a.all_day));
        if (!a.attendees.empty()) {
          inner += " &middot; ";
          for (std::size_t i = 0; i < a.attendees.size(); ++i) {
            if (i > 0) inner += ", ";
            inner += "<span class=\"attendee\">" + EscapeMarkup(a.attendees[i].name) + "</span>";
          }
        }
        inner += "</li>";
      }
      inner += "</ul>";
    }
    if (Param(req, "added")) inner = "<p id=\"added\">Added.</p>" + inner;
    body += Card("The family's calendar", inner);

    char today[16];
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    body += Card(
        "Add an appointment",
        std::string("<form method=\"post\" action=\"/devuzez/appointments\"><dl>"
                    "<dt><label for=\"subject\">What</label></dt><dd><input id=\"subject\" "
                    "name=\"subject\" maxlength=\"200\" required></dd>"
                    "<dt><label for=\"date\">Day</label></dt><dd><input id=\"date\" name=\"date\" "
                    "type=\"date\" value=\"") +
            today +
            "\" required></dd>"
            "<dt><label for=\"time\">Time</label></dt><dd><input id=\"time\" name=\"time\" "
            "type=\"time\" value=\"18:00\"> <label><input name=\"allDay\" type=\"checkbox\"> all "
            "day</label></dd>"
            "<dt><label for=\"minutes\">Minutes</label></dt><dd><input id=\"minutes\" "
            "name=\"minutes\" type=\"number\" min=\"1\" max=\"1440\" value=\"60\"></dd>"
            "<dt><label for=\"attendee\">Who</label></dt><dd><input id=\"attendee\" "
            "name=\"attendee\" maxlength=\"64\"> colour <input name=\"color\" type=\"number\" "
            "min=\"0\" max=\"16\" value=\"3\"></dd>"
            "</dl><p><button type=\"submit\">Add</button></p></form>");
  }

  body += Card("Service", "<dl><dt>API</dt><dd>" +
                              EscapeMarkup("http://127.0.0.1:" + std::to_string(context.api_port)) +
                              "</dd><dt>Latest version</dt><dd>" +
                              EscapeMarkup(context.latest_version) +
                              "</dd><dt>Test pages</dt><dd><a href=\"/devuzez/links.htm\">Links, "
                              "frames and pictures</a></dd></dl>");
  return HtmlPage("Quol", body);
}

void WebApp::Logon(const httplib::Request& req, httplib::Response& res,
                   const WebAppContext& context) {
  const std::string return_url = SafeReturnUrl(ParamOr(req, "ReturnUrl"));
  std::string email, password, notice;
  if (req.method == "POST") {
    email = ParamOr(req, "email");
    password = ParamOr(req, "password");
    notice = "Wrong e-mail address or password.";
  } else if (auto cookie = CookieValue(req.get_header_value("Cookie"), kCredentialsCookie)) {
    // The client's cookie: e-mail "," password. The client percent-encodes
    // the two; the server library has decoded every header value already,
    // which is why CookieValue does not end a value at any ";".
    const std::string& value = *cookie;
    const std::size_t comma = value.find(',');
    if (comma != std::string::npos) {
      email = value.substr(0, comma);
      password = value.substr(comma + 1);
    }
    if (!email.empty()) notice = "The saved sign-in was not accepted.";
  }
  if (!email.empty() && !password.empty() && email.size() <= kMaxEmailBytes &&
      password.size() <= kMaxPasswordBytes) {
    if (auto account = store_.CheckPassword(email, password)) {
      const std::int64_t lifetime = std::int64_t{context.ttl_minutes} * 60;
      const std::string ticket = store_.IssueTicket(*account, context.now, context.now + lifetime);
      if (!ticket.empty()) {
        res.set_header("Set-Cookie", SessionCookie(ticket, static_cast<int>(lifetime)));
        res.set_redirect(return_url, req.method == "POST" ? 303 : 302);
        return;
      }
      notice = "The service cannot sign you in right now.";
    }
  }
  res.status = 200;
  res.set_content(LogonForm(return_url, email, notice), kHtmlType);
}

void WebApp::Logout(const httplib::Request& req, httplib::Response& res) {
  const auto ticket = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
  if (ticket && !ticket->empty() && ticket->size() <= kMaxTicketBytes) store_.RevokeTicket(*ticket);
  res.set_header("Set-Cookie", SessionCookie("", 0));
  res.set_redirect("/logon/logon.aspx?ReturnUrl=%2Fdevuzez%2F", 302);
}

void WebApp::AddAppointment(const httplib::Request& req, httplib::Response& res,
                            const WebAppContext&,
                            const std::optional<SignedInAccount>& account) {
  if (!account) {
    res.set_redirect("/logon/logon.aspx?ReturnUrl=%2Fdevuzez%2F", 303);
    return;
  }
  std::string why;
  Appointment appointment;
  appointment.subject = ParamOr(req, "subject");
  const std::string date_text = ParamOr(req, "date");
  const auto date = ParseIsoDate(date_text);
  appointment.all_day = Param(req, "allDay").has_value();
  const std::string attendee = ParamOr(req, "attendee");
  std::string color = ParamOr(req, "color");
  if (color.empty()) color = "3";
  if (appointment.subject.empty() || appointment.subject.size() > kMaxSubjectBytes) {
    why = "Say what the appointment is (at most 200 bytes).";
  } else if (!date) {
    why = "The day must be a date like 2024-05-01.";
  } else if (attendee.size() > kMaxAttendeeNameBytes) {
    why = "A name has at most 64 bytes.";
  } else if (!IsPaletteIndex(color)) {
    why = "The colour is a number from 0 to 16.";
  } else if (appointment.all_day) {
    appointment.local_date = FormatIsoDate(*date);
  } else {
    const auto clock = ParseClock(ParamOr(req, "time"));
    const std::string minutes_text = ParamOr(req, "minutes");
    const auto minutes =
        minutes_text.empty() ? std::optional<int>(60) : SmallNumber(minutes_text, 1, kMaxDurationMinutes);
    if (!clock) {
      why = "The time must be like 18:30.";
    } else if (!minutes) {
      why = "The length is 1 to 1440 minutes.";
    } else {
      // The day and time as the family sees them on this machine.
      std::tm local{};
      local.tm_year = date->year - 1900;
      local.tm_mon = date->month - 1;
      local.tm_mday = date->day;
      local.tm_hour = *clock / 60;
      local.tm_min = *clock % 60;
      local.tm_isdst = -1;
      const std::time_t start = std::mktime(&local);
      if (start == static_cast<std::time_t>(-1)) {
        why = "That time does not exist here.";
      } else {
        appointment.start_utc = start;
        appointment.end_utc = start + std::time_t{*minutes} * 60;
      }
    }
  }
  if (why.empty()) {
    if (!attendee.empty()) appointment.attendees.push_back({attendee, color, false});
    if (!store_.AddAppointment(account->account_id, appointment)) why = "The service could not store it.";
  }
  if (!why.empty()) {
    res.status = 400;
    res.set_content(HtmlPage("Not added", Card("Not added", "<p id=\"error\">" + EscapeMarkup(why) +
                                                                "</p><p><a href=\"/devuzez/\">"
                                                                "Back</a></p>")),
                    kHtmlType);
    return;
  }
  res.set_redirect("/devuzez/?added=1", 303);
}

}  // namespace quol::service
