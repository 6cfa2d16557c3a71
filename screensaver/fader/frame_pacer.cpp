#include "screensaver/fader/frame_pacer.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "platform/clock/clock.h"
#include "screensaver/x11/x_display.h"

namespace quol::saver {
namespace {

std::uint64_t PeriodUs(double hz) { return static_cast<std::uint64_t>(std::ceil(1e6 / hz)); }

void Sleep(std::uint64_t ms) {
  timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

}  // namespace

FramePacer::FramePacer() : period_us_(PeriodUs(kDefaultRefreshHz)), wait_(Sleep) {}

void FramePacer::set_refresh_hz(std::optional<double> hz) {
  const bool plausible =
      hz && std::isfinite(*hz) && *hz >= kMinRefreshHz && *hz <= kMaxRefreshHz;
  hz_ = plausible ? *hz : kDefaultRefreshHz;
  period_us_ = PeriodUs(hz_);
}

std::uint64_t FramePacer::MicrosecondsLeft(std::uint64_t now_ms) const {
  if (!enabled_ || !any_frame_) return 0;
  // The tick never goes back; should a test clock do so, wait one period.
  const std::uint64_t elapsed_us =
      now_ms >= last_frame_ms_ ? (now_ms - last_frame_ms_) * 1000 : 0;
  return elapsed_us >= period_us_ ? 0 : period_us_ - elapsed_us;
}

bool FramePacer::NextFrame() {
  std::uint64_t left = MicrosecondsLeft(platform::TickMs());
  if (left > 0) {
    // Rounded up: waking a little late costs nothing, early means a
    // wasted pass through the loop.
    if (wait_) wait_((left + 999) / 1000);
    left = MicrosecondsLeft(platform::TickMs());
    if (left > 0) return false;
  }
  any_frame_ = true;
  last_frame_ms_ = platform::TickMs();
  return true;
}

std::optional<double> RefreshHzOfMode(unsigned long dot_clock, unsigned int h_total,
                                      unsigned int v_total, unsigned long mode_flags) {
  double lines = v_total;
  if (mode_flags & RR_DoubleScan) lines *= 2;
  if (mode_flags & RR_Interlace) lines /= 2;
  if (dot_clock == 0 || h_total == 0 || lines <= 0) return std::nullopt;
  return static_cast<double>(dot_clock) / (static_cast<double>(h_total) * lines);
}

std::optional<double> DisplayRefreshHz(Display* display, Window window) {
  int event_base = 0, error_base = 0;
  if (display == nullptr || !XRRQueryExtension(display, &event_base, &error_base)) {
    return std::nullopt;
  }
  XErrorTrap trap(display);
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, window, &attributes) == 0) return std::nullopt;
  const Window root = attributes.root;
  int left = 0, top = 0;
  Window child = 0;
  if (!XTranslateCoordinates(display, window, root, 0, 0, &left, &top, &child)) {
    return std::nullopt;
  }
  const long right = static_cast<long>(left) + attributes.width;
  const long bottom = static_cast<long>(top) + attributes.height;

  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) return std::nullopt;
  std::optional<double> best_hz;
  long best_area = 0;
  for (int i = 0; i < resources->ncrtc; ++i) {
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
    if (crtc == nullptr) continue;
    const long overlap_w = std::min<long>(right, static_cast<long>(crtc->x) + crtc->width) -
                           std::max<long>(left, crtc->x);
    const long overlap_h = std::min<long>(bottom, static_cast<long>(crtc->y) + crtc->height) -
                           std::max<long>(top, crtc->y);
    const long area = overlap_w > 0 && overlap_h > 0 ? overlap_w * overlap_h : 0;
    if (crtc->mode != 0 && area > best_area) {
      for (int m = 0; m < resources->nmode; ++m) {
        const XRRModeInfo& mode = resources->modes[m];
        if (mode.id != crtc->mode) continue;
        if (std::optional<double> hz =
                RefreshHzOfMode(mode.dotClock, mode.hTotal, mode.vTotal, mode.modeFlags)) {
          best_hz = hz;
          best_area = area;
        }
        break;
      }
    }
    XRRFreeCrtcInfo(crtc);
  }
  XRRFreeScreenResources(resources);
  if (trap.HasError()) return std::nullopt;
  return best_hz;
}

void WaitForXInput(Display* display, std::uint64_t ms) {
  if (display == nullptr) return;
  if (XQLength(display) > 0) return;
  pollfd fd{ConnectionNumber(display), POLLIN, 0};
  const std::uint64_t bounded = std::min<std::uint64_t>(ms, 1000);
  timespec timeout{static_cast<time_t>(bounded / 1000),
                   static_cast<long>(bounded % 1000) * 1000000L};
  ppoll(&fd, 1, &timeout, nullptr);
}

}  // namespace quol::saver
