// URL splitting and relative resolution (libcurl's URL API underneath).
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
// fails the split.
HRESULT SplitUrl(const std::string& url, UrlParts* parts);

// Resolves `relative` against `base` the standard way ("../x", "/x", "?q",
// "//host/x", or an absolute URL that replaces the base).
HRESULT ResolveUrl(const std::string& base, const std::string& relative, std::string* result);

}  // namespace quol::platform
