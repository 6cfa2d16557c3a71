// quol-collage: renders collages exactly as the screen saver shows them
// (same feeds, generator, history and overlays) into PNG files.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "platform/fs/files.h"
#include "screensaver/appointments/appointment_reminders.h"
#include "screensaver/appointments/appointment_snapshot.h"
#include "screensaver/collage/collage_generator.h"
#include "screensaver/collage/overlays.h"
#include "screensaver/common/png_writer.h"
#include "screensaver/common/random.h"
#include "screensaver/photos/feed_set.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"

namespace {

constexpr char kUsage[] =
    "Usage: quol-collage --folder DIR [--folder DIR...] --out DIR [options]\n"
    "\n"
    "Builds collages from the photos in the folders (each folder that holds\n"
    "photos is one feed, searched with its sub-folders) exactly as the screen\n"
    "saver shows them, with logo, clock, appointments and notice strip, and\n"
    "writes them as PNG files collage-001.png, collage-002.png, ... into the\n"
    "output folder. Appointments need an account in Settings.xml (QUOL_DATA_DIR)\n"
    "and a reachable service.\n"
    "\n"
    "Options:\n"
    "  --folder DIR     a photo folder (repeatable, at least one)\n"
    "  --out DIR        where the PNG files go (created when missing)\n"
    "  --size WxH       the screen size (default 1920x1080)\n"
    "  --count N        how many collages (default 1)\n"
    "  --seed S         lay out collages reproducibly from seed S\n"
    "  --debug          debug mode: fixed random seed and the debug panel\n"
    "  --timings        print the time each collage took on stderr\n"
    "  --no-write       build the collages but write no files (for measuring)\n"
    "  --print-photos   print each collage's photos on stdout (for measuring)\n"
    "  --no-photo-cache decode HEIC, HEIF and AVIF photos from the files alone:\n"
    "                   no reduced copies are read or written (by default they\n"
    "                   are kept where the saver keeps them, or in\n"
    "                   $QUOL_PHOTO_CACHE_DIR)\n"
    "  --help           show this text\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "quol-collage: %s\n", message.c_str());
  return 2;
}

// "n/total" after each collage on stderr. On a terminal one line is
// rewritten in place; into a file or a pipe every step is a line of its own,
// so a log never shows steps run together.
class Progress {
 public:
  explicit Progress(bool terminal) : terminal_(terminal) {}
  void Step(int done, int total) {
    if (terminal_) {
      std::fprintf(stderr, "\rquol-collage: %d/%d", done, total);
      open_line_ = true;
    } else {
      std::fprintf(stderr, "quol-collage: %d/%d\n", done, total);
    }
    std::fflush(stderr);
  }
  // Before any other message: the line being rewritten is finished first.
  void EndLine() {
    if (open_line_) std::fputc('\n', stderr);
    open_line_ = false;
  }

 private:
  bool terminal_;
  bool open_line_ = false;
};

bool ParseSize(const std::string& text, int* width, int* height) {
  char x = 0;
  char extra = 0;
  return std::sscanf(text.c_str(), "%d%c%d%c", width, &x, height, &extra) == 3 &&
         (x == 'x' || x == 'X') && *width >= 64 && *height >= 64 && *width <= 16384 &&
         *height <= 16384;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quol;
  using namespace quol::saver;

  std::vector<std::string> folders;
  std::string out;
  int width = 1920, height = 1080, count = 1;
  long long seed = -1;
  bool debug = false, timings = false, write = true, print_photos = false;

  static const option kOptions[] = {
      {"folder", required_argument, nullptr, 'f'}, {"out", required_argument, nullptr, 'o'},
      {"size", required_argument, nullptr, 's'},   {"count", required_argument, nullptr, 'n'},
      {"seed", required_argument, nullptr, 'r'},   {"debug", no_argument, nullptr, 'd'},
      {"timings", no_argument, nullptr, 't'},      {"no-write", no_argument, nullptr, 'w'},
      {"print-photos", no_argument, nullptr, 'p'}, {"no-photo-cache", no_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (;;) {
    int option = getopt_long(argc, argv, "", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'f': folders.emplace_back(optarg); break;
      case 'o': out = optarg; break;
      case 's':
        if (!ParseSize(optarg, &width, &height)) {
          return Fail(std::string("bad size '") + optarg + "' (expected WxH, 64 to 16384 each)");
        }
        break;
      case 'n': {
        char* end = nullptr;
        long n = std::strtol(optarg, &end, 10);
        if (*end != '\0' || n < 1 || n > 100000) return Fail("bad count '" + std::string(optarg) + "'");
        count = static_cast<int>(n);
        break;
      }
      case 'r': {
        char* end = nullptr;
        seed = std::strtoll(optarg, &end, 10);
        if (*end != '\0' || seed < 0 || seed > 0xFFFFFFFFLL) return Fail("bad seed '" + std::string(optarg) + "'");
        break;
      }
      case 'd': debug = true; break;
      case 't': timings = true; break;
      case 'w': write = false; break;
      case 'p': print_photos = true; break;
      // The decoder reads the setting for every photo; empty turns the cache off.
      case 'c': ::setenv("QUOL_PHOTO_CACHE_DIR", "", 1); break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default:
        return Fail(std::string("unknown or incomplete option '") + argv[optind - 1] +
                    "' (see --help)");
    }
  }
  if (optind < argc) return Fail(std::string("unexpected argument '") + argv[optind] + "'");
  if (folders.empty()) return Fail("no --folder given (see --help)");
  if (write && out.empty()) return Fail("no --out folder given (see --help)");
  for (const std::string& folder : folders) {
    if (!platform::IsDirectory(folder)) {
      struct stat info {};
      return Fail("folder '" + folder +
                  (::stat(folder.c_str(), &info) == 0 ? "' is not a folder" : "' does not exist"));
    }
  }
  if (write && Failed(platform::CreateDirectories(out))) {
    return Fail("cannot create the output folder '" + out + "'");
  }

  SetDebugRandom(debug || seed >= 0);
  if (seed >= 0) {
    SeedThreadRandomWith(static_cast<std::uint32_t>(seed));
  } else {
    SeedThreadRandom();
  }
  RegisterPrivateFont();
  EnsureSaverResourcesRegistered();

  // The appointments come from the account in Settings.xml and the service
  // the configuration names. The first snapshot starts the fetch in the
  // background; an offline renderer can afford to wait for it, so that the
  // collages below show what it brought.
  // Collages are drawn with the built-in settings when these do not load.
  static_cast<void>(CSuiteSettings::Instance().Load());
  static_cast<void>(CGlobalConfig::Instance().Load());
  {
    std::vector<Appointment> ignored;
    AppointmentSnapshot::Instance().Take(&ignored);
    if (!AppointmentSnapshot::Instance().WaitUntilIdle(std::chrono::seconds(90))) {
      std::fprintf(stderr, "quol-collage: the appointments did not arrive in time\n");
    }
  }

  auto feeds = std::make_shared<FeedSet>();
  for (const std::string& folder : folders) feeds->AddFolderTree(folder, "");
  if (feeds->size() == 0) {
    return Fail("no photos (.jpg, .jpeg, .png, .heic, .heif, .avif, .webp) in the given folders");
  }
  std::fprintf(stderr, "quol-collage: %zu feeds, %llu photos, %dx%d\n", feeds->size(),
               static_cast<unsigned long long>(feeds->total_photos()), width, height);

  OverlayEnvironment environment;
  environment.debug_mode = debug;
  environment.module = &CCobrandableModule::Instance();
  environment.primary_screen_width = width;
  environment.make_appointments = &MakeAppointmentsWidget;
  auto overlays = std::make_shared<CollageOverlays>(environment);

  // Built on this thread so that a seed gives the same collages every run.
  struct DirectGenerator : IBuildCollage {
    std::shared_ptr<FeedSet> feeds;
    std::shared_ptr<CollageOverlays> overlays;
    int width, height;
    std::unique_ptr<Collage> BuildCollage() override {
      CollageGenerator generator(feeds->PickFeed(), width, height, overlays.get());
      return generator.BuildCollage();
    }
  } generator;
  generator.feeds = feeds;
  generator.overlays = overlays;
  generator.width = width;
  generator.height = height;
  CollageHistory history(&generator);

  int failures = 0;
  Progress progress(::isatty(STDERR_FILENO) != 0);
  for (int i = 1; i <= count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    Collage* collage = history.Next();
    const auto built = std::chrono::steady_clock::now();
    SurfacePtr picture = collage != nullptr ? ComposeDisplayBitmap(*collage) : nullptr;
    if (!picture) {
      progress.EndLine();
      std::fprintf(stderr, "quol-collage: collage %d could not be drawn\n", i);
      ++failures;
      continue;
    }
    if (write) {
      char name[64];
      std::snprintf(name, sizeof name, "collage-%03d.png", i);
      const std::string path = platform::JoinPath(out, name);
      if (Failed(WritePng(picture.get(), path))) {
        progress.EndLine();
        std::fprintf(stderr, "quol-collage: cannot write %s\n", path.c_str());
        ++failures;
        continue;
      }
    }
    if (print_photos) {
      progress.EndLine();  // stdout may be the same terminal
      std::printf("collage %d: ", i);
      for (std::size_t p = 0; p < collage->photos().size(); ++p) {
        std::printf("%s%s", p == 0 ? "" : "|", collage->photos()[p].path.c_str());
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    const auto done = std::chrono::steady_clock::now();
    auto ms = [](auto a, auto b) {
      return std::chrono::duration<double, std::milli>(b - a).count();
    };
    if (timings) {
      std::fprintf(stderr, "collage %d: %zu photos, build %.1f ms, total %.1f ms\n", i,
                   collage->photos().size(), ms(start, built), ms(start, done));
    } else {
      progress.Step(i, count);
    }
  }
  progress.EndLine();
  return failures == 0 ? 0 : 1;
}
