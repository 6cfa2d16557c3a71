#include "screensaver/widgets/session_status.h"

#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <sstream>
#include <utility>

#include "platform/folders/folders.h"
#include "platform/fs/files.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace quol::saver {
namespace {

std::mutex g_mutex;
SessionProviders& Providers() {
  static SessionProviders providers;
  return providers;
}

bool RegistrySaysSecure() {
  platform::RegistryKey key;
  if (Failed(key.Open(platform::RegistryHive::kCurrentUser, "Control Panel\\Desktop"))) return false;
  std::uint32_t number = 0;
  if (Succeeded(key.ReadDword("ScreenSaverIsSecure", &number))) return number != 0;
  std::string text;
  return Succeeded(key.ReadString("ScreenSaverIsSecure", &text)) && text == "1";
}

// xscreensaver keeps its settings as "name: value" lines.
bool XScreensaverLocks() {
  const std::string home = platform::HomeFolder();
  if (home.empty()) return false;
  // Regular files only (a FIFO there never blocks), and bounded: a
  // settings file of the daemon's is a few kilobytes.
  std::string content;
  if (Failed(platform::ReadWholeFile(home + "/.xscreensaver", &content, 1u << 20))) return false;
  std::istringstream file(content);
  std::string line;
  while (std::getline(file, line)) {
    std::string_view text = platform::TrimWhitespace(line);
    if (text.substr(0, 5) != "lock:") continue;
    return platform::EqualsIgnoreCase(platform::TrimWhitespace(text.substr(5)), "True");
  }
  return false;
}

}  // namespace

bool SessionStatus::locked() const { return !IsDefaultDesktopName(desktop_name); }

bool IsDefaultDesktopName(std::string_view name) {
  return platform::EqualsIgnoreCase(name, kDefaultDesktopName);
}

bool ScreenSaverIsSecure() { return RegistrySaysSecure() || XScreensaverLocks(); }

bool RunningAsRoot() { return geteuid() == 0; }

void SetSessionProviders(SessionProviders providers) {
  std::lock_guard lock(g_mutex);
  Providers() = std::move(providers);
}

ScopedSessionProviders::ScopedSessionProviders(SessionProviders providers) {
  std::lock_guard lock(g_mutex);
  previous_ = std::exchange(Providers(), std::move(providers));
}

ScopedSessionProviders::~ScopedSessionProviders() { SetSessionProviders(std::move(previous_)); }

SessionStatus ReadSessionStatus() {
  SessionProviders p;
  {
    std::lock_guard lock(g_mutex);
    p = Providers();
  }
  SessionStatus status;
  status.secure = p.secure ? p.secure() : ScreenSaverIsSecure();
  status.local_system = p.local_system ? p.local_system() : RunningAsRoot();
  status.elevated = p.elevated ? p.elevated() : RunningAsRoot();
  // Until the lock screen can be told apart, input always goes to the
  // default desktop.
  status.desktop_name = p.input_desktop_name ? p.input_desktop_name() : std::string(kDefaultDesktopName);
  return status;
}

bool IsRestrictedSession() {
  const SessionStatus status = ReadSessionStatus();
  return status.secure || status.locked() || status.local_system;
}

}  // namespace quol::saver
