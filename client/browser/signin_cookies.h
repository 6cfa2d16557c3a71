// Keeping the user signed in to the web application: the "ExplorerCreds"
// cookie with the stored e-mail address and password on the service's site,
// and the logon/logoff page watch that replaces the service's sign-in form
// with the client's own sign-in dialog once, and forgets the credentials
// when the user signs out.
//
// CNavigationPolicy owns one and calls BeforeNavigateSignIn and
// NavigateCompleteSignIn for top-level navigations only, so frames never
// move the state machine. BeforeNavigateSignIn sees every URL a top-level
// load goes through (the browser's top-level URL watch), not only the page
// that finally loads. GTK main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "client/browser/abstract_browser.h"
#include "client/frame/frame_host.h"

namespace quol {
class CGlobalConfig;
class CSuiteSettings;
}  // namespace quol

namespace quol::client {

inline constexpr char kCredentialsCookieName[] = "ExplorerCreds";

// Where the credentials cookie of a page goes.
struct CookieTarget {
  // "http://HOST/" or "https://HOST:PORT/": the port is written whenever it
  // is not 80, so an https page on its default port gives ":443".
  std::string cookie_url;
  std::string host;
  // localhost, 127.0.0.1 or [::1]: no ";secure" (the local service speaks
  // plain http, where a secure cookie would never be sent).
  bool loopback = false;
};

// False for anything but an http(s) URL with a host.
bool CookieTargetFor(const std::string& page_url, CookieTarget* target);
bool IsLoopbackHost(const std::string& host);
// The cookie value: e-mail "," password, each percent-encoded (everything
// but letters, digits, "-._~@"), so a ";" or "," in a password cannot end
// the cookie or move the separator.
std::string CredentialsCookieValue(const std::string& email, const std::string& password);
// The configuration's session cookie names, split at ";" and blanks; at
// most kMaxSessionCookieNames names of at most 256 bytes each are taken.
inline constexpr std::size_t kMaxSessionCookieNames = 32;
std::vector<std::string> SessionCookieNames(const std::string& list);
// Case-insensitive substring test; an empty `text` is never contained (an
// empty logon page setting must not match every URL).
bool ContainsIgnoreCase(const std::string& url, const std::string& text);
// Case-insensitive host comparison of two web URLs; false when either has
// no host.
bool SameHost(const std::string& a, const std::string& b);

class CSignInCookies {
 public:
  // Runs the sign-in dialog modally over `owner`; true after OK (the
  // verified credentials are then stored and saved).
  using SignInDialog = std::function<bool(GtkWindow* owner)>;
  // The home URL for a launch mode (CNavigationPolicy::HomeURL).
  using HomeUrl = std::function<std::string(std::uint32_t mode)>;

  // `frame`, `config` and `settings` outlive this.
  CSignInCookies(IFrameHost& frame, CGlobalConfig& config, CSuiteSettings& settings,
                 HomeUrl home_url);
  ~CSignInCookies();
  CSignInCookies(const CSignInCookies&) = delete;
  CSignInCookies& operator=(const CSignInCookies&) = delete;

  // The browser whose cookie store and Stop are used (not owned; null
  // detaches).
  void set_browser(CAbstractBrowser* browser) { browser_ = browser; }
  // The settings sheet in its sign-in variant by default.
  void SetSignInDialog(SignInDialog dialog) { dialog_ = std::move(dialog); }

  // Sets the credentials cookie for `page_url`'s site and, when no e-mail is
  // stored, deletes the configuration's session cookies there. `done` runs
  // once the cookie store has finished (at once when nothing could be set),
  // so a navigation started from it carries the cookie.
  void SetAuthCookies(const std::string& page_url, std::function<void()> done = {});

  // A top-level navigation is about to start, or its load is about to
  // request `url` (a redirect). After the logoff page the browser holds the
  // load (CAbstractBrowser::HoldLoad) until the emptied cookie is set.
  void BeforeNavigateSignIn(const std::string& url);
  // A top-level navigation has committed.
  void NavigateCompleteSignIn(const std::string& url);

  unsigned login_visits() const { return login_visits_; }
  bool signed_out_pending() const { return signed_out_pending_; }
  bool post_logout_redirect() const { return post_logout_redirect_; }

 private:
  void RunSignInDialog(const std::string& url);

  IFrameHost& frame_;
  CGlobalConfig& config_;
  CSuiteSettings& settings_;
  HomeUrl home_url_;
  SignInDialog dialog_;
  CAbstractBrowser* browser_ = nullptr;
  unsigned login_visits_ = 0;
  bool signed_out_pending_ = false;
  bool post_logout_redirect_ = false;
  // Cookie-store callbacks and posted tasks check this before touching us.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quol::client
