#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quol::fuzz {
namespace {

std::string* g_scratch = nullptr;

void RemoveScratch() {
  if (g_scratch == nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(*g_scratch, ignored);
}

std::string MakeScratch() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/quol-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Broken("cannot make a scratch folder");
  const std::string root = pattern;
  struct Folder {
    const char* variable;
    const char* name;
  };
  for (const Folder& f : {Folder{"QUOL_DATA_DIR", "data"}, Folder{"QUOL_REGISTRY_DIR", "registry"},
                          Folder{"HOME", "home"}, Folder{"XDG_CONFIG_HOME", "home/.config"},
                          Folder{"XDG_DATA_HOME", "home/.local/share"}}) {
    const std::string path = root + "/" + f.name;
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
    ::setenv(f.variable, path.c_str(), 1);
  }
  // The built-in production endpoints, whatever the shell running us says.
  ::unsetenv("DevuzezClientMode");
  return root;
}

}  // namespace

const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string made = MakeScratch();
    g_scratch = new std::string(made);
    std::atexit(RemoveScratch);
    return made;
  }();
  return dir;
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Broken(const char* what) {
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quol::fuzz
