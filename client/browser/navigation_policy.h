// What loads inside the client, what goes to the desktop's default browser
// and what is refused; the progress window around navigations; what a failed
// navigation shows; the home and combined URLs; the sign-in page watch.
//
// The frame owns one CNavigationPolicy and forwards its
// CAbstractBrowserEvents navigation methods to it one to one:
//
//   bool CMainFrame::OnBeforeNavigate(const std::string& url, const std::string& top) {
//     return policy_->OnBeforeNavigate(url, top);
//   }
//   (and OnNewWindow, OnNavigateError, OnDocumentComplete, OnNavigateComplete)
//
// and its handler of kNavigationErrorMessage calls OnNavigationErrorMessage
// with the lparam. After creating the browser it calls AttachBrowser.
//
// How CInternetExplorer reports navigations (WebKit has no per-frame
// BeforeNavigate): OnBeforeNavigate(url, "") is a top-level navigation;
// OnBeforeNavigate(url, top) with a top document URL is a load of a
// sub-frame, reported only when the frame's own URL is not safe, once the
// response shows it really is a sub-frame, so the top document's safety
// never lets a top-level navigation through. Safe top-level pages are
// reported at their response, after any redirects; the logon/logoff watch
// (CSignInCookies::BeforeNavigateSignIn) therefore runs from the browser's
// top-level URL watch, which sees the URL navigated to and every redirect
// target of the main frame, and from OnBeforeNavigate only with a browser
// that has no such watch.
//
// GTK main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/browser/abstract_browser.h"
#include "client/browser/signin_cookies.h"
#include "client/frame/frame_host.h"

namespace quol {
class CCobrandableModule;
class CGlobalConfig;
class CSuiteSettings;
}  // namespace quol

namespace quol::client {

class CNavigationPolicy {
 public:
  // All four outlive the policy. URLs are judged by `config`'s unsafe list
  // and client mode.
  CNavigationPolicy(IFrameHost& frame, CGlobalConfig& config, CSuiteSettings& settings,
                    const CCobrandableModule& module);
  ~CNavigationPolicy();
  CNavigationPolicy(const CNavigationPolicy&) = delete;
  CNavigationPolicy& operator=(const CNavigationPolicy&) = delete;

  // The browser asked for its online state, Stop and its cookie store (not
  // owned; null detaches, e.g. before the browser is closed). When the
  // browser offers a top-level URL watch, the sign-in watch runs from it.
  void AttachBrowser(CAbstractBrowser* browser);

  // The URL policy with this process's configuration; `kind` gets the URL's
  // kind (foundation/urlpolicy/url_policy.h).
  bool IsSafe(const std::string& url, int* kind = nullptr) const;

  bool OnBeforeNavigate(const std::string& url, const std::string& top_document_url);
  bool OnNewWindow(const std::string& url, const std::string& referrer);
  bool OnNavigateError(int status, const std::string& url);
  void OnDocumentComplete();
  void OnNavigateComplete(const std::string& url);
  // The frame's kNavigationErrorMessage handler: shows the frame and the
  // error page of kind offline, connect or http.
  void OnNavigationErrorMessage(int status);

  // The start URL with mode (when it has a name), cobrand, version and SKU.
  std::string HomeURL(std::uint32_t launch_mode) const;
  // `start_path` resolved against the start URL; empty when that is unsafe.
  std::string CombinedURL(const std::string& start_path) const;

  CSignInCookies& signin() { return signin_; }
  bool navigating() const { return navigating_; }

 private:
  // Hands `url` to the desktop when it is http, https or mailto.
  void OpenOutside(const std::string& url);

  IFrameHost& frame_;
  CGlobalConfig& config_;
  const CCobrandableModule& module_;
  CAbstractBrowser* browser_ = nullptr;
  CSignInCookies signin_;
  bool first_navigation_ = true;
  bool navigating_ = false;
  // The attached browser runs the sign-in watch itself (SetTopLevelUrlWatch).
  bool browser_watches_urls_ = false;
  // The browser's watch checks this before touching the policy.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The mode= value of a launch mode; empty for modes without a name.
std::string LaunchModeName(std::uint32_t launch_mode);

// "res://<program>/offline.htm#error=<kind>&code=<code>", the program being
// this executable's file name.
std::string ErrorPageUrl(const std::string& kind, int code);

}  // namespace quol::client
