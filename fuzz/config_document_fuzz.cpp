// The configuration document, as the cached GlobalConfig_v2.xml in the data
// folder (the update service's answer once stored), read into every value
// the programs use. The refresh from the service fetches over HTTP itself,
// with no way to hand it a document, so it is left out: a fuzzer must not
// reach the network. The store's document fetcher is pointed at a failure
// for the same reason.
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
  const std::string_view document = quol::fuzz::AsText(data, size);

  static const quol::CCobrandableModule module;
  static const quol::CSuiteSettings settings;
  quol::CQuolSettingsManagerBase::SetDocumentFetcher(
      [](const std::string&, std::string*, std::string* error) {
        *error = "offline";
        return quol::E_FAIL;
      });
  std::string path;
  {
    quol::CGlobalConfig config(module, settings);
    path = config.path();
    if (!quol::fuzz::WriteFile(path, document)) return 0;
    if (quol::Failed(config.Load())) return 0;
    ReadEverything(config);
  }
  std::remove(path.c_str());
  std::remove((path + ".bad").c_str());
  return 0;
}
