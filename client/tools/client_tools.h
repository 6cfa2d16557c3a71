// The frame's tools menu (about, check for updates, feedback, the hidden
// Advanced submenu) and the update notifications: the update timer, the
// outcome of a check shown as boxes and message bars, and starting an
// upgrade. GTK main thread only.
#pragma once

#include <cstdint>
#include <memory>

#include <gtk/gtk.h>

#include "client/frame/frame_host.h"

namespace quol {
class UpdateChecker;
}

namespace quol::client {

class CUpdateNotifier {
 public:
  // `frame` and `checker` outlive the notifier. `installation_folder` holds
  // Updater.
  static std::unique_ptr<CUpdateNotifier> Create(IFrameHost& frame, UpdateChecker& checker,
                                                 const std::string& installation_folder);
  virtual ~CUpdateNotifier() = default;
  // Binds the checker to the frame (CheckForReadyUpgrade); once, after the
  // frame exists.
  virtual void Attach() = 0;
  // Arms the update timer for the checker's next due time (now when `force`,
  // which also marks the check as asked for by the user). One timer at most.
  virtual void ScheduleUpdateCheck(bool force) = 0;
  // The frame's handler of kUpdateResultMessage.
  virtual void OnUpdateResult(std::uint16_t result, std::uint16_t flag) = 0;
  // The user agreed to install: hands the package to Updater and closes the
  // frame; refused when started from the screen saver.
  virtual void StartUpgrade() = 0;
};

// Puts the tools items into the frame's window menu (above "Close"), with
// "Advanced" first when `advanced` (left Shift and left Ctrl held at start).
// `menu` is the frame's window menu.
void AddToolsMenuItems(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates,
                       bool advanced);

}  // namespace quol::client
