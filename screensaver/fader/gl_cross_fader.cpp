#include "screensaver/fader/gl_cross_fader.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/x11/x_display.h"

namespace quol::saver {
namespace {

constexpr int kConfigAttributes[] = {
    GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT,
    GLX_RENDER_TYPE,   GLX_RGBA_BIT,
    GLX_X_VISUAL_TYPE, GLX_TRUE_COLOR,
    GLX_RED_SIZE,      8,
    GLX_GREEN_SIZE,    8,
    GLX_BLUE_SIZE,     8,
    GLX_DOUBLEBUFFER,  True,
    None,
};

struct XFreeDeleter {
  void operator()(void* p) const { XFree(p); }
};
template <typename T>
using XFreePtr = std::unique_ptr<T, XFreeDeleter>;

struct ConfigList {
  XFreePtr<GLXFBConfig> configs;
  int count = 0;
};

ConfigList ChooseConfigs(Display* display, int screen) {
  ConfigList list;
  list.configs.reset(glXChooseFBConfig(display, screen, kConfigAttributes, &list.count));
  if (!list.configs) list.count = 0;
  return list;
}

XFreePtr<XVisualInfo> VisualOf(Display* display, GLXFBConfig config) {
  return XFreePtr<XVisualInfo>(glXGetVisualFromFBConfig(display, config));
}

bool GlDisabledByEnvironment() {
  const char* value = std::getenv("QUOL_NO_GL");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

GLenum DrainGlErrors() {
  GLenum first = glGetError();
  if (first != GL_NO_ERROR) {
    // Each error flag is reported once; clear the others too.
    for (int i = 0; i < 8 && glGetError() != GL_NO_ERROR; ++i) {
    }
  }
  return first;
}

}  // namespace

// ---- GlWindowVisual ----

std::optional<GlWindowVisual> GlWindowVisual::Choose(Display* display, int screen) {
  ConfigList list = ChooseConfigs(display, screen);
  XFreePtr<XVisualInfo> chosen;
  for (int i = 0; i < list.count; ++i) {
    XFreePtr<XVisualInfo> info = VisualOf(display, list.configs.get()[i]);
    if (!info) continue;
    // A 32-bit (ARGB) visual would make the window see-through under a
    // compositor; take one only when nothing else fits.
    const bool better = !chosen || (chosen->depth != 24 && info->depth == 24);
    if (better) chosen = std::move(info);
    if (chosen->depth == 24) break;
  }
  if (!chosen) {
    LogError("GlWindowVisual: no GLX configuration for windows on screen %d", screen);
    return std::nullopt;
  }
  GlWindowVisual result;
  result.display_ = display;
  result.visual_ = chosen->visual;
  result.depth_ = chosen->depth;
  result.visual_id_ = chosen->visualid;
  result.colormap_ =
      XCreateColormap(display, RootWindow(display, screen), chosen->visual, AllocNone);
  return result;
}

GlWindowVisual::GlWindowVisual(GlWindowVisual&& other) noexcept
    : display_(std::exchange(other.display_, nullptr)),
      visual_(other.visual_),
      depth_(other.depth_),
      visual_id_(other.visual_id_),
      colormap_(std::exchange(other.colormap_, 0)) {}

GlWindowVisual& GlWindowVisual::operator=(GlWindowVisual&& other) noexcept {
  if (this != &other) {
    if (display_ != nullptr && colormap_ != 0) XFreeColormap(display_, colormap_);
    display_ = std::exchange(other.display_, nullptr);
    visual_ = other.visual_;
    depth_ = other.depth_;
    visual_id_ = other.visual_id_;
    colormap_ = std::exchange(other.colormap_, 0);
  }
  return *this;
}

GlWindowVisual::~GlWindowVisual() {
  if (display_ != nullptr && colormap_ != 0) XFreeColormap(display_, colormap_);
}

void GlWindowVisual::Apply(XSetWindowAttributes* attributes, unsigned long* mask) const {
  attributes->colormap = colormap_;
  attributes->border_pixel = 0;
  *mask |= CWColormap | CWBorderPixel;
}

Window GlWindowVisual::CreateWindow(Window parent, int x, int y, int width, int height,
                                    XSetWindowAttributes attributes, unsigned long mask) const {
  Apply(&attributes, &mask);
  return XCreateWindow(display_, parent, x, y, static_cast<unsigned>(width),
                       static_cast<unsigned>(height), 0, depth_, InputOutput, visual_, mask,
                       &attributes);
}

// ---- GlCrossFader ----

GlCrossFader::GlCrossFader(Display* display, Window window, int width, int height)
    : display_(display), window_(window), width_(width), height_(height) {
  pacer_.set_wait([display](std::uint64_t ms) { WaitForXInput(display, ms); });
}

GlCrossFader::~GlCrossFader() { Release(); }

void GlCrossFader::Release() {
  if (context_ == nullptr) return;
  // The window may be gone already (a foreign one, or destroyed first).
  XErrorTrap trap(display_);
  if (textures_[0] != 0 || textures_[1] != 0) {
    if (MakeCurrent() && !trap.HasError()) glDeleteTextures(2, textures_);
  }
  textures_[0] = textures_[1] = 0;
  if (glXGetCurrentContext() == context_) glXMakeContextCurrent(display_, None, None, nullptr);
  glXDestroyContext(display_, context_);
  context_ = nullptr;
  ready_ = false;
}

HRESULT GlCrossFader::Fail(HRESULT code, const char* step) {
  LogError("DirectXAlpha failed: 0x%x, %s", static_cast<unsigned>(code), step);
  return code;
}

bool GlCrossFader::MakeCurrent() {
  // One fader per monitor means one context per window: switch as needed.
  if (glXGetCurrentContext() == context_ && glXGetCurrentDrawable() == window_) return true;
  return glXMakeContextCurrent(display_, window_, window_, context_);
}

HRESULT GlCrossFader::Initialize() {
  if (ready_) return S_OK;
  Release();  // what an earlier, failed attempt left
  const HRESULT hr = SetUp();
  if (Failed(hr)) return hr;
  ready_ = true;
  return S_OK;
}

HRESULT GlCrossFader::SetUp() {
  if (GlDisabledByEnvironment()) return Fail(E_FAIL, "QUOL_NO_GL");

  // A configuration whose visual is the window's: anything else makes
  // glXMakeContextCurrent fail with BadMatch.
  GLXFBConfig config = nullptr;
  {
    XWindowAttributes attributes;
    XErrorTrap trap(display_);
    if (XGetWindowAttributes(display_, window_, &attributes) && !trap.HasError()) {
      const VisualID wanted = XVisualIDFromVisual(attributes.visual);
      const int screen = XScreenNumberOfScreen(attributes.screen);
      ConfigList list = ChooseConfigs(display_, screen);
      for (int i = 0; i < list.count && config == nullptr; ++i) {
        XFreePtr<XVisualInfo> info = VisualOf(display_, list.configs.get()[i]);
        if (info && info->visualid == wanted) config = list.configs.get()[i];
      }
    }
  }
  if (config == nullptr) return Fail(E_FAIL, "glXChooseFBConfig");

  {
    XErrorTrap trap(display_);
    context_ = glXCreateNewContext(display_, config, GLX_RGBA_TYPE, nullptr, True);
    if (trap.HasError() && context_ != nullptr) {
      glXDestroyContext(display_, context_);
      context_ = nullptr;
    }
  }
  if (context_ == nullptr) return Fail(E_FAIL, "glXCreateNewContext");

  {
    XErrorTrap trap(display_);
    const bool current = glXMakeContextCurrent(display_, window_, window_, context_);
    if (!current || trap.HasError()) return Fail(E_FAIL, "glXMakeContextCurrent");
  }

  DrainGlErrors();
  GLint max_texture_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_texture_size);
  const GLenum query_error = DrainGlErrors();
  texture_width_ = FadeTextureSize(width_, max_texture_size);
  texture_height_ = FadeTextureSize(height_, max_texture_size);
  if (query_error != GL_NO_ERROR || max_texture_size <= 0) {
    return Fail(query_error != GL_NO_ERROR ? HresultFromGlError(query_error) : E_FAIL,
                "glGetIntegerv(GL_MAX_TEXTURE_SIZE)");
  }
  // A screen larger than the largest texture shows the picture's top-left
  // part stretched over it; every GL since 2010 takes 8192 at least.
  u_ = static_cast<float>(std::min(width_, texture_width_)) / static_cast<float>(texture_width_);
  v_ = static_cast<float>(std::min(height_, texture_height_)) / static_cast<float>(texture_height_);

  glGenTextures(2, textures_);
  if (const GLenum error = DrainGlErrors(); error != GL_NO_ERROR || textures_[1] == 0) {
    return Fail(error != GL_NO_ERROR ? HresultFromGlError(error) : E_FAIL, "glGenTextures");
  }
  if (const HRESULT hr = AllocateTexture(textures_[0]); Failed(hr)) {
    return Fail(hr, "glTexImage2D(texture1)");
  }
  if (const HRESULT hr = AllocateTexture(textures_[1]); Failed(hr)) {
    return Fail(hr, "glTexImage2D(texture2)");
  }

  // State that never changes between frames.
  glViewport(0, 0, width_, height_);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, 1, 0, 1, -1, 1);  // the unit square fills the viewport
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_LIGHTING);
  glEnable(GL_TEXTURE_2D);
  glEnable(GL_BLEND);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glClearColor(0, 0, 0, 1);
  DrainGlErrors();

  const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
  renderer_ = renderer != nullptr ? renderer : "?";
  LogInfo("GL cross-fade: %s, %dx%d on textures %dx%d (max %d)", renderer_.c_str(), width_,
          height_, texture_width_, texture_height_, max_texture_size);
  LogSwapControl();
  pacer_.set_refresh_hz(DisplayRefreshHz(display_, window_));
  return S_OK;
}

HRESULT GlCrossFader::AllocateTexture(GLuint texture) {
  glBindTexture(GL_TEXTURE_2D, texture);
  // The picture maps 1:1 onto the window's pixels.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, texture_width_, texture_height_, 0, GL_BGRA,
               GL_UNSIGNED_INT_8_8_8_8_REV, nullptr);
  return HresultFromGlError(DrainGlErrors());
}

void GlCrossFader::LogSwapControl() {
  // Xvfb has no vertical blank, and asking Mesa there for the swap interval
  // without the extension crashes: only ask when it is advertised.
  const char* extensions = glXQueryExtensionsString(display_, DefaultScreen(display_));
  if (!ExtensionListHas(extensions, "GLX_EXT_swap_control")) {
    LogInfo("GL cross-fade: no GLX_EXT_swap_control, frames paced by the clock only");
    return;
  }
  unsigned int interval = 0;
  glXQueryDrawable(display_, window_, GLX_SWAP_INTERVAL_EXT, &interval);
  LogInfo("GL cross-fade: swap interval %u", interval);
}

HRESULT GlCrossFader::Upload(GLuint texture, cairo_surface_t* flat) {
  const int stride = cairo_image_surface_get_stride(flat);
  const int w = std::min(width_, texture_width_);
  const int h = std::min(height_, texture_height_);
  DrainGlErrors();
  glBindTexture(GL_TEXTURE_2D, texture);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, stride / 4);
  // Cairo's ARGB32 is a native 0xAARRGGBB word, which is what BGRA with
  // 8_8_8_8_REV reads. Rows go in top-down: texture row 0 is the picture's
  // top, and the quad maps t = 0 to the top of the window.
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                  cairo_image_surface_get_data(flat));
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  return HresultFromGlError(DrainGlErrors());
}

void GlCrossFader::SetPicture(cairo_surface_t* picture) {
  current_ = FlattenOntoBlack(picture, width_, height_);
}

void GlCrossFader::FadeTo(cairo_surface_t* picture) {
  SurfacePtr next = FlattenOntoBlack(picture, width_, height_);
  if (!current_) current_ = FlattenOntoBlack(nullptr, width_, height_);
  if (ready_ && next && current_ && MakeCurrent()) {
    // During a fade this jumps to the picture last handed over: the fade
    // restarts from there.
    if (const HRESULT hr = Upload(textures_[0], current_.get()); Failed(hr)) {
      static_cast<void>(Fail(hr, "upload texture1"));
    }
    if (const HRESULT hr = Upload(textures_[1], next.get()); Failed(hr)) {
      static_cast<void>(Fail(hr, "upload texture2"));
    }
  }
  current_ = std::move(next);
  timeline_.Start();
  if (wake_) wake_();
}

bool GlCrossFader::Step() {
  if (!timeline_.running()) return false;
  if (!ready_) {
    timeline_.Stop();
    return false;
  }
  // Too early for the display to show another frame: the loop gets its
  // events handled meanwhile and calls again.
  if (!pacer_.NextFrame()) return true;
  const int level = timeline_.NextLevel(platform::TickMs());
  if (Render(level)) {
    ++frames_drawn_;
    last_level_ = level;
  } else {
    timeline_.Stop();
  }
  return timeline_.running();
}

void GlCrossFader::Repaint() {
  // During a fade the next frame comes soon anyway.
  if (!ready_ || frames_drawn_ == 0 || timeline_.running()) return;
  static_cast<void>(Render(last_level_));
}

void GlCrossFader::DrawQuad() const {
  glBegin(GL_TRIANGLE_STRIP);
  glTexCoord2f(0, v_);
  glVertex3f(0, 0, 0);
  glTexCoord2f(u_, v_);
  glVertex3f(1, 0, 0);
  glTexCoord2f(0, 0);
  glVertex3f(0, 1, 0);
  glTexCoord2f(u_, 0);
  glVertex3f(1, 1, 0);
  glEnd();
}

bool GlCrossFader::Render(int level) {
  if (!MakeCurrent()) {
    LogError("DirectX::RenderBlend failed: %x", static_cast<unsigned>(E_FAIL));
    return false;
  }
  DrainGlErrors();
  const float alpha = static_cast<float>(level) / 255.0f;
  glClear(GL_COLOR_BUFFER_BIT);
  glColor4f(1, 1, 1, alpha);
  // frame = old * a + new * (1 - a)
  glBindTexture(GL_TEXTURE_2D, textures_[0]);
  glBlendFunc(GL_SRC_ALPHA, GL_ZERO);
  DrawQuad();
  glBindTexture(GL_TEXTURE_2D, textures_[1]);
  glBlendFunc(GL_ONE_MINUS_SRC_ALPHA, GL_ONE);
  DrawQuad();
  glXSwapBuffers(display_, window_);
  if (const GLenum error = DrainGlErrors(); error != GL_NO_ERROR) {
    LogError("DirectX::RenderBlend failed: %x", error);
    return false;
  }
  return true;
}

}  // namespace quol::saver
