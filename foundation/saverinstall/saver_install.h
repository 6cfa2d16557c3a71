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
// that cannot be read or changed are skipped (and counted).
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

// The modal dialog "Make the Quol Collage the screen saver for:" (GTK),
// centred on `owner` (an X window id; 0: none). Returns true after OK.
// Defined in the GTK part of the library.
bool RunSetScreensaverDialog(unsigned long owner);

}  // namespace quol
