// The page script object window.external, client side: the script injected
// into each page (with a fresh random token), the snapshot the synchronous
// getters read, and the check and dispatch of every call a page posts.
//
// A page's calls arrive as [token, member, arguments...] through the
// "quolExternal" script message handler (CInternetExplorer receives them
// and hands them here). Every call is checked before anything runs: the
// token of the current page, the member, the number and size of its
// arguments, and a rate budget, so a page calling in a loop or with huge
// strings costs a few comparisons per call and never reaches the settings.
//
// GTK main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/browser/abstract_browser.h"

namespace quol::client {

// One call as decoded from the page's message.
struct ScriptCall {
  std::string token;
  std::string member;
  std::vector<std::string> args;
};

enum class ScriptCallOutcome {
  kDone,         // forwarded (or answered here)
  kNoPage,       // no page holds the object now
  kBadToken,     // not this page's token
  kUnknown,      // no such member, or the wrong number of arguments
  kTooLarge,     // a string over kMaxStringBytes
  kRateLimited,  // over the call budget
  kTooManyNames, // a new setting name over kMaxSettingNames
};

class CWindowExternal {
 public:
  // Longest string argument accepted (the shim refuses longer ones first).
  static constexpr std::size_t kMaxStringBytes = 64 * 1024;
  // Calls per second a page may make; the shim drops calls over this before
  // posting, and the client drops what gets past it (a token bucket of
  // kCallBurst calls refilled at this rate).
  static constexpr int kMaxCallsPerSecond = 100;
  static constexpr int kCallBurst = 200;
  // Distinct setting names the pages may create through this object. With
  // kMaxStringBytes per value this keeps what pages can add to Settings.xml
  // (8 MiB) well under the store's 16 MiB document limit.
  static constexpr std::size_t kMaxSettingNames = 128;
  // The snapshot handed to a page; values that would make it larger are left
  // out (GetSetting then answers null for them).
  static constexpr std::size_t kMaxSnapshotBytes = 4u << 20;
  // Arguments a message may carry after token and member.
  static constexpr std::size_t kMaxArgs = 2;

  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using WebClientValues = std::function<std::map<std::string, std::string>()>;

  // `events` (not owned) outlives this. `values` gives the settings'
  // webClient values for the snapshot.
  CWindowExternal(CAbstractBrowserEvents* events, WebClientValues values);

  // The user script for a page about to load: makes a new token (the old
  // page's calls are refused from now on) and embeds the current snapshot.
  std::string NewPageScript();
  // No page holds the object (a page the URL policy rejects is loading).
  void Revoke();
  bool has_page() const { return !token_.empty(); }
  // Script that hands the current snapshot to the page; empty without a page.
  std::string RefreshScript() const;

  // Checks and runs one call. `changed_state` is set when the call may have
  // changed what the snapshot shows (the caller then refreshes it).
  ScriptCallOutcome Dispatch(const ScriptCall& call, bool* changed_state);

  // Calls refused so far (any reason), for the log and tests.
  int refused_calls() const { return refused_calls_; }
  void SetClockForTesting(Clock clock) { clock_ = std::move(clock); }
  const std::string& token_for_testing() const { return token_; }

 private:
  bool TakeCallBudget();
  std::string SnapshotJson() const;

  CAbstractBrowserEvents* events_;
  WebClientValues values_;
  Clock clock_;
  std::string token_;
  double budget_ = kCallBurst;
  std::chrono::steady_clock::time_point budget_time_{};
  bool budget_started_ = false;
  std::set<std::string> names_set_;
  int refused_calls_ = 0;
};

// A JSON string literal of `text` (quotes included); invalid UTF-8 becomes
// U+FFFD, and "<", U+2028 and U+2029 are escaped so the literal is safe in
// any script text.
std::string JsonString(const std::string& text);

// 32 random bytes as 64 hexadecimal digits (libsodium).
std::string NewScriptToken();

}  // namespace quol::client
