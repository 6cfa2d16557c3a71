#include "client/browser/signin_cookies.h"

#include <gdk/gdkx.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <set>

#include "client/browser/main_loop_task.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/wizard/settings_sheet.h"
#include "platform/text/utf.h"
#include "platform/url/url.h"

namespace quol::client {
namespace {

// The settings sheet's sign-in variant.
constexpr int kSignInSheetMode = 5;
constexpr std::size_t kMaxCookieNameBytes = 256;

std::string PercentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '@') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string HostOf(const std::string& url) {
  platform::WebUrl parsed;
  if (Failed(platform::ParseWebUrl(url, &parsed))) return {};
  return parsed.host;
}

// One SetAuthCookies: counts the cookie-store calls still running and runs
// `done` after the last one, if the sign-in object still exists.
struct CookieJob {
  std::weak_ptr<bool> owner;
  WebKitCookieManager* manager = nullptr;
  std::set<std::string> expire;
  std::function<void()> done;
  int pending = 1;  // the caller's own share, released when all calls are out

  void Release() {
    if (--pending > 0) return;
    if (done && !owner.expired()) done();
    g_object_unref(manager);
    delete this;
  }
};

void OnCookieAdded(GObject* source, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  if (!webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error)) {
    LogError("Setting the sign-in cookie failed: %s", error != nullptr ? error->message : "?");
    g_clear_error(&error);
  }
  static_cast<CookieJob*>(data)->Release();
}

void OnCookieDeleted(GObject* source, GAsyncResult* result, gpointer data) {
  // A cookie that could not be deleted is left alone.
  webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
  static_cast<CookieJob*>(data)->Release();
}

void OnCookiesListed(GObject* source, GAsyncResult* result, gpointer data) {
  auto* job = static_cast<CookieJob*>(data);
  GList* cookies =
      webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
  for (GList* item = cookies; item != nullptr; item = item->next) {
    auto* cookie = static_cast<SoupCookie*>(item->data);
    if (job->expire.contains(soup_cookie_get_name(cookie))) {
      ++job->pending;
      webkit_cookie_manager_delete_cookie(job->manager, cookie, nullptr, OnCookieDeleted, job);
    }
  }
  g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
  job->Release();
}

bool DefaultSignInDialog(GtkWindow* owner) {
  unsigned long xid = 0;
  GdkWindow* window = owner != nullptr ? gtk_widget_get_window(GTK_WIDGET(owner)) : nullptr;
  if (window != nullptr && GDK_IS_X11_WINDOW(window)) xid = gdk_x11_window_get_xid(window);
  return ShowSettings(xid, kSignInSheetMode);
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  return platform::EqualsIgnoreCase(host, "localhost") || host == "127.0.0.1" || host == "[::1]";
}

bool CookieTargetFor(const std::string& page_url, CookieTarget* target) {
  platform::WebUrl parsed;
  if (Failed(platform::ParseWebUrl(page_url, &parsed))) return false;
  if ((parsed.scheme != "http" && parsed.scheme != "https") || parsed.host.empty()) return false;
  const bool https = parsed.scheme == "https";
  const int port = parsed.port != 0 ? parsed.port : (https ? 443 : 80);
  target->cookie_url = std::string(https ? "https://" : "http://") + parsed.host;
  if (port != 80) target->cookie_url += ":" + std::to_string(port);
  target->cookie_url += "/";
  target->host = parsed.host;
  target->loopback = IsLoopbackHost(parsed.host);
  return true;
}

std::string CredentialsCookieValue(const std::string& email, const std::string& password) {
  return PercentEncode(email) + "," + PercentEncode(password);
}

std::vector<std::string> SessionCookieNames(const std::string& list) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < list.size() && names.size() < kMaxSessionCookieNames) {
    while (at < list.size() && (list[at] == ';' || list[at] == ' ' || list[at] == '\t')) ++at;
    std::size_t end = at;
    while (end < list.size() && list[end] != ';' && list[end] != ' ' && list[end] != '\t') ++end;
    if (end > at && end - at <= kMaxCookieNameBytes) names.push_back(list.substr(at, end - at));
    at = end;
  }
  return names;
}

bool ContainsIgnoreCase(const std::string& url, const std::string& text) {
  if (text.empty()) return false;
  return platform::AsciiLower(url).find(platform::AsciiLower(text)) != std::string::npos;
}

bool SameHost(const std::string& a, const std::string& b) {
  const std::string host_a = HostOf(a);
  return !host_a.empty() && platform::EqualsIgnoreCase(host_a, HostOf(b));
}

CSignInCookies::CSignInCookies(IFrameHost& frame, CGlobalConfig& config, CSuiteSettings& settings,
                               HomeUrl home_url)
    : frame_(frame),
      config_(config),
      settings_(settings),
      home_url_(std::move(home_url)),
      dialog_(DefaultSignInDialog) {}

CSignInCookies::~CSignInCookies() = default;

void CSignInCookies::SetAuthCookies(const std::string& page_url, std::function<void()> done) {
  CookieTarget target;
  if (!CookieTargetFor(page_url, &target)) {
    LogError("Cannot parse %s for auth.", page_url.c_str());
    if (done) done();
    return;
  }
  const std::string& email = settings_.email_address();
  LogInfo("Setting Auth for %s (%s)", target.cookie_url.c_str(), email.c_str());
  WebKitCookieManager* manager = browser_ != nullptr ? browser_->cookie_manager() : nullptr;
  if (manager == nullptr) {
    if (done) done();
    return;
  }
  auto* job = new CookieJob;
  job->owner = alive_;
  job->manager = WEBKIT_COOKIE_MANAGER(g_object_ref(manager));
  job->done = std::move(done);

  const std::string value = CredentialsCookieValue(email, settings_.password());
  // -1: a session cookie, never written to disk.
  SoupCookie* cookie = soup_cookie_new(kCredentialsCookieName, value.c_str(), target.host.c_str(), "/", -1);
  soup_cookie_set_secure(cookie, !target.loopback);
  ++job->pending;
  webkit_cookie_manager_add_cookie(manager, cookie, nullptr, OnCookieAdded, job);
  soup_cookie_free(cookie);

  if (email.empty()) {
    for (const std::string& name : SessionCookieNames(config_.auth_cookies())) {
      if (name != kCredentialsCookieName) job->expire.insert(name);
    }
    if (!job->expire.empty()) {
      ++job->pending;
      webkit_cookie_manager_get_cookies(manager, target.cookie_url.c_str(), nullptr, OnCookiesListed,
                                        job);
    }
  }
  job->Release();
}

void CSignInCookies::BeforeNavigateSignIn(const std::string& url) {
  if (!ContainsIgnoreCase(url, config_.logon_page())) login_visits_ = 0;
  // Only the service's own logoff page signs out: a page of another site
  // that happens to contain the text does not.
  if (!ContainsIgnoreCase(url, config_.logoff_page()) || !SameHost(url, frame_.start_url())) return;
  LogInfo("%s is logout page pre-navigate, clearing credentials.", url.c_str());
  settings_.SetEmailAddress("");
  if (Failed(settings_.SetPassword(""))) LogError("Clearing the stored password failed.");
  settings_.SetAccountId("");
  if (Failed(settings_.Save())) LogError("Saving the settings after the logout failed.");
  // The service answers its logoff page with a redirect to its logon page,
  // which signs in again from a credentials cookie it still finds: the
  // load's next request waits until the cookie store has the emptied one.
  SetAuthCookies(url, browser_ != nullptr ? browser_->HoldLoad() : std::function<void()>());
  signed_out_pending_ = true;
  if (browser_ != nullptr) browser_->RefreshScriptState();
}

void CSignInCookies::NavigateCompleteSignIn(const std::string& url) {
  if (!SameHost(url, frame_.start_url())) return;
  if (post_logout_redirect_) {
    post_logout_redirect_ = false;
    frame_.ShowMessageBar(kBarSignedOut, true, "You have been signed out of Quol", "");
    return;
  }
  if (!ContainsIgnoreCase(url, config_.logon_page())) return;
  ++login_visits_;
  LogInfo("%s is login page (%d).", url.c_str(), static_cast<int>(login_visits_));
  if (login_visits_ > 1) {
    LogInfo("Allowing thru.");
    return;
  }
  if (browser_ != nullptr) browser_->Stop();
  if (signed_out_pending_) {
    signed_out_pending_ = false;
    post_logout_redirect_ = true;
    frame_.Navigate(home_url_(kLaunchPostLogout));
    return;
  }
  // The dialog runs its own loop; it is started from the main loop rather
  // than from inside the browser's load notification.
  PostMainLoopTask(alive_, [this, url] { RunSignInDialog(url); });
}

void CSignInCookies::RunSignInDialog(const std::string& url) {
  if (dialog_ && dialog_(frame_.window())) {
    if (browser_ != nullptr) browser_->RefreshScriptState();
    std::weak_ptr<bool> alive = alive_;
    SetAuthCookies(url, [this, alive, url] {
      if (!alive.expired()) frame_.Navigate(url);
    });
    return;
  }
  LogInfo("Cancelled dialog.");
  frame_.Navigate(home_url_(kLaunchCancelLogin));
}

}  // namespace quol::client
