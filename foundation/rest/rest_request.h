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
#include <cstddef>
#include <cstdint>
#include <functional>
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

class RestElement;
using RestElementVisitor = std::function<void(const RestElement&)>;

// One element of a call's answer, read-only. Handed to a visitor of
// ForEachElement and valid only while that visitor runs. Children are found
// by comparing element names; nothing read is ever turned into a query.
class RestElement {
 public:
  RestElement(const RestElement&) = delete;
  RestElement& operator=(const RestElement&) = delete;

  // The trimmed text (all text inside) of the first child element `name`;
  // empty when there is none.
  std::string Text(const std::string& name) const;
  // The value of the attribute `name`; empty when there is none.
  std::string Attribute(const std::string& name) const;
  // Whether there is a child element `name`, empty or not.
  bool Has(const std::string& name) const;
  // Visits the elements at `path` below this one in document order. The
  // path is element names separated by "/" ("attendees/attendee"); a path
  // with an empty step visits nothing. Returns how many were visited.
  std::size_t ForEachElement(const std::string& path, const RestElementVisitor& visit) const;

 private:
  friend class CRestRequest;
  struct Node;
  explicit RestElement(const Node& node) : node_(node) {}

  const Node& node_;
};

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
  // Takes `body` as the answer of a call: what Call() does once the GET has
  // returned it, with the same results and log lines. For answers that come
  // from elsewhere than the HTTP layer (a replayed answer).
  [[nodiscard]] HRESULT ReadAnswer(const std::string& body);
  // A flag that, once true, makes a running or later Call() stop soon and
  // fail with E_ABORT (the owner is shutting down). Borrowed; may be null.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // The trimmed text of the first node at `path` under the answer's root
  // ("account", "appointments/appointment"); empty when absent.
  std::string GetChildValue(const std::string& path) const;
  // Whether the last call left an answer with the "quol" envelope to read
  // (after S_OK or E_REST_CALL_FAILED).
  bool has_answer() const { return has_answer_; }
  // Whether the answer's root has a child element `name`, empty or not.
  bool HasChild(const std::string& name) const;
  // RestElement::ForEachElement from the answer's root; nothing without an
  // answer.
  std::size_t ForEachElement(const std::string& path, const RestElementVisitor& visit) const;
  const std::string& url() const { return url_; }
  const std::string& base_url() const { return base_url_; }

  // UTF-8 bytes: letters and digits as they are, every other byte "%xx"
  // in lower case ("x y+z.1" -> "x%20y%2bz%2e1").
  static std::string EscapeQueryValue(const std::string& value);

 private:
  // Drops the last answer and makes an empty document for the next one.
  [[nodiscard]] HRESULT StartAnswer();
  // Parses `body` into the document and checks the envelope; null when the
  // GET gave no answer at all.
  [[nodiscard]] HRESULT TakeAnswer(const std::string* body);

  std::string base_url_;
  std::string url_;
  XmlDocument document_;
  bool has_answer_ = false;
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
