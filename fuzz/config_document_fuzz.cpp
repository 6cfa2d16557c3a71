// The configuration document, as the cached GlobalConfig_v2.xml in the data
// folder or as the update service's answer (through the document fetcher,
// so nothing goes to the network), read into every value the programs use.
#include <cstdio>
#include <string>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/settings/suite_settings.h"
#include "fuzz/fuzz_support.h"

namespace {

void ReadEverything(quol::CGlobalConfig& config) {
  config.update_service_url();
  config.fallback_update_service_url();
  config.auth_service_url();
  config.reminder_service_url();
  config.home_page_url();
  config.download_url();
  config.whats_new_url();
  config.logon_page();
  config.logoff_page();
  config.auth_cookies();
  config.not_safe_domains();
  config.latest_version();
  config.min_version();
  config.ttl_minutes();
  config.calendar_update_interval();
  config.dont_download_updates();
  const int tips = config.tip_count();
  for (int i = -1; i <= tips && i < 64; ++i) config.GetTip(i);
  config.GetConfigValue("homePageUrl", "");
  config.GetConfigUrl("downloadUrl", "https://example.invalid/");
  config.BuildUpdateQuery(false);
  config.BuildUpdateQuery(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  if (size == 0) return 0;
  // The first byte picks where the document comes from.
  const bool from_service = (data[0] & 1) != 0;
  const std::string document(quol::fuzz::AsText(data + 1, size - 1));

  static const quol::CCobrandableModule module;
  static const quol::CSuiteSettings settings;
  quol::CQuolSettingsManagerBase::SetDocumentFetcher(
      [from_service, &document](const std::string&, std::string* body, std::string* error) {
        if (!from_service) {
          *error = "offline";
          return quol::E_FAIL;
        }
        *body = document;
        return quol::S_OK;
      });
  std::string path;
  {
    quol::CGlobalConfig config(module, settings);
    path = config.path();
    if (!from_service) quol::fuzz::WriteFile(path, document);
    config.Load();
    if (from_service) config.RefreshFromService();
    ReadEverything(config);
  }
  quol::CQuolSettingsManagerBase::SetDocumentFetcher(
      [](const std::string&, std::string*, std::string* error) {
        *error = "offline";
        return quol::E_FAIL;
      });
  std::remove(path.c_str());
  std::remove((path + ".bad").c_str());
  return 0;
}
