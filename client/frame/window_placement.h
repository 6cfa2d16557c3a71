// Where the frame was and how it was shown, kept in the user's registry
// between runs, and the installer's "RunOnce" note that picks the launch
// mode of the next start.
//
// Key HKEY_CURRENT_USER "Software\Quol\Quol Vevuvov": "Left", "Top",
// "Right", "Bottom", "State" (REG_DWORD of exactly 4 bytes; anything else
// is a failed read) and "RunOnce" (REG_SZ). The record is valid only when
// all five numbers read. A "RunOnce" shorter than 31 characters means a
// first start, a longer one a start after an upgrade; it is deleted at the
// next close that writes the record.
#pragma once

#include <cstdint>

#include "platform/common/hresult.h"

namespace quol::client {

// Show states as stored.
inline constexpr std::uint32_t kShowRestore = 9;
inline constexpr std::uint32_t kShowMaximize = 3;
inline constexpr int kRunOnceFirstTimeMaxLength = 30;
// The installer's note is read into a buffer of this many characters.
inline constexpr int kRunOnceBufferChars = 100;

struct FrameRect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const FrameRect&) const = default;
  std::int32_t width() const { return right - left; }
  std::int32_t height() const { return bottom - top; }
};

class WindowPlacement {
 public:
  // Reads the record; a missing key or value leaves it invalid (the frame
  // then opens maximized at the default place) and the launch mode 0.
  void Load();
  // At close: `rect` and `show` are the normal rectangle and show state to
  // keep (a state other than 3 or 9 is kept as 9). Writes when something
  // changed or "RunOnce" was seen; a key that cannot be opened leaves the
  // record dirty. Returns what the write gave (S_FALSE: nothing to write).
  HRESULT Save(const FrameRect& rect, std::uint32_t show);

  bool loaded() const { return loaded_; }
  bool valid() const { return valid_; }
  bool dirty() const { return dirty_; }
  const FrameRect& rect() const { return rect_; }
  std::uint32_t state() const { return state_; }
  std::uint32_t launch_mode() const { return launch_mode_; }
  void set_launch_mode(std::uint32_t mode) { launch_mode_ = mode; }

 private:
  FrameRect rect_;
  std::uint32_t state_ = kShowMaximize;
  bool loaded_ = false;
  bool valid_ = false;
  bool dirty_ = false;
  std::uint32_t launch_mode_ = 0;
};

}  // namespace quol::client
