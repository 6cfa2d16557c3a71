// The program's own pictures and the partner's replacements for them.
//
// The program's resources are one GResource bundle compiled into the
// screen saver (built from resources/ at the top of the tree) under
// "/quol/resources/<name>", names without extension: CollageLogo_left,
// CollageLogo_right (124 x 88), CollageNoImagesLogo (369 x 187),
// PreviewWindow1, PreviewWindow2 (152 x 112) and PrivateFont.
#pragma once

#include <string>
#include <string_view>

#include "screensaver/common/cairo_ptr.h"

namespace quol {
class CCobrandableModule;
}

namespace quol::saver {

// Registers the program's bundle with the process (g_resources_*), once;
// any thread may call it any number of times. Nothing of the bundle can be
// found before the first call.
void EnsureSaverResourcesRegistered();

// Fewer bytes than this are not a picture.
inline constexpr std::size_t kMinPngResourceBytes = 42;

// The PNG resource `name` as an image surface (ARGB32 when the picture has
// alpha), or null when absent. With `partner_first` and a module, the
// partner's bundle is asked first and then the program's own (the module's
// LoadResource); otherwise only the program's own bundle. A resource shorter
// than kMinPngResourceBytes, or one that does not decode, counts as absent.
SurfacePtr LoadPngResource(const CCobrandableModule* module, const std::string& name,
                           bool partner_first);

// Decodes PNG bytes; null when too short or not a PNG.
SurfacePtr DecodePng(std::string_view bytes);

}  // namespace quol::saver
