// What the screen saver asks of the update checker and the settings window,
// behind small interfaces, so the frame can be tested without either.
#pragma once

#include <functional>

namespace quol::saver {

class IUpdateStatus {
 public:
  virtual ~IUpdateStatus() = default;
  // The saver's main window exists; `post` queues a task on its window
  // thread. Looks for an upgrade already downloaded, before the slide show
  // asks the two questions below.
  virtual void MainWindowCreated(std::function<void(std::function<void()>)> post) = 0;
  // Seconds until the next check is due; 0 starts a check in the background.
  virtual int SecondsUntilCheck() = 0;
  virtual void StartBackgroundCheck() = 0;
  virtual bool UpgradeAvailable() = 0;
  virtual bool RequiredUpgrade() = 0;
};

// No update checker: never due, no upgrade.
class NoUpdates : public IUpdateStatus {
 public:
  void MainWindowCreated(std::function<void(std::function<void()>)>) override {}
  int SecondsUntilCheck() override { return 1 << 30; }
  void StartBackgroundCheck() override {}
  bool UpgradeAvailable() override { return false; }
  bool RequiredUpgrade() override { return false; }
};

class ISettingsWindow {
 public:
  virtual ~ISettingsWindow() = default;
  // Runs the settings pages in `mode` over `parent` (0: none); the result is
  // the program's exit code in settings modes.
  virtual int Run(int mode, unsigned long parent) = 0;
};

}  // namespace quol::saver
