#include "screensaver/fader/fader_support.h"

namespace quol::saver {

int FadeTextureSize(int need, int max_texture_size) {
  constexpr int kSmallest = 512;
  constexpr int kLargest = 16384;
  for (int t = kSmallest; t < max_texture_size;) {
    if (t >= need) return t;
    t *= 2;
    if (t > kLargest) break;
  }
  return max_texture_size;
}

bool ExtensionListHas(const char* extensions, std::string_view name) {
  if (extensions == nullptr || name.empty()) return false;
  std::string_view list(extensions);
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(' ', start);
    if (end == std::string_view::npos) end = list.size();
    if (list.substr(start, end - start) == name) return true;
    start = end + 1;
  }
  return false;
}

HRESULT HresultFromGlError(unsigned int gl_error) {
  constexpr unsigned int kGlInvalidValue = 0x0501;
  constexpr unsigned int kGlOutOfMemory = 0x0505;
  switch (gl_error) {
    case 0: return S_OK;
    case kGlInvalidValue: return E_INVALIDARG;
    case kGlOutOfMemory: return E_OUTOFMEMORY;
    default: return E_FAIL;
  }
}

SurfacePtr FlattenOntoBlack(cairo_surface_t* picture, int width, int height) {
  SurfacePtr flat = MakeArgbSurface(width, height);
  if (!flat) return nullptr;
  ContextPtr cr = MakeContext(flat.get());
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgb(cr.get(), 0, 0, 0);
  cairo_paint(cr.get());
  if (picture != nullptr) {
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_OVER);
    cairo_set_source_surface(cr.get(), picture, 0, 0);
    cairo_paint(cr.get());
  }
  cairo_surface_flush(flat.get());
  return flat;
}

}  // namespace quol::saver
