#include "foundation/settings/suite_settings.h"

#include <cstdio>

#include "foundation/log/process_log.h"
#include "foundation/xml/xml_document.h"
#include "platform/protect/base64.h"
#include "platform/protect/data_protection.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

constexpr const char* kGeneral = CSuiteSettings::kPasswordSection;
constexpr char kScreensaver[] = "screensaver";
constexpr char kFolders[] = "screensaverFolders";
constexpr char kWebClient[] = "webClient";

std::string FolderKey(std::size_t n) { return "folder" + std::to_string(n); }

}  // namespace

CSuiteSettings::CSuiteSettings() : CQuolSettingsManagerBase(false, kFileName) {
  AddSecretKey(kPasswordSection, kPasswordKey);
}

CSuiteSettings& CSuiteSettings::Instance() {
  static CSuiteSettings settings;
  return settings;
}

std::string CSuiteSettings::ProtectPassword(const std::string& password) {
  std::string stored;
  if (Failed(SealPassword(password, &stored))) return {};
  return stored;
}

HRESULT CSuiteSettings::SealPassword(const std::string& password, std::string* stored) {
  stored->clear();
  if (password.empty()) return S_OK;
  std::u16string wide = platform::Utf8ToUtf16(password);
  std::string bytes;
  bytes.reserve(wide.size() * 2 + 2);
  for (char16_t unit : wide) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  bytes.append(2, '\0');
  std::string sealed;
  HRESULT hr = platform::ProtectData(bytes, &sealed);
  platform::SecureZero(&bytes);
  if (Failed(hr)) return hr;
  *stored = platform::Base64EncodeNoPadding(sealed);
  return S_OK;
}

std::string CSuiteSettings::UnprotectPassword(const std::string& stored) {
  if (stored.empty()) return {};
  std::string bytes;
  if (Failed(platform::UnprotectData(platform::Base64DecodeLenient(stored), &bytes))) return {};
  const std::size_t n = bytes.size();
  if (n >= kMaxPasswordBytes || n < 2 || bytes[n - 1] != '\0' || bytes[n - 2] != '\0') {
    return {};
  }
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit == 0) break;
    wide += unit;
  }
  platform::SecureZero(&bytes);
  return platform::Utf16ToUtf8(wide);
}

void CSuiteSettings::ReadValues() {
  email_address_ = GetValue(kGeneral, "credsEmailAddress", "");
  sealed_password_ = GetValue(kGeneral, kPasswordKey, "");
  password_ = UnprotectPassword(sealed_password_);
  account_id_ = GetValue(kGeneral, "credsAccountId", "");
  last_update_low_ = GetInt(kGeneral, "lastUpdateLow", 0);
  last_update_high_ = GetInt(kGeneral, "lastUpdateHigh", 0);
  std::string version = GetValue(kGeneral, "availableVersion", "");
  if (!version.empty()) available_version_.Read(version);

  show_my_pictures_ = GetBool(kScreensaver, "myPictures", true);
  show_shared_pictures_ = GetBool(kScreensaver, "sharedPictures", true);
  inter_photo_interval_ = GetInt(kScreensaver, "interPhotoInterval", inter_photo_interval_);

  folders_.clear();
  for (int n = 1; n <= kMaxFoldersRead; ++n) {
    std::string folder = GetValue(kFolders, FolderKey(static_cast<std::size_t>(n)), "");
    if (folder.empty()) break;
    folders_.push_back(folder);
  }

  web_client_.clear();
  if (const XmlDocumentHandle* doc = document()) {
    for (pugi::xml_node item : doc->xml.child("quol").child(kWebClient).children()) {
      if (item.type() != pugi::node_element) continue;
      std::string name = item.name();
      std::string value = XmlElementText(item);
      if (IsValidName(name) && !value.empty()) web_client_[name] = value;
    }
  }
}

void CSuiteSettings::WriteValues() {
  // The names below are fixed XML names, so these writes cannot be refused.
  (void)SetValue(kGeneral, "credsEmailAddress", email_address_);
  (void)SetValue(kGeneral, kPasswordKey, sealed_password_);
  (void)SetValue(kGeneral, "credsAccountId", account_id_);
  (void)SetInt(kGeneral, "lastUpdateLow", last_update_low_);
  (void)SetInt(kGeneral, "lastUpdateHigh", last_update_high_);
  (void)SetValue(kGeneral, "availableVersion", available_version_.text());

  (void)SetBool(kScreensaver, "myPictures", show_my_pictures_);
  (void)SetBool(kScreensaver, "sharedPictures", show_shared_pictures_);
  (void)SetInt(kScreensaver, "interPhotoInterval", inter_photo_interval_);

  (void)RemoveSection(kFolders);
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    (void)SetValue(kFolders, FolderKey(i + 1), folders_[i]);
  }

  (void)RemoveSection(kWebClient);
  for (const auto& [name, value] : web_client_) {
    // Names were checked on the way in; one that still fails is left out
    // rather than spoiling the whole file.
    if (Failed(SetValue(kWebClient, name, value))) {
      LogError("Web client value '%s' not saved: not a valid name", name.c_str());
    }
  }
}

void CSuiteSettings::SetEmailAddress(const std::string& value) {
  Update(email_address_, value);
}

HRESULT CSuiteSettings::SetPassword(const std::string& value) {
  if (value == password_) return S_OK;
  std::string sealed;
  HRESULT hr = SealPassword(value, &sealed);
  if (Failed(hr)) {
    LogError("Password not stored: cannot seal it (%x)", static_cast<unsigned>(hr));
    return hr;
  }
  password_ = value;
  sealed_password_ = std::move(sealed);
  SetDirty();
  return S_OK;
}

void CSuiteSettings::SetAccountId(const std::string& value) {
  Update(account_id_, value);
}

void CSuiteSettings::SetLastUpdateTime(std::int32_t low, std::int32_t high) {
  Update(last_update_low_, low);
  Update(last_update_high_, high);
}

void CSuiteSettings::SetInterPhotoInterval(std::int32_t seconds) {
  Update(inter_photo_interval_, seconds);
}

void CSuiteSettings::SetShowMyPictures(bool value) {
  Update(show_my_pictures_, value);
}

void CSuiteSettings::SetShowSharedPictures(bool value) {
  Update(show_shared_pictures_, value);
}

HRESULT CSuiteSettings::SetFolders(const std::vector<std::string>& folders) {
  if (folders.size() > static_cast<std::size_t>(kMaxFoldersRead)) return E_INVALIDARG;
  for (const std::string& folder : folders) {
    if (folder.empty()) return E_INVALIDARG;
  }
  folders_ = folders;
  SetDirty();
  return S_OK;
}

bool CSuiteSettings::GetWebClientValue(const std::string& name, std::string* value) const {
  auto it = web_client_.find(name);
  if (it == web_client_.end()) return false;
  *value = it->second;
  return true;
}

HRESULT CSuiteSettings::SetWebClientValue(const std::string& name, const std::string& value) {
  if (!IsValidName(name)) return E_INVALIDARG;
  if (value.empty()) {
    web_client_.erase(name);
  } else {
    web_client_[name] = value;
  }
  SetDirty();
  return S_OK;
}

}  // namespace quol
