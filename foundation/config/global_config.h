// The service-side configuration: endpoint addresses, versions, sign-in
// pages and cookies, unsafe domains, tips and refresh periods.
//
// Values come, in rising precedence, from the built-in defaults of the client
// mode (DevuzezClientMode), from GlobalConfig_v2.xml in the data folder (the
// cached copy of what the update service delivers) and, for the five service
// addresses only, from the hand-written LocalConfig.xml beside it. A partner
// edition's section (named by its cobrand id) overrides "default".
//
// The update check refreshes the values on its worker thread, so every getter
// takes the config lock and returns a copy.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/config/cobrand_module.h"
#include "foundation/settings/settings_manager.h"
#include "foundation/settings/version_number.h"

namespace quol {

class CSuiteSettings;

enum ClientMode : int { kClientModeProd = 0, kClientModeLocal = 1 };

class CGlobalConfig : public CQuolSettingsManagerBase {
 public:
  static constexpr char kFileName[] = "GlobalConfig_v2.xml";
  static constexpr char kLocalFileName[] = "LocalConfig.xml";
  static constexpr std::size_t kMaxClientModeLength = 64;
  static constexpr std::size_t kMaxResolvedUrlLength = 1024;

  // Reads DevuzezClientMode now. `module` and `settings` must outlive this.
  CGlobalConfig(const CCobrandableModule& module, const CSuiteSettings& settings);

  // The process's configuration (module and settings of the process).
  static CGlobalConfig& Instance();

  // Loads GlobalConfig_v2.xml (defaults when missing), then LocalConfig.xml.
  HRESULT Load() override;
  void ReadValues() override;
  void ApplyLocalOverrides();

  // The cobrand section's value, else default's; "%COBRANDID%" becomes
  // "_<id>" (or nothing), "%DEBUG%" nothing.
  std::string GetConfigValue(const std::string& key, const std::string& default_value);
  std::string GetConfigValue(const std::string& key, const std::string& default_value,
                             const std::string& attribute_name,
                             const std::string& attribute_value);
  // GetConfigValue, with the default in place of a value the URL policy rejects.
  std::string GetConfigUrl(const std::string& key, const std::string& default_value);
  std::string GetConfigUrl(const std::string& key, const std::string& default_value,
                           const std::string& attribute_name, const std::string& attribute_value);

  // The update service's URL with account, cobrand, version and locale.
  std::string BuildUpdateQuery(bool use_fallback);
  // Fetches the configuration from the update service (or its fallback),
  // caches it and takes its values. On any failure nothing changes.
  HRESULT RefreshFromService();

  int client_mode() const { return client_mode_; }
  static int ClientModeFromEnvironment();

  std::string update_service_url() const { return Get(update_service_url_); }
  std::string fallback_update_service_url() const { return Get(fallback_update_service_url_); }
  std::string auth_service_url() const { return Get(auth_service_url_); }
  std::string reminder_service_url() const { return Get(reminder_service_url_); }
  std::string home_page_url() const { return Get(home_page_url_); }
  std::string download_url() const { return Get(download_url_); }
  std::string whats_new_url() const { return Get(whats_new_url_); }
  std::string logon_page() const { return Get(logon_page_); }
  std::string logoff_page() const { return Get(logoff_page_); }
  std::string auth_cookies() const { return Get(auth_cookies_); }
  std::string not_safe_domains() const { return Get(not_safe_domains_); }
  VersionNumber latest_version() const { return Get(latest_version_); }
  VersionNumber min_version() const { return Get(min_version_); }
  int ttl_minutes() const { return Get(ttl_minutes_); }
  int calendar_update_interval() const { return Get(calendar_update_interval_); }
  bool dont_download_updates() const { return Get(dont_download_updates_); }
  std::string GetTip(int index) const;
  int tip_count() const;

  // The 16 tips used when the configuration has none.
  static std::vector<std::string> BuiltInTips();

 private:
  template <typename T>
  T Get(const T& member) const {
    std::lock_guard lock(lock_);
    return member;
  }
  std::string OverridePath() const;
  std::string LocalizeValue(std::string value) const;

  const CCobrandableModule& module_;
  const CSuiteSettings& settings_;

  VersionNumber latest_version_;
  VersionNumber min_version_;
  std::string download_url_;
  std::string update_service_url_;
  std::string fallback_update_service_url_;
  std::string auth_service_url_;
  std::string reminder_service_url_;
  std::string home_page_url_;
  std::string whats_new_url_;
  std::string logon_page_;
  std::string logoff_page_;
  int calendar_update_interval_ = 5;
  std::vector<std::string> tips_;
  int ttl_minutes_ = 1440;
  std::string auth_cookies_;
  std::string not_safe_domains_;
  int client_mode_ = kClientModeProd;
  // Recursive: reading values runs the URL policy, which reads the unsafe
  // list through a getter on the same thread.
  mutable std::recursive_mutex lock_;
  bool dont_download_updates_ = false;
};

}  // namespace quol
