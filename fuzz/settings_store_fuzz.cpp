// The settings store: a Settings.xml of any content is loaded, read, changed
// and saved; a value set from plain text must read back the same after the
// save and a fresh load.
#include <cstdio>
#include <string>
#include <type_traits>

#include "foundation/settings/settings_manager.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kFileName[] = "FuzzSettings.xml";

// Up to 40 characters of the input mapped onto letters, digits and a few
// signs: text the store must keep exactly.
std::string PlainText(std::string_view input) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-";
  std::string text = "v";
  for (std::size_t i = 0; i < input.size() && text.size() < 40; ++i) {
    text += kAlphabet[static_cast<unsigned char>(input[i]) % (sizeof kAlphabet - 1)];
  }
  return text;
}

// Runs a setter; false when it reports a failure (setters that report
// nothing always count as done).
template <typename Call>
bool Done(Call call) {
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    return true;
  } else {
    return !quol::Failed(call());
  }
}

// A store whose changes are saved (the base class leaves marking them to
// the settings classes built on it).
class FuzzStore : public quol::CQuolSettingsManagerBase {
 public:
  FuzzStore() : CQuolSettingsManagerBase(true, kFileName) {}
  void MarkChanged() { SetDirty(); }
};

void RemoveLeftovers(const std::string& path) {
  std::remove(path.c_str());
  std::remove((path + ".bad").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  const std::string_view input = quol::fuzz::AsText(data, size);
  std::string path;
  const std::string text = PlainText(input);
  {
    FuzzStore store;
    path = store.path();
    if (!quol::fuzz::WriteFile(path, input)) return 0;
    if (quol::Failed(store.Load())) return 0;
    // Reads of the kinds the suite settings make.
    store.GetValue("general", "emailAddress", "");
    store.GetValue("folders", "folder0", "", "type", "Local");
    store.GetInt("general", "interPhotoInterval", 10);
    store.GetBool("general", "myPictures", true);
    const bool changed =
        Done([&] { return store.SetValue("fuzz", "value", text); }) &&
        Done([&] { return store.SetInt("fuzz", "number", static_cast<int>(size)); }) &&
        Done([&] { return store.SetValue("general", "emailAddress", ""); }) &&
        Done([&] { return store.RemoveSection("folders"); });
    store.MarkChanged();
    if (!changed || quol::Failed(store.Save())) {
      RemoveLeftovers(path);
      return 0;
    }
  }
  {
    FuzzStore reloaded;
    if (quol::Failed(reloaded.Load())) quol::fuzz::Broken("saved settings do not load");
    if (reloaded.GetValue("fuzz", "value", "") != text) {
      quol::fuzz::Broken("a saved value does not read back");
    }
    if (reloaded.GetInt("fuzz", "number", -1) != static_cast<int>(size)) {
      quol::fuzz::Broken("a saved number does not read back");
    }
    if (!reloaded.GetValue("general", "emailAddress", "").empty()) {
      quol::fuzz::Broken("a removed value came back");
    }
  }
  RemoveLeftovers(path);
  return 0;
}
