// quol-devservice: the local stand-in of the family-organizer service, for
// development, tests and the demo. It answers on 127.0.0.1 only, on two
// ports: the API (configuration, sign-in, calendar) and the web application.
// State lives in one SQLite file.
//
// Other folders' tests run it in-process:
//
//   DevServiceOptions options;
//   options.db_path = dir + "/service.sqlite";
//   options.api_port = options.web_port = 0;  // ephemeral
//   std::string error;
//   auto service = DevService::Create(options, &error);
//   service->Start(&error);
//   std::string account = service->AddAccount("a@quol.example", "secret");
//   ... point the client at service->api_base() ...
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quol::service {

// Bounds of what the service offers: longer download URLs are refused; of a
// package folder, files over kMaxPackageFileBytes are skipped and at most
// kMaxPackageFiles are taken (in name order).
inline constexpr std::size_t kMaxDownloadUrlBytes = 4096;
inline constexpr std::size_t kMaxPackageFileBytes = std::size_t{512} << 20;
inline constexpr std::size_t kMaxPackageFiles = 1000;

struct DevServiceOptions {
  std::string db_path;   // created when missing
  int api_port = 11110;  // 0 = ephemeral
  int web_port = 2175;   // 0 = ephemeral
  std::string latest_version = "1.0.0.1";
  std::string min_version = "0.0.0.0";
  // The configuration's downloadUrl (served for every sku); empty: the
  // package of latest_version on this service,
  // api_base() + "/packages/Pkg_<latest_version, dots as _>.deb".
  std::string download_url;
  // Every regular file of this folder (when set) is served under
  // /packages/NAME, with NAME.minisig signed by the service's key at Start.
  // Not recursive; files named *.minisig are left out (the service signs
  // what it serves itself). Start fails when the folder cannot be read.
  std::string package_dir;
  int ttl_minutes = 60;  // lifetime of a sign-in ticket
};

struct Attendee {
  std::string name;
  // Stored and served as given: a palette index "0".."16", "#AARRGGBB" or
  // "R,G,B" (tests may store anything to exercise the client).
  std::string color = "0";
  bool cobrand = false;
};

struct Appointment {
  std::string subject;
  bool all_day = false;
  bool routine = false;
  // Timed appointments: seconds since 1970 UTC; end >= start.
  std::time_t start_utc = 0;
  std::time_t end_utc = 0;
  // All-day appointments: the day "YYYY-MM-DD" as the family sees it. Each
  // calendar answer places it on that day in the caller's time zone.
  std::string local_date;
  std::vector<Attendee> attendees;
};

struct DemoCredentials {
  std::string email;
  std::string password;
  std::string account_id;
};

// The demo family's sign-in.
inline constexpr char kDemoEmail[] = "family@quol.example";
inline constexpr char kDemoPassword[] = "quol-demo-1";
// The only API key the service accepts.
inline constexpr char kApiKey[] = "qvtrsn";

class DevService {
 public:
  // Opens (or creates) the database and its tables. nullptr with a reason on
  // failure.
  static std::unique_ptr<DevService> Create(const DevServiceOptions& options, std::string* error);
  ~DevService();
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  // Binds both ports on 127.0.0.1 and serves on background threads. False
  // with a reason when a port cannot be bound (nothing is left listening).
  bool Start(std::string* error);
  // Stops both servers and waits for their threads; wakes delayed answers.
  // Idempotent; the destructor calls it. A stopped service cannot restart.
  void Stop();

  int api_port() const;  // the bound ports, 0 before Start
  int web_port() const;
  std::string api_base() const;  // "http://127.0.0.1:PORT"
  std::string web_base() const;

  // Adds an account and returns its id; an existing e-mail (any case) gets
  // the new password and keeps its id. Empty on failure (empty e-mail or
  // password).
  std::string AddAccount(const std::string& email, const std::string& password);
  // False when the account is unknown or the appointment is malformed
  // (all-day without a valid date, timed ending before it starts).
  bool AddAppointment(const std::string& account_id, const Appointment& appointment);
  // Makes the demo family (idempotent) and replaces its appointments with
  // ones placed around `now` in this process's local time zone. account_id
  // is empty when the database refused.
  DemoCredentials SeedDemo(std::time_t now);

  // Requests seen on both ports, by path as received (before any delay).
  int RequestCount(const std::string& path) const;
  // Request targets (path?query) as received, unmasked, oldest first.
  std::vector<std::string> RequestLog() const;

  // Serve this answer for the configuration path instead of the document.
  void OverrideConfig(int status, std::string body,
                      std::string content_type = "text/xml; charset=utf-8");
  void ClearConfigOverride();
  // What the configuration offers from now on (as --latest-version,
  // --min-version, --download-url; an empty download_url means the default
  // above). False, changing nothing, when a version is not 1-4 dotted
  // numbers or the URL is longer than kMaxDownloadUrlBytes. The same as
  // GET /admin/update?latestVersion=&minVersion=&downloadUrl=
  // on the API port (from 127.0.0.1 only, as everything is).
  bool SetUpdateOffer(const std::string& latest_version, const std::string& min_version,
                      const std::string& download_url);
  // Serves `content` under /packages/NAME (replacing one of that name); with
  // `sign`, NAME.minisig signed by the service's key is served beside it,
  // otherwise no signature is (404) unless a package of that name is added
  // as well (how a test serves a forged signature). NAME is a plain file
  // name; any other name is ignored.
  void AddPackage(const std::string& name, std::string content, bool sign = true);
  // With `cut`, GET /packages/NAME sends its headers with the full
  // Content-Length and half the body, then closes the connection. May be
  // set before the package exists and outlives replacing it.
  void SetPackageCutOff(const std::string& name, bool cut);
  // The minisign public key (two-line key file text) of the Ed25519 key the
  // service made at Create; the signatures above verify with it.
  std::string public_key_text() const;
  // Every API answer waits this long first (0 = no wait). Stop() cuts the
  // wait short.
  void SetHandlerDelayMs(int ms);
  // Replaces the clock used for ticket lifetimes (nullptr = system clock).
  void SetClockForTesting(std::function<std::time_t()> now);
  // Where the one-line request log goes (nullptr = stderr).
  void SetLogSink(std::function<void(const std::string& line)> sink);

 private:
  struct Impl;
  explicit DevService(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quol::service
