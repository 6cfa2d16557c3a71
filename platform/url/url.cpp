#include "platform/url/url.h"

#include <curl/curl.h>

#include <memory>

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
