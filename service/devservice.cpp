#include "service/devservice.h"

#include <fcntl.h>
#include <httplib.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "service/civil_time.h"
#include "service/demo_family.h"
#include "service/markup.h"
#include "service/store.h"
#include "service/web_app.h"

namespace quol::service {
namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kXmlType[] = "text/xml; charset=utf-8";
constexpr char kHtmlType[] = "text/html; charset=utf-8";

// API paths, matched without regard to case.
constexpr char kConfigPath[] = "/quoldevuzez/globalconfig_v2.xml";
constexpr char kAuthPath[] = "/service/api/accounts/auth/default.ashx";
constexpr char kCalendarPath[] = "/service/api/calendar/interval/default.ashx";
constexpr char kAdminUpdatePath[] = "/admin/update";
constexpr char kPackagesPrefix[] = "/packages/";

constexpr char kPackageType[] = "application/vnd.debian.binary-package";
constexpr char kSignatureType[] = "text/plain";
constexpr std::string_view kSignatureSuffix = ".minisig";
// The editions a client may ask the configuration for; each gets its own
// downloadUrl element, all naming the same package.
constexpr std::array<std::string_view, 3> kSkus = {"", "vevuvov", "collage"};

// A package folder with more entries than this is only partly looked at.
constexpr std::size_t kMaxScannedFolderEntries = 100000;
// Package bytes go out in pieces of this size.
constexpr std::size_t kPackageChunkBytes = 64 * 1024;

// Longest parameter values worth looking at; longer ones are simply wrong.
constexpr std::size_t kMaxUserNameBytes = 320;
constexpr std::size_t kMaxPasswordBytes = 1024;
constexpr std::size_t kMaxTokenBytes = 128;

// Bounds of the test bookkeeping, so a long-running service stays small.
constexpr std::size_t kMaxLoggedTargets = 10000;
constexpr std::size_t kMaxCountedPaths = 10000;

enum ErrorCode {
  kBadApiKey = 1,
  kWrongCredentials = 2,
  kNotSignedIn = 3,
  kBadDates = 4,
  kServiceError = 5
};

std::string XmlDocument(std::string_view body) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<quol>";
  out.append(body).append("</quol>\n");
  return out;
}

std::string Failure(int code, std::string_view message) {
  return XmlDocument("<success>false</success>" + Element("errorCode", std::to_string(code)) +
                     Element("error", message));
}

// The first value of a query parameter, its name compared without regard to
// case (as the service always has).
std::optional<std::string> Param(const httplib::Request& req, std::string_view name) {
  const std::string wanted = AsciiLower(name);
  for (const auto& [key, value] : req.params) {
    if (AsciiLower(key) == wanted) return value;
  }
  return std::nullopt;
}

std::string ParamOr(const httplib::Request& req, std::string_view name) {
  return Param(req, name).value_or(std::string());
}

std::optional<int> ParseOffsetMinutes(std::string text) {
  if (!text.empty() && text.front() == '+') text.erase(0, 1);
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if (value < -24 * 60 || value > 24 * 60) return std::nullopt;
  return value;
}


using Blake2b512 = std::array<unsigned char, crypto_generichash_BYTES_MAX>;
static_assert(crypto_generichash_BYTES_MAX == 64);

Blake2b512 HashOf(std::string_view data) {
  Blake2b512 hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(data.data()),
                     data.size(), nullptr, 0);
  return hash;
}

std::string Base64(std::string_view bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The key that signs every package the service serves, made afresh at each
// Create: clients that are to trust the service get the public half handed
// to them (QUOL_TEST_TRUST_KEY), so nothing secret is ever stored.
class PackageSigner {
 public:
  PackageSigner() {
    crypto_sign_keypair(public_key_.data(), secret_key_.data());
    randombytes_buf(key_id_.data(), key_id_.size());
  }
  ~PackageSigner() { sodium_memzero(secret_key_.data(), secret_key_.size()); }
  PackageSigner(const PackageSigner&) = delete;
  PackageSigner& operator=(const PackageSigner&) = delete;

  // The two-line public key file of minisign.
  std::string PublicKeyText() const {
    return "untrusted comment: minisign public key " + KeyIdText() + "\n" +
           Base64("Ed" + Raw(key_id_) + Raw(public_key_)) + "\n";
  }

  // A .minisig in the pre-hashed form (the signature covers the file's
  // BLAKE2b-512 hash), which is what the minisign tool itself writes today
  // and which lets large files be hashed without holding them in memory.
  std::string Sign(const Blake2b512& hash, std::string_view file_name) const {
    std::array<unsigned char, crypto_sign_BYTES> file_signature{};
    crypto_sign_detached(file_signature.data(), nullptr, hash.data(), hash.size(),
                         secret_key_.data());
    // One line whatever the name holds: a line break would end the comment.
    std::string name(file_name);
    for (char& c : name) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
    }
    const std::string trusted =
        "timestamp:" + std::to_string(static_cast<long long>(std::time(nullptr))) + " file:" + name;
    // The global signature binds the trusted comment to the file signature.
    const std::string global_message = Raw(file_signature) + trusted;
    std::array<unsigned char, crypto_sign_BYTES> global_signature{};
    crypto_sign_detached(global_signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(global_message.data()),
                         global_message.size(), secret_key_.data());
    return "untrusted comment: signature from quol-devservice key " + KeyIdText() + "\n" +
           Base64("ED" + Raw(key_id_) + Raw(file_signature)) + "\ntrusted comment: " + trusted +
           "\n" + Base64(Raw(global_signature)) + "\n";
  }

 private:
  template <std::size_t N>
  static std::string Raw(const std::array<unsigned char, N>& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), N);
  }
  // As minisign prints key ids: the bytes as a little-endian number in hex.
  std::string KeyIdText() const {
    std::string text;
    char digits[3];
    for (auto it = key_id_.rbegin(); it != key_id_.rend(); ++it) {
      std::snprintf(digits, sizeof digits, "%02X", *it);
      text += digits;
    }
    return text;
  }

  std::array<unsigned char, 8> key_id_{};
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> public_key_{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret_key_{};
};

// A file descriptor closed with its last owner (package answers share one
// with the server's writer).
struct FileHandle {
  explicit FileHandle(int descriptor) : fd(descriptor) {}
  ~FileHandle() {
    if (fd >= 0) ::close(fd);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int fd;
};

// Opens a regular file for reading; nullptr (errno set) otherwise. The
// O_NONBLOCK open keeps a FIFO in a package folder from hanging the service.
std::shared_ptr<FileHandle> OpenRegularFile(const std::string& path, struct stat* st) {
  auto file = std::make_shared<FileHandle>(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file->fd < 0) return nullptr;
  if (::fstat(file->fd, st) != 0) return nullptr;
  if (!S_ISREG(st->st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  return file;
}

// Reads up to `length` bytes at `offset`; fewer only at the end of the file
// or on an error (then -1).
ssize_t ReadAt(int fd, char* buffer, std::size_t length, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

struct DevService::Impl {
  struct ConfigOverride {
    int status;
    std::string body;
    std::string content_type;
  };
  // What the configuration offers; changed while running by tests and by
  // GET /admin/update.
  struct UpdateOffer {
    std::string latest_version;
    std::string min_version;
    std::string download_url;  // empty: this service's package of latest_version
  };
  struct Package {
    // The bytes: in memory (AddPackage) or the file they were read from
    // (package folder), of which `size` bytes were signed.
    std::shared_ptr<const std::string> content;
    std::string file_path;
    std::uint64_t size = 0;
    std::string signature;  // the .minisig text; empty: not signed
  };

  DevServiceOptions options;
  std::unique_ptr<Store> store;
  httplib::Server api;
  httplib::Server web;
  std::thread api_thread;
  std::thread web_thread;
  std::atomic<int> api_port{0};
  std::atomic<int> web_port{0};
  std::unique_ptr<WebApp> web_app;  // the pages of the web port (made with the store)
  PackageSigner signer;

  std::mutex lifecycle_mutex;  // serialises Start and Stop
  bool started = false;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  bool stopping = false;
  int delay_ms = 0;
  std::optional<ConfigOverride> config_override;
  std::function<std::time_t()> clock;
  std::function<void(const std::string&)> log_sink;
  std::map<std::string, int> request_counts;
  std::deque<std::string> request_log;
  UpdateOffer offer;
  std::map<std::string, Package> packages;  // by name
  std::set<std::string> cut_packages;       // names answered with half a body


  std::time_t Now() const {
    std::function<std::time_t()> now;
    {
      std::lock_guard lock(mutex);
      now = clock;
    }
    return now ? now() : std::time(nullptr);
  }

  std::string Base(int port) const {
    return std::string("http://") + kLoopback + ":" + std::to_string(port);
  }

  // --- bookkeeping shared by both ports ----------------------------------

  void Record(const httplib::Request& req) {
    std::lock_guard lock(mutex);
    if (request_counts.size() < kMaxCountedPaths || request_counts.count(req.path))
      ++request_counts[req.path];
    request_log.push_back(req.target);
    if (request_log.size() > kMaxLoggedTargets) request_log.pop_front();
  }

  void Log(const char* port_name, const httplib::Request& req, const httplib::Response& res) {
    std::string line = "quol-devservice: ";
    line.append(port_name).append(" ").append(req.method.empty() ? "-" : req.method).append(" ");
    line.append(req.target.empty() ? std::string("-") : MaskTargetForLog(req.target));
    line.append(" -> ").append(std::to_string(res.status));
    Emit(std::move(line));
  }

  // One line to the log sink, or standard error.
  void Emit(std::string line) {
    std::function<void(const std::string&)> sink;
    {
      std::lock_guard lock(mutex);
      sink = log_sink;
    }
    if (sink) {
      sink(line);
    } else {
      line += '\n';
      std::fputs(line.c_str(), stderr);
    }
  }

  // Fills in a body for refusals the server library makes on its own
  // (malformed requests, over-long targets, other methods). Every answer
  // written here has a Content-Type, even an overridden empty one.
  static httplib::Server::HandlerResponse OnError(bool xml, const httplib::Request&,
                                                  httplib::Response& res) {
    if (res.has_header("Content-Type")) return httplib::Server::HandlerResponse::Unhandled;
    std::string reason = "Bad request";
    if (res.status == 404) reason = "Not found";
    if (res.status == 413) reason = "Request too large";
    if (res.status == 414) reason = "Request target too long";
    if (xml) {
      res.set_content(Failure(res.status, reason), kXmlType);
    } else {
      res.set_content(HtmlPage(reason, "<div class=\"card\"><h2>" + reason + "</h2></div>"),
                      kHtmlType);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  // --- API port -------------------------------------------------------------

  httplib::Server::HandlerResponse OnApiRequest(const httplib::Request& req,
                                                httplib::Response& res) {
    Record(req);
    {
      std::unique_lock lock(mutex);
      if (delay_ms > 0) {
        wake.wait_for(lock, std::chrono::milliseconds(delay_ms), [this] { return stopping; });
      }
      if (stopping) {
        res.status = 503;
        res.set_content(Failure(kServiceError, "Service stopping"), kXmlType);
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // Other methods go on to the server library, which reads their bodies
    // and refuses them.
    if (req.method != "GET" && req.method != "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;

    try {
      const std::string path = AsciiLower(req.path);
      if (path == kConfigPath) {
        ServeConfig(res);
      } else if (path == kAuthPath) {
        SignIn(req, res);
      } else if (path == kCalendarPath) {
        ServeCalendar(req, res);
      } else if (path == kAdminUpdatePath) {
        ChangeOfferFromRequest(req, res);
      } else if (path.starts_with(kPackagesPrefix)) {
        // The prefix is matched without case like every path; file names
        // are not.
        ServePackage(req.path.substr(std::strlen(kPackagesPrefix)), res);
      } else {
        res.status = 404;
        res.set_content(Failure(404, "Not found"), kXmlType);
      }
    } catch (const std::exception&) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  void ServeConfig(httplib::Response& res) const {
    UpdateOffer current;
    {
      std::lock_guard lock(mutex);
      if (config_override) {
        res.status = config_override->status;
        res.set_content(config_override->body, config_override->content_type.c_str());
        return;
      }
      current = offer;
    }
    const std::string api = Base(api_port);
    const std::string config_url = api + "/QuolDevuzez/GlobalConfig_v2.xml";
    std::string body = "<default>\n";
    auto line = [&](std::string_view name, std::string_view value) {
      body.append("  ").append(Element(name, value)).append("\n");
    };
    line("updateServiceUrl", config_url);
    line("fallBackUpdateServiceUrl", config_url);
    line("authServiceUrl", api + "/Service/API/accounts/auth/default.ashx");
    line("reminderServiceUrl", api + "/Service/api/calendar/interval/default.ashx");
    line("homePageUrl", Base(web_port) + "/devuzez/");
    line("whatsNewUrl", "/devuzez/whatsnew.htm");  // relative on purpose: clients resolve it
    line("logonPage", "/logon/logon.");
    line("logoffPage", "/logon/logout.");
    line("latestVersion", current.latest_version);
    line("minVersion", current.min_version);
    const std::string download_url = current.download_url.empty()
                                         ? DefaultDownloadUrl(current.latest_version)
                                         : current.download_url;
    for (std::string_view sku : kSkus) {
      body.append("  <downloadUrl sku=\"")
          .append(sku)
          .append("\">")
          .append(EscapeMarkup(download_url))
          .append("</downloadUrl>\n");
    }
    line("ttl", "1440");
    line("calendarUpdateInterval", "1");
    line("authCookies", "ASP.NET_SessionId;quol_state;quol_auth");
    body += "</default>";
    res.status = 200;
    res.set_content(XmlDocument(body), kXmlType);
  }

  // This service's package of `version`: Pkg_ and the version with every
  // dot as an underscore, as the clients name the file they store.
  std::string DefaultDownloadUrl(const std::string& version) const {
    std::string underscored = version;
    std::replace(underscored.begin(), underscored.end(), '.', '_');
    return Base(api_port) + kPackagesPrefix + "Pkg_" + underscored + ".deb";
  }

  // Changes the parts given; nothing at all when one of them is unusable.
  bool ChangeOffer(const std::optional<std::string>& latest_version,
                   const std::optional<std::string>& min_version,
                   const std::optional<std::string>& download_url, std::string* why) {
    if (latest_version && !IsDottedVersion(*latest_version)) {
      *why = "latestVersion is not a version like 1.2.3.4";
      return false;
    }
    if (min_version && !IsDottedVersion(*min_version)) {
      *why = "minVersion is not a version like 1.2.3.4";
      return false;
    }
    if (download_url && download_url->size() > kMaxDownloadUrlBytes) {
      *why = "downloadUrl is longer than " + std::to_string(kMaxDownloadUrlBytes) + " bytes";
      return false;
    }
    std::lock_guard lock(mutex);
    if (latest_version) offer.latest_version = *latest_version;
    if (min_version) offer.min_version = *min_version;
    if (download_url) offer.download_url = *download_url;
    return true;
  }

  void ChangeOfferFromRequest(const httplib::Request& req, httplib::Response& res) {
    std::string why;
    if (!ChangeOffer(Param(req, "latestVersion"), Param(req, "minVersion"),
                     Param(req, "downloadUrl"), &why)) {
      res.status = 400;
      res.set_content(Failure(400, why), kXmlType);
      return;
    }
    res.status = 200;
    res.set_content(XmlDocument("<success>true</success>"), kXmlType);
  }

  // Serves `package` under `name` from now on; without `replace` an
  // existing one stays (a package given explicitly wins over a folder's
  // file of the same name).
  void PutPackage(const std::string& name, Package package, bool replace) {
    std::lock_guard lock(mutex);
    if (replace) {
      packages[name] = std::move(package);
    } else {
      packages.emplace(name, std::move(package));
    }
  }

  void ServePackage(const std::string& name, httplib::Response& res) {
    std::optional<Package> package;
    std::string signature;
    bool cut = false;
    {
      std::lock_guard lock(mutex);
      if (name.ends_with(kSignatureSuffix)) {
        auto signed_one = packages.find(name.substr(0, name.size() - kSignatureSuffix.size()));
        if (signed_one != packages.end()) signature = signed_one->second.signature;
      }
      if (signature.empty()) {
        if (auto found = packages.find(name); found != packages.end()) package = found->second;
        cut = cut_packages.count(name) != 0;
      }
    }
    if (!signature.empty()) {
      res.status = 200;
      res.set_content(signature, kSignatureType);
      return;
    }
    std::shared_ptr<FileHandle> file;
    if (package && !package->content) {
      struct stat st {};
      file = OpenRegularFile(package->file_path, &st);
    }
    if (!package || (!package->content && !file)) {
      res.status = 404;
      res.set_content(Failure(404, "Not found"), kXmlType);
      return;
    }
    // The headers promise every byte; a cut answer stops half-way and the
    // server then drops the connection, so the client sees a broken
    // transfer rather than a short success.
    const std::uint64_t size = package->size;
    const std::uint64_t stop_at = cut ? size / 2 : size;
    auto content = package->content;
    res.status = 200;
    res.set_content_provider(
        static_cast<std::size_t>(size), kPackageType,
        [content, file, stop_at](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          const std::uint64_t end = std::min<std::uint64_t>(offset + length, stop_at);
          if (offset >= end) return false;
          const std::size_t n =
              static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, kPackageChunkBytes));
          if (content) return sink.write(content->data() + offset, n);
          std::string buffer(n, '\0');
          // A file that shrank since it was signed ends the answer early.
          if (ReadAt(file->fd, buffer.data(), n, offset) != static_cast<ssize_t>(n)) return false;
          return sink.write(buffer.data(), n);
        });
  }

  // Serves the regular files of the package folder, signed, in name order
  // up to kMaxPackageFiles; oversized and unreadable files are skipped with
  // a note in the log. False when the folder itself cannot be read.
  bool LoadPackageFolder(std::string* error) {
    const std::string& folder = options.package_dir;
    if (folder.empty()) return true;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    std::vector<std::string> names;
    std::size_t scanned = 0;
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (++scanned > kMaxScannedFolderEntries) break;
      const std::string name = it->path().filename().string();
      if (!IsPlainFileName(name) || name.ends_with(kSignatureSuffix)) continue;
      std::error_code type_error;
      if (it->is_regular_file(type_error)) names.push_back(name);
    }
    if (ec) {
      if (error) *error = "cannot read package folder " + folder + ": " + ec.message();
      return false;
    }
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxPackageFiles) {
      Emit("quol-devservice: package folder " + folder + " holds " + std::to_string(names.size()) +
           " files; serving the first " + std::to_string(kMaxPackageFiles));
      names.resize(kMaxPackageFiles);
    }
    for (const std::string& name : names) {
      std::string why;
      auto package = ReadFolderPackage(folder + "/" + name, name, &why);
      if (!package) {
        Emit("quol-devservice: package " + name + " not served: " + why);
        continue;
      }
      PutPackage(name, std::move(*package), false);
    }
    return true;
  }

  std::optional<Package> ReadFolderPackage(const std::string& path, const std::string& name,
                                           std::string* why) {
    struct stat st {};
    auto file = OpenRegularFile(path, &st);
    if (!file) {
      *why = std::strerror(errno);
      return std::nullopt;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxPackageFileBytes) {
      *why = "larger than " + std::to_string(kMaxPackageFileBytes >> 20) + " MiB";
      return std::nullopt;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::string buffer(kPackageChunkBytes, '\0');
    std::uint64_t size = 0;
    for (;;) {
      const ssize_t n = ReadAt(file->fd, buffer.data(), buffer.size(), size);
      if (n < 0) {
        *why = std::strerror(errno);
        return std::nullopt;
      }
      if (n == 0) break;
      size += static_cast<std::uint64_t>(n);
      if (size > kMaxPackageFileBytes) {  // grew while being read
        *why = "larger than " + std::to_string(kMaxPackageFileBytes >> 20) + " MiB";
        return std::nullopt;
      }
      crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                                static_cast<std::size_t>(n));
    }
    Blake2b512 hash{};
    crypto_generichash_final(&state, hash.data(), hash.size());
    Package package;
    package.file_path = path;
    package.size = size;
    package.signature = signer.Sign(hash, name);
    return package;
  }

  void SignIn(const httplib::Request& req, httplib::Response& res) {
    res.status = 200;
    if (ParamOr(req, "apiKey") != kApiKey) {
      res.set_content(Failure(kBadApiKey, "Missing or wrong apiKey"), kXmlType);
      return;
    }
    const std::string user = ParamOr(req, "username");
    const std::string password = ParamOr(req, "password");
    std::optional<std::string> account;
    if (!user.empty() && !password.empty() && user.size() <= kMaxUserNameBytes &&
        password.size() <= kMaxPasswordBytes) {
      account = store->CheckPassword(user, password);
    }
    if (!account) {
      res.set_content(Failure(kWrongCredentials, "Wrong user name or password"), kXmlType);
      return;
    }
    const std::time_t now = Now();
    const std::string ticket =
        store->IssueTicket(*account, now, now + std::int64_t{options.ttl_minutes} * 60);
    if (ticket.empty()) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
      return;
    }
    res.set_content(XmlDocument("<success>true</success>" + Element("account", *account) +
                                Element("auth", ticket) +
                                Element("ttlMinutes", std::to_string(options.ttl_minutes))),
                    kXmlType);
  }

  void ServeCalendar(const httplib::Request& req, httplib::Response& res) {
    res.status = 200;
    if (ParamOr(req, "apiKey") != kApiKey) {
      res.set_content(Failure(kBadApiKey, "Missing or wrong apiKey"), kXmlType);
      return;
    }
    const std::string account = ParamOr(req, "account");
    const std::string ticket = ParamOr(req, "auth");
    if (account.empty() || ticket.empty() || account.size() > kMaxTokenBytes ||
        ticket.size() > kMaxTokenBytes || !store->IsTicketLive(ticket, account, Now())) {
      res.set_content(Failure(kNotSignedIn, "Not signed in"), kXmlType);
      return;
    }
    const auto first = ParseIsoDate(ParamOr(req, "startDate"));
    const auto last = ParseIsoDate(ParamOr(req, "endDate"));
    if (!first || !last || DaysFromCivil(*last) < DaysFromCivil(*first)) {
      res.set_content(Failure(kBadDates,
                              "startDate and endDate must be dates YYYY-MM-DD, "
                              "endDate not before startDate"),
                      kXmlType);
      return;
    }
    std::optional<int> offset = 0;
    if (auto text = Param(req, "tzoffset"); text && !text->empty())
      offset = ParseOffsetMinutes(*text);
    if (!offset) {
      res.set_content(Failure(kBadDates, "tzoffset must be minutes between -1440 and 1440"),
                      kXmlType);
      return;
    }

    const std::int64_t window_start = DaysFromCivil(*first) * kSecondsPerDay;
    const std::int64_t window_end = (DaysFromCivil(*last) + 1) * kSecondsPerDay;
    auto page = store->Calendar(account, window_start, window_end, *offset);
    if (!page) {
      res.status = 500;
      res.set_content(Failure(kServiceError, "Service error"), kXmlType);
      return;
    }
    std::string body =
        "<success>true</success>" + Element("version", page->version) + "\n<appointments>\n";
    for (const ServedAppointment& appointment : page->appointments) {
      body += " <appointment>" + Element("subject", appointment.subject) +
              Element("isAllDayEvent", appointment.all_day ? "true" : "false") +
              Element("isRoutine", appointment.routine ? "true" : "false") +
              Element("startTime", FormatUtcDateTime(appointment.start_utc)) +
              Element("endTime", FormatUtcDateTime(appointment.end_utc)) + "<attendees>";
      for (const Attendee& attendee : appointment.attendees) {
        body += "<attendee>" + Element("name", attendee.name) + Element("color", attendee.color) +
                Element("cobrand", attendee.cobrand ? "true" : "false") + "</attendee>";
      }
      body += "</attendees></appointment>\n";
    }
    body += "</appointments>";
    res.set_content(XmlDocument(body), kXmlType);
  }

  // --- web application port --------------------------------------------------

  httplib::Server::HandlerResponse OnWebRequest(const httplib::Request& req,
                                                httplib::Response& res) {
    Record(req);
    // A form post goes on to the POST handler, which gets its body read and
    // its fields parsed by the server library first; other methods are
    // refused there.
    if (req.method != "GET" && req.method != "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    const std::string path = AsciiLower(req.path);
    const std::size_t question = req.target.find('?');
    const std::string query = question == std::string::npos ? "" : req.target.substr(question);
    if (path == "/" || path == "/devuzez") {
      res.set_redirect("/devuzez/" + query);
      return httplib::Server::HandlerResponse::Handled;
    }
    ServeWebApp(req, res);
    return httplib::Server::HandlerResponse::Handled;
  }

  void ServeWebApp(const httplib::Request& req, httplib::Response& res) {
    WebAppContext context;
    context.api_port = api_port;
    context.web_port = web_port;
    context.now = Now();
    context.ttl_minutes = options.ttl_minutes;
    {
      std::lock_guard lock(mutex);
      context.latest_version = offer.latest_version;
    }
    try {
      web_app->Handle(req, res, context);
    } catch (const std::exception&) {
      res.status = 500;
      res.set_content(HtmlPage("Service error", "<div class=\"card\"><h2>Service error</h2></div>"),
                      kHtmlType);
    }
  }

  // --- lifecycle ------------------------------------------------------------

  void Configure(httplib::Server& server, bool is_api) {
    // Short keep-alive so that Stop() never waits long for idle connections.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(1 << 20);
    // Address reuse only: the library's default also sets SO_REUSEPORT,
    // which would let a second service share a port silently.
    server.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (is_api) {
      server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return OnApiRequest(req, res);
      });
    } else {
      server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return OnWebRequest(req, res);
      });
      server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
        ServeWebApp(req, res);
      });
    }
    httplib::Server::HandlerWithResponse on_error = [is_api](const httplib::Request& req,
                                                             httplib::Response& res) {
      return OnError(is_api, req, res);
    };
    server.set_error_handler(on_error);
    const char* name = is_api ? "api" : "web";
    server.set_logger([this, name](const httplib::Request& req, const httplib::Response& res) {
      Log(name, req, res);
    });
  }

  // Binds `port` (0 = any) and serves on a new thread; returns the bound port
  // once the server accepts, or 0.
  int Listen(httplib::Server& server, std::thread& thread, int port, const char* what,
             std::string* error) {
    errno = 0;
    int bound = port;
    if (port == 0) {
      bound = server.bind_to_any_port(kLoopback);
      if (bound <= 0) bound = 0;
    } else if (port < 0 || port > 65535 || !server.bind_to_port(kLoopback, port)) {
      bound = 0;
    }
    if (bound == 0) {
      const int saved = errno;
      if (error) {
        *error = std::string("cannot listen on ") + kLoopback + ":" + std::to_string(port) + " (" +
                 what + " port)" +
                 (saved != 0 ? std::string(": ") + std::strerror(saved) : std::string()) +
                 (saved == EADDRINUSE || saved == 0 ? " - is another service using it?" : "");
      }
      return 0;
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    thread = std::thread([&server, finished] {
      server.listen_after_bind();
      *finished = true;
    });
    while (!server.is_running() && !*finished) std::this_thread::yield();
    return bound;
  }

  bool Start(std::string* error) {
    std::lock_guard lifecycle(lifecycle_mutex);
    {
      std::lock_guard lock(mutex);
      if (started || stopping) {
        if (error) *error = "the service was already started";
        return false;
      }
    }
    started = true;
    // Before any port is bound, so a bad folder leaves nothing listening.
    if (!LoadPackageFolder(error)) return false;
    Configure(api, true);
    Configure(web, false);
    api_port = Listen(api, api_thread, options.api_port, "api", error);
    if (api_port != 0) web_port = Listen(web, web_thread, options.web_port, "web", error);
    if (api_port == 0 || web_port == 0) {
      StopLocked();
      api_port = 0;
      web_port = 0;
      return false;
    }
    return true;
  }

  void StopLocked() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (api_thread.joinable()) {
      api.stop();
      api_thread.join();
    }
    if (web_thread.joinable()) {
      web.stop();
      web_thread.join();
    }
  }

  void Stop() {
    std::lock_guard lifecycle(lifecycle_mutex);
    StopLocked();
  }
};

DevService::DevService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DevService::~DevService() { Stop(); }

std::unique_ptr<DevService> DevService::Create(const DevServiceOptions& options,
                                               std::string* error) {
  if (options.ttl_minutes <= 0) {
    if (error) *error = "ttl_minutes must be positive";
    return nullptr;
  }
  if (!IsDottedVersion(options.latest_version) || !IsDottedVersion(options.min_version)) {
    if (error) *error = "latest_version and min_version must be versions like 1.2.3.4";
    return nullptr;
  }
  if (options.download_url.size() > kMaxDownloadUrlBytes) {
    if (error) *error = "download_url is longer than " + std::to_string(kMaxDownloadUrlBytes) + " bytes";
    return nullptr;
  }
  if (sodium_init() < 0) {
    if (error) *error = "cannot initialise libsodium";
    return nullptr;
  }
  auto store = Store::Open(options.db_path, error);
  if (!store) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->offer = {options.latest_version, options.min_version, options.download_url};
  impl->store = std::move(store);
  impl->web_app = std::make_unique<WebApp>(*impl->store);
  return std::unique_ptr<DevService>(new DevService(std::move(impl)));
}

bool DevService::Start(std::string* error) { return impl_->Start(error); }
void DevService::Stop() { impl_->Stop(); }
int DevService::api_port() const { return impl_->api_port; }
int DevService::web_port() const { return impl_->web_port; }
std::string DevService::api_base() const { return impl_->Base(impl_->api_port); }
std::string DevService::web_base() const { return impl_->Base(impl_->web_port); }

std::string DevService::AddAccount(const std::string& email, const std::string& password) {
  return impl_->store->UpsertAccount(email, password);
}

bool DevService::AddAppointment(const std::string& account_id, const Appointment& appointment) {
  return impl_->store->AddAppointment(account_id, appointment);
}

DemoCredentials DevService::SeedDemo(std::time_t now) {
  DemoCredentials credentials{kDemoEmail, kDemoPassword, {}};
  const std::string account = impl_->store->UpsertAccount(kDemoEmail, kDemoPassword);
  if (!account.empty() && impl_->store->ReplaceAppointments(account, DemoAppointments(now)))
    credentials.account_id = account;
  return credentials;
}

int DevService::RequestCount(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->request_counts.find(path);
  return it == impl_->request_counts.end() ? 0 : it->second;
}

std::vector<std::string> DevService::RequestLog() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->request_log.begin(), impl_->request_log.end()};
}

void DevService::OverrideConfig(int status, std::string body, std::string content_type) {
  std::lock_guard lock(impl_->mutex);
  impl_->config_override = Impl::ConfigOverride{status, std::move(body), std::move(content_type)};
}

void DevService::ClearConfigOverride() {
  std::lock_guard lock(impl_->mutex);
  impl_->config_override.reset();
}

bool DevService::SetUpdateOffer(const std::string& latest_version, const std::string& min_version,
                                const std::string& download_url) {
  std::string ignored;
  return impl_->ChangeOffer(latest_version, min_version, download_url, &ignored);
}

void DevService::AddPackage(const std::string& name, std::string content, bool sign) {
  if (!IsPlainFileName(name)) return;
  Impl::Package package;
  package.size = content.size();
  if (sign) package.signature = impl_->signer.Sign(HashOf(content), name);
  package.content = std::make_shared<const std::string>(std::move(content));
  impl_->PutPackage(name, std::move(package), true);
}

void DevService::SetPackageCutOff(const std::string& name, bool cut) {
  std::lock_guard lock(impl_->mutex);
  if (cut) {
    impl_->cut_packages.insert(name);
  } else {
    impl_->cut_packages.erase(name);
  }
}

std::string DevService::public_key_text() const { return impl_->signer.PublicKeyText(); }

void DevService::SetHandlerDelayMs(int ms) {
  std::lock_guard lock(impl_->mutex);
  impl_->delay_ms = ms < 0 ? 0 : ms;
}

void DevService::SetClockForTesting(std::function<std::time_t()> now) {
  std::lock_guard lock(impl_->mutex);
  impl_->clock = std::move(now);
}

void DevService::SetLogSink(std::function<void(const std::string& line)> sink) {
  std::lock_guard lock(impl_->mutex);
  impl_->log_sink = std::move(sink);
}

}  // namespace quol::service
