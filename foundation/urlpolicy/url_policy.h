// Which addresses the suite may follow: resource and script URLs always,
// http(s) only to the service's own hosts, never ftp, files or anything else.
// Every doubt ends in "no".
#pragma once

#include <string>
#include <vector>

namespace quol {

enum UrlKind : int {
  kUrlKindHttp = 1,
  kUrlKindHttps = 2,
  kUrlKindRes = 3,
  kUrlKindJavascript = 4,
  kUrlKindFtp = 5,
  kUrlKindOther = 6,
};

// Everything the policy judges by. The policy knows no configuration and
// no host names of its own: the configuration hands them over
// (ServiceUrlPolicy in foundation/config/global_config.h builds the
// service's), so the two never depend on each other.
struct UrlPolicyInputs {
  std::vector<std::string> safe_domains;   // HostInDomain entries, tried in order
  std::vector<std::string> blocked_hosts;  // suffix test: never safe, whatever the lists say
  std::string not_safe_domains;            // entries separated by ";" and/or blanks
  bool trust_loopback = false;             // the local client mode: this machine serves
};

// Plain suffix test, case-insensitive: the host is at least as long as the
// entry and ends with it. Used for the blocked host and the unsafe list,
// where matching more can only reject more.
bool HostEndsWith(const std::string& host, const std::string& entry);

// The safe-list test: the host equals the entry or ends with "." + entry; an
// entry with a leading dot matches only hosts under that domain. A look-alike
// host ("evilquol.partner.example" for "quol.partner.example") does not match.
bool HostInDomain(const std::string& host, const std::string& entry);

// `kind` (optional) receives the URL's kind; rejections are logged when
// `log_rejections` is set. The forms without inputs, which judge by this
// process's configuration, are declared with the configuration.
bool IsUrlSafe(const std::string& url, const UrlPolicyInputs& inputs, int* kind,
               bool log_rejections);
bool IsHostSafe(const std::string& url, const UrlPolicyInputs& inputs, bool log_rejections);

}  // namespace quol
