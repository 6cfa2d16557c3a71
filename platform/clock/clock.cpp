#include "platform/clock/clock.h"

#include <ctime>

namespace quol::platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01, in file-time units.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;

class SystemClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::system_clock::now(); }
  std::uint64_t TickMs() const override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

SystemClock g_system_clock;
std::atomic<Clock*> g_clock{nullptr};

CalendarTime FromTm(const std::tm& tm, int millisecond) {
  CalendarTime c;
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  c.day = tm.tm_mday;
  c.hour = tm.tm_hour;
  c.minute = tm.tm_min;
  c.second = tm.tm_sec;
  c.millisecond = millisecond;
  c.day_of_week = tm.tm_wday;
  return c;
}

// Years far outside what the C library and our time points can count are
// pulled in first, so the subtraction below cannot overflow.
constexpr int kMinYear = -100000;
constexpr int kMaxYear = 100000;

// Splits into whole seconds (floored) and milliseconds, also before 1970.
void Split(TimePoint t, std::time_t* seconds, int* millisecond) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::int64_t s = ms / 1000;
  std::int64_t rem = ms % 1000;
  if (rem < 0) {
    rem += 1000;
    s -= 1;
  }
  *seconds = static_cast<std::time_t>(s);
  *millisecond = static_cast<int>(rem);
}

// Time points count nanoseconds, which reach only about 292 years either
// side of 1970; a calendar time outside that (a date read from a file or an
// answer) is pinned to the nearest end instead of overflowing.
TimePoint FromSeconds(std::time_t seconds, int millisecond) {
  using std::chrono::duration_cast;
  constexpr std::int64_t kLimit =
      duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count() - 86400;
  std::int64_t s = static_cast<std::int64_t>(seconds);
  if (s > kLimit) s = kLimit;
  if (s < -kLimit) s = -kLimit;
  std::int64_t ms = millisecond;
  if (ms > 86400000) ms = 86400000;
  if (ms < -86400000) ms = -86400000;
  return TimePoint(duration_cast<TimePoint::duration>(std::chrono::seconds(s)) +
                   duration_cast<TimePoint::duration>(std::chrono::milliseconds(ms)));
}

}  // namespace

std::tm ToTm(const CalendarTime& c) {
  std::tm tm{};
  tm.tm_year = (c.year < kMinYear ? kMinYear : c.year > kMaxYear ? kMaxYear : c.year) - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_wday = c.day_of_week;
  tm.tm_isdst = -1;
  return tm;
}

Clock& CurrentClock() {
  Clock* clock = g_clock.load();
  return clock != nullptr ? *clock : g_system_clock;
}

void SetClockForTesting(Clock* clock) { g_clock.store(clock); }

CalendarTime ToLocalTime(TimePoint t) {
  std::time_t s;
  int ms;
  Split(t, &s, &ms);
  std::tm tm{};
  ::localtime_r(&s, &tm);
  return FromTm(tm, ms);
}

CalendarTime ToUtcTime(TimePoint t) {
  std::time_t s;
  int ms;
  Split(t, &s, &ms);
  std::tm tm{};
  ::gmtime_r(&s, &tm);
  return FromTm(tm, ms);
}

TimePoint FromLocalTime(const CalendarTime& local) {
  std::tm tm = ToTm(local);
  std::time_t s = std::mktime(&tm);
  return FromSeconds(s, local.millisecond);
}

TimePoint FromUtcTime(const CalendarTime& utc) {
  std::tm tm = ToTm(utc);
  tm.tm_isdst = 0;
  std::time_t s = ::timegm(&tm);
  return FromSeconds(s, utc.millisecond);
}

std::uint64_t ToFileTime(TimePoint t) {
  auto units = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
                   t.time_since_epoch())
                   .count();
  std::int64_t ft = units + kFileTimeUnixEpoch;
  return ft < 0 ? 0 : static_cast<std::uint64_t>(ft);
}

TimePoint FromFileTime(std::uint64_t file_time) {
  std::int64_t units = static_cast<std::int64_t>(file_time) - kFileTimeUnixEpoch;
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>(units)));
}

TimePoint FakeClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::uint64_t FakeClock::TickMs() const {
  std::lock_guard lock(mutex_);
  return ticks_;
}

void FakeClock::Set(TimePoint t) {
  std::lock_guard lock(mutex_);
  auto delta = std::chrono::duration_cast<std::chrono::milliseconds>(t - now_).count();
  if (delta > 0) ticks_ += static_cast<std::uint64_t>(delta);
  now_ = t;
}

void FakeClock::Advance(std::chrono::milliseconds by) {
  std::lock_guard lock(mutex_);
  now_ += by;
  if (by.count() > 0) ticks_ += static_cast<std::uint64_t>(by.count());
}

}  // namespace quol::platform
