#include "service/devservice.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "service/civil_time.h"
#include "service/demo_family.h"
#include "service/markup.h"
#include "service/store.h"

namespace quol::service {
namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kXmlType[] = "text/xml; charset=utf-8";
constexpr char kHtmlType[] = "text/html; charset=utf-8";

// API paths, matched without regard to case.
constexpr char kConfigPath[] = "/quoldevuzez/globalconfig_v2.xml";
constexpr char kAuthPath[] = "/service/api/accounts/auth/default.ashx";
constexpr char kCalendarPath[] = "/service/api/calendar/interval/default.ashx";

// Longest parameter values worth looking at; longer ones are simply wrong.
constexpr std::size_t kMaxUserNameBytes = 320;
constexpr std::size_t kMaxPasswordBytes = 1024;
constexpr std::size_t kMaxTokenBytes = 128;
constexpr std::size_t kMaxShownBytes = 120;

// Bounds of the test bookkeeping, so a long-running service stays small.
constexpr std::size_t kMaxLoggedTargets = 10000;
constexpr std::size_t kMaxCountedPaths = 10000;

enum ErrorCode {
  kBadApiKey = 1,
  kWrongCredentials = 2,
  kNotSignedIn = 3,
  kBadDates = 4,
  kServiceError = 5
};

std::string XmlDocument(std::string_view body) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<quol>";
  out.append(body).append("</quol>\n");
  return out;
}

std::string Failure(int code, std::string_view message) {
  return XmlDocument("<success>false</success>" + Element("errorCode", std::to_string(code)) +
                     Element("error", message));
}

// The first value of a query parameter, its name compared without regard to
// case (as the service always has).
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

std::optional<int> ParseOffsetMinutes(std::string text) {
  if (!text.empty() && text.front() == '+') text.erase(0, 1);
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if (value < -24 * 60 || value > 24 * 60) return std::nullopt;
  return value;
}

std::string HtmlPage(std::string_view title, std::string_view body) {
  std::string out = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";
  out.append(EscapeMarkup(title));
  out.append(R"(</title>
<style>
  body { margin: 0; font-family: "Segoe UI", "Noto Sans", "DejaVu Sans", sans-serif;
         background: #f4f7fb; color: #22313f; }
  header { background: linear-gradient(90deg, #30a5ba, #4f7cc9); color: #fff;
           padding: 28px 40px; }
  header h1 { margin: 0; font-size: 30px; letter-spacing: 1px; }
  header p { margin: 6px 0 0; opacity: .9; }
  main { max-width: 760px; margin: 28px auto; padding: 0 24px; }
  .card { background: #fff; border-radius: 10px; padding: 20px 26px; margin-bottom: 20px;
          box-shadow: 0 2px 8px rgba(34, 49, 63, .08); }
  .card h2 { margin-top: 0; font-size: 19px; color: #30a5ba; }
  dl { display: grid; grid-template-columns: max-content 1fr; gap: 6px 18px; margin: 0; }
  dt { font-weight: 600; }
  dd { margin: 0; }
  a { color: #4f7cc9; }
  footer { text-align: center; color: #8597a8; font-size: 13px; margin: 30px 0; }
</style>
</head>
<body>
<header><h1>Quol</h1><p>The family organizer &mdash; local stand-in</p></header>
<main>
)");
  out.append(body);
  out.append(R"(
</main>
<footer>quol-devservice &middot; serving 127.0.0.1 only</footer>
</body>
</html>
)");
  return out;
}

std::string Shown(const std::string& text) {
  return EscapeMarkup(text.size() > kMaxShownBytes ? text.substr(0, kMaxShownBytes) : text);
}

}  // namespace

struct DevService::Impl {
  struct ConfigOverride {
    int status;
    std::string body;
    std::string content_type;
  };
  using WebPage = std::string (Impl::*)(const httplib::Request&) const;

  DevServiceOptions options;
  std::unique_ptr<Store> store;
  httplib::Server api;
  httplib::Server web;
  std::thread api_thread;
  std::thread web_thread;
  std::atomic<int> api_port{0};
  std::atomic<int> web_port{0};
  std::map<std::string, WebPage> web_pages;  // lower-case path -> page

  std::mutex lifecycle_mutex;  // serialises Start and Stop
  bool started = false;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  bool stopping = false;
  int delay_ms = 0;
  std::optional<ConfigOverride> config_override;
  std::function<std::time_t()> clock;
  std::function<void(const std::string&)> log_sink;
  std::map<std::string, int> request_counts;
  std::deque<std::string> request_log;

  Impl() {
    // The web application's pages; later pages are added here.
    web_pages["/devuzez/"] = &Impl::HomePage;
    web_pages["/devuzez/whatsnew.htm"] = &Impl::WhatsNewPage;
  }

  std::time_t Now() const {
    std::function<std::time_t()> now;
    {
      std::lock_guard lock(mutex);
      now = clock;
    }
    return now ? now() : std::time(nullptr);
  }

  std::string Base(int port) const {
    return std::string("http://") + kLoopback + ":" + std::to_string(port);
  }

  // --- bookkeeping shared by both ports ----------------------------------

  void Record(const httplib::Request& req) {
    std::lock_guard lock(mutex);
    if (request_counts.size() < kMaxCountedPaths || request_counts.count(req.path))
      ++request_counts[req.path];
    request_log.push_back(req.target);
    if (request_log.size() > kMaxLoggedTargets) request_log.pop_front();
  }

  void Log(const char* port_name, const httplib::Request& req, const httplib::Response& res) {
    std::string line = "quol-devservice: ";
    line.append(port_name).append(" ").append(req.method.empty() ? "-" : req.method).append(" ");
    line.append(req.target.empty() ? std::string("-") : MaskTargetForLog(req.target));
    line.append(" -> ").append(std::to_string(res.status));
    std::function<void(const std::string&)> sink;
    {
      std::lock_guard lock(mutex);
      sink = log_sink;
    }
    if (sink) {
      sink(line);
    } else {
      line += '\n';
      std::fputs(line.c_str(), stderr);
    }
  }

  // Fills in a body for refusals the server library makes on its own
  // (malformed requests, over-long targets, other methods). Every answer
  // written here has a Content-Type, even an overridden empty one.
  static httplib::Server::HandlerResponse OnError(bool xml, const httplib::Request&,
                                                  httplib::Response& res) {
    if (res.has_header("Content-Type")) return httplib::Server::HandlerResponse::Unhandled;
    std::string reason = "Bad request";
    if (res.status == 404) reason = "Not found";
    if (res.status == 413) reason = "Request too large";
    if (res.status == 414) reason = "Request target too long";
    if (xml) {
      res.set_content(Failure(res.status, reason), kXmlType);
    } else {
      res.set_content(HtmlPage(reason, "<div class=\"card\"><h2>" + reason + "</h2></div>"),
                      kHtmlType);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  // --- API port -------------------------------------------------------------

  httplib::Server::HandlerResponse OnApiRequest(const httplib::Request& req,
                                                httplib::Response& res) {
    Record(req);
    {
      std::unique_lock lock(mutex);
      if (delay_ms > 0) {
        wake.wait_for(lock, std::chrono::milliseconds(delay_ms), [this] { return stopping; });
      }
      if (stopping) {
        res.status = 503;
        res.set_content(Failure(kServiceError, "Service stopping"), kXmlType);
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // Other methods go on to the server library, which reads their bodies
    // and refuses them.
    if (req.method != "GET" && req.method != "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;

    try {
      const std::string path = AsciiLower(req.path);
      if (path == kConfigPath) {
        ServeConfig(res);
      } else if (path == kAuthPath) {
        SignIn(req, res);
      } else if (path == kCalendarPath) {
        ServeCalendar(req, res);
      } else {
        res.status = 404;
        res.set_content(Failure(404, "Not found"), kXmlType);
      }
    } catch (const std::exception&) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  void ServeConfig(httplib::Response& res) const {
    {
      std::lock_guard lock(mutex);
      if (config_override) {
        res.status = config_override->status;
        res.set_content(config_override->body, config_override->content_type.c_str());
        return;
      }
    }
    const std::string api = Base(api_port);
    const std::string config_url = api + "/QuolDevuzez/GlobalConfig_v2.xml";
    std::string body = "<default>\n";
    auto line = [&](std::string_view name, std::string_view value) {
      body.append("  ").append(Element(name, value)).append("\n");
    };
    line("updateServiceUrl", config_url);
    line("fallBackUpdateServiceUrl", config_url);
    line("authServiceUrl", api + "/Service/API/accounts/auth/default.ashx");
    line("reminderServiceUrl", api + "/Service/api/calendar/interval/default.ashx");
    line("homePageUrl", Base(web_port) + "/devuzez/");
    line("whatsNewUrl", "/devuzez/whatsnew.htm");  // relative on purpose: clients resolve it
    line("logonPage", "/logon/logon.");
    line("logoffPage", "/logon/logout.");
    line("latestVersion", options.latest_version);
    line("minVersion", "0.0.0.0");
    line("ttl", "1440");
    line("calendarUpdateInterval", "1");
    line("authCookies", "ASP.NET_SessionId;quol_state;quol_auth");
    body += "</default>";
    res.status = 200;
    res.set_content(XmlDocument(body), kXmlType);
  }

  void SignIn(const httplib::Request& req, httplib::Response& res) {
    res.status = 200;
    if (ParamOr(req, "apiKey") != kApiKey) {
      res.set_content(Failure(kBadApiKey, "Missing or wrong apiKey"), kXmlType);
      return;
    }
    const std::string user = ParamOr(req, "username");
    const std::string password = ParamOr(req, "password");
    std::optional<std::string> account;
    if (!user.empty() && !password.empty() && user.size() <= kMaxUserNameBytes &&
        password.size() <= kMaxPasswordBytes) {
      account = store->CheckPassword(user, password);
    }
    if (!account) {
      res.set_content(Failure(kWrongCredentials, "Wrong user name or password"), kXmlType);
      return;
    }
    const std::time_t now = Now();
    const std::string ticket =
        store->IssueTicket(*account, now, now + std::int64_t{options.ttl_minutes} * 60);
    if (ticket.empty()) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
      return;
    }
    res.set_content(XmlDocument("<success>true</success>" + Element("account", *account) +
                                Element("auth", ticket) +
                                Element("ttlMinutes", std::to_string(options.ttl_minutes))),
                    kXmlType);
  }

  void ServeCalendar(const httplib::Request& req, httplib::Response& res) {
    res.status = 200;
    if (ParamOr(req, "apiKey") != kApiKey) {
      res.set_content(Failure(kBadApiKey, "Missing or wrong apiKey"), kXmlType);
      return;
    }
    const std::string account = ParamOr(req, "account");
    const std::string ticket = ParamOr(req, "auth");
    if (account.empty() || ticket.empty() || account.size() > kMaxTokenBytes ||
        ticket.size() > kMaxTokenBytes || !store->IsTicketLive(ticket, account, Now())) {
      res.set_content(Failure(kNotSignedIn, "Not signed in"), kXmlType);
      return;
    }
    const auto first = ParseIsoDate(ParamOr(req, "startDate"));
    const auto last = ParseIsoDate(ParamOr(req, "endDate"));
    if (!first || !last || DaysFromCivil(*last) < DaysFromCivil(*first)) {
      res.set_content(Failure(kBadDates,
                              "startDate and endDate must be dates YYYY-MM-DD, "
                              "endDate not before startDate"),
                      kXmlType);
      return;
    }
    std::optional<int> offset = 0;
    if (auto text = Param(req, "tzoffset"); text && !text->empty())
      offset = ParseOffsetMinutes(*text);
    if (!offset) {
      res.set_content(Failure(kBadDates, "tzoffset must be minutes between -1440 and 1440"),
                      kXmlType);
      return;
    }

    const std::int64_t window_start = DaysFromCivil(*first) * kSecondsPerDay;
    const std::int64_t window_end = (DaysFromCivil(*last) + 1) * kSecondsPerDay;
    auto page = store->Calendar(account, window_start, window_end, *offset);
    if (!page) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
      return;
    }
    std::string body =
        "<success>true</success>" + Element("version", page->version) + "\n<appointments>\n";
    for (const ServedAppointment& appointment : page->appointments) {
      body += " <appointment>" + Element("subject", appointment.subject) +
              Element("isAllDayEvent", appointment.all_day ? "true" : "false") +
              Element("isRoutine", appointment.routine ? "true" : "false") +
              Element("startTime", FormatUtcDateTime(appointment.start_utc)) +
              Element("endTime", FormatUtcDateTime(appointment.end_utc)) + "<attendees>";
      for (const Attendee& attendee : appointment.attendees) {
        body += "<attendee>" + Element("name", attendee.name) + Element("color", attendee.color) +
                Element("cobrand", attendee.cobrand ? "true" : "false") + "</attendee>";
      }
      body += "</attendees></appointment>\n";
    }
    body += "</appointments>";
    res.set_content(XmlDocument(body), kXmlType);
  }

  // --- web application port --------------------------------------------------

  httplib::Server::HandlerResponse OnWebRequest(const httplib::Request& req,
                                                httplib::Response& res) {
    Record(req);
    if (req.method != "GET" && req.method != "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    const std::string path = AsciiLower(req.path);
    const std::size_t question = req.target.find('?');
    const std::string query = question == std::string::npos ? "" : req.target.substr(question);
    if (path == "/" || path == "/devuzez") {
      res.set_redirect("/devuzez/" + query);
    } else if (auto page = web_pages.find(path); page != web_pages.end()) {
      res.status = 200;
      res.set_content((this->*page->second)(req), kHtmlType);
    } else {
      res.status = 404;
      res.set_content(HtmlPage("Not found",
                               "<div class=\"card\"><h2>Not found</h2><p>There is no "
                               "page here.</p><p><a href=\"/devuzez/\">Home</a></p></div>"),
                      kHtmlType);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  std::string HomePage(const httplib::Request& req) const {
    std::string body =
        "<div class=\"card\"><h2>Welcome</h2>"
        "<p>This is the local stand-in of the Quol family organizer. Sign in from the Quol "
        "desktop client to see the family's calendar in the screen saver.</p>"
        "<p><a href=\"/devuzez/whatsnew.htm\">What's new</a></p></div>\n";
    const auto mode = Param(req, "mode");
    const auto cobrand = Param(req, "cobrand");
    if (mode || cobrand) {
      body += "<div class=\"card\"><h2>Opened with</h2><dl>";
      if (mode) body += "<dt>mode</dt><dd id=\"mode\">" + Shown(*mode) + "</dd>";
      if (cobrand) body += "<dt>cobrand</dt><dd id=\"cobrand\">" + Shown(*cobrand) + "</dd>";
      body += "</dl></div>\n";
    }
    body += "<div class=\"card\"><h2>Service</h2><dl><dt>API</dt><dd>" +
            EscapeMarkup(Base(api_port)) + "</dd><dt>Latest version</dt><dd>" +
            EscapeMarkup(options.latest_version) + "</dd></dl></div>";
    return HtmlPage("Quol", body);
  }

  std::string WhatsNewPage(const httplib::Request&) const {
    return HtmlPage("What's new in Quol",
                    "<div class=\"card\"><h2>What's new</h2><ul>"
                    "<li>The screen saver shows today's and tomorrow's appointments next to "
                    "your photos.</li>"
                    "<li>Family members keep their colours everywhere.</li>"
                    "<li>Faster sign-in.</li></ul>"
                    "<p><a href=\"/devuzez/\">Back</a></p></div>");
  }

  // --- lifecycle ------------------------------------------------------------

  void Configure(httplib::Server& server, bool is_api) {
    // Short keep-alive so that Stop() never waits long for idle connections.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(1 << 20);
    // Address reuse only: the library's default also sets SO_REUSEPORT,
    // which would let a second service share a port silently.
    server.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (is_api) {
      server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return OnApiRequest(req, res);
      });
    } else {
      server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return OnWebRequest(req, res);
      });
    }
    httplib::Server::HandlerWithResponse on_error = [is_api](const httplib::Request& req,
                                                             httplib::Response& res) {
      return OnError(is_api, req, res);
    };
    server.set_error_handler(on_error);
    const char* name = is_api ? "api" : "web";
    server.set_logger([this, name](const httplib::Request& req, const httplib::Response& res) {
      Log(name, req, res);
    });
  }

  // Binds `port` (0 = any) and serves on a new thread; returns the bound port
  // once the server accepts, or 0.
  int Listen(httplib::Server& server, std::thread& thread, int port, const char* what,
             std::string* error) {
    errno = 0;
    int bound = port;
    if (port == 0) {
      bound = server.bind_to_any_port(kLoopback);
      if (bound <= 0) bound = 0;
    } else if (port < 0 || port > 65535 || !server.bind_to_port(kLoopback, port)) {
      bound = 0;
    }
    if (bound == 0) {
      const int saved = errno;
      if (error) {
        *error = std::string("cannot listen on ") + kLoopback + ":" + std::to_string(port) + " (" +
                 what + " port)" +
                 (saved != 0 ? std::string(": ") + std::strerror(saved) : std::string()) +
                 (saved == EADDRINUSE || saved == 0 ? " - is another service using it?" : "");
      }
      return 0;
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    thread = std::thread([&server, finished] {
      server.listen_after_bind();
      *finished = true;
    });
    while (!server.is_running() && !*finished) std::this_thread::yield();
    return bound;
  }

  bool Start(std::string* error) {
    std::lock_guard lifecycle(lifecycle_mutex);
    {
      std::lock_guard lock(mutex);
      if (started || stopping) {
        if (error) *error = "the service was already started";
        return false;
      }
    }
    started = true;
    Configure(api, true);
    Configure(web, false);
    api_port = Listen(api, api_thread, options.api_port, "api", error);
    if (api_port != 0) web_port = Listen(web, web_thread, options.web_port, "web", error);
    if (api_port == 0 || web_port == 0) {
      StopLocked();
      api_port = 0;
      web_port = 0;
      return false;
    }
    return true;
  }

  void StopLocked() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (api_thread.joinable()) {
      api.stop();
      api_thread.join();
    }
    if (web_thread.joinable()) {
      web.stop();
      web_thread.join();
    }
  }

  void Stop() {
    std::lock_guard lifecycle(lifecycle_mutex);
    StopLocked();
  }
};

DevService::DevService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DevService::~DevService() { Stop(); }

std::unique_ptr<DevService> DevService::Create(const DevServiceOptions& options,
                                               std::string* error) {
  if (options.ttl_minutes <= 0) {
    if (error) *error = "ttl_minutes must be positive";
    return nullptr;
  }
  auto store = Store::Open(options.db_path, error);
  if (!store) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->store = std::move(store);
  return std::unique_ptr<DevService>(new DevService(std::move(impl)));
}

bool DevService::Start(std::string* error) { return impl_->Start(error); }
void DevService::Stop() { impl_->Stop(); }
int DevService::api_port() const { return impl_->api_port; }
int DevService::web_port() const { return impl_->web_port; }
std::string DevService::api_base() const { return impl_->Base(impl_->api_port); }
std::string DevService::web_base() const { return impl_->Base(impl_->web_port); }

std::string DevService::AddAccount(const std::string& email, const std::string& password) {
  return impl_->store->UpsertAccount(email, password);
}

bool DevService::AddAppointment(const std::string& account_id, const Appointment& appointment) {
  return impl_->store->AddAppointment(account_id, appointment);
}

DemoCredentials DevService::SeedDemo(std::time_t now) {
  DemoCredentials credentials{kDemoEmail, kDemoPassword, {}};
  const std::string account = impl_->store->UpsertAccount(kDemoEmail, kDemoPassword);
  if (!account.empty() && impl_->store->ReplaceAppointments(account, DemoAppointments(now)))
    credentials.account_id = account;
  return credentials;
}

int DevService::RequestCount(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->request_counts.find(path);
  return it == impl_->request_counts.end() ? 0 : it->second;
}

std::vector<std::string> DevService::RequestLog() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->request_log.begin(), impl_->request_log.end()};
}

void DevService::OverrideConfig(int status, std::string body, std::string content_type) {
  std::lock_guard lock(impl_->mutex);
  impl_->config_override = Impl::ConfigOverride{status, std::move(body), std::move(content_type)};
}

void DevService::ClearConfigOverride() {
  std::lock_guard lock(impl_->mutex);
  impl_->config_override.reset();
}

void DevService::SetHandlerDelayMs(int ms) {
  std::lock_guard lock(impl_->mutex);
  impl_->delay_ms = ms < 0 ? 0 : ms;
}

void DevService::SetClockForTesting(std::function<std::time_t()> now) {
  std::lock_guard lock(impl_->mutex);
  impl_->clock = std::move(now);
}

void DevService::SetLogSink(std::function<void(const std::string& line)> sink) {
  std::lock_guard lock(impl_->mutex);
  impl_->log_sink = std::move(sink);
}

}  // namespace quol::service
