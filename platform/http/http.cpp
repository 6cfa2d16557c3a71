#include "platform/http/http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/fs/files.h"
#include "platform/identity/identity.h"

namespace quol::platform {
namespace {

std::mutex g_defaults_mutex;
HttpDefaults g_defaults;

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
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_NOPROXY, no_proxy->c_str());
  const std::string& agent = options.user_agent;
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.empty() ? nullptr : agent.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   options.connect_timeout_ms > 0 ? options.connect_timeout_ms
                                                  : defaults.connect_timeout_ms);
  long total = options.total_timeout_ms > 0 ? options.total_timeout_ms
                                            : (download ? 0L : defaults.total_timeout_ms);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, total);
  if (download) {
    // A transfer slower than 1 byte/s for the stall time is dead.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, defaults.download_stall_ms / 1000));
  }
  curl_slist* list = nullptr;
  for (const std::string& header : options.headers) list = curl_slist_append(list, header.c_str());
  headers->reset(list);
  if (list != nullptr) curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
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
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  HttpDefaults defaults;
  std::unique_ptr<curl_slist, ListDeleter> headers;
  std::string no_proxy;
  char error_buffer[CURL_ERROR_SIZE] = {0};
  std::unique_ptr<CURL, EasyDeleter> curl;
};

std::string Describe(CURLcode code, const char* buffer) {
  return (buffer != nullptr && *buffer != '\0') ? std::string(buffer)
                                                : std::string(curl_easy_strerror(code));
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
  char* error_buffer = request.error_buffer;
  MemorySink sink{&response->body,
                  options.max_body_bytes > 0 ? options.max_body_bytes : defaults.max_body_bytes};
  curl_off_t cap = static_cast<curl_off_t>(sink.cap);
  curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, cap);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteToMemory);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);

  CURLcode code = curl_easy_perform(curl.get());
  if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED) {
    response->body.clear();
    *error = "answer larger than " + std::to_string(sink.cap) + " bytes";
    return E_HTTP_TOO_LARGE;
  }
  if (code != CURLE_OK) {
    response->body.clear();
    *error = Describe(code, error_buffer);
    return MapCurlError(code);
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
  char* error_buffer = request.error_buffer;
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
  CURLcode code = curl_easy_perform(curl.get());
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (code != CURLE_OK || !synced) {
    ::unlink(temp.c_str());
    *error = code != CURLE_OK ? Describe(code, error_buffer) : "cannot write " + temp;
    return code != CURLE_OK ? MapCurlError(code) : E_FAIL;
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

HRESULT HttpFetchDocument(const std::string& url, std::string* body, std::string* error) {
  HttpResponse response;
  HRESULT hr = HttpGet(url, HttpOptions(), &response, error);
  if (Failed(hr)) return hr;
  if (response.status < 200 || response.status > 299) {
    *error = "HTTP status " + std::to_string(response.status);
    return E_HTTP_STATUS;
  }
  *body = std::move(response.body);
  return S_OK;
}

}  // namespace quol::platform
