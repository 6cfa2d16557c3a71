// ShowSettings with the process's own services: the one place the sheet
// meets the screen-saver installation.
#include "foundation/log/process_log.h"
#include "foundation/saverinstall/saver_install.h"
#include "foundation/wizard/settings_sheet.h"

namespace quol {

bool ShowSettings(unsigned long owner, int mode, const ShowSettingsOptions& options) {
  if (!gtk_init_check(nullptr, nullptr)) {
    LogError("Settings mode %d: no display for the settings window", mode);
    return false;
  }
  if (mode == 3) return RunSetScreensaverDialog(owner);
  wizard::SheetServices services = wizard::ProcessSheetServices();
  services.get_saver_choice = [] { return GetScreenSaverChoice(); };
  // With the rights other accounts need (pkexec), as the set-screen-saver
  // dialog applies it.
  services.apply_saver_choice = [](int choice) {
    const int skipped = RunElevatedChoice(choice);
    if (skipped != 0) LogInfo("Screen saver choice %d: %d accounts not changed", choice, skipped);
  };
  services.from_running_saver = options.from_running_saver;
  wizard::CSettingsPropertySheet sheet(mode, std::move(services));
  sheet.Create(owner);
  return sheet.RunModal();
}

}  // namespace quol
