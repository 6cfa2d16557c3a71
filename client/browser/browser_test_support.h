// Fakes shared by the browser's tests: a frame that records what the
// browser side asks of it (and forwards the browser's events to the
// navigation policy, as CMainFrame does), and a process configuration of
// the local client mode whose unsafe list names "localhost", so one
// loopback server can play the service (127.0.0.1) and another site
// (localhost).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/browser/navigation_policy.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/settings/suite_settings.h"
#include "platform/datafolder/data_folder.h"
#include "platform/testing/test_support.h"

namespace quol::client::testing {

struct Recorded {
  std::vector<std::string> opened_outside;
  std::vector<std::pair<std::string, int>> error_pages;
  std::vector<std::string> navigations;
  std::vector<std::pair<std::string, std::string>> status_messages;
  std::vector<std::pair<std::string, std::string>> settings_set;
  std::vector<unsigned> posted;
  int progress_shown = 0;
  int progress_hidden = 0;
  int frame_shown = 0;
  int document_complete = 0;
  int bar_kind = -1;
  std::string bar_text;
  std::string title;
};

class FakeFrame : public IFrameHost, public CAbstractBrowserEvents {
 public:
  explicit FakeFrame(std::string start_url) : start_url_(std::move(start_url)) {}

  Recorded rec;
  bool visible = true;
  CNavigationPolicy* policy = nullptr;
  CAbstractBrowser* browser = nullptr;
  CSuiteSettings* settings = nullptr;
  // What PostFrameMessage does with the navigation-error message; by
  // default it is kept for the test to run.
  std::function<void(int status)> on_error_message;

  // IFrameHost
  GtkWindow* window() override { return nullptr; }
  void Navigate(const std::string& url) override {
    rec.navigations.push_back(url);
    if (browser != nullptr) browser->Navigate(url);
  }
  void ShowErrorPage(const std::string& kind, int code) override {
    rec.error_pages.emplace_back(kind, code);
    if (browser != nullptr) browser->Navigate(ErrorPageUrl(kind, code));
  }
  void ShowMessageBar(int kind, bool, const std::string& text, const std::string&) override {
    rec.bar_kind = kind;
    rec.bar_text = text;
  }
  void HideMessageBar() override { rec.bar_kind = -1; }
  int MessageBarKindShown() override { return rec.bar_kind; }
  void ShowFrameOnce() override { ++rec.frame_shown; }
  bool FrameVisible() override { return visible; }
  void ShowProgress() override { ++rec.progress_shown; }
  void HideProgress() override { ++rec.progress_hidden; }
  void PostFrameMessage(unsigned message, std::uintptr_t, std::intptr_t lparam) override {
    rec.posted.push_back(message);
    if (message == kNavigationErrorMessage && on_error_message) on_error_message(static_cast<int>(lparam));
  }
  void ScheduleUpdateCheck(bool) override {}
  void StartUpgrade() override {}
  void OpenInDefaultBrowser(const std::string& url) override { rec.opened_outside.push_back(url); }
  std::uint32_t launch_mode() override { return mode_; }
  void set_launch_mode(std::uint32_t mode) override { mode_ = mode; }
  std::string start_url() override { return start_url_; }
  bool started_from_screensaver() override { return false; }

  // CAbstractBrowserEvents, forwarded to the policy as the frame does.
  void OnDocumentComplete() override {
    ++rec.document_complete;
    if (policy != nullptr) policy->OnDocumentComplete();
  }
  bool OnBeforeNavigate(const std::string& url, const std::string& top) override {
    return policy == nullptr || policy->OnBeforeNavigate(url, top);
  }
  bool OnNewWindow(const std::string& url, const std::string& referrer) override {
    return policy == nullptr || policy->OnNewWindow(url, referrer);
  }
  bool OnNavigateError(int status, const std::string& url) override {
    return policy == nullptr || policy->OnNavigateError(status, url);
  }
  void OnTitleChange(const std::string& title) override { rec.title = title; }
  void OnNavigateComplete(const std::string& url) override {
    if (policy != nullptr) policy->OnNavigateComplete(url);
  }
  void OnKeyDown(unsigned, bool, bool, bool) override {}
  HRESULT SetCredentials(const std::string& user, const std::string& password) override {
    if (settings == nullptr) return E_FAIL;
    settings->SetEmailAddress(user);
    HRESULT hr = settings->SetPassword(password);
    settings->SetAccountId("");
    if (Succeeded(hr)) hr = settings->Save();
    return hr;
  }
  bool HasCredentials() override {
    return settings != nullptr && !settings->email_address().empty() && !settings->password().empty();
  }
  HRESULT SetSetting(const std::string& name, const std::string& value) override {
    rec.settings_set.emplace_back(name, value);
    if (settings == nullptr) return E_FAIL;
    HRESULT hr = settings->SetWebClientValue(name, value);
    if (Succeeded(hr)) hr = settings->Save();
    return hr;
  }
  HRESULT GetSetting(const std::string& name, std::string* value) override {
    value->clear();
    return settings != nullptr && settings->GetWebClientValue(name, value) ? S_OK : S_FALSE;
  }
  HRESULT ShowCollageSettingsDlg() override { return S_OK; }
  HRESULT StartCollage() override { return S_OK; }
  HRESULT ShowAboutDlg() override { return S_OK; }
  HRESULT CheckForUpdates() override { return S_OK; }
  HRESULT UpgradeNow() override { return S_OK; }
  HRESULT ShowStatusMessage(const std::string& message, const std::string& url) override {
    rec.status_messages.emplace_back(message, url);
    return S_OK;
  }
  HRESULT OpenHomePage() override { return S_OK; }
  HRESULT SetupScreensaver(const std::string&) override { return S_OK; }
  int ScreensaverSetup() override { return 0; }

 private:
  std::string start_url_;
  std::uint32_t mode_ = kLaunchNormal;
};

// The local client mode with "localhost" unsafe and the default logon and
// logoff pages; settings and configuration loaded from the test's data
// folder.
class PolicyWorld {
 public:
  explicit PolicyWorld(const std::string& start_url, const std::string& extra_config = "")
      : local_mode_("DevuzezClientMode", "local"), frame(start_url) {
    std::string folder;
    (void)platform::EnsureDataFolder(&folder);
    quol::testing::WriteFileOrDie(folder + "/GlobalConfig_v2.xml",
                                  "<quol><default><notSafeDomains>localhost</notSafeDomains>"
                                  "<authCookies>quol_state;quol_auth</authCookies>" +
                                      extra_config + "</default></quol>");
    module.SetCobrand("", 1);
    (void)settings.Load();
    config = std::make_unique<CGlobalConfig>(module, settings);
    (void)config->Load();
    policy = std::make_unique<CNavigationPolicy>(frame, *config, settings, module);
    frame.policy = policy.get();
    frame.settings = &settings;
  }

  quol::testing::ScopedEnv local_mode_;
  CCobrandableModule module;
  CSuiteSettings settings;
  std::unique_ptr<CGlobalConfig> config;
  FakeFrame frame;
  std::unique_ptr<CNavigationPolicy> policy;
};

}  // namespace quol::client::testing
