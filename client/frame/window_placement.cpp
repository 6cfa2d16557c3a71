#include "client/frame/window_placement.h"

#include <string>

#include "client/frame/frame_host.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/log/process_log.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace quol::client {

void WindowPlacement::Load() {
  platform::RegistryKey key;
  valid_ = false;
  dirty_ = false;
  launch_mode_ = kLaunchNormal;
  if (Failed(key.Open(platform::RegistryHive::kCurrentUser, kProductRegistryKey))) return;
  std::uint32_t top = 0, left = 0, right = 0, bottom = 0, state = 0;
  valid_ = Succeeded(key.ReadDword("Top", &top)) && Succeeded(key.ReadDword("Left", &left)) &&
           Succeeded(key.ReadDword("Right", &right)) &&
           Succeeded(key.ReadDword("Bottom", &bottom)) && Succeeded(key.ReadDword("State", &state));
  if (valid_) {
    rect_ = {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
             static_cast<std::int32_t>(right), static_cast<std::int32_t>(bottom)};
    state_ = state;
  }
  std::string run_once;
  if (Succeeded(key.ReadString("RunOnce", &run_once))) {
    dirty_ = true;
    // Counted in characters as the installer wrote them, within the buffer
    // the value is read into (the terminator takes the last place).
    std::size_t length = platform::Utf8ToUtf16(run_once).size();
    if (length > kRunOnceBufferChars - 1) length = kRunOnceBufferChars - 1;
    launch_mode_ = length <= static_cast<std::size_t>(kRunOnceFirstTimeMaxLength)
                       ? kLaunchFirstTime
                       : kLaunchPostUpgrade;
  }
  loaded_ = true;
}

HRESULT WindowPlacement::Save(const FrameRect& rect, std::uint32_t show) {
  if (show != kShowRestore && show != kShowMaximize) show = kShowRestore;
  if (!dirty_ && state_ == show) {
    dirty_ = !(rect_ == rect);
  } else {
    dirty_ = true;
  }
  rect_ = rect;
  state_ = show;
  if (!dirty_) return S_FALSE;
  platform::RegistryKey key;
  HRESULT hr = key.Create(platform::RegistryHive::kCurrentUser, kProductRegistryKey);
  if (Failed(hr)) {
    LogError("Window placement not saved: %x", static_cast<unsigned>(hr));
    return hr;
  }
  const std::pair<const char*, std::uint32_t> values[] = {
      {"Top", static_cast<std::uint32_t>(rect.top)},
      {"Left", static_cast<std::uint32_t>(rect.left)},
      {"Right", static_cast<std::uint32_t>(rect.right)},
      {"Bottom", static_cast<std::uint32_t>(rect.bottom)},
      {"State", show}};
  for (const auto& [name, value] : values) {
    const HRESULT write = key.WriteDword(name, value);
    if (Failed(write)) hr = write;
  }
  if (launch_mode_ != kLaunchNormal) {
    const HRESULT removed = key.DeleteValue("RunOnce");
    if (Failed(removed) && removed != E_NOT_FOUND) hr = removed;
  }
  dirty_ = false;
  return hr;
}

}  // namespace quol::client
