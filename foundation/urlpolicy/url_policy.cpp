#include "foundation/urlpolicy/url_policy.h"

#include <string_view>

#include "foundation/log/process_log.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol {
namespace {

constexpr std::size_t kMaxHostLength = 128;

const char* const kLoopbackHosts[] = {"127.0.0.1", "localhost"};

bool IsSeparator(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool Reject(const std::string& url, bool log_rejections) {
  if (log_rejections) LogError("URL %s is not safe -- rejected.", url.c_str());
  return false;
}

}  // namespace

bool HostEndsWith(const std::string& host, const std::string& entry) {
  if (host.size() < entry.size()) return false;
  return platform::EqualsIgnoreCase(std::string_view(host).substr(host.size() - entry.size()),
                                    entry);
}

bool HostInDomain(const std::string& host, const std::string& entry) {
  if (entry.empty()) return false;
  if (entry.front() == '.') return host.size() > entry.size() && HostEndsWith(host, entry);
  return platform::EqualsIgnoreCase(host, entry) || HostEndsWith(host, "." + entry);
}

bool IsHostSafe(const std::string& url, const UrlPolicyInputs& inputs, bool log_rejections) {
  // The host is judged as the browser engine will read it, not as curl
  // would: "http://evil.example\@my.quol.example/" goes to evil.example.
  platform::WebUrl parsed;
  if (Failed(platform::ParseWebUrl(url, &parsed)) || parsed.host.empty()) {
    LogError("'%s' didn't parse: rejected.", url.c_str());
    return false;
  }
  // "my.quol.example." is the same host as "my.quol.example" to DNS.
  std::string host = parsed.host;
  if (host.size() > 1 && host.back() == '.') host.pop_back();
  if (host.size() > kMaxHostLength) return Reject(url, log_rejections);
  for (const std::string& blocked : inputs.blocked_hosts) {
    if (!blocked.empty() && HostEndsWith(host, blocked)) return Reject(url, log_rejections);
  }
  const std::string& list = inputs.not_safe_domains;
  std::size_t at = 0;
  while (at < list.size()) {
    while (at < list.size() && IsSeparator(list[at])) ++at;
    std::size_t end = at;
    while (end < list.size() && !IsSeparator(list[end])) ++end;
    if (end > at && HostEndsWith(host, list.substr(at, end - at))) {
      return Reject(url, log_rejections);
    }
    at = end;
  }
  for (const std::string& safe : inputs.safe_domains) {
    if (HostInDomain(host, safe)) return true;
  }
  if (inputs.trust_loopback) {
    for (const char* loopback : kLoopbackHosts) {
      if (platform::EqualsIgnoreCase(host, loopback)) return true;
    }
  }
  return Reject(url, log_rejections);
}

bool IsUrlSafe(const std::string& url, const UrlPolicyInputs& inputs, int* kind,
               bool log_rejections) {
  int ignored = 0;
  int& out = kind != nullptr ? *kind : ignored;
  out = kUrlKindOther;
  platform::WebUrl parts;
  if (Failed(platform::ParseWebUrl(url, &parts))) return false;
  if (parts.scheme == "ftp") {
    out = kUrlKindFtp;
    return false;
  }
  if (parts.scheme == "http" || parts.scheme == "https") {
    out = parts.scheme == "http" ? kUrlKindHttp : kUrlKindHttps;
    return IsHostSafe(url, inputs, log_rejections);
  }
  if (parts.scheme == "javascript") {
    out = kUrlKindJavascript;
    return true;
  }
  if (parts.scheme == "res") {
    out = kUrlKindRes;
    return true;
  }
  return false;
}


}  // namespace quol
