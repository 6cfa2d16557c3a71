// QuolDevuzez from process start to end: the mode, the per-session mutexes,
// the settings modes, the second start, and the client's start-up and
// clean-up around the main frame.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

#include "client/frame/main_frame.h"

namespace quol::client {

class CSplashWindow;

// What the program is built from beyond the frame: the other parts of the
// client (the program wires in the real ones).
struct ClientParts {
  std::function<FrameServices()> frame_services;
  // The splash (bitmap 5000, 2000 ms); `on_timeout` shows the frame.
  std::function<std::unique_ptr<CSplashWindow>(GtkWindow* frame, std::function<void()> on_timeout)>
      make_splash;
  // Runs before the settings are loaded in the modes that show pages.
  std::function<void()> register_resources;
};

// Whether `xid` names an existing window of the display GTK opened. Checked
// under an X error trap: an id that names nothing is no error of ours.
bool ParentWindowExists(unsigned long xid);

// The second start: sends the open request ("/n PATH": open it; otherwise
// come to the front) to the running client. Always ends with 0.
int RunSecondInstance(const std::string& argument_text, const std::vector<std::string>& args);

// The whole program; returns the exit code.
int RunQuolDevuzez(int argc, char** argv, const ClientParts& parts);

}  // namespace quol::client
