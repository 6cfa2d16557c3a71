#include "foundation/settings/suite_settings.h"

#include <cstdio>

#include "platform/protect/base64.h"
#include "platform/protect/data_protection.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kScreensaver[] = "screensaver";
constexpr char kFolders[] = "screensaverFolders";
constexpr char kWebClient[] = "webClient";

std::string FolderKey(std::size_t n) { return "folder" + std::to_string(n); }

}  // namespace

CSuiteSettings::CSuiteSettings() : CQuolSettingsManagerBase(false, kFileName) {}

CSuiteSettings& CSuiteSettings::Instance() {
  static CSuiteSettings settings;
  return settings;
}

std::string CSuiteSettings::ProtectPassword(const std::string& password) {
  if (password.empty()) return {};
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
  if (Failed(hr)) return {};
  return platform::Base64EncodeNoPadding(sealed);
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
  password_ = UnprotectPassword(GetValue(kGeneral, "credsPassword", ""));
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
  if (pugi::xml_document* doc = document()) {
    for (pugi::xpath_node item : doc->select_nodes("quol/webClient/*")) {
      std::string name = item.node().name();
      std::string value = ElementText(item.node());
      if (!name.empty() && !value.empty()) web_client_[name] = value;
    }
  }
}

void CSuiteSettings::WriteValues() {
  SetValue(kGeneral, "credsEmailAddress", email_address_);
  SetValue(kGeneral, "credsPassword", ProtectPassword(password_));
  SetValue(kGeneral, "credsAccountId", account_id_);
  SetInt(kGeneral, "lastUpdateLow", last_update_low_);
  SetInt(kGeneral, "lastUpdateHigh", last_update_high_);
  SetValue(kGeneral, "availableVersion", available_version_.text());

  SetBool(kScreensaver, "myPictures", show_my_pictures_);
  SetBool(kScreensaver, "sharedPictures", show_shared_pictures_);
  SetInt(kScreensaver, "interPhotoInterval", inter_photo_interval_);

  RemoveSection(kFolders);
  for (std::size_t i = 0; i < folders_.size(); ++i) SetValue(kFolders, FolderKey(i + 1), folders_[i]);

  RemoveSection(kWebClient);
  for (const auto& [name, value] : web_client_) SetValue(kWebClient, name, value);
}

void CSuiteSettings::SetEmailAddress(const std::string& value) {
  Update(email_address_, value);
}

void CSuiteSettings::SetPassword(const std::string& value) {
  Update(password_, value);
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

void CSuiteSettings::SetFolders(const std::vector<std::string>& folders) {
  folders_ = folders;
  SetDirty();
}

bool CSuiteSettings::GetWebClientValue(const std::string& name, std::string* value) const {
  auto it = web_client_.find(name);
  if (it == web_client_.end()) return false;
  *value = it->second;
  return true;
}

void CSuiteSettings::SetWebClientValue(const std::string& name, const std::string& value) {
  if (value.empty()) {
    web_client_.erase(name);
  } else {
    web_client_[name] = value;
  }
  SetDirty();
}

}  // namespace quol
