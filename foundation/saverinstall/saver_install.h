// Making the collage the screen saver of one user, of everyone on the
// computer, or of nobody, on xscreensaver.
//
// A profile's active saver, on/off flag and backup map onto that user's
// ~/.xscreensaver: the active saver is the program of programs[selected]
// when `mode: one`, "on" is any mode but `off`. Turning ours on adds our
// entry when missing, selects it and sets `mode: one`; every other line of
// the user's file stays as it was. What was there before is kept in that
// user's registry hive under "Control Panel\Desktop" (never in the file,
// which the desktop's own settings dialog rewrites), so turning off brings
// the user's file back byte for byte.
//
// Profiles are the local user accounts (uid between UID_MIN and UID_MAX of
// /etc/login.defs, a login shell, an existing home owned by them); the
// current user is the empty profile name. Changing another user's file
// needs root; it is done in a child that has dropped to that user. Profiles
// that cannot be read or changed are skipped (logged and counted).
//
// The backup values, under "Control Panel\Desktop" of the user's hive:
// "SCRNSAVE.EXE.OLD" (the command of the entry that was selected, or "";
// its presence marks a backup), "QuolPreviousMode", "QuolPreviousSelected"
// (the raw values; absent when the file had no such line), "QuolAddedEntry"
// ("entry", "programs" or ""), "QuolAddedTimeout", "QuolCreatedFile" and
// "QuolAddedAutostart" ("1" or "0"). Turning on when ours is already active
// keeps the first backup; turning off without one sets `mode: off`.
//
// As root, "everyone" and "nobody" also cover /etc/skel (the backup then
// lives in the machine hive), so accounts made later follow the choice.
// Turning on also writes ~/.config/autostart/xscreensaver.desktop when the
// user has none, since Debian does not start the daemon at login.
//
// Test seams: QUOL_PROFILES_DIR (every sub-folder is a profile of that
// name, its home that folder, its owner the folder's owner, its hive
// Users/NAME.reg under QUOL_REGISTRY_DIR) and QUOL_SKEL_DIR.
//
// Threads: the user interface thread; nothing here is thread-safe.
#pragma once

#include <string>

#include "platform/common/hresult.h"

namespace quol {

enum ScreenSaverChoice : int {
  kSaverForEveryone = 1,
  kSaverJustMe = 2,
  kSaverForNobody = 3,
  kSaverMixed = 4,  // read only: other profiles use it, the current user does not
};

// The path written as the active saver: the "ScreenSaver" text of
// "Software\Quol\Quol Vevuvov" in the machine hive (at most 260
// characters), else the installed hack's path.
std::string ScreenSaverPath();

// The profile's active saver program ("" for none or an unreadable profile).
std::string GetUserScreenSaver(const std::string& profile);
// Turns ours on (`new_path` not empty) or off (empty) for one profile.
[[nodiscard]] HRESULT SetUserScreenSaver(const std::string& profile, const std::string& new_path);
// SetUserScreenSaver for every profile in enumeration order; the number of
// profiles that could not be changed goes to `skipped` when given.
void SetScreenSaverForAllUsers(const std::string& new_path, int* skipped = nullptr);

void ApplyScreenSaverChoice(int choice, int* skipped = nullptr);
int GetScreenSaverChoice();

// The saver program's command-line flag for the elevated run:
// `<saver> --apply-choice N`, N one of 1, 2, 3.
inline constexpr char kApplyChoiceFlag[] = "--apply-choice";
inline constexpr int kApplyChoiceMaxSkipped = 63;
inline constexpr int kApplyChoiceBadUsage = 64;
// The work of `--apply-choice N`: ApplyScreenSaverChoice(N). Returns the
// exit status: the number of profiles not changed (at most 63), or 64 for a
// choice that is not 1, 2 or 3. Takes nothing from the environment but the
// registry and profile places, so it is safe under pkexec.
int ApplyChoiceCommand(int choice);

// Applies `choice` with the rights it needs: directly when running as root
// or when pkexec is not installed, else through
// `pkexec <ScreenSaverPath()> --apply-choice N` (for "just me", "nobody" is
// run elevated and ours is then set for the current user here). Waits for
// it. Returns the number of profiles not changed, or -1 when the elevated
// run did not happen (refused, cancelled, not started).
int RunElevatedChoice(int choice);

// The modal dialog "Make the Quol Collage the screen saver for:" (GTK),
// centred on `owner` (an X window id; 0: none). Returns true after OK.
// Defined in quol_saverinstall_gtk; needs a display (false without one).
bool RunSetScreensaverDialog(unsigned long owner);

}  // namespace quol
