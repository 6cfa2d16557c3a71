// Fade frames at the display's refresh rate and never faster: a frame the
// display cannot show only costs CPU. Without this the fade draws as fast as
// the machine allows, and on a machine without a GPU that is most of a core
// for the whole fade.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

// From <X11/Xlib.h>, kept out of this header (see cross_fader.h).
typedef struct _XDisplay Display;
typedef unsigned long XID;
typedef XID Window;

namespace quol::saver {

class FramePacer {
 public:
  static constexpr double kDefaultRefreshHz = 60;
  // Rates outside this range are taken for a mode that reports nonsense.
  static constexpr double kMinRefreshHz = 10;
  static constexpr double kMaxRefreshHz = 1000;

  // Waits up to `ms` milliseconds; may return earlier (there is input for
  // the event loop to handle first).
  using Wait = std::function<void(std::uint64_t ms)>;

  FramePacer();

  // The display's refresh rate; unknown or implausible rates (nullopt, NaN,
  // outside kMinRefreshHz..kMaxRefreshHz) give kDefaultRefreshHz.
  void set_refresh_hz(std::optional<double> hz);
  double refresh_hz() const { return hz_; }
  void set_wait(Wait wait) { wait_ = std::move(wait); }
  // Off: every frame is drawn at once (benchmarks measure the blend itself).
  void set_enabled(bool enabled) { enabled_ = enabled; }

  // Whether a frame may be drawn now (by platform::TickMs): less than one
  // refresh period after the last frame, first waits for the rest of it.
  // True counts as a frame started now; false when the wait ended early,
  // so the caller returns to its event loop and asks again.
  bool NextFrame();

 private:
  // Microseconds left until the next frame may start.
  std::uint64_t MicrosecondsLeft(std::uint64_t now_ms) const;

  double hz_ = kDefaultRefreshHz;
  std::uint64_t period_us_ = 0;
  bool enabled_ = true;
  bool any_frame_ = false;
  std::uint64_t last_frame_ms_ = 0;
  Wait wait_;
};

// The refresh rate of a RandR mode: dot clock / (htotal * vtotal), vtotal
// doubled for double-scan and halved for interlaced modes. nullopt when the
// mode gives no timing (Xvfb's modes have a dot clock of 0).
std::optional<double> RefreshHzOfMode(unsigned long dot_clock, unsigned int h_total,
                                      unsigned int v_total, unsigned long mode_flags);

// The refresh rate of the CRTC that shows most of `window`, by XRandR;
// nullopt when RandR is missing or no CRTC under the window has a timed mode.
std::optional<double> DisplayRefreshHz(Display* display, Window window);

// Waits up to `ms` for the X connection to have something to read (events
// the loop must handle); returns at once when events are already queued.
void WaitForXInput(Display* display, std::uint64_t ms);

}  // namespace quol::saver
