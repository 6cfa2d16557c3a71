#include "client/browser/navigation_policy.h"

#include <cctype>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/urlpolicy/url_policy.h"
#include "platform/identity/identity.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol::client {
namespace {

bool EndsWithIgnoreCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         platform::EqualsIgnoreCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

// Query values are put in as they are when plain, escaped otherwise (a
// cobrand id is data from the registry).
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

std::string SchemeOf(const std::string& url) {
  const std::size_t colon = url.find(':');
  return colon == std::string::npos ? std::string() : platform::AsciiLower(url.substr(0, colon));
}

}  // namespace

std::string LaunchModeName(std::uint32_t launch_mode) {
  switch (launch_mode) {
    case kLaunchFirstTime: return "FirstTime";
    case kLaunchPostUpgrade: return "PostUpgrade";
    case kLaunchPostLogout: return "PostLogout";
    case kLaunchCancelLogin: return "CancelLogin";
    case kLaunchScreensaver: return "ScreenSaverLaunch";
    case kLaunchScreensaverFirstTime: return "ScreenSaverLaunchWithUpgrade";
    default: return {};
  }
}

std::string ErrorPageUrl(const std::string& kind, int code) {
  return "res://" + platform::ExecutableBaseName() + "/offline.htm#error=" + kind +
         "&code=" + std::to_string(code);
}

CNavigationPolicy::CNavigationPolicy(IFrameHost& frame, CGlobalConfig& config,
                                     CSuiteSettings& settings, const CCobrandableModule& module)
    : frame_(frame),
      config_(config),
      module_(module),
      signin_(frame, config, settings, [this](std::uint32_t mode) { return HomeURL(mode); }) {}

CNavigationPolicy::~CNavigationPolicy() = default;

void CNavigationPolicy::AttachBrowser(CAbstractBrowser* browser) {
  browser_ = browser;
  signin_.set_browser(browser);
  // A browser that shows the sign-in watch every URL of its top-level loads
  // (redirects included, before the next request leaves) replaces the
  // watch in OnBeforeNavigate, which sees a safe page only at its response,
  // after the redirects: a logoff page the service answers with a redirect
  // to its logon page would never be seen there.
  browser_watches_urls_ =
      browser != nullptr &&
      browser->SetTopLevelUrlWatch(
          [this, alive = std::weak_ptr<bool>(alive_), browser](const std::string& url) {
            if (!alive.expired() && browser_ == browser) signin_.BeforeNavigateSignIn(url);
          });
}

bool CNavigationPolicy::IsSafe(const std::string& url, int* kind) const {
  return quol::IsUrlSafe(url,
                         ServiceUrlPolicy(config_.not_safe_domains(),
                                          config_.client_mode() == kClientModeLocal),
                         kind, true);
}

void CNavigationPolicy::OpenOutside(const std::string& url) {
  const std::string scheme = SchemeOf(url);
  if (scheme == "http" || scheme == "https" || scheme == "mailto") {
    frame_.OpenInDefaultBrowser(url);
  } else {
    LogError("Not opening '%s' outside the client.", url.c_str());
  }
}

bool CNavigationPolicy::OnBeforeNavigate(const std::string& url, const std::string& top_document_url) {
  const bool top_level = top_document_url.empty();
  if (top_level && frame_.MessageBarKindShown() == kBarSignedOut) frame_.HideMessageBar();
  int kind = kUrlKindOther;
  bool safe = IsSafe(url, &kind);
  const bool script_or_res = kind == kUrlKindRes || kind == kUrlKindJavascript;
  // Content of other sites inside frames of the client's own pages (the
  // browser reports only real sub-frames with a top document).
  if (!safe && !script_or_res && !top_level) safe = IsSafe(top_document_url);
  if (top_level && !browser_watches_urls_) signin_.BeforeNavigateSignIn(url);
  if (!safe && !script_or_res) {
    // A frame of a foreign page is simply not loaded; only a top-level
    // navigation goes to the user's own browser.
    if (top_level) OpenOutside(url);
    return false;
  }
  if (!top_level) return true;
  if (first_navigation_) {
    // The splash covers the first navigation.
    first_navigation_ = false;
    return true;
  }
  navigating_ = true;
  if (frame_.FrameVisible() && kind != kUrlKindJavascript) frame_.ShowProgress();
  return true;
}

bool CNavigationPolicy::OnNewWindow(const std::string& url, const std::string& referrer) {
  if (platform::StartsWithIgnoreCase(url, "javascript:")) return true;
  // Same host and a URL the policy accepts: the client's own new window.
  if (SameHost(url, referrer) && IsSafe(url)) return true;
  frame_.HideProgress();
  OpenOutside(url);
  return false;
}

bool CNavigationPolicy::OnNavigateError(int status, const std::string& url) {
  if (status == 404) return true;
  if (EndsWithIgnoreCase(url, ".png") || EndsWithIgnoreCase(url, ".gif") ||
      EndsWithIgnoreCase(url, ".jpg")) {
    return true;
  }
  if (!SameHost(url, frame_.start_url())) return true;
  frame_.PostFrameMessage(kNavigationErrorMessage, 0, status);
  return false;
}

void CNavigationPolicy::OnNavigationErrorMessage(int status) {
  frame_.ShowFrameOnce();
  const char* kind = "http";
  if (browser_ != nullptr && !browser_->IsOnline()) {
    kind = "offline";
  } else if (status < 0) {
    kind = "connect";
  }
  frame_.ShowErrorPage(kind, status);
}

void CNavigationPolicy::OnDocumentComplete() {
  frame_.ShowFrameOnce();
  navigating_ = false;
  frame_.HideProgress();
}

void CNavigationPolicy::OnNavigateComplete(const std::string& url) {
  frame_.ShowFrameOnce();
  signin_.NavigateCompleteSignIn(url);
}

std::string CNavigationPolicy::HomeURL(std::uint32_t launch_mode) const {
  std::string url = frame_.start_url();
  url += url.find('?') != std::string::npos ? "&" : "?";
  const std::string mode = LaunchModeName(launch_mode);
  if (!mode.empty()) url += "mode=" + mode + "&";
  url += "cobrand=" + QueryValue(module_.cobrand_id()) + "&v=" + platform::ProgramFileVersionText();
  if (module_.sku_index() == 1 || module_.sku_index() == 2) {
    url += std::string("&sku=") + (module_.sku_index() == 1 ? "Vevuvov" : "Collage");
  }
  return url;
}

std::string CNavigationPolicy::CombinedURL(const std::string& start_path) const {
  const std::string start = frame_.start_url();
  if (start.empty()) return start_path;
  std::string combined;
  if (Failed(platform::ResolveUrl(start, start_path, &combined))) combined = start;
  if (!IsSafe(combined)) return {};
  return combined;
}

}  // namespace quol::client
