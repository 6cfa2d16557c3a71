#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/clipboard/clipboard.h"

namespace quol::platform {
namespace {

TEST(ClipboardImageTest, OnlyWellFormedPicturesAreAccepted) {
  const std::vector<std::uint8_t> pixels(64 * 64 * 4);
  struct Case {
    const char* name;
    const std::uint8_t* pixels;
    int width, height, stride;
    bool valid;
  };
  const Case cases[] = {
      {"tight rows", pixels.data(), 16, 16, 64, true},
      {"padded rows", pixels.data(), 15, 16, 64, true},
      {"largest side", pixels.data(), kMaxClipboardImageSide, 1, kMaxClipboardImageSide * 4, true},
      {"no pixels", nullptr, 16, 16, 64, false},
      {"zero width", pixels.data(), 0, 16, 64, false},
      {"negative height", pixels.data(), 16, -1, 64, false},
      {"rows overlap", pixels.data(), 16, 16, 60, false},
      {"unaligned rows", pixels.data(), 15, 16, 62, false},
      {"too wide", pixels.data(), kMaxClipboardImageSide + 1, 1, (kMaxClipboardImageSide + 1) * 4,
       false},
      {"too tall", pixels.data(), 1, kMaxClipboardImageSide + 1, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClipboardImage image;
    image.pixels = c.pixels;
    image.width = c.width;
    image.height = c.height;
    image.stride = c.stride;
    EXPECT_EQ(IsValidClipboardImage(image), c.valid);
  }
}

}  // namespace
}  // namespace quol::platform
