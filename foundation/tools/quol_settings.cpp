// quol-settings: shows or changes Settings.xml (in $QUOL_DATA_DIR or the
// user's data folder) from the command line, the way the settings pages do.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/settings/suite_settings.h"
#include "platform/fs/files.h"

namespace {

constexpr char kUsage[] =
    "Usage: quol-settings [options]\n"
    "\n"
    "Shows the Quol settings, or changes them with the options below, and\n"
    "saves them (Settings.xml in $QUOL_DATA_DIR, else ~/.local/share/Quol/Vevuvov).\n"
    "\n"
    "  --account EMAIL      the family's Quol account (the password is read from\n"
    "                       the environment variable QUOL_PASSWORD, or --password)\n"
    "  --password TEXT      the account's password (stored sealed for this machine)\n"
    "  --add-folder DIR     show the photos of DIR (and its sub-folders)\n"
    "  --clear-folders      forget every photo folder\n"
    "  --interval SECONDS   time between collages (5 to 3600)\n"
    "  --my-pictures on|off, --shared-pictures on|off\n"
    "  --help               show this text\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "quol-settings: %s\n", message.c_str());
  return 2;
}

bool OnOff(const char* text, bool* value) {
  const std::string t = text;
  if (t == "on" || t == "true" || t == "yes") *value = true;
  else if (t == "off" || t == "false" || t == "no") *value = false;
  else return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Help needs no settings: it works even when Settings.xml cannot be read.
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  quol::CSuiteSettings& settings = quol::CSuiteSettings::Instance();
  if (quol::Failed(settings.Load())) return Fail("cannot read " + settings.path());
  // Showing defaults for a file that is there but unreadable would mislead,
  // and saving over it would lose it.
  if (quol::Failed(settings.read_error())) {
    return Fail("cannot read " + settings.path() + "; it is left as it is");
  }

  static const option kOptions[] = {
      {"account", required_argument, nullptr, 'a'},     {"password", required_argument, nullptr, 'p'},
      {"add-folder", required_argument, nullptr, 'f'},  {"clear-folders", no_argument, nullptr, 'c'},
      {"interval", required_argument, nullptr, 'i'},    {"my-pictures", required_argument, nullptr, 'm'},
      {"shared-pictures", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;
  bool changed = false;
  std::vector<std::string> folders = settings.folders();
  for (;;) {
    const int option = getopt_long(argc, argv, "", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'a': {
        settings.SetEmailAddress(optarg);
        const char* password = std::getenv("QUOL_PASSWORD");
        if (password != nullptr && quol::Failed(settings.SetPassword(password))) {
          return Fail("password not stored");
        }
        settings.SetAccountId("");
        changed = true;
        break;
      }
      case 'p':
        if (quol::Failed(settings.SetPassword(optarg))) return Fail("password not stored");
        changed = true;
        break;
      case 'f': {
        std::string folder = optarg;
        if (!quol::platform::IsDirectory(folder)) return Fail("'" + folder + "' is not a folder");
        folders.push_back(folder);
        if (quol::Failed(settings.SetFolders(folders))) {
          return Fail("cannot add '" + folder + "': at most " +
                      std::to_string(quol::CSuiteSettings::kMaxFoldersRead) + " photo folders");
        }
        changed = true;
        break;
      }
      case 'c': folders.clear(); (void)settings.SetFolders(folders); changed = true; break;
      case 'i': {
        char* end = nullptr;
        const long seconds = std::strtol(optarg, &end, 10);
        if (*end != '\0' || seconds < 5 || seconds > 3600) return Fail("bad interval '" + std::string(optarg) + "' (5 to 3600)");
        settings.SetInterPhotoInterval(static_cast<int>(seconds));
        changed = true;
        break;
      }
      case 'm': case 's': {
        bool value = false;
        if (!OnOff(optarg, &value)) return Fail("expected on or off, not '" + std::string(optarg) + "'");
        if (option == 'm') settings.SetShowMyPictures(value); else settings.SetShowSharedPictures(value);
        changed = true;
        break;
      }
      case 'h': std::fputs(kUsage, stdout); return 0;
      default: return Fail(std::string("unknown or incomplete option '") + argv[optind - 1] + "' (see --help)");
    }
  }
  if (optind < argc) return Fail(std::string("unexpected argument '") + argv[optind] + "'");
  if (changed && quol::Failed(settings.Save())) return Fail("cannot save " + settings.path());

  std::printf("settings:        %s\n", settings.path().c_str());
  std::printf("account:         %s%s\n", settings.email_address().empty() ? "(none)" : settings.email_address().c_str(),
              settings.password().empty() ? "" : " (password stored)");
  std::printf("interval:        %d s\n", settings.inter_photo_interval());
  std::printf("my pictures:     %s\n", settings.show_my_pictures() ? "on" : "off");
  std::printf("shared pictures: %s\n", settings.show_shared_pictures() ? "on" : "off");
  for (const std::string& folder : settings.folders()) std::printf("folder:          %s\n", folder.c_str());
  return 0;
}
