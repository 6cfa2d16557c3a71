// Helpers of the appointment tests: a fixed time zone, local times in March
// 2026, appointments, and a look for the headers' side lines.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/testing/test_support.h"
#include "screensaver/appointments/appointment.h"
#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver::test {

// TZ for the scope, with the C library told both ways. POSIX zones count
// west as positive: "QST-1" is UTC+1, "QST8" UTC-8, neither with summer time.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    tzset();
  }

 private:
  std::optional<quol::testing::ScopedEnv> env_;
};

inline platform::TimePoint LocalAt(int day, int hour, int minute, int second = 0) {
  return platform::FromLocalTime({2026, 3, day, hour, minute, second});
}

inline std::int64_t SecondsOf(platform::TimePoint t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

inline Appointment Timed(const std::string& subject, platform::TimePoint start,
                         std::vector<RgbColour> colours = {}) {
  Appointment a;
  a.subject = subject;
  a.start = SecondsOf(start);
  a.attendee_colours = std::move(colours);
  return a;
}

inline Appointment AllDay(const std::string& subject, int day) {
  Appointment a = Timed(subject, LocalAt(day, 0, 0));
  a.all_day = true;
  return a;
}

// Whether a row holds `run` pixels of exactly `rgb` (0xRRGGBB) from column x.
inline bool HasSideLine(cairo_surface_t* surface, std::uint32_t rgb, int x, int run = 20) {
  for (int y = 0; y < cairo_image_surface_get_height(surface); ++y) {
    int n = 0;
    for (; n < run; ++n) {
      const Pixel p = PixelAt(surface, x + n, y);
      if (p.a != 255 || ((p.r << 16) | (p.g << 8) | p.b) != static_cast<int>(rgb)) break;
    }
    if (n == run) return true;
  }
  return false;
}

}  // namespace quol::saver::test
