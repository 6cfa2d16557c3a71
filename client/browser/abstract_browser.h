// The embedded browser as the main frame sees it, and the calls the browser
// (and the page script object it owns) makes back into the frame.
//
// CInternetExplorer (client/browser) implements CAbstractBrowser over a
// WebKitWebView; CMainFrame (client/frame) implements CAbstractBrowserEvents.
// Both live on the GTK main thread; nothing here is called from another
// thread.
#pragma once

#include <functional>
#include <string>

#include <gtk/gtk.h>

#include "platform/common/hresult.h"

// The view's cookie store (WebKitGTK); declared here so the frame need not
// include WebKit to hold the interface.
typedef struct _WebKitCookieManager WebKitCookieManager;

namespace quol::client {

class CAbstractBrowserEvents {
 public:
  virtual ~CAbstractBrowserEvents() = default;

  // Navigation events (the policy lives in client/browser/navigation_policy.h;
  // the frame forwards to it).
  virtual void OnDocumentComplete() = 0;
  // `top_document_url` empty when there is none (a top-level navigation).
  virtual bool OnBeforeNavigate(const std::string& url, const std::string& top_document_url) = 0;
  virtual bool OnNewWindow(const std::string& url, const std::string& referrer) = 0;
  // `status`: an HTTP status, or a negative transport error code.
  virtual bool OnNavigateError(int status, const std::string& url) = 0;
  virtual void OnTitleChange(const std::string& title) = 0;
  virtual void OnNavigateComplete(const std::string& url) = 0;
  // Keys pressed while the page has the focus (F11, Shift+F11). `key` is a
  // GDK key value.
  virtual void OnKeyDown(unsigned key, bool ctrl, bool alt, bool shift) = 0;

  // What the page's window.external forwards (checked and decoded by the
  // browser side first).
  virtual HRESULT SetCredentials(const std::string& user_name, const std::string& password) = 0;
  virtual bool HasCredentials() = 0;
  virtual HRESULT SetSetting(const std::string& name, const std::string& value) = 0;
  // S_FALSE and an empty value when the setting is not there (the page sees null).
  virtual HRESULT GetSetting(const std::string& name, std::string* value) = 0;
  virtual HRESULT ShowCollageSettingsDlg() = 0;
  virtual HRESULT StartCollage() = 0;
  virtual HRESULT ShowAboutDlg() = 0;
  virtual HRESULT CheckForUpdates() = 0;
  virtual HRESULT UpgradeNow() = 0;
  virtual HRESULT ShowStatusMessage(const std::string& message, const std::string& url) = 0;
  virtual HRESULT OpenHomePage() = 0;
  virtual HRESULT SetupScreensaver(const std::string& setting) = 0;
  virtual int ScreensaverSetup() = 0;
};

class CAbstractBrowser {
 public:
  virtual ~CAbstractBrowser() = default;
  // Stops events, releases the view.
  virtual void Close() = 0;
  // True when the navigation was started.
  virtual bool Navigate(const std::string& url) = 0;
  virtual bool Stop() = 0;
  virtual bool IsCreated() = 0;
  // False when the network is known to be down (GNetworkMonitor; tests may
  // force it, see client/browser/README.md).
  virtual bool IsOnline() = 0;
  // "WebKitGTK a.b.c" into `text`; false when unknown.
  virtual bool GetVersion(std::string* text) = 0;
  // The view to put into the frame's window.
  virtual GtkWidget* widget() = 0;
  // The URL of the top document now ("" before the first load).
  virtual std::string LocationUrl() = 0;
  // The page script object's snapshot must be refreshed (a setting, the
  // credentials or the debug flag changed).
  virtual void RefreshScriptState() = 0;
  // The cookie store of the view's web context, where the sign-in cookies
  // go (client/browser/signin_cookies.h); null when there is none. Owned by
  // the browser; valid until Close.
  virtual WebKitCookieManager* cookie_manager() { return nullptr; }

  // Runs `watch` with every URL a top-level load goes through: the URL
  // navigated to and each URL the service redirects it to, once per URL
  // and load, before the next request of that load leaves (the logon and
  // logoff page watch of client/browser/signin_cookies.h). Top-level
  // navigations refused before they load are given to it too. False when
  // the browser cannot tell; its caller then watches the URLs
  // OnBeforeNavigate reports. An empty `watch` stops it.
  virtual bool SetTopLevelUrlWatch(std::function<void(const std::string& url)> watch) {
    static_cast<void>(watch);
    return false;
  }
  // The sign-in cookies are being changed for the load now under way: its
  // next requests must not leave before they carry the change. Navigation
  // and response decisions wait until the returned function has run (or a
  // few seconds at most); the function may be run late, more than once or
  // after the browser is gone. Empty when the browser cannot hold loads.
  virtual std::function<void()> HoldLoad() { return {}; }
};

}  // namespace quol::client
