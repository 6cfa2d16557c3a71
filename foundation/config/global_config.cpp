#include "foundation/config/global_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "foundation/config/service_hosts.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/urlpolicy/url_policy.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/locale/locale.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol {
namespace {

constexpr char kDefault[] = "default";

struct ClientModeRow {
  const char* name;
  std::string update_service_url;
  std::string fallback_update_service_url;
  std::string auth_service_url;
  std::string reminder_service_url;
  std::string home_page_url;
};

const std::vector<ClientModeRow>& ClientModes() {
  static const std::vector<ClientModeRow> rows = [] {
    const std::string update =
        std::string("http://") + kDownloadHost + "/QuolDevuzez/GlobalConfig_v2.xml";
    const std::string local = "http://127.0.0.1:" + std::to_string(kLocalApiPort);
    return std::vector<ClientModeRow>{
        {"prod", update, update,
         std::string("https://") + kApiHost + "/v_p_v0.6/API/accounts/auth/default.ashx",
         std::string("http://") + kCentralHost + "/rest/api/calendar/interval/default.ashx",
         std::string("http://") + kCentralHost + "/devuzez/"},
        {"local", update, update, local + "/Service/API/accounts/auth/default.ashx",
         local + "/Service/api/calendar/interval/default.ashx",
         "http://127.0.0.1:" + std::to_string(kLocalWebPort) + "/devuzez/"},
    };
  }();
  return rows;
}

int Clamp(int value, int low, int high) { return std::min(std::max(value, low), high); }

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (std::size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// Query values go in unchanged when they are plain; anything that would
// change the URL's structure is percent-escaped.
std::string QueryValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string WithWebAddress() {
  return std::string(
             "Tip: If you know a friend who would love this photo screen saver, point them to ") +
         kWebAddress + ".";
}

std::string WithSupportAddress() {
  return std::string("We love to hear your feedback! Send questions and comments to ") +
         kSupportAddress + ".";
}

}  // namespace

std::vector<std::string> CGlobalConfig::BuiltInTips() {
  return {
      "!Tip: Type the \u201cC\u201d key when this screen saver is running to jump straight to your "
      "family\u2019s Quol account.",
      "!Tip: To change which photos are displayed in this screen saver, type the \u201c/\u201d "
      "(slash) key and choose the Photos tab.",
      "!Tip: To change how quickly the photo collages change, type the \u201c/\u201d (slash) key.",
      "!Tip: Get shopping lists on your phone! Type the \u201cC\u201d key to start Quol and enter "
      "your mobile phone number.",
      "Tip: Type the Left or Right keys when this screen saver is running to move to the previous "
      "or next collage.",
      WithWebAddress(),
      "Tip: Set up recurring appointments by describing how often they happen. Example: "
      "\u201cSoccer 3-5pm every Wednesday\u201d",
      "Tip: To color-code an appointment, click it and choose who it\u2019s for.",
      "Tip: Does your child have a favorite color? Personalize their calendar color in Quol\u2019s "
      "Settings area.",
      "Tip: Take your schedule with you with a printed Week or Month calendar.",
      "Tip: Print out a Month view of your calendar and hang it on the kitchen wall.",
      "Tip: If you or your spouse uses Microsoft Outlook, install the Quol Outlook Toolbar to keep "
      "your family and work calendars in sync.",
      "Tip: When you use Quol Shopping Lists, you can get to your shopping lists from any of your "
      "PCs!",
      "Tip: You can send any Quol shopping list to your mobile phone.",
      "Tip: If you have an appointment you can\u2019t afford to miss, you can ask Quol to send you "
      "a reminder.",
      WithSupportAddress(),
  };
}

int CGlobalConfig::ClientModeFromEnvironment() {
  const char* value = std::getenv("DevuzezClientMode");
  if (value == nullptr) return kClientModeProd;
  std::string mode = std::string(value).substr(0, kMaxClientModeLength);
  const auto& rows = ClientModes();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (platform::EqualsIgnoreCase(mode, rows[i].name)) return static_cast<int>(i);
  }
  return kClientModeProd;
}

CGlobalConfig::CGlobalConfig(const CCobrandableModule& module, const CSuiteSettings& settings)
    : CQuolSettingsManagerBase(false, kFileName), module_(module), settings_(settings) {
  client_mode_ = ClientModeFromEnvironment();
  const ClientModeRow& row = ClientModes()[static_cast<std::size_t>(client_mode_)];
  update_service_url_ = row.update_service_url;
  fallback_update_service_url_ = row.fallback_update_service_url;
  auth_service_url_ = row.auth_service_url;
  reminder_service_url_ = row.reminder_service_url;
  home_page_url_ = row.home_page_url;
  min_version_.Read("0.0.0.0");
  logon_page_ = "/logon/logon.";
  logoff_page_ = "/logon/logout.";
  auth_cookies_ = "ASP.NET_SessionId;quol_state;quol_auth";
  tips_ = BuiltInTips();
}

CGlobalConfig& CGlobalConfig::Instance() {
  static CGlobalConfig config(CCobrandableModule::Instance(), CSuiteSettings::Instance());
  return config;
}

HRESULT CGlobalConfig::Load() {
  HRESULT hr = CQuolSettingsManagerBase::Load();
  if (Succeeded(hr)) ReleaseDocument();
  ApplyLocalOverrides();
  return hr;
}

std::string CGlobalConfig::LocalizeValue(std::string value) const {
  const std::string& id = module_.cobrand_id();
  ReplaceAll(&value, "%COBRANDID%", id.empty() ? std::string() : "_" + id);
  ReplaceAll(&value, "%DEBUG%", "");
  return value;
}

std::string CGlobalConfig::GetConfigValue(const std::string& key,
                                          const std::string& default_value) {
  std::string value;
  if (!module_.cobrand_id().empty()) value = GetValue(module_.cobrand_id(), key, "");
  if (value.empty()) value = GetValue(kDefault, key, default_value);
  return LocalizeValue(value);
}

std::string CGlobalConfig::GetConfigValue(const std::string& key, const std::string& default_value,
                                          const std::string& attribute_name,
                                          const std::string& attribute_value) {
  std::string value;
  if (!module_.cobrand_id().empty()) {
    value = GetValue(module_.cobrand_id(), key, "", attribute_name, attribute_value);
  }
  if (value.empty()) value = GetValue(kDefault, key, default_value, attribute_name, attribute_value);
  return LocalizeValue(value);
}

std::string CGlobalConfig::GetConfigUrl(const std::string& key, const std::string& default_value) {
  std::string value = GetConfigValue(key, default_value);
  UrlPolicyInputs inputs{Get(not_safe_domains_), client_mode_ == kClientModeLocal};
  if (!value.empty() && !IsUrlSafe(value, inputs, nullptr, true)) return default_value;
  return value;
}

std::string CGlobalConfig::GetConfigUrl(const std::string& key, const std::string& default_value,
                                        const std::string& attribute_name,
                                        const std::string& attribute_value) {
  std::string value = GetConfigValue(key, default_value, attribute_name, attribute_value);
  UrlPolicyInputs inputs{Get(not_safe_domains_), client_mode_ == kClientModeLocal};
  if (!value.empty() && !IsUrlSafe(value, inputs, nullptr, true)) return default_value;
  return value;
}

void CGlobalConfig::ReadValues() {
  std::lock_guard lock(lock_);
  ttl_minutes_ = Clamp(GetInt(kDefault, "ttl", 1440), 240, 10080);
  calendar_update_interval_ = Clamp(GetInt(kDefault, "calendarUpdateInterval", 10), 1, 5);

  latest_version_.Clear();
  latest_version_.Read(GetConfigValue("latestVersion", ""));
  min_version_.Clear();
  min_version_.Read(GetConfigValue("minVersion", "0.0.0.0"));

  download_url_ = GetConfigUrl("downloadUrl", "", "sku",
                               CCobrandableModule::SkuName(module_.sku_index()));
  whats_new_url_ = GetConfigValue("whatsNewUrl", "");
  logon_page_ = GetConfigValue("logonPage", "/logon/logon.");
  logoff_page_ = GetConfigValue("logoffPage", "/logon/logout.");
  auth_cookies_ = GetConfigValue("authCookies", "ASP.NET_SessionId;quol_state;quol_auth");
  not_safe_domains_ = GetConfigValue("notSafeDomains", "");
  dont_download_updates_ = platform::EqualsIgnoreCase(GetConfigValue("dontDownloadUpdates", ""),
                                                      "true");

  const ClientModeRow& row = ClientModes()[static_cast<std::size_t>(client_mode_)];
  update_service_url_ = GetConfigUrl("updateServiceUrl", row.update_service_url);
  fallback_update_service_url_ =
      GetConfigUrl("fallBackUpdateServiceUrl", row.fallback_update_service_url);
  auth_service_url_ = GetConfigUrl("authServiceUrl", row.auth_service_url);
  reminder_service_url_ = GetConfigUrl("reminderServiceUrl", row.reminder_service_url);
  home_page_url_ = GetConfigUrl("homePageUrl", row.home_page_url);

  // Each read replaces the whole list, so a refresh never piles tips up.
  tips_.clear();
  for (int n = 1;; ++n) {
    std::string tip = GetConfigValue("saverTip" + std::to_string(n), "");
    if (tip.empty()) break;
    tips_.push_back(tip);
  }
  if (tips_.empty()) tips_ = BuiltInTips();
}

std::string CGlobalConfig::OverridePath() const {
  std::string override_path = path();
  auto at = override_path.rfind(kFileName);
  if (at == std::string::npos) return {};
  return override_path.replace(at, std::string(kFileName).size(), kLocalFileName);
}

void CGlobalConfig::ApplyLocalOverrides() {
  const std::string override_path = OverridePath();
  if (override_path.empty() || !platform::FileExists(override_path)) return;
  std::lock_guard lock(lock_);
  SetDocument(OpenDocument(override_path, false));
  if (document() == nullptr) return;
  struct Override {
    const char* key;
    std::string* member;
  };
  const Override overrides[] = {
      {"updateServiceUrl", &update_service_url_},
      {"fallBackUpdateServiceUrl", &fallback_update_service_url_},
      {"authServiceUrl", &auth_service_url_},
      {"reminderServiceUrl", &reminder_service_url_},
      {"homePageUrl", &home_page_url_},
  };
  for (const Override& item : overrides) {
    std::string value = GetConfigUrl(item.key, "");
    if (!value.empty() && value != *item.member) {
      LogInfo("Overriding %s with %s", item.key, value.c_str());
      *item.member = value;
    }
  }
  ReleaseDocument();
}

std::string CGlobalConfig::BuildUpdateQuery(bool use_fallback) {
  std::lock_guard lock(lock_);
  std::string url = use_fallback ? fallback_update_service_url_ : update_service_url_;
  url += url.find('?') == std::string::npos ? "?" : "&";
  const platform::UserLocale locale = platform::GetUserLocale();
  url += "account=" + QueryValue(settings_.account_id());
  url += "&cobrand=" + QueryValue(module_.cobrand_id());
  url += "&v=" + QueryValue(platform::ProgramFileVersionText());
  url += "&ll=" + QueryValue(locale.language.substr(0, 9)) + "-" +
         QueryValue(locale.country.substr(0, 9));
  return url;
}

HRESULT CGlobalConfig::RefreshFromService() {
  if (dont_download_updates()) return S_OK;

  std::string url = BuildUpdateQuery(false);
  XmlDocument document = OpenDocument(url, false);
  if (!document) {
    std::string fallback = BuildUpdateQuery(true);
    if (fallback != url) {
      LogInfo("Global config not found attempting fallback");
      url = fallback;
      document = OpenDocument(url, false);
    }
    if (!document) {
      LogError("Global config load failed.");
      return E_FAIL;
    }
  }

  pugi::xml_node update = document->select_node("/quol/default/updateServiceUrl").node();
  if (!update) {
    LogError("GlobalConfig did not contain updateServiceUrl.");
    return E_FAIL;
  }
  if (ElementText(update).empty()) {
    LogError("updateServiceUrl missing.");
    return E_FAIL;
  }

  // Relative addresses are taken relative to where the document came from.
  for (pugi::xpath_node item : document->select_nodes("/quol/*/*")) {
    pugi::xml_node node = item.node();
    const std::string name = node.name();
    if (name.size() <= 2 || name.compare(name.size() - 3, 3, "Url") != 0) continue;
    const std::string text = ElementText(node);
    if (text.empty() || platform::StartsWithIgnoreCase(text, "http:") ||
        platform::StartsWithIgnoreCase(text, "https:")) {
      continue;
    }
    std::string absolute;
    if (Succeeded(platform::ResolveUrl(url, text, &absolute)) &&
        absolute.size() <= kMaxResolvedUrlLength) {
      node.remove_children();
      node.append_child(pugi::node_pcdata).set_value(absolute.c_str());
    }
  }

  std::lock_guard lock(lock_);
  SetDocument(std::move(document));
  WriteDocumentTo(path());  // the cache; a failed write only costs the next start
  ReadValues();
  ReleaseDocument();
  ApplyLocalOverrides();
  return S_OK;
}

std::string CGlobalConfig::GetTip(int index) const {
  std::lock_guard lock(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= tips_.size()) return {};
  return tips_[static_cast<std::size_t>(index)];
}

int CGlobalConfig::tip_count() const {
  std::lock_guard lock(lock_);
  return static_cast<int>(tips_.size());
}

}  // namespace quol
