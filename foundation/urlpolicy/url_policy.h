// Which addresses the suite may follow: resource and script URLs always,
// http(s) only to the service's own hosts, never ftp, files or anything else.
// Every doubt ends in "no".
#pragma once

#include <string>

namespace quol {

enum UrlKind : int {
  kUrlKindHttp = 1,
  kUrlKindHttps = 2,
  kUrlKindRes = 3,
  kUrlKindJavascript = 4,
  kUrlKindFtp = 5,
  kUrlKindOther = 6,
};

// What the policy reads from the configuration.
struct UrlPolicyInputs {
  std::string not_safe_domains;  // entries separated by ";" and/or blanks
  bool trust_loopback = false;   // the local client mode: this machine serves
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
// `log_rejections` is set. These read the unsafe list and the client mode
// from the process's configuration, under its lock.
bool IsUrlSafe(const std::string& url, int* kind = nullptr, bool log_rejections = true);
bool IsHostSafe(const std::string& url, bool log_rejections);

// The same against explicit inputs (the configuration itself uses these
// while it is reading its values).
bool IsUrlSafe(const std::string& url, const UrlPolicyInputs& inputs, int* kind,
               bool log_rejections);
bool IsHostSafe(const std::string& url, const UrlPolicyInputs& inputs, bool log_rejections);

}  // namespace quol
