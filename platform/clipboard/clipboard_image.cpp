#include "platform/clipboard/clipboard.h"

namespace quol::platform {

bool IsValidClipboardImage(const ClipboardImage& image) {
  if (image.pixels == nullptr) return false;
  if (image.width <= 0 || image.height <= 0) return false;
  if (image.width > kMaxClipboardImageSide || image.height > kMaxClipboardImageSide) return false;
  return image.stride >= image.width * 4 && image.stride % 4 == 0;
}

}  // namespace quol::platform
