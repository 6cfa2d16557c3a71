// The quol:// handler's logic behind the C interface of
// quol_protocol_handler.h: which action a URL asks for, which program and
// argument vector that action starts, and the image the request answers
// with. Kept apart from the C interface so tests can swap the process
// creation and the active-window lookup.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/hresult.h"
#include "protocol/quol_protocol_handler.h"

namespace quol::protocol {

enum class QuolAction : int {
  kNone = 0,        // not handled
  kShowSaver,       // "quol://collage/show/"
  kClientSettings,  // "quol://collage/settings/"
  kClientSetUnset,  // "quol://collage/setunset/"
  kClientShow,      // "quol://explorer/show/"
  kClientGo,        // "quol://explorer/go/" + rest
  kIsInstalled,     // "quol://explorer/isinstalled/"
};
inline constexpr int kActionCount = 7;

struct QuolRequest {
  QuolAction action = QuolAction::kNone;
  std::string rest;  // kClientGo: everything after the prefix, unchanged
};

// URLs shorter than this are not handled.
inline constexpr std::size_t kMinUrlChars = 10;
inline constexpr std::size_t kMaxUrlBytes = QUOL_PROTOCOL_MAX_URL_BYTES;
// Longest program path taken from the installation record.
inline constexpr std::size_t kMaxProgramPathChars = 260;

// The installation record in the machine hive and its values.
inline constexpr char kInstallKey[] = "Software\\Quol\\Quol Vevuvov";
inline constexpr char kClientValue[] = "Vevuvov";
inline constexpr char kSaverValue[] = "ScreenSaver";
// Where the screen saver is when the record does not say: the hack the
// suite's package installs for xscreensaver.
inline constexpr char kInstalledSaverPath[] = "/usr/libexec/xscreensaver/quolsaver";
inline constexpr char kPkexecPath[] = "/usr/bin/pkexec";

// The answer: a GIF89a of one white pixel.
extern const std::array<std::uint8_t, QUOL_PROTOCOL_IMAGE_BYTES> kResponseImage;

// The prefix table, compared without regard to (ASCII) case, first match
// wins. Too short, too long or holding a control character: kNone.
QuolRequest ParseQuolUrl(std::string_view url);

// A program and its arguments (argv[1..]).
struct Launch {
  std::string path;
  std::vector<std::string> args;
};

struct HandlerOptions {
  // Starts a program without a shell; `*pid` 0 means nothing to watch.
  std::function<HRESULT(const std::string& path, const std::vector<std::string>& args, pid_t* pid)>
      spawn;
  // Elevated opening goes through this program when it is executable and
  // we are not root already.
  std::string pkexec_path = kPkexecPath;
  // Whether this process has the rights already (root).
  std::function<bool()> running_as_root;
  // The active X window's id for "/e %d" (0 when there is none).
  std::function<unsigned long()> active_window;
};
// Process creation with posix_spawn and the X server's _NET_ACTIVE_WINDOW.
HandlerOptions DefaultHandlerOptions();

// The desktop client's path from the record; false when the key or value
// is missing, empty or longer than kMaxProgramPathChars.
bool FindClientPath(std::string* path);
// The screen saver's path from the record, else kInstalledSaverPath.
std::string FindSaverPath();

// What `request` starts. False for kNone, for a client action without a
// client path; true with an empty path for kIsInstalled (nothing to start).
bool BuildLaunch(const QuolRequest& request, const HandlerOptions& options, Launch* launch);

// Collects ended children of earlier launches without waiting; returns how
// many still run. Process-wide, thread-safe.
int ReapLaunchedChildren();

// One request at a time; the browser may reuse it for the next.
class CProtocolHandler {
 public:
  explicit CProtocolHandler(HandlerOptions options = DefaultHandlerOptions());

  HRESULT Start(std::string_view url, bool top_level_allowed, const QuolProtocolSink* sink);
  HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read);

 private:
  // Starts the action's process unless the one started before still runs.
  bool Perform(const QuolRequest& request);

  HandlerOptions options_;
  QuolProtocolSink sink_{};
  std::uint32_t delivered_ = 0;
  bool started_ = false;  // the last Start was handled
};

}  // namespace quol::protocol
