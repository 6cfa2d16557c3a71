// How long the user has left the computer alone: the X screen-saver
// extension's idle time. X11 by nature, so it lives in its own library
// (quol_platform_x11) and the rest of platform/ stays free of X.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

namespace quol::platform {

// Milliseconds since the last keyboard or pointer input on `display`'s
// default screen. False when the server cannot tell (no screen-saver
// extension, or the query fails); `*idle_ms` is then left alone.
// Call on the thread that owns `display`.
[[nodiscard]] bool IdleMilliseconds(Display* display, std::uint64_t* idle_ms);

}  // namespace quol::platform
