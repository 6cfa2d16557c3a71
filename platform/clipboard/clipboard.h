// The clipboard, for pictures. The Linux implementation hands the picture
// to GTK, which gives it to the desktop's clipboard manager so it stays
// available after the program ends. It lives in its own library
// (quol_platform_gtk) so that the rest of platform/ stays free of GTK.
#pragma once

#include <cstdint>
#include <memory>

namespace quol::platform {

// Pixels in Cairo's layout: 32 bits a pixel in native byte order, ARGB with
// premultiplied alpha (`has_alpha`) or XRGB with the top byte unused.
// Borrowed: the caller keeps the memory alive for the call.
struct ClipboardImage {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes from one row to the next
  bool has_alpha = true;
};

// Pictures larger than this on a side are refused: nothing the programs
// draw comes near it, and a clipboard manager would keep a copy.
inline constexpr int kMaxClipboardImageSide = 16384;

// Whether `image` describes pixels a clipboard can take: non-empty, within
// kMaxClipboardImageSide, rows at least width * 4 bytes apart and 4-aligned.
bool IsValidClipboardImage(const ClipboardImage& image);

class IClipboard {
 public:
  virtual ~IClipboard() = default;
  // Puts a copy of `image` on the clipboard. False when the image is not
  // valid or the clipboard cannot be reached. Call on the program's UI thread.
  virtual bool SetImage(const ClipboardImage& image) = 0;
};

// The desktop clipboard through GTK (initialised on first use; without a
// display it fails).
std::unique_ptr<IClipboard> MakeDesktopClipboard();

}  // namespace quol::platform
