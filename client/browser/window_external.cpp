#include "client/browser/window_external.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>

#include <gio/gio.h>

#include "client/browser/builtin_pages.h"
#include "foundation/log/process_log.h"
#include "platform/identity/identity.h"
#include "platform/text/utf.h"

namespace quol::client {
namespace {

constexpr char kShimResource[] = "/quol/browser/window_external.js";
// Refusals logged per page; a page that keeps trying is not allowed to fill
// the log.
constexpr int kMaxLoggedRefusals = 10;

void ReplaceOnce(std::string* text, const std::string& from, const std::string& to) {
  const std::size_t at = text->find(from);
  if (at != std::string::npos) text->replace(at, from.size(), to);
}

std::string LoadShim() {
  EnsureBrowserPagesRegistered();
  GBytes* bytes = g_resources_lookup_data(kShimResource, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (bytes == nullptr) return {};
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data, size);
  g_bytes_unref(bytes);
  return text;
}

const char* OutcomeName(ScriptCallOutcome outcome) {
  switch (outcome) {
    case ScriptCallOutcome::kDone: return "done";
    case ScriptCallOutcome::kNoPage: return "no page";
    case ScriptCallOutcome::kBadToken: return "bad token";
    case ScriptCallOutcome::kUnknown: return "unknown member";
    case ScriptCallOutcome::kTooLarge: return "argument too large";
    case ScriptCallOutcome::kRateLimited: return "over the call budget";
    case ScriptCallOutcome::kTooManyNames: return "too many setting names";
  }
  return "?";
}

// Members and the number of arguments each takes. Crash, GetVersion and the
// getters never post: the shim answers them.
const std::map<std::string, std::size_t>& Members() {
  static const std::map<std::string, std::size_t> members = {
      {"SetCredentials", 2},  {"SetSetting", 2},   {"ShowStatusMessage", 2},
      {"ShowCollageSettingsDlg", 0}, {"StartCollage", 0}, {"ShowAboutDlg", 0},
      {"CheckForUpdates", 0}, {"UpgradeNow", 0},   {"OpenHomePage", 0},
      {"SetupScreensaver", 1},
  };
  return members;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t code = 0;
    const std::size_t start = at;
    if (!platform::NextCodePoint(text, &at, &code)) {
      out += "\\ufffd";
      if (at == start) ++at;
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '<': out += "\\u003c"; break;
      case 0x2028: out += "\\u2028"; break;
      case 0x2029: out += "\\u2029"; break;
      default:
        if (code < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code));
          out += escaped;
        } else {
          out.append(text, start, at - start);
        }
    }
  }
  out += '"';
  return out;
}

std::string NewScriptToken() {
  static const bool ready = sodium_init() >= 0;
  unsigned char bytes[32] = {};
  if (!ready) return {};
  randombytes_buf(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

CWindowExternal::CWindowExternal(CAbstractBrowserEvents* events, WebClientValues values)
    : events_(events),
      values_(std::move(values)),
      clock_([] { return std::chrono::steady_clock::now(); }) {}

std::string CWindowExternal::SnapshotJson() const {
  std::string settings = "{";
  std::size_t budget = kMaxSnapshotBytes;
  bool first = true;
  if (values_) {
    for (const auto& [name, value] : values_()) {
      std::string item = JsonString(name) + ":" + JsonString(value);
      if (item.size() + 1 > budget) continue;
      budget -= item.size() + 1;
      if (!first) settings += ',';
      settings += item;
      first = false;
    }
  }
  settings += '}';
  const bool has_credentials = events_ != nullptr && events_->HasCredentials();
  const int screensaver_setup = events_ != nullptr ? events_->ScreensaverSetup() : 0;
  return "{\"settings\":" + settings +
         ",\"version\":" + JsonString(platform::ProgramFileVersionText()) +
         ",\"hasCredentials\":" + (has_credentials ? "true" : "false") +
         ",\"screensaverSetup\":" + std::to_string(screensaver_setup) + "}";
}

std::string CWindowExternal::NewPageScript() {
  static const std::string shim = LoadShim();
  if (shim.empty()) {
    LogError("The window.external script resource is missing.");
    Revoke();
    return {};
  }
  token_ = NewScriptToken();
  if (token_.empty()) {
    LogError("No random token for window.external.");
    return {};
  }
  std::string script = shim;
  ReplaceOnce(&script, "@TOKEN@", token_);
  ReplaceOnce(&script, "@MAX_STRING@", std::to_string(kMaxStringBytes));
  ReplaceOnce(&script, "@MAX_CALLS@", std::to_string(kMaxCallsPerSecond));
  ReplaceOnce(&script, "@STATE@", SnapshotJson());
  refused_calls_ = 0;
  return script;
}

void CWindowExternal::Revoke() { token_.clear(); }

std::string CWindowExternal::RefreshScript() const {
  if (token_.empty()) return {};
  return "(function(){var e=window.external;if(e&&typeof e.__quolRefresh==='function')"
         "e.__quolRefresh('" + token_ + "'," + SnapshotJson() + ");})();";
}

bool CWindowExternal::TakeCallBudget() {
  const auto now = clock_();
  if (!budget_started_) {
    budget_started_ = true;
    budget_time_ = now;
  }
  const double seconds = std::chrono::duration<double>(now - budget_time_).count();
  if (seconds > 0) {
    budget_ = std::min<double>(kCallBurst, budget_ + seconds * kMaxCallsPerSecond);
    budget_time_ = now;
  }
  if (budget_ < 1) return false;
  budget_ -= 1;
  return true;
}

ScriptCallOutcome CWindowExternal::Dispatch(const ScriptCall& call, bool* changed_state) {
  *changed_state = false;
  ScriptCallOutcome outcome = ScriptCallOutcome::kDone;
  const auto member = Members().find(call.member);
  if (!TakeCallBudget()) {
    outcome = ScriptCallOutcome::kRateLimited;
  } else if (token_.empty()) {
    outcome = ScriptCallOutcome::kNoPage;
  } else if (call.token.size() != token_.size() ||
             sodium_memcmp(call.token.data(), token_.data(), token_.size()) != 0) {
    outcome = ScriptCallOutcome::kBadToken;
  } else if (member == Members().end() || member->second != call.args.size()) {
    outcome = ScriptCallOutcome::kUnknown;
  } else if (std::any_of(call.args.begin(), call.args.end(),
                         [](const std::string& a) { return a.size() > kMaxStringBytes; })) {
    outcome = ScriptCallOutcome::kTooLarge;
  } else if (call.member == "SetSetting" && !call.args[1].empty() &&
             !names_set_.contains(call.args[0]) && names_set_.size() >= kMaxSettingNames) {
    outcome = ScriptCallOutcome::kTooManyNames;
  }
  if (outcome != ScriptCallOutcome::kDone) {
    // The shim already changed its snapshot for a setter it posted; give it
    // the client's view back.
    *changed_state = outcome == ScriptCallOutcome::kTooLarge ||
                     outcome == ScriptCallOutcome::kTooManyNames;
    if (++refused_calls_ <= kMaxLoggedRefusals) {
      LogError("window.external call refused: %s.", OutcomeName(outcome));
    }
    return outcome;
  }
  if (events_ == nullptr) return outcome;

  const std::string& m = call.member;
  if (m == "SetCredentials") {
    events_->SetCredentials(call.args[0], call.args[1]);
    *changed_state = true;
  } else if (m == "SetSetting") {
    if (!call.args[1].empty()) names_set_.insert(call.args[0]);
    events_->SetSetting(call.args[0], call.args[1]);
    *changed_state = true;
  } else if (m == "ShowStatusMessage") {
    events_->ShowStatusMessage(call.args[0], call.args[1]);
  } else if (m == "ShowCollageSettingsDlg") {
    events_->ShowCollageSettingsDlg();
    *changed_state = true;
  } else if (m == "StartCollage") {
    events_->StartCollage();
  } else if (m == "ShowAboutDlg") {
    events_->ShowAboutDlg();
  } else if (m == "CheckForUpdates") {
    events_->CheckForUpdates();
  } else if (m == "UpgradeNow") {
    events_->UpgradeNow();
  } else if (m == "OpenHomePage") {
    events_->OpenHomePage();
  } else if (m == "SetupScreensaver") {
    events_->SetupScreensaver(call.args[0]);
  }
  return outcome;
}

}  // namespace quol::client
