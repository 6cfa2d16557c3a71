// The client's resource bundle, its private font and its start-up sound.
#include <fontconfig/fontconfig.h>
#include <gio/gio.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "client/windows/client_windows.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/log/process_log.h"

extern "C" GResource* quol_client_windows_get_resource(void);
extern "C" void quol_client_windows_register_resource(void);

namespace quol::client {
namespace {

constexpr char kFontResource[] = "105";
// No sound of ours comes near this; a partner bundle's larger one is not played.
constexpr std::size_t kMaxSoundBytes = 4u << 20;
constexpr char kSoundPlayerVariable[] = "QUOL_SOUND_PLAYER";

// Copies `bytes` into an anonymous in-memory file; -1 on failure. Fonts and
// sounds are handed on by descriptor, so nothing is ever written to disk.
int MemoryFile(const char* name, const std::string& bytes) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// The sound player: the override, or the first desktop player installed.
std::string FindSoundPlayer(bool* disabled) {
  *disabled = false;
  if (const char* chosen = std::getenv(kSoundPlayerVariable)) {
    if (*chosen == '\0') *disabled = true;
    return chosen;
  }
  for (const char* name : {"canberra-gtk-play", "paplay", "aplay"}) {
    if (gchar* path = g_find_program_in_path(name)) {
      std::string found = path;
      g_free(path);
      return found;
    }
  }
  return {};
}

constexpr guint kPlayerTimeLimitSeconds = 10;

void OnPlayerEnded(GObject* source, GAsyncResult* result, gpointer) {
  g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
  g_object_unref(source);
}

}  // namespace

void EnsureClientResourcesRegistered() {
  static std::once_flag once;
  std::call_once(once, [] { quol_client_windows_register_resource(); });
}

bool LoadClientResource(const std::string& name, std::string* bytes) {
  EnsureClientResourcesRegistered();
  return CCobrandableModule::Instance().LoadResource(name, bytes);
}

bool RegisterClientPrivateFont() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    EnsureClientResourcesRegistered();
    std::string bytes;
    if (!CCobrandableModule::LoadOwnResource(kFontResource, &bytes) || bytes.empty()) {
      LogError("The private font is missing from the resources.");
      return;
    }
    // The descriptor stays open for the life of the process: fontconfig and
    // FreeType open the font by this name whenever they need it.
    const int fd = MemoryFile("quol-client-font", bytes);
    if (fd < 0) {
      LogError("Could not hold the private font, %d", errno);
      return;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (FcConfigAppFontAddFile(FcConfigGetCurrent(), reinterpret_cast<const FcChar8*>(path.c_str())) ==
        FcFalse) {
      LogError("fontconfig refused the private font.");
      close(fd);
      return;
    }
    // The file declares its own family; a rule maps requests for "Futura Bk
    // BT" onto it and pins the match to this file, so an installed copy of
    // the same family never wins over the bundled one.
    int count = 0;
    FcPattern* query =
        FcFreeTypeQuery(reinterpret_cast<const FcChar8*>(path.c_str()), 0, nullptr, &count);
    FcChar8* family = nullptr;
    std::string family_name;
    if (query != nullptr && FcPatternGetString(query, FC_FAMILY, 0, &family) == FcResultMatch) {
      family_name = reinterpret_cast<const char*>(family);
    }
    if (query != nullptr) FcPatternDestroy(query);
    const std::string rules =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
        "<fontconfig><match target=\"pattern\">"
        "<test name=\"family\" qual=\"any\"><string>Futura Bk BT</string></test>"
        "<edit name=\"family\" mode=\"prepend\" binding=\"same\"><string>" +
        family_name +
        "</string></edit>"
        "<edit name=\"file\" mode=\"assign\" binding=\"strong\"><string>" +
        path + "</string></edit></match></fontconfig>\n";
    // A family name with markup in it would break the rule; ours has none.
    if (family_name.empty() || family_name.find_first_of("<&>") != std::string::npos ||
        FcConfigParseAndLoadFromMemory(FcConfigGetCurrent(),
                                       reinterpret_cast<const FcChar8*>(rules.c_str()),
                                       FcTrue) == FcFalse) {
      LogError("fontconfig refused the private font's alias.");
      return;
    }
    PangoFontMap* map = pango_cairo_font_map_get_default();
    if (PANGO_IS_FC_FONT_MAP(map)) pango_fc_font_map_config_changed(PANGO_FC_FONT_MAP(map));
    registered = true;
  });
  return registered;
}

bool PlayResourceSound(int sound_id) {
  std::string bytes;
  if (!LoadClientResource(std::to_string(sound_id), &bytes) || bytes.empty() ||
      bytes.size() > kMaxSoundBytes) {
    return false;
  }
  bool disabled = false;
  const std::string player = FindSoundPlayer(&disabled);
  if (disabled || player.empty()) return false;
  const int fd = MemoryFile("quol-sound", bytes);
  if (fd < 0) return false;
  // The player reads the sound from descriptor 3, its own copy of ours.
  GSubprocessLauncher* launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  g_subprocess_launcher_take_fd(launcher, fd, 3);
  const bool canberra = player.size() >= 17 &&
                        player.compare(player.size() - 17, 17, "canberra-gtk-play") == 0;
  GError* error = nullptr;
  GSubprocess* process =
      canberra ? g_subprocess_launcher_spawn(launcher, &error, player.c_str(), "-f", "/dev/fd/3",
                                             nullptr)
               : g_subprocess_launcher_spawn(launcher, &error, player.c_str(), "/dev/fd/3", nullptr);
  g_object_unref(launcher);
  if (process == nullptr) {
    if (error != nullptr) g_error_free(error);
    return false;
  }
  // Reaped when it ends; nobody waits for it. A player that hangs (a stuck
  // sound server) is ended after a few seconds: the chime is shorter.
  g_subprocess_wait_async(process, nullptr, &OnPlayerEnded, nullptr);
  g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, kPlayerTimeLimitSeconds,
                             [](gpointer data) -> gboolean {
                               g_subprocess_force_exit(G_SUBPROCESS(data));
                               return G_SOURCE_REMOVE;
                             },
                             g_object_ref(process), g_object_unref);
  return true;
}

}  // namespace quol::client
