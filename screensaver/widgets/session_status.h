// What kind of session the screen saver runs in. The debug panel shows it,
// and the notice strip and other parts use it to decide whether the user may
// be sent off to other programs (not while the screen is locked or the
// saver is password-protected, nor when running as root).
//
// Each answer comes from a provider; tests and later parts of the program
// replace providers with SetSessionProviders / ScopedSessionProviders.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quol::saver {

// The name of the desktop that takes input in a normal, unlocked session.
inline constexpr char kDefaultDesktopName[] = "Default";

struct SessionStatus {
  bool secure = false;        // the screen saver asks for a password
  bool local_system = false;  // running as root
  bool elevated = false;      // effective uid 0
  std::string desktop_name = kDefaultDesktopName;
  // Any desktop but "Default" (case-insensitive) means the screen is locked.
  bool locked() const;
};

// Unset members mean the default provider.
struct SessionProviders {
  std::function<bool()> secure;                       // ScreenSaverIsSecure
  std::function<bool()> local_system;                 // RunningAsRoot
  std::function<bool()> elevated;                     // RunningAsRoot
  std::function<std::string()> input_desktop_name;    // always "Default" for now
};

// Replaces the process's providers (all of them; unset ones mean default).
void SetSessionProviders(SessionProviders providers);

// Installs providers for a scope and puts the previous ones back after.
class ScopedSessionProviders {
 public:
  explicit ScopedSessionProviders(SessionProviders providers);
  ~ScopedSessionProviders();
  ScopedSessionProviders(const ScopedSessionProviders&) = delete;
  ScopedSessionProviders& operator=(const ScopedSessionProviders&) = delete;

 private:
  SessionProviders previous_;
};

// Asks every provider now.
SessionStatus ReadSessionStatus();

// Secure, locked or running as root.
bool IsRestrictedSession();

// The default providers.
//
// The screen saver is secure when the current user's
// "Control Panel\Desktop" value "ScreenSaverIsSecure" is a non-zero DWORD or
// the string "1", or when ~/.xscreensaver says "lock: True".
bool ScreenSaverIsSecure();
bool RunningAsRoot();

bool IsDefaultDesktopName(std::string_view name);

}  // namespace quol::saver
