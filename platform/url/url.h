// URL splitting, the browser's reading of web URLs, and relative resolution
// (libcurl's URL API underneath for splitting and resolution).
#pragma once

#include <string>

#include "platform/common/hresult.h"

namespace quol::platform {

struct UrlParts {
  std::string scheme;  // lower case, without ":"
  std::string host;    // escapes decoded; empty for URLs without an authority
  int port = 0;        // 0 when not given
  std::string path;    // as written (not decoded)
  std::string query;   // without "?"
};

// Splits `url`. Any scheme is accepted ("res:", "javascript:", "mailto:"),
// but text without a scheme fails. For hierarchical URLs ("scheme://…") the
// host is extracted and percent-decoded; an authority that cannot be parsed
// fails the split. This is curl's reading of the URL; to decide where a URL
// really leads, use ParseWebUrl.
[[nodiscard]] HRESULT SplitUrl(const std::string& url, UrlParts* parts);

// A URL as a web browser reads it. The embedded browser, the HTTP layer and
// the URL policy must all agree on the host, and where curl and browsers
// differ (a backslash, several "@"), the browser's reading is the one that
// counts: it is where a page actually goes.
struct WebUrl {
  std::string scheme;  // lower case, without ":"
  // Web schemes (http, https, ws, wss, ftp) only: lower case, escapes
  // decoded, IPv4 in dotted decimal (also when written as one number, in hex
  // or in octal), IPv6 in brackets; a single trailing dot is kept, as
  // browsers keep it. Empty for every other scheme.
  std::string host;
  int port = 0;        // 0 when absent or the scheme's default
  // Web schemes: starts with "/", backslashes turned into "/". Other
  // schemes: everything after "scheme:".
  std::string path;
  std::string query;   // without "?"
  bool has_query = false;
};

// Parses `url` the way browsers do for web schemes: any run of "/" and "\"
// after the scheme introduces the authority; the authority ends at "/", "\",
// "?" or "#"; user info (up to the last "@") is dropped. Fails (E_INVALIDARG)
// for text without a scheme, for any ASCII control character anywhere, for
// spaces in a web URL or at either end of any URL, and for web URLs whose
// host is empty, not ASCII (international names are not accepted), holds a
// character no host may hold, or has an empty label (other than a trailing
// dot), or whose port is not a number up to 65535.
[[nodiscard]] HRESULT ParseWebUrl(const std::string& url, WebUrl* result);

// The form of a parsed web URL handed to a transport: "scheme://host[:port]
// path[?query]", with no user info, backslash or fragment left to be read
// differently by another parser. Empty for other schemes.
std::string WebUrlForRequest(const WebUrl& url);

// Resolves `relative` against `base` the standard way ("../x", "/x", "?q",
// "//host/x", or an absolute URL that replaces the base).
[[nodiscard]] HRESULT ResolveUrl(const std::string& base, const std::string& relative, std::string* result);

}  // namespace quol::platform
