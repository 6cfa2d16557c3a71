// The user's own folders and the pictures folders the screen saver shows.
// Everything is read from the environment (and the password database) on
// every call, so tests can point the folders at a temporary tree.
// Thread-safe: any thread may call.
#pragma once

#include <string>

namespace quol::platform {

// $HOME, else the account's home folder from the password database, without
// trailing slashes ("/" stays "/"). Empty when neither names one.
std::string HomeFolder();

// The user's pictures folder as the desktop's user-dirs lookup finds it:
// XDG_PICTURES_DIR from ${XDG_CONFIG_HOME:-~/.config}/user-dirs.dirs (the
// last assignment wins, "$HOME/..." and absolute values only), else
// ~/Pictures. Empty when it is set to the home folder itself (the user has
// switched it off) or no home folder is known.
std::string PicturesFolder();

// The pictures everyone on the computer can see: $QUOL_SHARED_PICTURES_DIR,
// else /usr/share/backgrounds.
std::string SharedPicturesFolder();

}  // namespace quol::platform
