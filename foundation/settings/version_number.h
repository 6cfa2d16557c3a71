// A four-part version major.minor.build.revision as the update service and
// Settings.xml write it ("2.1", "3.0.12.7").
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quol {

class VersionNumber {
 public:
  VersionNumber() = default;
  explicit VersionNumber(const std::string& text) { Read(text); }

  // scanf "%d.%d.%d.%d" after zeroing all parts; valid when at least one part
  // was read, and only then is the text kept.
  void Read(const std::string& text);
  void Clear();

  bool valid() const { return valid_; }
  int count() const { return count_; }
  std::uint32_t part(int i) const { return parts_[static_cast<std::size_t>(i)]; }
  // The kept text; empty when not valid.
  const std::string& text() const { return text_; }

  // -1, 0 or 1 at the first differing part among the first n parts, n being
  // the larger of the two counts capped by `limit`. Parts compare unsigned.
  int Compare(const VersionNumber& other, int limit = 4) const;

 private:
  std::array<std::uint32_t, 4> parts_{};
  bool valid_ = false;
  int count_ = 0;
  std::string text_;
};

}  // namespace quol
