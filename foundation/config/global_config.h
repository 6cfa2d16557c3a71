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
// takes the config lock and returns a copy. A refreshed document is fetched,
// parsed and read before the lock is taken; the lock is held only to swap
// the new values in, so readers never wait on the network or the parse.
//
// Keys are found by walking element names, never by building a query from
// data (a cobrand id is data), and each section's keys are indexed once, so
// reading a document costs time in proportion to its size.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/config/cobrand_module.h"
#include "foundation/settings/settings_manager.h"
#include "foundation/settings/version_number.h"
#include "foundation/urlpolicy/url_policy.h"

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
  [[nodiscard]] HRESULT Load() override;
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
  [[nodiscard]] HRESULT RefreshFromService();

  int client_mode() const { return client_mode_; }
  static int ClientModeFromEnvironment();

  std::string update_service_url() const { return Get(values_.update_service_url); }
  std::string fallback_update_service_url() const {
    return Get(values_.fallback_update_service_url);
  }
  std::string auth_service_url() const { return Get(values_.auth_service_url); }
  std::string reminder_service_url() const { return Get(values_.reminder_service_url); }
  std::string home_page_url() const { return Get(values_.home_page_url); }
  std::string download_url() const { return Get(values_.download_url); }
  std::string whats_new_url() const { return Get(values_.whats_new_url); }
  std::string logon_page() const { return Get(values_.logon_page); }
  std::string logoff_page() const { return Get(values_.logoff_page); }
  std::string auth_cookies() const { return Get(values_.auth_cookies); }
  std::string not_safe_domains() const { return Get(values_.not_safe_domains); }
  VersionNumber latest_version() const { return Get(values_.latest_version); }
  VersionNumber min_version() const { return Get(values_.min_version); }
  int ttl_minutes() const { return Get(values_.ttl_minutes); }
  int calendar_update_interval() const { return Get(values_.calendar_update_interval); }
  bool dont_download_updates() const { return Get(values_.dont_download_updates); }
  std::string GetTip(int index) const;
  int tip_count() const;

  // The 16 tips used when the configuration has none.
  static std::vector<std::string> BuiltInTips();

 private:
  // Everything read from the configuration, built off the lock and swapped
  // in under it.
  struct Values {
    VersionNumber latest_version;
    VersionNumber min_version;
    std::string download_url;
    std::string update_service_url;
    std::string fallback_update_service_url;
    std::string auth_service_url;
    std::string reminder_service_url;
    std::string home_page_url;
    std::string whats_new_url;
    std::string logon_page;
    std::string logoff_page;
    int calendar_update_interval = 5;
    std::vector<std::string> tips;
    int ttl_minutes = 1440;
    std::string auth_cookies;
    std::string not_safe_domains;
    bool dont_download_updates = false;
  };
  // The five service addresses LocalConfig.xml may override, in order.
  using ServiceUrls = std::array<std::string, 5>;

  template <typename T>
  T Get(const T& member) const {
    std::lock_guard lock(lock_);
    return member;
  }
  std::string OverridePath() const;
  // Reads every value of `document` (may be null: all defaults). Takes the
  // lock only for the unsafe list the download URL is judged by.
  Values ReadValuesFrom(const XmlDocumentHandle* document) const;
  // The service addresses LocalConfig.xml names and the URL policy accepts
  // (judged by `not_safe_domains`); empty where it names none.
  ServiceUrls ReadLocalOverrides(const std::string& not_safe_domains) const;
  // Takes each override that differs from the value in `values`, logging it.
  static void ApplyOverrides(const ServiceUrls& overrides, Values* values);
  // GETs the configuration, following only redirects the URL policy
  // accepts, and parses it with bounded nesting; null (logged) on failure.
  XmlDocument FetchDocument(const std::string& url) const;

  const CCobrandableModule& module_;
  const CSuiteSettings& settings_;

  Values values_;
  int client_mode_ = kClientModeProd;
  // Held only to copy or swap values; nothing called under it takes it
  // again.
  mutable std::mutex lock_;
};

// The URL policy as the service needs it: its own domains safe, its public
// web site blocked, the given unsafe list, loopback in the local client mode.
UrlPolicyInputs ServiceUrlPolicy(const std::string& not_safe_domains, bool local_client_mode);

// The URL policy judged by this process's configuration (its unsafe list and
// client mode, read under the configuration's lock). Any thread.
bool IsUrlSafe(const std::string& url, int* kind = nullptr, bool log_rejections = true);
bool IsHostSafe(const std::string& url, bool log_rejections);

}  // namespace quol
