// quol-url: opens a quol:// link for browsers other than the desktop
// client's. The desktop entry quol-url.desktop (MimeType
// x-scheme-handler/quol) hands the link over as the one argument; this
// program answers it through libQuolProtocolHandler exactly as the client
// does in-process, so both start the same programs with the same
// arguments. The browser that hands a link over has asked its user already
// (external links need a click there), so the request counts as allowed.
#include <cstdio>
#include <cstring>

#include "protocol/quol_protocol_handler.h"

namespace {

constexpr int kExitHandled = 0;
constexpr int kExitNotHandled = 1;
constexpr int kExitUsage = 64;

constexpr char kUsage[] =
    "Usage: quol-url URL\n"
    "Opens a quol:// link: starts the Quol desktop client or screen saver it names.\n"
    "Exit status: 0 handled, 1 not a link this program handles (or the program\n"
    "it names could not be started), 64 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitHandled;
  }
  if (argc != 2) {
    std::fputs("quol-url: expected exactly one URL (see --help)\n", stderr);
    return kExitUsage;
  }
  QuolProtocol* handler = QuolProtocolCreate();
  if (handler == nullptr) {
    std::fputs("quol-url: out of memory\n", stderr);
    return kExitNotHandled;
  }
  const int32_t result = QuolProtocolStart(handler, argv[1], 1, nullptr);
  QuolProtocolDestroy(handler);
  if (result != QUOL_S_OK) {
    std::fputs("quol-url: not a quol:// link this program handles, or its program could not start\n",
               stderr);
    return kExitNotHandled;
  }
  return kExitHandled;
}
