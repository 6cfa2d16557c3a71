#include "platform/idle/idle_time.h"

#include <X11/extensions/scrnsaver.h>

#include <memory>

namespace quol::platform {
namespace {

struct XFreeDeleter {
  void operator()(XScreenSaverInfo* info) const { XFree(info); }
};

}  // namespace

bool IdleMilliseconds(Display* display, std::uint64_t* idle_ms) {
  if (display == nullptr) return false;
  int event_base = 0, error_base = 0;
  if (!XScreenSaverQueryExtension(display, &event_base, &error_base)) return false;
  const std::unique_ptr<XScreenSaverInfo, XFreeDeleter> info(XScreenSaverAllocInfo());
  if (!info) return false;
  if (XScreenSaverQueryInfo(display, DefaultRootWindow(display), info.get()) == 0) return false;
  *idle_ms = info->idle;
  return true;
}

}  // namespace quol::platform
