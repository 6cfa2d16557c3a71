// A loopback HTTP server for tests (cpp-httplib), on an ephemeral port, with
// a raw "accepts but never answers" listener for hang tests.
#pragma once

#include <httplib.h>

#include "platform/http/http.h"

#include <memory>
#include <string>
#include <chrono>
#include <functional>
#include <thread>

namespace quol::testing {

class HttpTestServer {
 public:
  HttpTestServer() { port_ = server_.bind_to_any_port("127.0.0.1"); }
  // Serves on a background thread; register handlers first. Connections made
  // before this wait in the listen queue.
  void Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the loop runs, so never hand out a server
    // that could miss its stop.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~HttpTestServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  httplib::Server& server() { return server_; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// Changes the process's HTTP limits for a test (short time-outs, so that
// hostile-server cases end quickly) and puts the old ones back afterwards.
class ScopedHttpDefaults {
 public:
  explicit ScopedHttpDefaults(const std::function<void(platform::HttpDefaults&)>& change)
      : saved_(platform::GetHttpDefaults()) {
    platform::HttpDefaults changed = saved_;
    change(changed);
    platform::SetHttpDefaults(changed);
  }
  ~ScopedHttpDefaults() { platform::SetHttpDefaults(saved_); }
  ScopedHttpDefaults(const ScopedHttpDefaults&) = delete;
  ScopedHttpDefaults& operator=(const ScopedHttpDefaults&) = delete;

 private:
  platform::HttpDefaults saved_;
};

// Listens on an ephemeral loopback port and never accepts: connections are
// completed by the kernel and then left without an answer.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace quol::testing
