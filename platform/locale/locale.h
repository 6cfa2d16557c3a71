// The user's locale as the suite needs it: language and country codes for
// the update query, and whether times are shown on a 12- or 24-hour clock.
#pragma once

#include <string>

namespace quol::platform {

struct UserLocale {
  std::string language = "en";  // ISO 639 two-letter code
  std::string country = "US";   // ISO 3166 code
};

// From LC_ALL, else LC_MESSAGES, else LANG ("fr_CA.UTF-8@euro" -> fr, CA).
// "C", "POSIX" or nothing usable gives en-US.
UserLocale GetUserLocale();

// Parses one locale name; exposed for tests.
UserLocale ParseLocaleName(const std::string& name);

}  // namespace quol::platform
