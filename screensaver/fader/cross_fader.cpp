#include "screensaver/fader/cross_fader.h"

#include "foundation/log/process_log.h"
#include "screensaver/fader/basic_fader.h"
#include "screensaver/fader/gl_cross_fader.h"

namespace quol::saver {

std::unique_ptr<ICrossFader> CreateCrossFader(Display* display, Window window, int width,
                                              int height, std::function<void()> wake) {
  auto gl = std::make_unique<GlCrossFader>(display, window, width, height);
  const HRESULT hr = gl->Initialize();
  if (Succeeded(hr)) {
    gl->SetWakeCallback(std::move(wake));
    return gl;
  }
  gl.reset();  // its context goes before the basic fader takes the window
  LogInfo("Cross-fade: OpenGL unavailable (0x%x), pictures change without a fade",
          static_cast<unsigned>(hr));
  auto basic = std::make_unique<BasicFader>(display, window, width, height);
  basic->Initialize();
  return basic;
}

}  // namespace quol::saver
