// CInternetExplorer: the frame's CAbstractBrowser over a WebKitWebView.
//
// Every WebKit signal is connected in one place (Create) to a handler named
// after it. What the handlers report to the frame's CAbstractBrowserEvents:
//
//   decide-policy, navigation   OnBeforeNavigate(url, "") for navigations
//                               known to be top-level: those this object
//                               started, link clicks, form posts, history
//                               and reloads, user gestures. Others (frame
//                               loads, scripted moves, redirects) are judged
//                               when their response arrives.
//   decide-policy, response     main frame: OnBeforeNavigate(url, "") if not
//                               reported yet, then an HTTP error status goes
//                               to OnNavigateError(status, url); sub-frame
//                               with a URL the policy rejects:
//                               OnBeforeNavigate(url, top document URL).
//   load-failed                 OnNavigateError(negative code, url)
//   load-changed                redirected: the top-level URL watch
//                               (SetTopLevelUrlWatch) with the target;
//                               committed: OnNavigateComplete(url);
//                               finished: OnDocumentComplete()
//   resource-load-started       the main resource: the top-level URL watch
//                               with the URL the load asked for
//   notify::title               OnTitleChange(title)
//   create                      OnNewWindow(url, referrer); allowed windows
//                               open in a window of their own when ready
//   key-press-event             OnKeyDown(key, ctrl, alt, shift)
//   script-message-received     window.external calls (window_external.h)
//
// HoldLoad keeps the navigation and response decisions of the main view
// (g_object_ref) until every hold is released or kMaxLoadHoldMs has passed,
// then answers them in the order they came.
//
// Each browser has its own WebKitWebContext with a persistent website data
// manager in the data folder ("WebData"), so the web application's own
// cookies survive restarts, and the res:// scheme for the built-in pages.
//
// GTK main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "client/browser/abstract_browser.h"

typedef struct _WebKitWebView WebKitWebView;

namespace quol::client {

class CWindowExternal;

struct BrowserOptions {
  // Judges which pages get window.external (the frame passes
  // CNavigationPolicy::IsSafe); by default the process's URL policy.
  std::function<bool(const std::string& url)> url_is_safe;
  // The settings' webClient values for the script object's snapshot; by
  // default the process's Settings.xml.
  std::function<std::map<std::string, std::string>()> web_client_values;
  // Where WebData goes; by default the data folder.
  std::string data_folder;
  // Whether a quol:// request of the view whose top-level URL this is may
  // act; by default url_is_safe (tests watch the question through it).
  std::function<bool(const std::string& top_level_url)> quol_scheme_allowed;
};

// The whole user agent: the system's text with the token
// ";QuolDevuzez a.b.c.d" (and ";Touch") put in before its last ")", the
// system text cut back at a ";" or "(" when the result would not fit in
// kMaxUserAgentBytes.
inline constexpr std::size_t kMaxUserAgentBytes = 1023;
std::string BuildUserAgent(const std::string& system_agent, const std::string& version, bool touch);

// The negative code a transport error is reported with:
// GIO errors -(1000 + code) (connection refused -1039), resolver errors
// -(2000 + code), TLS errors -(3000 + code), WebKit network errors
// -(4000 + code), anything else -1.
int TransportErrorCode(const GError* error);

class CInternetExplorer : public CAbstractBrowser {
 public:
  // URLs longer than this are not navigated to.
  static constexpr std::size_t kMaxUrlBytes = 8192;
  // Longest a HoldLoad keeps the page waiting when it is never released
  // (a cookie store that does not answer must not freeze the client).
  static constexpr unsigned kMaxLoadHoldMs = 3000;
  // Decisions held at once; past this the oldest hold is given up.
  static constexpr std::size_t kMaxHeldDecisions = 256;

  // `events` (not owned) outlives the browser.
  static std::unique_ptr<CInternetExplorer> Create(CAbstractBrowserEvents* events,
                                                   BrowserOptions options = {});
  ~CInternetExplorer() override;
  CInternetExplorer(const CInternetExplorer&) = delete;
  CInternetExplorer& operator=(const CInternetExplorer&) = delete;

  void Close() override;
  bool Navigate(const std::string& url) override;
  bool Stop() override;
  bool IsCreated() override { return view_ != nullptr; }
  // QUOL_FORCE_OFFLINE=1 reports offline and =0 online whatever the network
  // monitor says (tests, machines without a default route).
  bool IsOnline() override;
  bool GetVersion(std::string* text) override;
  GtkWidget* widget() override;
  std::string LocationUrl() override;
  void RefreshScriptState() override;
  WebKitCookieManager* cookie_manager() override;
  bool SetTopLevelUrlWatch(std::function<void(const std::string& url)> watch) override;
  std::function<void()> HoldLoad() override;

  // The windows opened for pages (window.open to the same host).
  int popup_count() const;
  const std::string& user_agent() const { return user_agent_; }
  CWindowExternal& external() { return *external_; }

 private:
  struct Impl;
  explicit CInternetExplorer(CAbstractBrowserEvents* events, BrowserOptions options);
  std::unique_ptr<Impl> impl_;
  CAbstractBrowserEvents* events_;
  BrowserOptions options_;
  WebKitWebView* view_ = nullptr;
  std::unique_ptr<CWindowExternal> external_;
  std::string user_agent_;
};

}  // namespace quol::client
