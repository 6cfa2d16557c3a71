#include "foundation/config/cobrand_module.h"

#include <gio/gio.h>

#include <cctype>

#include "foundation/log/process_log.h"
#include "platform/fs/files.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "platform/trust/minisign.h"

namespace quol {
namespace {

const char* const kSkuNames[] = {"", "Vevuvov", "Collage"};

// The program's own texts, used when no partner bundle replaces them.
const std::map<int, std::string>& OwnStrings() {
  static const std::map<int, std::string> strings = {
      {kStringProductName, "Quol"},
      {kStringCollageProductName, "Quol Collage"},
  };
  return strings;
}

// Resource paths inside a bundle.
std::string StringPath(int id) { return "/quol/strings/" + std::to_string(id); }
std::string ResourcePath(const std::string& name) { return "/quol/resources/" + name; }

// Copies and releases what a lookup returned; false when it found nothing.
bool TakeBytes(GBytes* data, std::string* bytes) {
  if (data == nullptr) return false;
  gsize size = 0;
  const auto* raw = static_cast<const char*>(g_bytes_get_data(data, &size));
  bytes->assign(raw != nullptr ? raw : "", size);
  g_bytes_unref(data);
  return true;
}

bool LookupBytes(GResource* resource, const std::string& path, std::string* bytes) {
  return TakeBytes(
      g_resource_lookup_data(resource, path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr),
      bytes);
}

HRESULT VerifyWithTrustedKeys(const std::string& content, const std::string& signature) {
  HRESULT hr = E_ACCESSDENIED;
  for (const std::string& key : platform::TrustedPublicKeys()) {
    hr = platform::VerifyMinisign(content, signature, key);
    if (Succeeded(hr)) return hr;
  }
  return hr;
}

}  // namespace

struct CCobrandableModule::Library {
  GResource* resource = nullptr;
  ~Library() {
    if (resource != nullptr) g_resource_unref(resource);
  }
};

CCobrandableModule::CCobrandableModule() = default;
CCobrandableModule::~CCobrandableModule() = default;

CCobrandableModule& CCobrandableModule::Instance() {
  static CCobrandableModule* module = [] {
    static CCobrandableModule instance;
    instance.LoadFromRegistry();
    return &instance;
  }();
  return *module;
}

const char* CCobrandableModule::SkuName(int index) {
  return (index >= 0 && index < 3) ? kSkuNames[index] : "";
}

void CCobrandableModule::SetCobrand(const std::string& cobrand_id, int sku_index) {
  cobrand_id_ = cobrand_id;
  sku_index_ = sku_index;
}

void CCobrandableModule::LoadFromRegistry() {
  platform::RegistryKey key;
  if (Failed(key.Open(platform::RegistryHive::kLocalMachine, kProductRegistryKey))) return;

  std::string value;
  if (Succeeded(key.ReadString("CobrandId", &value))) {
    value = value.substr(0, kMaxCobrandIdLength);
    for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    cobrand_id_ = value;
  }
  if (Succeeded(key.ReadString("SKU", &value)) && value.size() <= kMaxSkuLength) {
    for (int i = 0; i < 3; ++i) {
      if (value == kSkuNames[i]) sku_index_ = i;
    }
  }
  if (Succeeded(key.ReadString("Cobrand", &value)) && !value.empty() &&
      value.size() <= kMaxLibraryPathLength) {
    // Every failure is logged there; the built-in look stays.
    static_cast<void>(LoadCobrandLibrary(value));
  }
}

HRESULT CCobrandableModule::LoadCobrandLibrary(const std::string& path) {
  // Read once, check the bytes that were read, load those same bytes: the
  // file cannot be swapped between the check and the load.
  std::string content;
  HRESULT hr = platform::ReadWholeFile(path, &content, 64u << 20);
  if (Failed(hr)) {
    LogError("Cobrand library %s unreadable: %x", path.c_str(), static_cast<unsigned>(hr));
    return hr;
  }
  std::string signature;
  hr = platform::ReadWholeFile(path + ".minisig", &signature, 4096);
  if (Succeeded(hr)) hr = VerifyWithTrustedKeys(content, signature);
  if (Failed(hr)) {
    LogError("Cobrand library %s not trusted: %x", path.c_str(), static_cast<unsigned>(hr));
    return hr;
  }
  GBytes* bytes = g_bytes_new(content.data(), content.size());
  GError* error = nullptr;
  GResource* resource = g_resource_new_from_data(bytes, &error);
  g_bytes_unref(bytes);
  if (resource == nullptr) {
    LogError("Cobrand library %s not loaded: %s", path.c_str(),
             error != nullptr ? error->message : "unknown error");
    if (error != nullptr) g_error_free(error);
    return E_BAD_FORMAT;
  }
  library_ = std::make_unique<Library>();
  library_->resource = resource;
  LogInfo("Cobrand library %s loaded", path.c_str());
  return S_OK;
}

std::string CCobrandableModule::LoadString(int id) const {
  std::string text;
  if (library_ && LookupBytes(library_->resource, StringPath(id), &text)) {
    // Strings are stored as plain UTF-8; a trailing terminator is tolerated.
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
    if (!text.empty()) return text;
  }
  auto it = OwnStrings().find(id);
  return it != OwnStrings().end() ? it->second : std::string();
}

bool CCobrandableModule::LoadResource(const std::string& name, std::string* bytes) const {
  if (library_ && LookupBytes(library_->resource, ResourcePath(name), bytes)) return true;
  return LoadOwnResource(name, bytes);
}

bool CCobrandableModule::LoadOwnResource(const std::string& name, std::string* bytes) {
  // The program's own bundles are registered with the process by the program.
  return TakeBytes(g_resources_lookup_data(ResourcePath(name).c_str(),
                                           G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr),
                   bytes);
}

std::string InstalledClientPath() {
  platform::RegistryKey key;
  std::string path;
  if (Failed(key.Open(platform::RegistryHive::kLocalMachine, kProductRegistryKey)) ||
      Failed(key.ReadString("Vevuvov", &path)) || path.empty() ||
      platform::Utf8ToUtf16(path).size() > 260) {
    return {};
  }
  return path;
}

}  // namespace quol
