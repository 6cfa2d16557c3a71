#include "client/app/open_request.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/log/process_log.h"
#include "platform/fs/files.h"
#include "platform/fs/unique_fd.h"
#include "platform/mutex/named_mutex.h"
#include "platform/text/utf.h"

namespace quol::client {
namespace {

void PutU32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32(const std::string& in, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[at + i]);
  return value;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The largest message read from a connection: one byte more than a valid
// one, so that an over-long message is seen as such without reading on.
constexpr std::size_t kMaxMessageRead = kOpenRequestHeaderBytes + kOpenRequestBytes + 1;

// A unix-fd source calls its callback with the fd and the condition; GLib
// takes it as a plain source function (the documented way for these
// sources), so the cast goes through the generic function pointer type.
GSourceFunc FdCallback(GUnixFDSourceFunc function) {
  return reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

std::string BuildOpenRequestMessage(std::uint32_t magic, std::uint32_t declared_size,
                                    const std::string& block) {
  std::string message;
  PutU32(&message, magic);
  PutU32(&message, declared_size);
  message += block;
  return message;
}

bool EncodeOpenRequest(const OpenRequest& request, std::string* message) {
  const std::u16string path = platform::Utf8ToUtf16(request.path);
  if (path.size() + 1 > kOpenRequestPathUnits) return false;
  if (!request.path.empty() && path.empty()) return false;
  std::string block;
  PutU32(&block, request.command);
  for (std::size_t i = 0; i < kOpenRequestPathUnits; ++i) {
    const char16_t unit = i < path.size() ? path[i] : u'\0';
    block.push_back(static_cast<char>(unit & 0xFF));
    block.push_back(static_cast<char>(unit >> 8));
  }
  *message = BuildOpenRequestMessage(kOpenRequestMagic, kOpenRequestBytes, block);
  return true;
}

bool DecodeOpenRequest(const std::string& message, OpenRequest* request) {
  if (message.size() != kOpenRequestHeaderBytes + kOpenRequestBytes) return false;
  if (GetU32(message, 0) != kOpenRequestMagic || GetU32(message, 4) != kOpenRequestBytes) {
    return false;
  }
  std::u16string path;
  bool terminated = false;
  for (std::size_t i = 0; i < kOpenRequestPathUnits; ++i) {
    const std::size_t at = kOpenRequestHeaderBytes + 4 + 2 * i;
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(message[at]) |
                                                static_cast<unsigned char>(message[at + 1]) << 8);
    if (unit == u'\0') {
      terminated = true;
      break;
    }
    path.push_back(unit);
  }
  if (!terminated) return false;
  request->command = GetU32(message, kOpenRequestHeaderBytes);
  request->path = platform::Utf16ToUtf8(path);
  return true;
}

std::string OpenRequestSocketPath() {
  // The lock file of a Local mutex lives in the session's own folder; the
  // socket goes beside it.
  const std::string lock = platform::NamedMutex::LockFilePath(std::string("Local\\") + kFrameWindowClass);
  return platform::JoinPath(platform::DirName(lock), kFrameWindowClass);
}

SendResult SendOpenRequest(const std::string& socket_path, const std::string& message,
                           int timeout_ms) {
  sockaddr_un address;
  if (!FillAddress(socket_path, &address)) return SendResult::kNoClient;
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return SendResult::kNoClient;
  // Before connecting: a running client whose backlog is full (or that
  // hangs) would otherwise keep the connect waiting for ever.
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return SendResult::kNoClient;
  }
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = ::send(fd.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return SendResult::kRefused;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd.get(), SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SendResult::kRefused;
    pollfd pfd{fd.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return SendResult::kRefused;
    char answer = 0;
    const ssize_t n = ::recv(fd.get(), &answer, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 && answer == 1 ? SendResult::kAccepted : SendResult::kRefused;
  }
}

struct OpenRequestListener::Connection {
  OpenRequestListener* owner = nullptr;
  platform::UniqueFd fd;
  std::string received;
  GSource* read_source = nullptr;
  GSource* timeout_source = nullptr;
};

std::unique_ptr<OpenRequestListener> OpenRequestListener::Create(const std::string& socket_path,
                                                                 Handler handler,
                                                                 std::string* error,
                                                                 GMainContext* context) {
  sockaddr_un address;
  if (!FillAddress(socket_path, &address)) {
    *error = "socket path too long: " + socket_path;
    return nullptr;
  }
  if (Failed(platform::CreateDirectories(platform::DirName(socket_path), 0700))) {
    *error = "cannot create " + platform::DirName(socket_path);
    return nullptr;
  }
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    *error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  ::unlink(socket_path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 16) != 0) {
    *error = "cannot listen on " + socket_path + ": " + std::strerror(errno);
    return nullptr;
  }
  ::chmod(socket_path.c_str(), 0600);
  std::unique_ptr<OpenRequestListener> listener(new OpenRequestListener);
  listener->path_ = socket_path;
  listener->fd_ = fd.Release();
  listener->handler_ = std::move(handler);
  listener->context_ = context;
  listener->accept_source_ = g_unix_fd_source_new(listener->fd_, G_IO_IN);
  g_source_set_callback(listener->accept_source_, FdCallback(&OnAccept),
                        listener.get(), nullptr);
  g_source_attach(listener->accept_source_, context);
  return listener;
}

OpenRequestListener::~OpenRequestListener() {
  while (!connections_.empty()) Finish(connections_.back().get(), false);
  if (accept_source_ != nullptr) {
    g_source_destroy(accept_source_);
    g_source_unref(accept_source_);
  }
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

gboolean OpenRequestListener::OnAccept(gint fd, GIOCondition, gpointer data) {
  auto* self = static_cast<OpenRequestListener*>(data);
  for (;;) {
    platform::UniqueFd client(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) break;
    // Busy with as many as it serves at once: the newcomer is closed (it
    // is told nothing is accepted), so the listening socket does not stay
    // readable and wake the loop again and again.
    if (self->connections_.size() >= kMaxConnections) continue;
    auto connection = std::make_unique<Connection>();
    connection->owner = self;
    connection->fd = std::move(client);
    connection->read_source = g_unix_fd_source_new(connection->fd.get(), G_IO_IN);
    g_source_set_callback(connection->read_source, FdCallback(&OnReadable),
                          connection.get(), nullptr);
    g_source_attach(connection->read_source, self->context_);
    connection->timeout_source = g_timeout_source_new(kReadTimeoutMs);
    g_source_set_callback(connection->timeout_source, &OnTimeout, connection.get(), nullptr);
    g_source_attach(connection->timeout_source, self->context_);
    self->connections_.push_back(std::move(connection));
  }
  return G_SOURCE_CONTINUE;
}

gboolean OpenRequestListener::OnReadable(gint fd, GIOCondition, gpointer data) {
  auto* connection = static_cast<Connection*>(data);
  OpenRequestListener* self = connection->owner;
  char buffer[kMaxMessageRead];
  for (;;) {
    const std::size_t room = kMaxMessageRead - connection->received.size();
    const ssize_t n = ::recv(fd, buffer, room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
    if (n > 0) {
      connection->received.append(buffer, static_cast<std::size_t>(n));
      // One byte more than a request can hold: refuse without reading on.
      if (connection->received.size() >= kMaxMessageRead) break;
      continue;
    }
    break;  // end of the sender's message, or an error
  }
  OpenRequest request;
  const bool taken = DecodeOpenRequest(connection->received, &request);
  const char answer = taken ? 1 : 0;
  static_cast<void>(::send(fd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT));
  if (!taken) {
    LogError("Refused an open request of %zu bytes", connection->received.size());
  }
  // The handler may show windows and run nested loops: the connection is
  // gone before it runs.
  self->Finish(connection, false);
  if (taken && self->handler_) self->handler_(request);
  return G_SOURCE_REMOVE;
}

gboolean OpenRequestListener::OnTimeout(gpointer data) {
  auto* connection = static_cast<Connection*>(data);
  LogError("An open request took too long; dropped");
  const char answer = 0;
  static_cast<void>(::send(connection->fd.get(), &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT));
  connection->owner->Finish(connection, false);
  return G_SOURCE_REMOVE;
}

void OpenRequestListener::Finish(Connection* connection, bool) {
  for (GSource** source : {&connection->read_source, &connection->timeout_source}) {
    if (*source != nullptr) {
      g_source_destroy(*source);
      g_source_unref(*source);
      *source = nullptr;
    }
  }
  auto found = std::find_if(connections_.begin(), connections_.end(),
                            [connection](const auto& item) { return item.get() == connection; });
  if (found != connections_.end()) connections_.erase(found);
}

}  // namespace quol::client
