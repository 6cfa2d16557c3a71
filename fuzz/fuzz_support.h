// Shared by the fuzz targets: a private scratch folder for everything a
// target writes, and a way out for a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quol::fuzz {

// The first call makes a temporary folder and points QUOL_DATA_DIR,
// QUOL_REGISTRY_DIR, HOME and the XDG folders into it, so the targets' files
// and the process log land there and never in the real home. The folder is
// removed at exit. Call it at the top of every LLVMFuzzerTestOneInput.
const std::string& ScratchDir();

// Writes `bytes` to `path` (replacing it); false when it cannot.
bool WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

// Aborts with `what` on stderr: a property that must hold for every input
// did not. The fuzzer keeps the input as a crash.
[[noreturn]] void Broken(const char* what);

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace quol::fuzz
