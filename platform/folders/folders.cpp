#include "platform/folders/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/common/hresult.h"
#include "platform/fs/files.h"

namespace quol::platform {
namespace {

constexpr char kDefaultSharedPictures[] = "/usr/share/backgrounds";
// user-dirs.dirs holds a dozen short lines; anything past this is not one.
constexpr std::size_t kMaxUserDirsBytes = 64 * 1024;
constexpr std::size_t kMaxPasswdBuffer = std::size_t{1} << 20;

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The account's home folder; getpwuid_r because the photo builder asks
// from its own thread.
std::string AccountHome() {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  for (;;) {
    passwd entry{};
    passwd* result = nullptr;
    const int err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result);
    if (err == ERANGE && buffer.size() < kMaxPasswdBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (err != 0 || result == nullptr || result->pw_dir == nullptr) return {};
    return result->pw_dir;
  }
}

// The value of XDG_PICTURES_DIR in a user-dirs.dirs file, with $HOME
// expanded; empty when the file does not set it in a usable form.
std::string PicturesFolderFromUserDirs(const std::string& file, const std::string& home) {
  // Regular files only (a FIFO there never blocks), and bounded.
  std::string content;
  if (Failed(ReadWholeFile(file, &content, kMaxUserDirsBytes))) return {};
  std::string result;
  constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    std::string_view text = line;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (!text.starts_with(kKey)) continue;
    text.remove_prefix(kKey.size());
    if (text.size() < 2 || text.front() != '"') continue;
    const std::size_t close = text.find('"', 1);
    if (close == std::string_view::npos) continue;
    const std::string_view value = text.substr(1, close - 1);
    if (value.starts_with("$HOME")) {
      const std::string_view rest = value.substr(5);
      if (!rest.empty() && rest.front() != '/') continue;
      result = home + std::string(rest);
    } else if (value.starts_with("/")) {
      result = std::string(value);
    }
  }
  return result;
}

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return StripTrailingSlashes(home);
  return StripTrailingSlashes(AccountHome());
}

std::string PicturesFolder() {
  const std::string home = HomeFolder();
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  const std::string config = config_home != nullptr && *config_home != '\0'
                                 ? std::string(config_home)
                                 : (home.empty() ? std::string() : home + "/.config");
  std::string pictures;
  if (!config.empty()) pictures = PicturesFolderFromUserDirs(config + "/user-dirs.dirs", home);
  if (pictures.empty() && !home.empty()) pictures = home + "/Pictures";
  pictures = StripTrailingSlashes(pictures);
  // A pictures folder set to the home folder itself means "none": searching
  // the whole home folder for photos is not what the user asked for.
  if (pictures == home) return {};
  return pictures;
}

std::string SharedPicturesFolder() {
  const char* shared = std::getenv("QUOL_SHARED_PICTURES_DIR");
  if (shared != nullptr && *shared != '\0') return shared;
  return kDefaultSharedPictures;
}

}  // namespace quol::platform
