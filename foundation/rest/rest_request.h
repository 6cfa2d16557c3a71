// The service's XML-over-HTTP API: a request is a GET of a base URL with
// query parameters; every answer has the envelope
//   <quol><success>true</success><errorCode/><error/> ...data... </quol>
// The sign-in call yields an account id and a ticket ("auth") that later
// calls send along; the process keeps the ticket for its lifetime.
//
// Calls block their thread for the whole exchange (bounded by the HTTP
// layer's time-outs); run them off the window thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/settings/settings_manager.h"
#include "platform/clock/clock.h"
#include "platform/common/hresult.h"

namespace quol {

class CSuiteSettings;

// The service answered with `success` other than "true".
inline constexpr HRESULT E_REST_CALL_FAILED = static_cast<HRESULT>(0x80040200u);
// Sign-in refused: wrong user name or password (error code "2").
inline constexpr HRESULT E_REST_SIGNIN_REFUSED = static_cast<HRESULT>(0x80040201u);

inline constexpr char kRestApiKey[] = "qvtrsn";

class CRestRequest {
 public:
  explicit CRestRequest(std::string base_url);

  // Back to the base URL, answer dropped.
  void Reset();
  // Adds "name=value" with the value escaped; an empty value adds nothing.
  void AddParam(const std::string& name, const std::string& value);
  // Adds the date as "%04d-%02d-%02d".
  void AddDateParam(const std::string& name, const platform::CalendarTime& date);
  // GET and envelope check: S_OK, E_REST_CALL_FAILED (answer still readable),
  // E_ABORT (stopped by the stop flag) or E_FAIL. Redirects are followed only
  // to addresses the URL policy accepts; answers nested deeper than
  // kMaxXmlDepth are refused as invalid XML.
  [[nodiscard]] HRESULT Call();
  // A flag that, once true, makes a running or later Call() stop soon and
  // fail with E_ABORT (the owner is shutting down). Borrowed; may be null.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // The trimmed text of the first node at `path` under the answer's root
  // ("account", "appointments/appointment"); empty when absent.
  std::string GetChildValue(const std::string& path) const;
  pugi::xml_node root() const { return root_; }
  const std::string& url() const { return url_; }
  const std::string& base_url() const { return base_url_; }

  // UTF-8 bytes: letters and digits as they are, every other byte "%xx"
  // in lower case ("x y+z.1" -> "x%20y%2bz%2e1").
  static std::string EscapeQueryValue(const std::string& value);

 private:
  std::string base_url_;
  std::string url_;
  XmlDocument document_;
  pugi::xml_node root_;
  const std::atomic<bool>* stop_ = nullptr;
};

// The process's sign-in ticket. Never written to disk.
struct SignInTicket {
  std::string account_id;
  std::string ticket;
  std::uint64_t signed_in_at = 0;  // file time; 0 = never
  int lifetime_minutes = 10;
};

// A copy of the ticket, and (tests only) a way to start over.
SignInTicket CurrentTicket();
void ResetTicketForTesting();

// Signs in unless (not forced) the cached ticket is still within its
// lifetime. S_OK, S_FALSE (cached ticket still good), E_INVALIDARG (unusable
// name or password; nothing sent), E_REST_SIGNIN_REFUSED, E_REST_CALL_FAILED
// or E_FAIL. On success the account id goes into `settings`.
[[nodiscard]] HRESULT SignIn(CRestRequest& request, const std::string& user_name, const std::string& password,
               bool force, CSuiteSettings& settings);

enum CredentialCheck : int { kCredentialsAccepted = 0, kCredentialsWrong = 1, kCredentialsError = 2 };
// A forced sign-in against `auth_service_url`.
int CheckCredentials(const std::string& auth_service_url, const std::string& user_name,
                     const std::string& password, CSuiteSettings& settings);

}  // namespace quol
