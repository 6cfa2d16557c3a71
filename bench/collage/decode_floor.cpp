// The decode floor of a collage: the time to only decode its photos at the
// DCT scales the photo loader picks for them, with nothing else (no
// resampling, no drawing). HEIC and AVIF photos have no scaled decode: their
// floor is libheif decoding the image the loader decodes (the embedded
// thumbnail when it covers the place, else the full image) to RGB.
//
// The loader decodes each photo at the size of its place on the collage, so
// the floor needs the places, not just the photos. This program therefore
// first lays the same collages out the way quol-collage builds them (same
// folders, seed, size and overlays; untimed), then times decoding each
// photo at the scale its rectangle asks for. Standard input may carry the
// photo lists quol-collage --print-photos wrote ("collage N: path|path|..."):
// each replayed collage is checked against them, and a difference (say, the
// widget stack changed corner at a quarter hour between the two runs) is
// reported on stderr. Prints one line per collage: "floor N: <milliseconds>".
#include <getopt.h>
#include <unistd.h>
#include <libheif/heif.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/settings/suite_settings.h"
#include "platform/fs/files.h"
#include "screensaver/collage/collage_generator.h"
#include "screensaver/collage/overlays.h"
#include "screensaver/common/random.h"
#include "screensaver/photos/feed_set.h"
#include "screensaver/photos/photo_decode.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"

namespace {

constexpr char kUsage[] =
    "Usage: quol-decode-floor --folder DIR [--folder DIR...] [--count N] [--seed S]\n"
    "                         [--size WxH] [< photo lists]\n";

// libheif's decode of the primary image or of the smallest thumbnail that
// covers `shown`, as the loader picks it.
void DecodeHeif(const std::string& bytes, quol::saver::PixelSize shown) {
  heif_context* context = heif_context_alloc();
  heif_image_handle* primary = nullptr;
  if (heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr)
              .code == heif_error_Ok &&
      heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok) {
    heif_image_handle* chosen = primary;
    heif_item_id ids[16];
    const int count = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 16);
    for (int i = 0; i < count; ++i) {
      heif_image_handle* thumbnail = nullptr;
      if (heif_image_handle_get_thumbnail(primary, ids[i], &thumbnail).code != heif_error_Ok) {
        continue;
      }
      if (chosen == primary && heif_image_handle_get_width(thumbnail) >= shown.width &&
          heif_image_handle_get_height(thumbnail) >= shown.height) {
        chosen = thumbnail;
      } else {
        heif_image_handle_release(thumbnail);
      }
    }
    heif_image* image = nullptr;
    heif_decode_image(chosen, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
    if (image != nullptr) heif_image_release(image);
    if (chosen != primary) heif_image_handle_release(chosen);
    heif_image_handle_release(primary);
  }
  heif_context_free(context);
}

// Decodes one photo at the DCT scale the loader picks for a place of
// `shown` pixels (after orientation); the milliseconds it took.
double DecodeMs(const std::string& path, quol::saver::PixelSize shown) {
  std::string bytes;
  if (quol::Failed(quol::platform::ReadWholeFile(path, &bytes, 256u << 20))) return 0;
  const auto start = std::chrono::steady_clock::now();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() >= 12 && bytes.compare(4, 4, "ftyp") == 0) {
    DecodeHeif(bytes, shown);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }
  std::optional<quol::saver::PhotoHeader> header =
      quol::saver::ReadPhotoHeaderData({data, bytes.size()});
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (header && shown.width > 0 && shown.height > 0 &&
      tjDecompressHeader3(handle, data, bytes.size(), &width, &height, &subsampling,
                          &colorspace) == 0) {
    const bool quarter = (header->rotate_flip & 1) != 0;
    const quol::saver::PixelSize stored =
        quarter ? quol::saver::PixelSize{shown.height, shown.width} : shown;
    const int denominator = quol::saver::JpegScaleDenominator(width, height, stored);
    const int w = (width + denominator - 1) / denominator;
    const int h = (height + denominator - 1) / denominator;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 4);
    tjDecompress2(handle, data, bytes.size(), pixels.data(), w, 0, h, TJPF_BGRA, 0);
  }
  tjDestroy(handle);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// "collage N: a|b|c" lines by N.
std::map<int, std::string> ReadPhotoLists(std::istream& in) {
  std::map<int, std::string> lists;
  std::string line;
  while (std::getline(in, line)) {
    int number = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "collage %d: %n", &number, &consumed) != 1) continue;
    lists[number] = line.substr(static_cast<std::size_t>(consumed));
  }
  return lists;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quol;
  using namespace quol::saver;

  std::vector<std::string> folders;
  int width = 1920, height = 1080, count = 30;
  long long seed = 11;
  static const option kOptions[] = {{"folder", required_argument, nullptr, 'f'},
                                    {"count", required_argument, nullptr, 'n'},
                                    {"seed", required_argument, nullptr, 'r'},
                                    {"size", required_argument, nullptr, 's'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  for (;;) {
    const int option = getopt_long(argc, argv, "", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'f': folders.emplace_back(optarg); break;
      case 'n': count = std::atoi(optarg); break;
      case 'r': seed = std::atoll(optarg); break;
      case 's':
        if (std::sscanf(optarg, "%dx%d", &width, &height) != 2) {
          std::fputs(kUsage, stderr);
          return 2;
        }
        break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default: std::fputs(kUsage, stderr); return 2;
    }
  }
  if (folders.empty() || count < 1 || count > 100000 || width < 64 || height < 64 ||
      width > 16384 || height > 16384 || seed < 0 || seed > 0xFFFFFFFFLL) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::map<int, std::string> expected =
      ::isatty(0) ? std::map<int, std::string>{} : ReadPhotoLists(std::cin);

  // The same set-up as quol-collage, so that the same collages come out.
  SetDebugRandom(true);
  SeedThreadRandomWith(static_cast<std::uint32_t>(seed));
  RegisterPrivateFont();
  EnsureSaverResourcesRegistered();
  CSuiteSettings::Instance().Load();
  CGlobalConfig::Instance().Load();
  FeedSet feeds;
  for (const std::string& folder : folders) feeds.AddFolderTree(folder, "");
  if (feeds.size() == 0) {
    std::fprintf(stderr, "quol-decode-floor: no photos in the given folders\n");
    return 2;
  }
  OverlayEnvironment environment;
  environment.module = &CCobrandableModule::Instance();
  environment.primary_screen_width = width;
  CollageOverlays overlays(environment);

  struct Placed {
    std::string path;
    PixelSize size;
  };
  std::vector<std::vector<Placed>> collages;
  int differing = 0;
  for (int i = 1; i <= count; ++i) {
    CollageGenerator generator(feeds.PickFeed(), width, height, &overlays);
    std::unique_ptr<Collage> collage = generator.BuildCollage();
    std::vector<Placed> placed;
    std::string list;
    for (const CollagePhoto& photo : collage->photos()) {
      placed.push_back({photo.path, PixelSize{photo.rect.width, photo.rect.height}});
      list += (list.empty() ? "" : "|") + photo.path;
    }
    auto want = expected.find(i);
    if (want != expected.end() && want->second != list) ++differing;
    collages.push_back(std::move(placed));
  }
  if (differing > 0) {
    std::fprintf(stderr, "quol-decode-floor: %d of %d collages differ from the input lists\n",
                 differing, count);
  }
  for (std::size_t i = 0; i < collages.size(); ++i) {
    double total = 0;
    for (const Placed& photo : collages[i]) total += DecodeMs(photo.path, photo.size);
    std::printf("floor %zu: %.2f\n", i + 1, total);
  }
  return 0;
}
