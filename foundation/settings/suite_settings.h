// Settings.xml: what the screen saver and the desktop client share — the
// service account, the update-check bookkeeping, the photo choices and the
// web client's named values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/settings/settings_manager.h"
#include "foundation/settings/version_number.h"

namespace quol {

class CSuiteSettings : public CQuolSettingsManagerBase {
 public:
  static constexpr char kFileName[] = "Settings.xml";
  // Folders are read back as folder1..folder49, gap-free, so no more than
  // this many are accepted.
  static constexpr int kMaxFoldersRead = 49;
  // Where the sealed password is kept; its value never reaches the log.
  static constexpr char kPasswordSection[] = "general";
  static constexpr char kPasswordKey[] = "credsPassword";
  // The stored password must open to fewer bytes than this (UTF-16 with its
  // terminator), so 126 characters fit and 127 do not.
  static constexpr std::size_t kMaxPasswordBytes = 256;

  CSuiteSettings();

  void ReadValues() override;
  void WriteValues() override;

  // The process's own settings object.
  static CSuiteSettings& Instance();

  std::int32_t last_update_low() const { return last_update_low_; }
  std::int32_t last_update_high() const { return last_update_high_; }
  // The two halves as one file time (100 ns units since 1601, UTC).
  std::uint64_t last_update_file_time() const {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(last_update_high_)) << 32) |
           static_cast<std::uint32_t>(last_update_low_);
  }
  const VersionNumber& available_version() const { return available_version_; }
  const std::string& email_address() const { return email_address_; }
  const std::string& password() const { return password_; }
  const std::string& account_id() const { return account_id_; }
  bool show_my_pictures() const { return show_my_pictures_; }
  bool show_shared_pictures() const { return show_shared_pictures_; }
  std::int32_t inter_photo_interval() const { return inter_photo_interval_; }
  const std::vector<std::string>& folders() const { return folders_; }
  const std::map<std::string, std::string>& web_client_values() const { return web_client_; }

  // Each marks the store dirty only when the value really changes.
  void SetEmailAddress(const std::string& value);
  // Seals the new password at once. When sealing fails (no machine key) the
  // failure is returned and the password stored before stays as it was.
  [[nodiscard]] HRESULT SetPassword(const std::string& value);
  void SetAccountId(const std::string& value);
  void SetLastUpdateTime(std::int32_t low, std::int32_t high);
  void SetInterPhotoInterval(std::int32_t seconds);
  void SetShowMyPictures(bool value);
  void SetShowSharedPictures(bool value);
  // Always marks the store dirty. More than kMaxFoldersRead folders, or an
  // empty one, would not read back whole: E_INVALIDARG, nothing changes.
  [[nodiscard]] HRESULT SetFolders(const std::vector<std::string>& folders);

  bool GetWebClientValue(const std::string& name, std::string* value) const;
  // An empty value removes the name. Always marks the store dirty. Names
  // come from web pages: one that cannot name an element
  // (IsValidName) gives E_INVALIDARG and changes nothing.
  [[nodiscard]] HRESULT SetWebClientValue(const std::string& name, const std::string& value);

  // The update check replaces the available version directly; this does not
  // mark the store dirty (the next save triggered by something else writes it).
  void SetAvailableVersion(const VersionNumber& version) { available_version_ = version; }
  void ClearAvailableVersion() { available_version_.Clear(); }

  // The stored form of a password: Base64 (no padding) of the machine-sealed
  // UTF-16 text with its terminator; empty for an empty password or a failure.
  static std::string ProtectPassword(const std::string& password);
  // The same, telling a failure apart from an empty password.
  [[nodiscard]] static HRESULT SealPassword(const std::string& password, std::string* stored);
  // The reverse; empty whenever the text does not open to a proper password.
  static std::string UnprotectPassword(const std::string& stored);

 private:
  template <typename T>
  void Update(T& member, const T& value) {
    if (member != value) {
      member = value;
      SetDirty();
    }
  }

  std::int32_t last_update_low_ = 0;
  std::int32_t last_update_high_ = 0;
  VersionNumber available_version_;
  std::string email_address_;
  std::string password_;
  // The stored form of password_, as read or as sealed by SetPassword. A
  // stored password that does not open here (another machine key, a key
  // that cannot be read just now) is written back unchanged.
  std::string sealed_password_;
  std::string account_id_;
  bool show_my_pictures_ = true;
  bool show_shared_pictures_ = true;
  std::int32_t inter_photo_interval_ = 10;
  std::vector<std::string> folders_;
  std::map<std::string, std::string> web_client_;
};

}  // namespace quol
