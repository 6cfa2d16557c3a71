// Wall-clock and tick time for the whole suite, behind one seam so that tests
// can set the time (the log's file name, the sign-in ticket's lifetime, the
// appointment groups all depend on it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace quol::platform {

using TimePoint = std::chrono::system_clock::time_point;

// A broken-down time. month 1-12, day 1-31, day_of_week 0 = Sunday.
struct CalendarTime {
  int year = 1601, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int day_of_week = 0;
  bool operator==(const CalendarTime&) const = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  // Milliseconds of a monotonic clock (never goes back).
  virtual std::uint64_t TickMs() const = 0;
};

// The clock in force: the system's, unless a test installed another.
Clock& CurrentClock();
// Installs `clock` (not owned; nullptr restores the system clock).
void SetClockForTesting(Clock* clock);

inline TimePoint Now() { return CurrentClock().Now(); }
inline std::uint64_t TickMs() { return CurrentClock().TickMs(); }

// Conversions. Local time follows the process's time zone (TZ).
CalendarTime ToLocalTime(TimePoint t);
CalendarTime ToUtcTime(TimePoint t);
TimePoint FromLocalTime(const CalendarTime& local);
TimePoint FromUtcTime(const CalendarTime& utc);
// The same time as the C library's broken-down form, for strftime and
// mktime: the day of the week is carried over, daylight saving time is left
// for the library to decide (tm_isdst -1), and years beyond +-100000 are
// clamped so the conversion cannot overflow.
std::tm ToTm(const CalendarTime& time);
inline CalendarTime LocalNow() { return ToLocalTime(Now()); }
inline CalendarTime UtcNow() { return ToUtcTime(Now()); }

// File time: 100-nanosecond units since 1 January 1601, UTC.
std::uint64_t ToFileTime(TimePoint t);
TimePoint FromFileTime(std::uint64_t file_time);

// A clock that only moves when told to. Thread-safe.
class FakeClock : public Clock {
 public:
  explicit FakeClock(TimePoint start = TimePoint{}) : now_(start) {}
  TimePoint Now() const override;
  std::uint64_t TickMs() const override;
  void Set(TimePoint t);
  void SetLocal(const CalendarTime& local) { Set(FromLocalTime(local)); }
  void Advance(std::chrono::milliseconds by);

 private:
  mutable std::mutex mutex_;
  TimePoint now_;
  std::uint64_t ticks_ = 1000;
};

}  // namespace quol::platform
