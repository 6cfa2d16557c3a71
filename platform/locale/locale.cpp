#include "platform/locale/locale.h"

#include <cstdlib>

namespace quol::platform {
namespace {

bool AllOf(const std::string& text, bool (*pred)(char)) {
  for (char c : text) {
    if (!pred(c)) return false;
  }
  return !text.empty();
}

bool IsLowerAlpha(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpperAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

UserLocale ParseLocaleName(const std::string& name) {
  UserLocale result;
  std::string base = name.substr(0, name.find_first_of(".@"));
  auto underscore = base.find('_');
  std::string language = base.substr(0, underscore);
  std::string country = underscore == std::string::npos ? "" : base.substr(underscore + 1);
  // Codes fit the query's 10-character fields; anything odd keeps the default.
  if (language.size() >= 2 && language.size() <= 3 && AllOf(language, IsLowerAlpha)) {
    result.language = language;
    result.country = "";
  }
  if (country.size() >= 2 && country.size() <= 3 && AllOf(country, IsUpperAlnum)) {
    result.country = country;
  } else if (result.country.empty()) {
    result.country = language == "en" ? "US" : "";
  }
  return result;
}

UserLocale GetUserLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return ParseLocaleName(value);
  }
  return UserLocale();
}

}  // namespace quol::platform
