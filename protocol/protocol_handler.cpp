#include "protocol/protocol_handler.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/process/spawn.h"
#include "platform/registry/registry.h"

namespace quol::protocol {

const std::array<std::uint8_t, QUOL_PROTOCOL_IMAGE_BYTES> kResponseImage = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
    0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};

namespace {

using platform::RegistryHive;
using platform::RegistryKey;

struct Prefix {
  std::string_view text;
  QuolAction action;
};
// In order: the first prefix the URL starts with decides.
constexpr Prefix kPrefixes[] = {
    {"quol://collage/show/", QuolAction::kShowSaver},
    {"quol://collage/settings/", QuolAction::kClientSettings},
    {"quol://collage/setunset/", QuolAction::kClientSetUnset},
    {"quol://explorer/show/", QuolAction::kClientShow},
    {"quol://explorer/go/", QuolAction::kClientGo},
    {"quol://explorer/isinstalled/", QuolAction::kIsInstalled},
};

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool ReadProgramPath(const char* value_name, std::string* path) {
  RegistryKey key;
  std::string value;
  if (Failed(key.Open(RegistryHive::kLocalMachine, kInstallKey)) ||
      Failed(key.ReadString(value_name, &value)) || value.empty() ||
      value.size() > kMaxProgramPathChars) {
    return false;
  }
  *path = std::move(value);
  return true;
}

// The X server's active window (what the desktop's window manager says has
// the focus); 0 without a display or a window manager that says.
unsigned long ActiveXWindow() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 0;
  unsigned long id = 0;
  const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
  if (active != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), active, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        type == XA_WINDOW && format == 32 && count == 1 && data != nullptr) {
      // Xlib hands 32-bit items back as longs.
      long value = 0;
      std::memcpy(&value, data, sizeof value);
      id = static_cast<unsigned long>(value) & 0xFFFFFFFFul;
    }
    if (data != nullptr) XFree(data);
  }
  XCloseDisplay(display);
  return id;
}

// The processes started per action, so a page that fires the same URL again
// and again never has more than one of them running. 0: none.
std::mutex& LaunchMutex() {
  static std::mutex mutex;
  return mutex;
}
std::array<pid_t, kActionCount>& RunningLaunches() {
  static std::array<pid_t, kActionCount> running{};
  return running;
}

int ReapLocked() {
  int still_running = 0;
  for (pid_t& pid : RunningLaunches()) {
    if (pid <= 0) continue;
    int status = 0;
    pid_t result = 0;
    do {
      result = ::waitpid(pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
      ++still_running;
    } else {
      // Ended, or already collected by someone else in this process
      // (ECHILD): either way it no longer runs.
      pid = 0;
    }
  }
  return still_running;
}

}  // namespace

QuolRequest ParseQuolUrl(std::string_view url) {
  QuolRequest request;
  if (url.size() < kMinUrlChars || url.size() > kMaxUrlBytes || HasControlCharacter(url)) {
    return request;
  }
  for (const Prefix& prefix : kPrefixes) {
    if (StartsWithNoCase(url, prefix.text)) {
      request.action = prefix.action;
      if (prefix.action == QuolAction::kClientGo) request.rest = std::string(url.substr(prefix.text.size()));
      break;
    }
  }
  return request;
}

HandlerOptions DefaultHandlerOptions() {
  HandlerOptions options;
  options.spawn = [](const std::string& path, const std::vector<std::string>& args, pid_t* pid) {
    return platform::SpawnProcess(path, args, pid);
  };
  options.active_window = ActiveXWindow;
  options.running_as_root = [] { return ::geteuid() == 0; };
  return options;
}

bool FindClientPath(std::string* path) { return ReadProgramPath(kClientValue, path); }

std::string FindSaverPath() {
  std::string path;
  return ReadProgramPath(kSaverValue, &path) ? path : std::string(kInstalledSaverPath);
}

bool BuildLaunch(const QuolRequest& request, const HandlerOptions& options, Launch* launch) {
  *launch = {};
  switch (request.action) {
    case QuolAction::kNone:
      return false;
    case QuolAction::kIsInstalled:
      return true;
    case QuolAction::kShowSaver:
      // Without a window number the saver runs full screen.
      launch->path = FindSaverPath();
      launch->args = {"/P"};
      return true;
    default:
      break;
  }
  std::string client;
  if (!FindClientPath(&client)) return false;
  launch->path = client;
  switch (request.action) {
    case QuolAction::kClientSettings:
      launch->args = {"/c"};
      break;
    case QuolAction::kClientShow:
      launch->args = {"/p"};
      break;
    case QuolAction::kClientGo:
      // The rest goes over as one argument, exactly as the page wrote it;
      // no shell ever sees it.
      launch->args = {"/n"};
      if (!request.rest.empty()) launch->args.push_back(request.rest);
      break;
    case QuolAction::kClientSetUnset: {
      const unsigned long window = options.active_window ? options.active_window() : 0;
      launch->args = {"/e", std::to_string(window)};
      // Ask for the rights through polkit; as root, or where pkexec is not
      // installed, the client is opened as it is.
      const bool root = options.running_as_root && options.running_as_root();
      if (!root && !options.pkexec_path.empty() &&
          ::access(options.pkexec_path.c_str(), X_OK) == 0) {
        launch->args.insert(launch->args.begin(), client);
        launch->path = options.pkexec_path;
      }
      break;
    }
    default:
      return false;
  }
  return true;
}

int ReapLaunchedChildren() {
  std::lock_guard lock(LaunchMutex());
  return ReapLocked();
}

CProtocolHandler::CProtocolHandler(HandlerOptions options) : options_(std::move(options)) {}

bool CProtocolHandler::Perform(const QuolRequest& request) {
  if (request.action == QuolAction::kNone) return false;
  if (request.action == QuolAction::kIsInstalled) return true;  // the page only wants the image
  std::lock_guard lock(LaunchMutex());
  ReapLocked();
  pid_t& running = RunningLaunches()[static_cast<std::size_t>(request.action)];
  // The process this action started before is still at work (a client
  // asking for rights, a saver starting): a page firing the URL again
  // starts nothing more.
  if (running > 0) return true;
  Launch launch;
  if (!BuildLaunch(request, options_, &launch) || !options_.spawn) return false;
  pid_t pid = 0;
  // Handled only when the process was created; never retried.
  if (Failed(options_.spawn(launch.path, launch.args, &pid))) return false;
  running = pid;
  return true;
}

HRESULT CProtocolHandler::Start(std::string_view url, bool top_level_allowed,
                                const QuolProtocolSink* sink) {
  delivered_ = 0;
  started_ = false;
  sink_ = sink != nullptr ? *sink : QuolProtocolSink{};
  // A page the URL policy refuses never makes us start anything.
  if (!top_level_allowed) return E_FAIL;
  if (!Perform(ParseQuolUrl(url))) return E_FAIL;
  started_ = true;
  if (sink_.report_data) sink_.report_data(sink_.context, QUOL_BSCF_FIRSTDATANOTIFICATION, 50, 100);
  if (sink_.report_progress) {
    sink_.report_progress(sink_.context, QUOL_BINDSTATUS_MIMETYPEAVAILABLE, QUOL_PROTOCOL_MIME_TYPE);
  }
  if (sink_.report_data) sink_.report_data(sink_.context, QUOL_BSCF_DATAFULLYAVAILABLE, 100, 100);
  return S_OK;
}

HRESULT CProtocolHandler::Read(void* buffer, std::uint32_t size, std::uint32_t* read) {
  if (read == nullptr) return E_POINTER;
  *read = 0;
  // Without a handled Start there is nothing to read: a host that reads
  // anyway gets no image for a URL that was refused.
  if (!started_) return E_UNEXPECTED;
  const std::uint32_t left = static_cast<std::uint32_t>(kResponseImage.size()) - delivered_;
  if (left > 0) {
    if (size == 0) return E_UNEXPECTED;
    if (buffer == nullptr) return E_POINTER;
    const std::uint32_t count = std::min(size, left);
    std::memcpy(buffer, kResponseImage.data() + delivered_, count);
    delivered_ += count;
    *read = count;
    return S_OK;
  }
  if (sink_.report_progress) {
    sink_.report_progress(sink_.context, QUOL_BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE,
                          QUOL_PROTOCOL_MIME_TYPE);
  }
  if (sink_.report_result) sink_.report_result(sink_.context, S_OK, 200, nullptr);
  return S_FALSE;
}

}  // namespace quol::protocol
