#include "foundation/config/global_config.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "foundation/config/service_hosts.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/xml/xml_document.h"
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

const char* const kServiceUrlKeys[] = {"updateServiceUrl", "fallBackUpdateServiceUrl",
                                       "authServiceUrl", "reminderServiceUrl", "homePageUrl"};

std::string LocalizeValue(std::string value, const std::string& cobrand_id) {
  ReplaceAll(&value, "%COBRANDID%", cobrand_id.empty() ? std::string() : "_" + cobrand_id);
  ReplaceAll(&value, "%DEBUG%", "");
  return value;
}

bool IsNamed(pugi::xml_node node, const std::string& name) {
  return node.type() == pugi::node_element && name == node.name();
}

// Reads keys of one configuration document with the settings store's rules
// and log lines ("section/key": the first key element of the first section
// element of those names; its trimmed text, or the default when it is
// absent or blank).
//
// Sections are found by comparing element names, so a cobrand id such as
// "NOPE|EVIL" names no section at all instead of becoming a query. Each
// section's keys are indexed on first use: many tips cost one pass, not one
// pass per tip.
class ConfigReader {
 public:
  ConfigReader(const XmlDocumentHandle* document, std::string cobrand_id)
      : root_(document != nullptr ? document->xml.document_element() : pugi::xml_node()),
        cobrand_id_(std::move(cobrand_id)) {}

  std::string Value(const std::string& section, const std::string& key,
                    const std::string& default_value) {
    const Index& index = SectionIndex(section);
    auto found = index.find(key);
    return ReportSettingRead(XmlElementText(found != index.end() ? found->second : pugi::xml_node()),
                             section + "/" + key, false, default_value);
  }

  std::string Value(const std::string& section, const std::string& key,
                    const std::string& default_value, const std::string& attribute_name,
                    const std::string& attribute_value) {
    const std::string lowered = platform::AsciiLower(attribute_value);
    pugi::xml_node match;
    for (pugi::xml_node item = Section(section).first_child(); item; item = item.next_sibling()) {
      pugi::xml_attribute attribute = item.attribute(attribute_name.c_str());
      if (IsNamed(item, key) && attribute && lowered == attribute.value()) {
        match = item;
        break;
      }
    }
    return ReportSettingRead(XmlElementText(match),
                             section + "/" + key + "[@" + attribute_name + " = '" + lowered + "']",
                             false, default_value);
  }

  int Int(const std::string& section, const std::string& key, int default_value) {
    const std::string text = Value(section, key, "");
    int value = 0;
    if (std::sscanf(text.c_str(), "%d", &value) != 1) return default_value;
    return value;
  }

  // The cobrand section's value, else default's, with the placeholders filled.
  std::string ConfigValue(const std::string& key, const std::string& default_value) {
    std::string value;
    if (!cobrand_id_.empty()) value = Value(cobrand_id_, key, "");
    if (value.empty()) value = Value(kDefault, key, default_value);
    return LocalizeValue(value, cobrand_id_);
  }

  std::string ConfigValue(const std::string& key, const std::string& default_value,
                          const std::string& attribute_name, const std::string& attribute_value) {
    std::string value;
    if (!cobrand_id_.empty()) value = Value(cobrand_id_, key, "", attribute_name, attribute_value);
    if (value.empty()) value = Value(kDefault, key, default_value, attribute_name, attribute_value);
    return LocalizeValue(value, cobrand_id_);
  }

 private:
  using Index = std::unordered_map<std::string, pugi::xml_node>;

  const Index& SectionIndex(const std::string& section) {
    auto [at, added] = indexes_.try_emplace(section);
    if (!added) return at->second;
    for (pugi::xml_node item = Section(section).first_child(); item; item = item.next_sibling()) {
      if (item.type() == pugi::node_element) at->second.try_emplace(item.name(), item);
    }
    return at->second;
  }

  // The first section of that name, as the settings store reads sections.
  pugi::xml_node Section(const std::string& section) const {
    for (pugi::xml_node part = root_.first_child(); part; part = part.next_sibling()) {
      if (IsNamed(part, section)) return part;
    }
    return {};
  }

  pugi::xml_node root_;
  std::string cobrand_id_;
  std::unordered_map<std::string, Index> indexes_;
};

std::string SafeUrlOrDefault(std::string value, const std::string& default_value,
                             const UrlPolicyInputs& inputs) {
  if (!value.empty() && !IsUrlSafe(value, inputs, nullptr, true)) return default_value;
  return value;
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
  values_.update_service_url = row.update_service_url;
  values_.fallback_update_service_url = row.fallback_update_service_url;
  values_.auth_service_url = row.auth_service_url;
  values_.reminder_service_url = row.reminder_service_url;
  values_.home_page_url = row.home_page_url;
  values_.min_version.Read("0.0.0.0");
  values_.logon_page = "/logon/logon.";
  values_.logoff_page = "/logon/logout.";
  values_.auth_cookies = "ASP.NET_SessionId;quol_state;quol_auth";
  values_.tips = BuiltInTips();
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

std::string CGlobalConfig::GetConfigValue(const std::string& key,
                                          const std::string& default_value) {
  return ConfigReader(document(), module_.cobrand_id()).ConfigValue(key, default_value);
}

std::string CGlobalConfig::GetConfigValue(const std::string& key, const std::string& default_value,
                                          const std::string& attribute_name,
                                          const std::string& attribute_value) {
  return ConfigReader(document(), module_.cobrand_id())
      .ConfigValue(key, default_value, attribute_name, attribute_value);
}

std::string CGlobalConfig::GetConfigUrl(const std::string& key, const std::string& default_value) {
  UrlPolicyInputs inputs = ServiceUrlPolicy(not_safe_domains(), client_mode_ == kClientModeLocal);
  return SafeUrlOrDefault(GetConfigValue(key, default_value), default_value, inputs);
}

std::string CGlobalConfig::GetConfigUrl(const std::string& key, const std::string& default_value,
                                        const std::string& attribute_name,
                                        const std::string& attribute_value) {
  UrlPolicyInputs inputs = ServiceUrlPolicy(not_safe_domains(), client_mode_ == kClientModeLocal);
  return SafeUrlOrDefault(GetConfigValue(key, default_value, attribute_name, attribute_value),
                          default_value, inputs);
}

CGlobalConfig::Values CGlobalConfig::ReadValuesFrom(const XmlDocumentHandle* document) const {
  ConfigReader reader(document, module_.cobrand_id());
  const bool local = client_mode_ == kClientModeLocal;
  Values values;
  values.ttl_minutes = Clamp(reader.Int(kDefault, "ttl", 1440), 240, 10080);
  values.calendar_update_interval =
      Clamp(reader.Int(kDefault, "calendarUpdateInterval", 10), 1, 5);

  values.latest_version.Read(reader.ConfigValue("latestVersion", ""));
  values.min_version.Read(reader.ConfigValue("minVersion", "0.0.0.0"));

  // Read before this document's unsafe list, so judged by the one in force.
  values.download_url = SafeUrlOrDefault(
      reader.ConfigValue("downloadUrl", "", "sku", CCobrandableModule::SkuName(module_.sku_index())),
      "", ServiceUrlPolicy(not_safe_domains(), local));
  values.whats_new_url = reader.ConfigValue("whatsNewUrl", "");
  values.logon_page = reader.ConfigValue("logonPage", "/logon/logon.");
  values.logoff_page = reader.ConfigValue("logoffPage", "/logon/logout.");
  values.auth_cookies = reader.ConfigValue("authCookies", "ASP.NET_SessionId;quol_state;quol_auth");
  values.not_safe_domains = reader.ConfigValue("notSafeDomains", "");
  values.dont_download_updates =
      platform::EqualsIgnoreCase(reader.ConfigValue("dontDownloadUpdates", ""), "true");

  const UrlPolicyInputs inputs = ServiceUrlPolicy(values.not_safe_domains, local);
  const ClientModeRow& row = ClientModes()[static_cast<std::size_t>(client_mode_)];
  auto url = [&](const char* key, const std::string& default_value) {
    return SafeUrlOrDefault(reader.ConfigValue(key, default_value), default_value, inputs);
  };
  values.update_service_url = url("updateServiceUrl", row.update_service_url);
  values.fallback_update_service_url =
      url("fallBackUpdateServiceUrl", row.fallback_update_service_url);
  values.auth_service_url = url("authServiceUrl", row.auth_service_url);
  values.reminder_service_url = url("reminderServiceUrl", row.reminder_service_url);
  values.home_page_url = url("homePageUrl", row.home_page_url);

  // Each read replaces the whole list, so a refresh never piles tips up.
  for (int n = 1;; ++n) {
    std::string tip = reader.ConfigValue("saverTip" + std::to_string(n), "");
    if (tip.empty()) break;
    values.tips.push_back(std::move(tip));
  }
  if (values.tips.empty()) values.tips = BuiltInTips();
  return values;
}

void CGlobalConfig::ReadValues() {
  Values fresh = ReadValuesFrom(document());
  {
    std::lock_guard lock(lock_);
    std::swap(values_, fresh);
  }
  // The old values (possibly many tips) are freed here, off the lock.
}

std::string CGlobalConfig::OverridePath() const {
  std::string override_path = path();
  auto at = override_path.rfind(kFileName);
  if (at == std::string::npos) return {};
  return override_path.replace(at, std::string(kFileName).size(), kLocalFileName);
}

CGlobalConfig::ServiceUrls CGlobalConfig::ReadLocalOverrides(
    const std::string& not_safe_domains) const {
  ServiceUrls found;
  const std::string override_path = OverridePath();
  if (override_path.empty() || !platform::FileExists(override_path)) return found;
  XmlDocument local = OpenDocument(override_path, false);
  if (!local) return found;
  ConfigReader reader(local.get(), module_.cobrand_id());
  const UrlPolicyInputs inputs = ServiceUrlPolicy(not_safe_domains, client_mode_ == kClientModeLocal);
  for (std::size_t i = 0; i < found.size(); ++i) {
    found[i] = SafeUrlOrDefault(reader.ConfigValue(kServiceUrlKeys[i], ""), "", inputs);
  }
  return found;
}

void CGlobalConfig::ApplyOverrides(const ServiceUrls& overrides, Values* values) {
  std::string* members[] = {&values->update_service_url, &values->fallback_update_service_url,
                            &values->auth_service_url, &values->reminder_service_url,
                            &values->home_page_url};
  for (std::size_t i = 0; i < overrides.size(); ++i) {
    if (!overrides[i].empty() && overrides[i] != *members[i]) {
      LogInfo("Overriding %s with %s", kServiceUrlKeys[i], overrides[i].c_str());
      *members[i] = overrides[i];
    }
  }
}

void CGlobalConfig::ApplyLocalOverrides() {
  const ServiceUrls overrides = ReadLocalOverrides(not_safe_domains());
  std::lock_guard lock(lock_);
  ApplyOverrides(overrides, &values_);
}

std::string CGlobalConfig::BuildUpdateQuery(bool use_fallback) {
  std::lock_guard lock(lock_);
  std::string url =
      use_fallback ? values_.fallback_update_service_url : values_.update_service_url;
  url += url.find('?') == std::string::npos ? "?" : "&";
  const platform::UserLocale locale = platform::GetUserLocale();
  url += "account=" + QueryValue(settings_.account_id());
  url += "&cobrand=" + QueryValue(module_.cobrand_id());
  url += "&v=" + QueryValue(platform::ProgramFileVersionText());
  url += "&ll=" + QueryValue(locale.language.substr(0, 9)) + "-" +
         QueryValue(locale.country.substr(0, 9));
  return url;
}

XmlDocument CGlobalConfig::FetchDocument(const std::string& url) const {
  const UrlPolicyInputs inputs =
      ServiceUrlPolicy(not_safe_domains(), client_mode_ == kClientModeLocal);
  return OpenDocument(url, false, nullptr, [inputs](const std::string& target) {
    return IsUrlSafe(target, inputs, nullptr, true);
  });
}

HRESULT CGlobalConfig::RefreshFromService() {
  if (dont_download_updates()) return S_OK;

  std::string url = BuildUpdateQuery(false);
  XmlDocument document = FetchDocument(url);
  if (!document) {
    std::string fallback = BuildUpdateQuery(true);
    if (fallback != url) {
      LogInfo("Global config not found attempting fallback");
      url = fallback;
      document = FetchDocument(url);
    }
    if (!document) {
      LogError("Global config load failed.");
      return E_FAIL;
    }
  }

  // "/quol/<section>/<key>", walked by name.
  pugi::xml_node root = document->xml.document_element();
  if (std::string(root.name()) != "quol") root = pugi::xml_node();
  pugi::xml_node update;
  for (pugi::xml_node part = root.first_child(); part && !update; part = part.next_sibling()) {
    if (IsNamed(part, kDefault)) update = part.child("updateServiceUrl");
  }
  if (!update) {
    LogError("GlobalConfig did not contain updateServiceUrl.");
    return E_FAIL;
  }
  if (XmlElementText(update).empty()) {
    LogError("updateServiceUrl missing.");
    return E_FAIL;
  }

  // Relative addresses are taken relative to where the document came from.
  for (pugi::xml_node part = root.first_child(); part; part = part.next_sibling()) {
    if (part.type() != pugi::node_element) continue;
    for (pugi::xml_node node = part.first_child(); node; node = node.next_sibling()) {
      if (node.type() != pugi::node_element) continue;
      const std::string name = node.name();
      if (name.size() <= 2 || name.compare(name.size() - 3, 3, "Url") != 0) continue;
      const std::string text = XmlElementText(node);
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
  }

  // Everything is read before the lock is taken; readers wait only for the
  // swap.
  Values fresh = ReadValuesFrom(document.get());
  ApplyOverrides(ReadLocalOverrides(fresh.not_safe_domains), &fresh);
  SetDocument(std::move(document));
  // The cache; a failed write only costs the next start a download.
  static_cast<void>(WriteDocumentTo(path()));
  ReleaseDocument();
  {
    std::lock_guard lock(lock_);
    std::swap(values_, fresh);
  }
  return S_OK;
}

std::string CGlobalConfig::GetTip(int index) const {
  std::lock_guard lock(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= values_.tips.size()) return {};
  return values_.tips[static_cast<std::size_t>(index)];
}

int CGlobalConfig::tip_count() const {
  std::lock_guard lock(lock_);
  return static_cast<int>(values_.tips.size());
}

UrlPolicyInputs ServiceUrlPolicy(const std::string& not_safe_domains, bool local_client_mode) {
  UrlPolicyInputs inputs;
  // Tried in this order.
  inputs.safe_domains = {std::string(".") + kServiceDomain, kSecureHost, kPartnerHost};
  inputs.blocked_hosts = {kWebSiteHost};
  inputs.not_safe_domains = not_safe_domains;
  inputs.trust_loopback = local_client_mode;
  return inputs;
}

namespace {
UrlPolicyInputs ProcessUrlPolicy() {
  const CGlobalConfig& config = CGlobalConfig::Instance();
  return ServiceUrlPolicy(config.not_safe_domains(), config.client_mode() == kClientModeLocal);
}
}  // namespace

bool IsUrlSafe(const std::string& url, int* kind, bool log_rejections) {
  return IsUrlSafe(url, ProcessUrlPolicy(), kind, log_rejections);
}

bool IsHostSafe(const std::string& url, bool log_rejections) {
  return IsHostSafe(url, ProcessUrlPolicy(), log_rejections);
}

}  // namespace quol
