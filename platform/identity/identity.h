// The running program's own identity: where its executable is, its base name
// (used for the log file name) and its four-part file version.
#pragma once

#include <string>

namespace quol::platform {

// Absolute path of the running executable, links resolved.
std::string ExecutablePath();

// File name of the executable without folder and extension ("QuolScreensaver").
std::string ExecutableBaseName();

// Strips folder and the last extension from a path.
std::string BaseNameWithoutExtension(const std::string& path);

struct FileVersion {
  unsigned major = 0, minor = 0, build = 0, revision = 0;
};

// The build's version (the project version of the build system).
FileVersion ProgramFileVersion();
// "%u.%u.%u.%u"
std::string ProgramFileVersionText();

}  // namespace quol::platform
