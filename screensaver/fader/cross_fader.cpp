#include "screensaver/fader/cross_fader.h"

#include <cstdio>

#include "foundation/log/process_log.h"
#include "screensaver/fader/basic_fader.h"
#include "screensaver/fader/fader_support.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/fader/software_cross_fader.h"

namespace quol::saver {
namespace {

std::string HexCode(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(hr));
  return text;
}

std::string Hz(double hz) {
  char text[16];
  std::snprintf(text, sizeof text, "%.0f Hz", hz);
  return text;
}

FaderChoice Chosen(std::unique_ptr<ICrossFader> fader, std::string path) {
  LogInfo("Fader: %s", path.c_str());
  return FaderChoice{std::move(fader), std::move(path)};
}

}  // namespace

FaderChoice ChooseCrossFader(Display* display, Window window, int width, int height,
                             std::function<void()> wake) {
  auto gl = std::make_unique<GlCrossFader>(display, window, width, height);
  const HRESULT gl_result = gl->Initialize();
  std::string why;
  if (Succeeded(gl_result)) {
    why = "GL renderer " + gl->renderer();
    if (!IsSoftwareRenderer(gl->renderer().c_str())) {
      gl->SetWakeCallback(std::move(wake));
      const std::string pace = Hz(gl->pacer().refresh_hz());
      return Chosen(std::move(gl), "OpenGL cross-fade (" + why + ") at " + pace);
    }
  } else {
    why = "OpenGL unavailable, " + HexCode(gl_result);
    gl.reset();  // its context goes before another fader takes the window
  }

  auto software = std::make_unique<SoftwareCrossFader>(display, window, width, height);
  if (Succeeded(software->Initialize())) {
    gl.reset();
    software->SetWakeCallback(std::move(wake));
    std::string path = "software cross-fade (" + why + "), " + software->Describe();
    return Chosen(std::move(software), std::move(path));
  }
  software.reset();
  if (gl) {
    gl->SetWakeCallback(std::move(wake));
    return Chosen(std::move(gl), "OpenGL cross-fade (" + why + "; the window takes no images)");
  }

  LogInfo("Cross-fade: OpenGL unavailable (0x%x), pictures change without a fade",
          static_cast<unsigned>(gl_result));
  auto basic = std::make_unique<BasicFader>(display, window, width, height);
  basic->Initialize();
  return Chosen(std::move(basic), "cut without fade (" + why + "; the window takes no images)");
}

std::unique_ptr<ICrossFader> CreateCrossFader(Display* display, Window window, int width,
                                              int height, std::function<void()> wake) {
  return ChooseCrossFader(display, window, width, height, std::move(wake)).fader;
}

}  // namespace quol::saver
