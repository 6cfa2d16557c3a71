// HTTP GET for the suite (libcurl underneath): configuration documents, REST
// calls and package downloads.
//
// Every request has a connect time-out and a total time-out, so a hung
// server never blocks a caller for ever, and in-memory answers have a size
// cap. Only http and https are spoken, redirects included. Proxies come from
// the environment (http_proxy, https_proxy, no_proxy); loopback is always
// reached directly.
//
// URLs are read the way browsers read them (ParseWebUrl) and handed to curl
// in a form curl cannot read differently, so the host a caller's policy
// approved is the host contacted. Redirects are followed here, not by curl:
// at most 5, each target read the same way and offered to the caller's
// check before anything is sent to it.
//
// Thread-safe: each call uses its own handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/common/hresult.h"

namespace quol::platform {

// Failure codes of the transport (facility 12, as the platform's internet
// layer numbers them).
inline constexpr HRESULT E_HTTP_TIMEOUT = static_cast<HRESULT>(0x80072EE2u);
inline constexpr HRESULT E_HTTP_CANNOT_CONNECT = static_cast<HRESULT>(0x80072EFDu);
inline constexpr HRESULT E_HTTP_NAME_NOT_RESOLVED = static_cast<HRESULT>(0x80072EE7u);
inline constexpr HRESULT E_HTTP_TOO_LARGE = static_cast<HRESULT>(0x80072F76u);
inline constexpr HRESULT E_HTTP_FAILED = static_cast<HRESULT>(0x80072EFEu);
// A redirect was refused (by the caller's check, or not http(s)) or there
// were more than 5 of them.
inline constexpr HRESULT E_HTTP_REDIRECT_FAILED = static_cast<HRESULT>(0x80072F7Cu);
// The server answered with a status other than 2xx.
inline constexpr HRESULT E_HTTP_STATUS = static_cast<HRESULT>(0x80190000u);

// With this environment variable set to "1" (tests, the demo) only hosts of
// this machine (127.0.0.0/8, localhost, [::1]) are contacted; any other
// fails with E_HTTP_CANNOT_CONNECT before anything is sent.
inline constexpr char kLoopbackOnlyVariable[] = "QUOL_LOOPBACK_ONLY";

struct HttpOptions {
  std::string user_agent;           // empty: DefaultUserAgent()
  long connect_timeout_ms = 0;      // 0: the process default
  long total_timeout_ms = 0;        // 0: the process default (downloads: none, see below)
  std::size_t max_body_bytes = 0;   // 0: the process default
  std::vector<std::string> headers;  // "Name: value"
  // When set and true, the transfer stops soon (within a fraction of a
  // second) and the call fails with E_ABORT. Read from the calling thread;
  // any thread may set it. Borrowed: must outlive the call.
  const std::atomic<bool>* stop = nullptr;
  // Decides whether a redirect to this absolute URL may be followed; unset:
  // every http(s) redirect is followed. Called on the calling thread. A
  // refusal fails the call with E_HTTP_REDIRECT_FAILED and nothing is sent
  // to the refused address.
  std::function<bool(const std::string& url)> allow_redirect;
};

struct HttpResponse {
  long status = 0;
  std::string body;
  std::string content_type;
  std::string effective_url;  // after redirects
};

// GET into memory. Succeeds for any HTTP status; the status is in `response`.
// Fails on transport errors, time-outs and answers over the size cap.
[[nodiscard]] HRESULT HttpGet(const std::string& url, const HttpOptions& options, HttpResponse* response,
                std::string* error);

// GET straight into `path` (atomically: a temporary file beside it, renamed
// when complete). A download is stopped when it stalls (under 1 byte/s for
// the stall time) or exceeds the total time-out when one is set.
[[nodiscard]] HRESULT HttpDownloadToFile(const std::string& url, const HttpOptions& options,
                           const std::string& path, long* status, std::string* error);

// GET into an open, empty file `fd` that the caller owns (and names,
// renames or removes): the body is written only when the final answer's
// status is 200. Any other final status fails with E_HTTP_STATUS before a
// byte of its body is written, and `status` tells which it was; bodies of
// redirects are never written. `max_body_bytes` (when set) caps the body
// (E_HTTP_TOO_LARGE); otherwise as HttpDownloadToFile: stall time-out, total
// time-out when one is set, stop flag. On failure the file may hold part of
// a 200 answer; the caller discards it.
[[nodiscard]] HRESULT HttpDownloadToFd(const std::string& url, const HttpOptions& options, int fd,
                                       long* status, std::string* error);

// Loads an XML (or any) document: GET, and any status other than 2xx fails
// with E_HTTP_STATUS and a reason such as "HTTP status 500".
[[nodiscard]] HRESULT HttpFetchDocument(const std::string& url, std::string* body, std::string* error);
[[nodiscard]] HRESULT HttpFetchDocument(const std::string& url, const HttpOptions& options, std::string* body,
                          std::string* error);

struct HttpDefaults {
  long connect_timeout_ms = 10000;
  long total_timeout_ms = 30000;
  long download_stall_ms = 60000;
  std::size_t max_body_bytes = 8u << 20;
};
HttpDefaults GetHttpDefaults();
// Tests shorten the limits; programs keep the defaults.
void SetHttpDefaults(const HttpDefaults& defaults);

std::string DefaultUserAgent();

}  // namespace quol::platform
