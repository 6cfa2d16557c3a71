// The decode floor of a collage: the time to only decode its photos at the
// DCT scales the photo loader picks, with nothing else (no resampling, no
// drawing). Reads the photo lists that `quol-collage --print-photos` writes
// ("collage N: path|path|...") on standard input and prints one line per
// collage: "floor N: <milliseconds>".
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/fs/files.h"
#include "screensaver/photos/photo_decode.h"

namespace {

double DecodeMs(const std::string& path, int screen_width, int screen_height) {
  std::string bytes;
  if (quol::Failed(quol::platform::ReadWholeFile(path, &bytes, 256u << 20))) return 0;
  const auto start = std::chrono::steady_clock::now();
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (tjDecompressHeader3(handle, data, bytes.size(), &width, &height, &subsampling,
                          &colorspace) == 0) {
    auto target = quol::saver::ReducedSize(width, height, screen_width, screen_height);
    if (target) {
      const int denominator = quol::saver::JpegScaleDenominator(width, height, *target);
      const int w = (width + denominator - 1) / denominator;
      const int h = (height + denominator - 1) / denominator;
      std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 4);
      tjDecompress2(handle, data, bytes.size(), pixels.data(), w, 0, h, TJPF_BGRA,
                    0);
    }
  }
  tjDestroy(handle);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  int screen_width = 1920, screen_height = 1080;
  if (argc == 3) {
    screen_width = std::atoi(argv[1]);
    screen_height = std::atoi(argv[2]);
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    int number = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "collage %d: %n", &number, &consumed) != 1) continue;
    double total = 0;
    std::string rest = line.substr(static_cast<std::size_t>(consumed));
    std::size_t at = 0;
    while (at <= rest.size() && !rest.empty()) {
      std::size_t bar = rest.find('|', at);
      std::string path = rest.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
      if (!path.empty()) total += DecodeMs(path, screen_width, screen_height);
      if (bar == std::string::npos) break;
      at = bar + 1;
    }
    std::printf("floor %d: %.2f\n", number, total);
  }
  return 0;
}
