// Calendar arithmetic on the proleptic Gregorian calendar, without the C
// library's time zone state: day numbers count from 1970-01-01.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quol::service {

struct CivilDate {
  int year = 1970, month = 1, day = 1;
  bool operator==(const CivilDate&) const = default;
};

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t DaysFromCivil(const CivilDate& date);
CivilDate CivilFromDays(std::int64_t days);

// Strict "YYYY-MM-DD" (years 0001-9999, real days only); nullopt otherwise.
std::optional<CivilDate> ParseIsoDate(std::string_view text);
std::string FormatIsoDate(const CivilDate& date);

// Seconds since 1970-01-01 UTC as "YYYY-MM-DDTHH:MM:SS".
std::string FormatUtcDateTime(std::int64_t seconds);

}  // namespace quol::service
