// The second-start request ("open request") and its Unix socket.
//
// A second QuolDevuzez of the same session does not open a window: it tells
// the running client what to open and ends. The request is the 524-byte
// copy-data block of the desktop platform, sent over a stream socket in
// $XDG_RUNTIME_DIR/quol named after the frame's window class:
//
//   u32 dwData  0x09050401          little-endian
//   u32 cbData  524
//   cbData bytes:
//     u32 command   0 open the path that follows, 1 only come to the front
//     260 UTF-16 code units, little-endian, NUL-terminated: the path
//
// The sender half-closes after writing; the client answers one byte: 1 when
// it took the request, 0 when it refused it. A request is taken only when
// the magic and the size match exactly and the path has its terminator
// inside the 260 units.
//
// The listener is served from the GTK main loop (GLib fd sources on
// non-blocking sockets): accepting and reading never wait, each connection
// is bounded in size and in time, and at most a few are served at once.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quol::client {

inline constexpr std::uint32_t kOpenRequestMagic = 0x09050401;
inline constexpr std::size_t kOpenRequestPathUnits = 260;
inline constexpr std::size_t kOpenRequestBytes = 4 + 2 * kOpenRequestPathUnits;  // 524
inline constexpr std::size_t kOpenRequestHeaderBytes = 8;
inline constexpr char kFrameWindowClass[] = "QuolDevuzezWndClass";

enum OpenCommand : std::uint32_t {
  kOpenCommandPath = 0,
  kOpenCommandToFront = 1,
};

struct OpenRequest {
  std::uint32_t command = kOpenCommandToFront;
  std::string path;  // UTF-8
};

// The whole message (header and block). False when the path does not fit
// (259 code units plus the terminator) or is not valid UTF-8.
bool EncodeOpenRequest(const OpenRequest& request, std::string* message);
// A message as sent: header and block. False for anything but an exact,
// terminated request.
bool DecodeOpenRequest(const std::string& message, OpenRequest* request);
// The raw copy-data block alone, for a message whose header was built by
// hand (tests): header fields and block.
std::string BuildOpenRequestMessage(std::uint32_t magic, std::uint32_t declared_size,
                                    const std::string& block);

// "$XDG_RUNTIME_DIR/quol/QuolDevuzezWndClass" (the folder of the per-session
// mutexes).
std::string OpenRequestSocketPath();

enum class SendResult { kAccepted, kRefused, kNoClient };

// Connects, sends, waits up to `timeout_ms` for the answer. kNoClient when
// nobody listens (no running client window).
SendResult SendOpenRequest(const std::string& socket_path, const std::string& message,
                           int timeout_ms);

class OpenRequestListener {
 public:
  // How long one connection may take to deliver its request.
  static constexpr int kReadTimeoutMs = 2000;
  // Connections served at once; more wait in the kernel's backlog.
  static constexpr std::size_t kMaxConnections = 8;

  using Handler = std::function<void(const OpenRequest& request)>;

  // Binds `socket_path` (replacing a stale socket: the caller owns the
  // session's mutex, so no other client listens there) on `context`'s loop
  // (null: the default context). `handler` runs on that loop for every
  // accepted request, after the answer was sent.
  static std::unique_ptr<OpenRequestListener> Create(const std::string& socket_path,
                                                     Handler handler, std::string* error,
                                                     GMainContext* context = nullptr);
  ~OpenRequestListener();
  OpenRequestListener(const OpenRequestListener&) = delete;
  OpenRequestListener& operator=(const OpenRequestListener&) = delete;

  const std::string& path() const { return path_; }

 private:
  struct Connection;
  OpenRequestListener() = default;
  static gboolean OnAccept(gint fd, GIOCondition condition, gpointer self);
  static gboolean OnReadable(gint fd, GIOCondition condition, gpointer connection);
  static gboolean OnTimeout(gpointer connection);
  void Finish(Connection* connection, bool answer_now);

  std::string path_;
  int fd_ = -1;
  GSource* accept_source_ = nullptr;
  GMainContext* context_ = nullptr;
  Handler handler_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace quol::client
