#include "foundation/settings/version_number.h"

#include <algorithm>
#include <cstdio>

namespace quol {

void VersionNumber::Read(const std::string& text) {
  int values[4] = {0, 0, 0, 0};
  int converted = std::sscanf(text.c_str(), "%d.%d.%d.%d", &values[0], &values[1], &values[2],
                              &values[3]);
  count_ = converted > 0 ? converted : 0;
  for (std::size_t i = 0; i < 4; ++i) parts_[i] = static_cast<std::uint32_t>(values[i]);
  valid_ = count_ > 0;
  text_ = valid_ ? text : std::string();
}

void VersionNumber::Clear() { *this = VersionNumber(); }

int VersionNumber::Compare(const VersionNumber& other, int limit) const {
  int n = std::min(std::max(count_, other.count_), std::min(limit, 4));
  for (int i = 0; i < n; ++i) {
    std::uint32_t a = part(i);
    std::uint32_t b = other.part(i);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

}  // namespace quol
