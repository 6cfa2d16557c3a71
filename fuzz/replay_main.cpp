// Runs a fuzz target's LLVMFuzzerTestOneInput once over every file of the
// folders (or files) named on the command line, without any fuzzing: the
// normal build replays the committed corpora and crash inputs this way.
// Files whose names start with "." are skipped (placeholders that keep an
// empty folder in git). Fails when no input at all was found, so a wrong
// path cannot pass silently.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> Inputs(const std::filesystem::path& where) {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  if (std::filesystem::is_regular_file(where, error)) {
    found.push_back(where);
    return found;
  }
  for (std::filesystem::directory_iterator it(where, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error) && it->path().filename().string().rfind('.', 0) != 0) {
      found.push_back(it->path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::filesystem::path& path : Inputs(argv[i])) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::printf("replay %s (%zu bytes)\n", path.c_str(), bytes.size());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  return 0;
}
