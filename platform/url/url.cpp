#include "platform/url/url.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/text/utf.h"

namespace quol::platform {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

// Reads one part; false when absent or on error.
bool GetPart(CURLU* url, CURLUPart part, unsigned flags, std::string* out) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || raw == nullptr) return false;
  std::unique_ptr<char, CurlFree> owned(raw);
  *out = raw;
  return true;
}

bool IsSchemeChar(char c, bool first) {
  bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Schemes whose URLs browsers parse with an authority and a host of the
// domain kind (file: has its own rules and no host we ever judge).
int DefaultPort(const std::string& scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  if (scheme == "ftp") return 21;
  return -1;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Browsers decode "%xx" in hosts before anything else looks at them; a "%"
// without two hex digits stays (and then fails as a forbidden character).
std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool IsForbiddenInDomain(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return true;
  switch (c) {
    case '#': case '%': case '/': case ':': case '<': case '>': case '?':
    case '@': case '[': case '\\': case ']': case '^': case '|':
      return true;
    default:
      return false;
  }
}

// One part of an IPv4 address: decimal, "0x" hex or leading-zero octal.
bool ParseIpv4Part(std::string_view part, std::uint64_t* value) {
  if (part.empty()) return false;
  int radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    radix = 16;
    part.remove_prefix(2);
  } else if (part.size() >= 2 && part[0] == '0') {
    radix = 8;
    part.remove_prefix(1);
  }
  std::uint64_t v = 0;
  for (char c : part) {
    int digit = HexValue(c);
    if (digit < 0 || digit >= radix) return false;
    v = v * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(digit);
    if (v > 0xFFFFFFFFull) return false;
  }
  *value = v;
  return true;
}

bool EndsInNumber(const std::vector<std::string_view>& labels) {
  std::string_view last = labels.back();
  if (last.empty()) return false;
  bool digits = true;
  for (char c : last) digits = digits && c >= '0' && c <= '9';
  if (digits) return true;
  if (last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
    for (char c : last.substr(2)) {
      if (HexValue(c) < 0) return false;
    }
    return true;
  }
  return false;
}

// The browser's host parser for web schemes, for ASCII hosts.
bool ParseHost(std::string_view raw, std::string* host) {
  if (raw.empty()) return false;
  if (raw.front() == '[') {
    if (raw.size() < 3 || raw.back() != ']') return false;
    std::string inner(raw.substr(1, raw.size() - 2));
    unsigned char address[16];
    if (inet_pton(AF_INET6, inner.c_str(), address) != 1) return false;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, address, text, sizeof text) == nullptr) return false;
    *host = std::string("[") + text + "]";
    return true;
  }
  std::string decoded = AsciiLower(PercentDecode(raw));
  if (decoded.empty()) return false;
  for (unsigned char c : decoded) {
    // International names would need the IDNA mapping to compare; refusing
    // them is the safe answer.
    if (c >= 0x80 || IsForbiddenInDomain(c)) return false;
  }
  std::vector<std::string_view> labels;
  std::string_view rest(decoded);
  for (std::size_t dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
    labels.push_back(rest.substr(0, dot));
    rest.remove_prefix(dot + 1);
  }
  labels.push_back(rest);
  const bool trailing_dot = labels.size() > 1 && labels.back().empty();
  if (trailing_dot) labels.pop_back();
  for (std::string_view label : labels) {
    if (label.empty()) return false;
  }
  if (!EndsInNumber(labels)) {
    *host = decoded;
    return true;
  }
  // "127.1", "2130706433", "0x7f.0.0.1" and "0177.0.0.1." are all 127.0.0.1.
  if (labels.size() > 4) return false;
  std::uint64_t address = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    std::uint64_t part = 0;
    if (!ParseIpv4Part(labels[i], &part)) return false;
    if (i + 1 < labels.size()) {
      if (part > 255) return false;
      address |= part << (8 * (3 - i));
    } else {
      const unsigned spare_bytes = static_cast<unsigned>(5 - labels.size());
      if (part >= (1ull << (8 * spare_bytes))) return false;
      address |= part;
    }
  }
  *host = std::to_string((address >> 24) & 255) + "." + std::to_string((address >> 16) & 255) +
          "." + std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
  return true;
}

bool ParsePort(std::string_view text, int* port) {
  if (text.empty()) {
    *port = 0;
    return true;
  }
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 65535) return false;
  }
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

HRESULT SplitUrl(const std::string& url, UrlParts* parts) {
  *parts = UrlParts();
  const auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return E_INVALIDARG;
  for (std::size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(url[i], i == 0)) return E_INVALIDARG;
  }
  parts->scheme = AsciiLower(url.substr(0, colon));
  if (url.compare(colon, 3, "://") != 0) {
    // Opaque URLs (javascript:, mailto:, res: without authority) have no host.
    parts->path = url.substr(colon + 1);
    return S_OK;
  }

  UrlHandle handle(curl_url());
  if (!handle) return E_OUTOFMEMORY;
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE) != CURLUE_OK) {
    return E_INVALIDARG;
  }
  GetPart(handle.get(), CURLUPART_HOST, CURLU_URLDECODE, &parts->host);
  std::string port;
  if (GetPart(handle.get(), CURLUPART_PORT, 0, &port)) parts->port = std::atoi(port.c_str());
  GetPart(handle.get(), CURLUPART_PATH, 0, &parts->path);
  GetPart(handle.get(), CURLUPART_QUERY, 0, &parts->query);
  return S_OK;
}

HRESULT ParseWebUrl(const std::string& url, WebUrl* result) {
  *result = WebUrl();
  if (url.empty() || url.front() == ' ' || url.back() == ' ') return E_INVALIDARG;
  for (unsigned char c : url) {
    if (IsControl(c)) return E_INVALIDARG;
  }
  const auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return E_INVALIDARG;
  for (std::size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(url[i], i == 0)) return E_INVALIDARG;
  }
  WebUrl parsed;
  parsed.scheme = AsciiLower(url.substr(0, colon));
  const int default_port = DefaultPort(parsed.scheme);
  if (default_port < 0) {
    parsed.path = url.substr(colon + 1);
    *result = std::move(parsed);
    return S_OK;
  }
  // Browsers drop inner tabs and newlines and keep spaces in paths; a URL
  // that needs any of that is not one the suite has reason to follow.
  if (url.find(' ') != std::string::npos) return E_INVALIDARG;

  std::string_view rest = std::string_view(url).substr(colon + 1);
  while (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) rest.remove_prefix(1);
  const std::size_t authority_end = std::min(rest.find_first_of("/\\?#"), rest.size());
  std::string_view authority = rest.substr(0, authority_end);
  rest.remove_prefix(authority_end);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host_text = authority;
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return E_INVALIDARG;
    host_text = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return E_INVALIDARG;
      port_text = after.substr(1);
    }
  } else if (const std::size_t port_colon = authority.find(':');
             port_colon != std::string_view::npos) {
    host_text = authority.substr(0, port_colon);
    port_text = authority.substr(port_colon + 1);
  }
  if (!ParseHost(host_text, &parsed.host)) return E_INVALIDARG;
  if (!ParsePort(port_text, &parsed.port)) return E_INVALIDARG;
  if (parsed.port == default_port) parsed.port = 0;

  const std::size_t fragment = rest.find('#');
  if (fragment != std::string_view::npos) rest = rest.substr(0, fragment);
  const std::size_t question = rest.find('?');
  std::string_view path = rest.substr(0, std::min(question, rest.size()));
  parsed.path = path.empty() ? "/" : std::string(path);
  for (char& c : parsed.path) {
    if (c == '\\') c = '/';
  }
  if (question != std::string_view::npos) {
    parsed.has_query = true;
    parsed.query = std::string(rest.substr(question + 1));
  }
  *result = std::move(parsed);
  return S_OK;
}

std::string WebUrlForRequest(const WebUrl& url) {
  if (url.host.empty()) return {};
  std::string out = url.scheme + "://" + url.host;
  if (url.port != 0) out += ":" + std::to_string(url.port);
  out += url.path;
  if (url.has_query) out += "?" + url.query;
  return out;
}

HRESULT ResolveUrl(const std::string& base, const std::string& relative, std::string* result) {
  result->clear();
  UrlHandle handle(curl_url());
  if (!handle) return E_OUTOFMEMORY;
  const unsigned flags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
  if (curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), flags) != CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_URL, relative.c_str(), flags) != CURLUE_OK) {
    return E_INVALIDARG;
  }
  return GetPart(handle.get(), CURLUPART_URL, 0, result) ? S_OK : E_INVALIDARG;
}

}  // namespace quol::platform
