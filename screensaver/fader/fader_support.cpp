#include "screensaver/fader/fader_support.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace quol::saver {

int FadeTimeline::NextLevel(std::uint64_t now_ms) {
  int level = 0;
  if (state_ == State::kStarting) {
    state_ = State::kFading;
    end_ms_ = now_ms + kCrossFadeMs;
    level = 255;
  } else if (state_ == State::kFading && now_ms < end_ms_) {
    level = static_cast<int>((end_ms_ - now_ms) * 255 / kCrossFadeMs);
  }
  if (level == 0) state_ = State::kIdle;
  return level;
}

bool IsSoftwareRenderer(const char* renderer) {
  if (renderer == nullptr) return false;
  std::string lower(renderer);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* name : {"llvmpipe", "softpipe", "swrast"}) {
    if (lower.find(name) != std::string::npos) return true;
  }
  return false;
}

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
