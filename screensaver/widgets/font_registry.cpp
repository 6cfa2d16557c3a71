#include "screensaver/widgets/font_registry.h"

#include <fontconfig/fontconfig.h>
#include <gio/gio.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "foundation/log/process_log.h"
#include "screensaver/widgets/pango_text.h"
#include "screensaver/widgets/png_resource.h"

namespace quol::saver {
namespace {

constexpr char kFontResource[] = "/quol/resources/PrivateFont";

struct BytesDeleter {
  void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
struct FcPatternDeleter {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

// What registration left behind. `file` is written once, inside the
// call_once below, and only read after `available` was seen true.
struct Registration {
  std::once_flag once;
  std::atomic<bool> available{false};
  // Bumped when fontconfig learnt the font; each thread's Pango font map
  // catches up once (see CatchUpThreadFontMap).
  std::atomic<unsigned> generation{0};
  std::string file;
};

Registration& State() {
  static Registration state;
  return state;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies the font into an anonymous in-memory file that fontconfig and
// FreeType can open by name (/proc/self/fd/N) for the life of the process;
// nothing is written to disk. Empty on failure.
std::string MaterialiseFont(GBytes* bytes) {
  const int fd = memfd_create("quol-private-font", MFD_CLOEXEC);
  if (fd < 0) {
    LogError("Private font: no in-memory file (errno %d)", errno);
    return {};
  }
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  if (data == nullptr || !WriteAll(fd, data, size)) {
    LogError("Private font: cannot write the in-memory file (errno %d)", errno);
    close(fd);
    return {};
  }
  return "/proc/self/fd/" + std::to_string(fd);  // fd stays open on purpose
}

std::string FamilyOfFile(const std::string& file) {
  int count = 0;
  std::unique_ptr<FcPattern, FcPatternDeleter> pattern(
      FcFreeTypeQuery(reinterpret_cast<const FcChar8*>(file.c_str()), 0, nullptr, &count));
  FcChar8* family = nullptr;
  if (!pattern || FcPatternGetString(pattern.get(), FC_FAMILY, 0, &family) != FcResultMatch) return {};
  return reinterpret_cast<const char*>(family);
}

// Adds the font to the process's fontconfig set, then a rule that turns a
// request for kPrivateFontFamily into the font's own family name and pins
// the match to this very file: fontconfig ranks the file name above every
// other property, so a copy of the same family installed on the system (or
// a closer weight of it) never wins over the bundled file.
bool AddToFontconfig(const std::string& file) {
  FcConfig* config = FcConfigGetCurrent();
  if (config == nullptr ||
      FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(file.c_str())) == FcFalse) {
    LogError("Private font: fontconfig refused the font file");
    return false;
  }
  const std::string family = FamilyOfFile(file);
  if (family.empty()) {
    LogError("Private font: the font file has no family name");
    return false;
  }
  const std::string rules =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
      "<fontconfig>\n"
      "  <match target=\"pattern\">\n"
      "    <test name=\"family\" qual=\"any\"><string>" + XmlEscape(kPrivateFontFamily) +
      "</string></test>\n"
      "    <edit name=\"family\" mode=\"prepend\" binding=\"same\"><string>" + XmlEscape(family) +
      "</string></edit>\n"
      "    <edit name=\"file\" mode=\"assign\" binding=\"strong\"><string>" + XmlEscape(file) +
      "</string></edit>\n"
      "  </match>\n"
      "</fontconfig>\n";
  if (FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(rules.c_str()),
                                     FcTrue) == FcFalse) {
    LogError("Private font: fontconfig refused the alias rule");
    return false;
  }
  LogInfo("Private font \"%s\" registered as \"%s\"", family.c_str(), kPrivateFontFamily);
  return true;
}

void Register(Registration& state) {
  EnsureSaverResourcesRegistered();
  std::unique_ptr<GBytes, BytesDeleter> bytes(
      g_resources_lookup_data(kFontResource, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr));
  if (!bytes || g_bytes_get_size(bytes.get()) == 0) {
    LogError("Private font missing from the resources; \"%s\" falls back to %s", kPrivateFontFamily,
             kSansSerifFamily);
    return;
  }
  std::string file = MaterialiseFont(bytes.get());
  if (file.empty() || !AddToFontconfig(file)) {
    LogError("\"%s\" falls back to %s", kPrivateFontFamily, kSansSerifFamily);
    return;
  }
  state.file = std::move(file);
  state.available.store(true);
  state.generation.fetch_add(1);
}

// Pango keeps one default font map per thread and caches fontconfig's font
// list in it. A map made before registration would not see the font, so
// every thread refreshes its own map once after each registration.
void CatchUpThreadFontMap() {
  thread_local unsigned seen = 0;
  const unsigned generation = State().generation.load();
  if (seen == generation) return;
  PangoFontMap* map = pango_cairo_font_map_get_default();
  if (PANGO_IS_FC_FONT_MAP(map)) pango_fc_font_map_config_changed(PANGO_FC_FONT_MAP(map));
  seen = generation;
}

}  // namespace

void RegisterPrivateFont() {
  Registration& state = State();
  std::call_once(state.once, [&state] { Register(state); });
}

bool PrivateFontAvailable() { return State().available.load(); }

std::string PrivateFontFile() { return PrivateFontAvailable() ? State().file : std::string(); }

FontHandle MakeFont(const char* family, double points) {
  const char* name = family != nullptr ? family : kSansSerifFamily;
  if (std::strcmp(name, kPrivateFontFamily) == 0) {
    RegisterPrivateFont();
    if (PrivateFontAvailable()) {
      CatchUpThreadFontMap();
    } else {
      name = kSansSerifFamily;  // registration has logged why
    }
  }
  FontHandle font(pango_font_description_new());
  pango_font_description_set_family(font.get(), name);
  pango_font_description_set_weight(font.get(), PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(font.get(), PANGO_STYLE_NORMAL);
  pango_font_description_set_absolute_size(font.get(), PointsToPixels(points) * PANGO_SCALE);
  return font;
}

double FontHeightPixels(const PangoFontDescription* font) {
  return FontMetricsFor(nullptr, font).height();
}

std::string FontFileOf(PangoFont* font) {
  if (font == nullptr || !PANGO_IS_FC_FONT(font)) return {};
  FcPattern* pattern = pango_fc_font_get_pattern(PANGO_FC_FONT(font));
  FcChar8* file = nullptr;
  if (pattern == nullptr || FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) return {};
  return reinterpret_cast<const char*>(file);
}

std::string ResolvedFontFile(const PangoFontDescription* font) {
  PangoFontMap* map = pango_cairo_font_map_get_default();
  std::unique_ptr<PangoContext, GObjectUnref> context(pango_font_map_create_context(map));
  std::unique_ptr<PangoFont, GObjectUnref> loaded(pango_font_map_load_font(map, context.get(), font));
  return FontFileOf(loaded.get());
}

}  // namespace quol::saver

// Pango keeps one font map per thread and fills fontconfig's caches from it;
// they live until the process ends, and the leak checker of the sanitizer
// builds cannot trace them back through Pango's per-thread storage. They are
// the libraries' caches, not leaks, so every program that draws text with
// these widgets tells the leak checker to ignore allocations made inside
// those two libraries. Cairo 1.16's X11 shared-memory upload also drops 32
// bytes per image it pushes (seen in the preview's fallback path); that is
// the library's own leak, so it is ignored the same way. Nothing calls these
// in builds without the checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libcairo.so\n";
}
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "print_suppressions=0";
}
