#include "platform/http/http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol::platform {
namespace {

std::mutex g_defaults_mutex;
HttpDefaults g_defaults;

constexpr int kMaxRedirects = 5;
// How often a waiting transfer looks at its stop flag. curl's own progress
// callback can go a second between calls while nothing arrives.
constexpr int kStopPollMs = 50;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// Loopback never goes through a proxy; the environment's own exceptions stay.
std::string NoProxyList() {
  std::string list = "127.0.0.1,localhost,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      list += ",";
      list += value;
      break;
    }
  }
  return list;
}

HRESULT MapCurlError(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return S_OK;
    case CURLE_OPERATION_TIMEDOUT:
      return E_HTTP_TIMEOUT;
    case CURLE_COULDNT_CONNECT:
      return E_HTTP_CANNOT_CONNECT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return E_HTTP_NAME_NOT_RESOLVED;
    case CURLE_FILESIZE_EXCEEDED:
      return E_HTTP_TOO_LARGE;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return E_INVALIDARG;
    default:
      return E_HTTP_FAILED;
  }
}

struct MemorySink {
  std::string* body;
  std::size_t cap;
  bool overflow = false;
};

size_t WriteToMemory(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<MemorySink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > sink->cap) {
    sink->overflow = true;
    return 0;  // makes curl stop with a write error
  }
  sink->body->append(data, n);
  return n;
}

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
  int fd = *static_cast<int*>(user);
  const size_t n = size * count;
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  return n;
}

// Credentials in headers are for the host the caller named; a redirect to
// another host does not get them.
bool IsCredentialHeader(const std::string& header) {
  return StartsWithIgnoreCase(header, "Authorization:") || StartsWithIgnoreCase(header, "Cookie:");
}

void SetHeaders(CURL* h, const std::vector<std::string>& wanted, bool with_credentials,
                std::unique_ptr<curl_slist, ListDeleter>* headers) {
  curl_slist* list = nullptr;
  for (const std::string& header : wanted) {
    if (with_credentials || !IsCredentialHeader(header)) {
      list = curl_slist_append(list, header.c_str());
    }
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  headers->reset(list);
}

int StopProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* stop = static_cast<const std::atomic<bool>*>(user);
  return stop->load() ? 1 : 0;
}

// A configured easy handle with everything but the sink.
std::unique_ptr<CURL, EasyDeleter> MakeHandle(const std::string& url, const HttpOptions& options,
                                              const HttpDefaults& defaults, bool download,
                                              std::unique_ptr<curl_slist, ListDeleter>* headers,
                                              std::string* no_proxy, char* error_buffer) {
  GlobalInit();
  std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
  if (!curl) return nullptr;
  CURL* h = curl.get();
  *no_proxy = NoProxyList();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects are followed by Transfer, which checks each target first.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOPROXY, no_proxy->c_str());
  const std::string& agent = options.user_agent;
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.empty() ? nullptr : agent.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   options.connect_timeout_ms > 0 ? options.connect_timeout_ms
                                                  : defaults.connect_timeout_ms);
  long total = options.total_timeout_ms > 0 ? options.total_timeout_ms
                                            : (download ? 0L : defaults.total_timeout_ms);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, total);
  if (options.stop != nullptr) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &StopProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, options.stop);
  }
  if (download) {
    // A transfer slower than 1 byte/s for the stall time is dead.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, defaults.download_stall_ms / 1000));
  }
  SetHeaders(h, options.headers, true, headers);
  return curl;
}

// One transfer's handle with everything it points into; not movable, as
// curl keeps pointers to the error buffer and the lists.
struct Request {
  Request(const std::string& url, const HttpOptions& options, bool download)
      : defaults(GetHttpDefaults()) {
    HttpOptions effective = options;
    if (effective.user_agent.empty()) effective.user_agent = DefaultUserAgent();
    curl = MakeHandle(url, effective, defaults, download, &headers, &no_proxy, error_buffer);
    total_timeout_ms = options.total_timeout_ms > 0 ? options.total_timeout_ms
                                                    : (download ? 0L : defaults.total_timeout_ms);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  HttpDefaults defaults;
  long total_timeout_ms = 0;  // 0: none
  std::unique_ptr<curl_slist, ListDeleter> headers;
  std::string no_proxy;
  char error_buffer[CURL_ERROR_SIZE] = {0};
  std::unique_ptr<CURL, EasyDeleter> curl;
};

std::string Describe(CURLcode code, const char* buffer) {
  return (buffer != nullptr && *buffer != '\0') ? std::string(buffer)
                                                : std::string(curl_easy_strerror(code));
}

// Runs one exchange. The wait for network events is cut into short slices so
// the stop flag is seen soon even while the server sends nothing.
CURLcode Perform(CURL* easy, const std::atomic<bool>* stop, bool* stopped) {
  *stopped = false;
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_FAILED_INIT;
  for (;;) {
    if (stop != nullptr && stop->load()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
          result = message->data.result;
        }
      }
      break;
    }
    if (curl_multi_poll(multi.get(), nullptr, 0, kStopPollMs, nullptr) != CURLM_OK) break;
  }
  curl_multi_remove_handle(multi.get(), easy);
  // The progress callback aborts only for the stop flag.
  *stopped = result == CURLE_ABORTED_BY_CALLBACK;
  return result;
}

// The form of `url` handed to curl, read the way browsers read it; false
// for anything but a well-formed http(s) URL.
bool RequestUrl(const std::string& url, std::string* out, WebUrl* parsed) {
  if (Failed(ParseWebUrl(url, parsed))) return false;
  if (parsed->scheme != "http" && parsed->scheme != "https") return false;
  *out = WebUrlForRequest(*parsed);
  return true;
}

// Where a redirect leads, read from the raw Location header the way a
// browser reads it (curl's own reading of the header can differ in the host
// when it holds a backslash), resolved against the current URL.
bool RedirectTarget(CURL* h, const std::string& current, std::string* out, WebUrl* parsed,
                    std::string* raw) {
  curl_header* header = nullptr;
  if (curl_easy_header(h, "Location", 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      header == nullptr || header->value == nullptr) {
    return false;
  }
  // Browsers strip spaces at the ends and escape the ones inside.
  std::string location(TrimWhitespace(header->value));
  *raw = location;
  std::string escaped;
  for (char c : location) {
    if (c == ' ') {
      escaped += "%20";
    } else {
      escaped += c;
    }
  }
  WebUrl absolute;
  if (Succeeded(ParseWebUrl(escaped, &absolute))) return RequestUrl(escaped, out, parsed);
  // A relative reference: in web URLs a backslash before the query is a
  // slash (\\host/x is //host/x), so curl resolves what a browser would.
  const std::size_t query = std::min(escaped.find_first_of("?#"), escaped.size());
  for (std::size_t i = 0; i < query; ++i) {
    if (escaped[i] == '\\') escaped[i] = '/';
  }
  std::string resolved;
  if (Failed(ResolveUrl(current, escaped, &resolved))) return false;
  return RequestUrl(resolved, out, parsed);
}

// Tests and the demo set QUOL_LOOPBACK_ONLY=1: then nothing but this
// machine is contacted, whatever a configuration names (the built-in
// update host included), so a run never reaches out to the network.
bool Reachable(const WebUrl& url) {
  const char* only = std::getenv(kLoopbackOnlyVariable);
  if (only == nullptr || std::string_view(only) != "1") return true;
  return url.host == "localhost" || url.host == "[::1]" || url.host.rfind("127.", 0) == 0;
}

bool SameOrigin(const WebUrl& a, const WebUrl& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

bool IsRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The whole request: each hop's target is read like a browser would,
// checked, and only then contacted. `restart_body` empties the sink before
// a hop after a redirect. On S_OK the last answer's status is in the
// handle; on a curl failure `*code` tells which.
HRESULT Transfer(Request& request, const std::string& url, const HttpOptions& options,
                 const std::function<bool()>& restart_body, CURLcode* code, std::string* error) {
  *code = CURLE_OK;
  CURL* h = request.curl.get();
  WebUrl first;
  std::string current;
  if (!RequestUrl(url, &current, &first)) {
    *error = "not an http(s) URL: " + url;
    return E_INVALIDARG;
  }
  if (!Reachable(first)) {
    *error = "not on this machine (" + std::string(kLoopbackOnlyVariable) + "): " + first.host;
    return E_HTTP_CANNOT_CONNECT;
  }
  const auto start = std::chrono::steady_clock::now();
  for (int redirects = 0;; ++redirects) {
    curl_easy_setopt(h, CURLOPT_URL, current.c_str());
    if (request.total_timeout_ms > 0) {
      // One budget for the whole chain, not one per hop.
      const long spent = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
      const long left = request.total_timeout_ms - spent;
      if (left <= 0) {
        *code = CURLE_OPERATION_TIMEDOUT;
        *error = "timed out after " + std::to_string(request.total_timeout_ms) + " ms";
        return E_HTTP_TIMEOUT;
      }
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left);
    }
    bool stopped = false;
    *code = Perform(h, options.stop, &stopped);
    if (stopped) {
      *error = "stopped";
      return E_ABORT;
    }
    if (*code != CURLE_OK) {
      *error = Describe(*code, request.error_buffer);
      return MapCurlError(*code);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* location = nullptr;
    if (!IsRedirectStatus(status) ||
        curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
        location == nullptr) {
      return S_OK;
    }
    if (redirects == kMaxRedirects) {
      *error = "more than " + std::to_string(kMaxRedirects) + " redirects";
      return E_HTTP_REDIRECT_FAILED;
    }
    WebUrl next_parsed;
    std::string next;
    std::string raw = location;
    if (!RedirectTarget(h, current, &next, &next_parsed, &raw)) {
      *error = "redirect to " + raw + " refused: not an http(s) URL";
      return E_HTTP_REDIRECT_FAILED;
    }
    if (options.allow_redirect && !options.allow_redirect(next)) {
      *error = "redirect to " + next + " refused";
      return E_HTTP_REDIRECT_FAILED;
    }
    if (!Reachable(next_parsed)) {
      *error = "redirect to " + next + " refused: not on this machine";
      return E_HTTP_REDIRECT_FAILED;
    }
    if (!SameOrigin(first, next_parsed)) SetHeaders(h, options.headers, false, &request.headers);
    if (!restart_body()) {
      *error = "cannot restart the answer after a redirect";
      return E_FAIL;
    }
    current = next;
  }
}

}  // namespace

HttpDefaults GetHttpDefaults() {
  std::lock_guard lock(g_defaults_mutex);
  return g_defaults;
}

void SetHttpDefaults(const HttpDefaults& defaults) {
  std::lock_guard lock(g_defaults_mutex);
  g_defaults = defaults;
}

std::string DefaultUserAgent() { return "Quol/" + ProgramFileVersionText() + " (X11; Linux)"; }

HRESULT HttpGet(const std::string& url, const HttpOptions& options, HttpResponse* response,
                std::string* error) {
  *response = HttpResponse();
  error->clear();
  Request request(url, options, false);
  if (!request.curl) {
    *error = "cannot create HTTP handle";
    return E_OUTOFMEMORY;
  }
  auto& curl = request.curl;
  const HttpDefaults& defaults = request.defaults;
  MemorySink sink{&response->body,
                  options.max_body_bytes > 0 ? options.max_body_bytes : defaults.max_body_bytes};
  curl_off_t cap = static_cast<curl_off_t>(sink.cap);
  curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, cap);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteToMemory);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);

  CURLcode code = CURLE_OK;
  HRESULT hr = Transfer(
      request, url, options,
      [&] {
        response->body.clear();
        return true;
      },
      &code, error);
  if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED) {
    response->body.clear();
    *error = "answer larger than " + std::to_string(sink.cap) + " bytes";
    return E_HTTP_TOO_LARGE;
  }
  if (Failed(hr)) {
    response->body.clear();
    return hr;
  }
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response->status);
  char* type = nullptr;
  if (curl_easy_getinfo(curl.get(), CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) {
    response->content_type = type;
  }
  char* effective_url = nullptr;
  if (curl_easy_getinfo(curl.get(), CURLINFO_EFFECTIVE_URL, &effective_url) == CURLE_OK &&
      effective_url) {
    response->effective_url = effective_url;
  }
  return S_OK;
}

HRESULT HttpDownloadToFile(const std::string& url, const HttpOptions& options,
                           const std::string& path, long* status, std::string* error) {
  *status = 0;
  error->clear();
  Request request(url, options, true);
  if (!request.curl) {
    *error = "cannot create HTTP handle";
    return E_OUTOFMEMORY;
  }
  auto& curl = request.curl;
  std::string temp = path + ".part";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + temp;
    return HresultFromLastErrno();
  }
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteToFile);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &fd);
  if (options.max_body_bytes > 0) {
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.max_body_bytes));
  }
  CURLcode code = CURLE_OK;
  HRESULT hr = Transfer(
      request, url, options,
      [fd] { return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0; }, &code, error);
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (Failed(hr) || !synced) {
    ::unlink(temp.c_str());
    if (Succeeded(hr)) *error = "cannot write " + temp;
    return Failed(hr) ? hr : E_FAIL;
  }
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, status);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    HRESULT hr = HresultFromLastErrno();
    ::unlink(temp.c_str());
    *error = "cannot move download into " + path;
    return hr;
  }
  return S_OK;
}

namespace {

// Writes only the body of a 200 answer; learns the status from the handle,
// which curl has filled in before it hands over the first byte of a body.
struct StatusCheckedSink {
  CURL* curl = nullptr;
  int fd = -1;
  std::size_t cap = 0;  // 0: none
  std::size_t written = 0;
  long refused_status = 0;  // a final status other than 200
  bool overflow = false;
  bool write_failed = false;
};

size_t WriteIfOk(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<StatusCheckedSink*>(user);
  const size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
  // A redirect's own body is dropped; Transfer decides where to go next.
  if (IsRedirectStatus(status)) return n;
  if (status != 200) {
    sink->refused_status = status;
    return 0;
  }
  if (sink->cap > 0 && sink->written + n > sink->cap) {
    sink->overflow = true;
    return 0;
  }
  if (WriteToFile(data, size, count, &sink->fd) != n) {
    sink->write_failed = true;
    return 0;
  }
  sink->written += n;
  return n;
}

}  // namespace

HRESULT HttpDownloadToFd(const std::string& url, const HttpOptions& options, int fd, long* status,
                         std::string* error) {
  *status = 0;
  error->clear();
  Request request(url, options, true);
  if (!request.curl) {
    *error = "cannot create HTTP handle";
    return E_OUTOFMEMORY;
  }
  CURL* h = request.curl.get();
  StatusCheckedSink sink;
  sink.curl = h;
  sink.fd = fd;
  sink.cap = options.max_body_bytes;
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteIfOk);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (options.max_body_bytes > 0) {
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.max_body_bytes));
  }
  CURLcode code = CURLE_OK;
  // Nothing of a redirect was written, so there is nothing to undo.
  HRESULT hr = Transfer(request, url, options, [&sink] { return sink.written == 0; }, &code, error);
  if (sink.refused_status != 0) {
    *status = sink.refused_status;
    *error = "HTTP status " + std::to_string(sink.refused_status);
    return E_HTTP_STATUS;
  }
  if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED) {
    *error = "answer larger than " + std::to_string(sink.cap) + " bytes";
    return E_HTTP_TOO_LARGE;
  }
  if (sink.write_failed) {
    *error = "cannot write the download";
    return E_FAIL;
  }
  if (Failed(hr)) return hr;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, status);
  if (*status != 200) {
    *error = "HTTP status " + std::to_string(*status);
    return E_HTTP_STATUS;
  }
  return S_OK;
}

HRESULT HttpFetchDocument(const std::string& url, std::string* body, std::string* error) {
  return HttpFetchDocument(url, HttpOptions(), body, error);
}

HRESULT HttpFetchDocument(const std::string& url, const HttpOptions& options, std::string* body,
                          std::string* error) {
  HttpResponse response;
  HRESULT hr = HttpGet(url, options, &response, error);
  if (Failed(hr)) return hr;
  if (response.status < 200 || response.status > 299) {
    *error = "HTTP status " + std::to_string(response.status);
    return E_HTTP_STATUS;
  }
  *body = std::move(response.body);
  return S_OK;
}

}  // namespace quol::platform
