// End to end with a real WebKitWebView on a private Xvfb: the browser, the
// navigation policy and the script object against a loopback server of the
// test. The server plays the service on 127.0.0.1 and another site on
// "localhost" (unsafe in the test's configuration), so both are one port.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "client/browser/browser_test_support.h"
#include "client/browser/internet_explorer.h"
#include "client/browser/window_external.h"
#include "client/browser/browser_view_testing.h"
#include "foundation/testing/log_capture.h"
#include "platform/identity/identity.h"
#include "platform/testing/http_test_server.h"
#include "service/devservice.h"

namespace quol::client {
namespace {

using testing::PolicyWorld;

using testing::EvalIn;
using testing::RunUntil;
using testing::XvfbEnvironment;

const auto* const kXvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

struct SeenRequest {
  std::string target;
  std::string cookie;
  std::string user_agent;
};

class BrowserViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(XvfbEnvironment::error().empty()) << XvfbEnvironment::error();
    server_.server().Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        std::string target = request.path;
        if (!request.params.empty()) {
          target += "?";
          for (const auto& [key, value] : request.params) target += key + "=" + value + "&";
        }
        seen_.push_back({target, request.get_header_value("Cookie"), request.get_header_value("User-Agent")});
      }
      const auto page = pages_.find(request.path);
      if (page == pages_.end()) {
        response.status = 404;
        response.set_content("<html><head><title>server404</title></head><body>none</body></html>",
                             "text/html");
        return;
      }
      response.set_content(page->second, "text/html");
    });
    server_.Start();
    world_ = std::make_unique<PolicyWorld>(Service("/devuzez/"));
    world_->frame.on_error_message = [this](int status) {
      world_->policy->OnNavigationErrorMessage(status);
    };
    BrowserOptions options;
    options.url_is_safe = [this](const std::string& url) {
      return world_->policy->IsSafe(url) && (!extra_judge_ || extra_judge_(url));
    };
    options.web_client_values = [this] { return world_->settings.web_client_values(); };
    browser_ = CInternetExplorer::Create(&world_->frame, options);
    world_->frame.browser = browser_.get();
    world_->policy->AttachBrowser(browser_.get());
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
    gtk_container_add(GTK_CONTAINER(window_), browser_->widget());
    gtk_widget_show_all(window_);
  }

  void TearDown() override {
    if (world_ != nullptr) world_->policy->AttachBrowser(nullptr);
    if (browser_ != nullptr) browser_->Close();
    if (window_ != nullptr) gtk_widget_destroy(window_);
  }

  std::string Service(const std::string& path) const { return server_.Url(path); }
  std::string Other(const std::string& path) const {
    return "http://localhost:" + std::to_string(server_.port()) + path;
  }
  void Page(const std::string& path, const std::string& html) { pages_[path] = html; }

  // Whether a request's path and query (the query's items in name order)
  // held `fragment`.
  bool Seen(const std::string& fragment) {
    std::lock_guard lock(mutex_);
    for (const SeenRequest& r : seen_) {
      if (r.target.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  SeenRequest Request(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    for (const SeenRequest& r : seen_) {
      if (r.target.rfind(prefix, 0) == 0) return r;
    }
    return {};
  }

  // Loads `url` and waits for the document to complete.
  void Load(const std::string& url) {
    const int before = world_->frame.rec.document_complete;
    ASSERT_TRUE(browser_->Navigate(url));
    ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.document_complete > before; })) << url;
  }

  std::string Eval(const std::string& script) {
    return EvalIn(WEBKIT_WEB_VIEW(browser_->widget()), script);
  }

  std::string Title() { return Eval("return document.title;"); }

  // What the server's threads use is declared before the server, so it
  // outlives the server's last request.
  std::map<std::string, std::string> pages_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
  quol::testing::HttpTestServer server_;
  std::unique_ptr<PolicyWorld> world_;
  std::unique_ptr<CInternetExplorer> browser_;
  GtkWidget* window_ = nullptr;
  // A stricter judge of which pages get window.external.
  std::function<bool(const std::string&)> extra_judge_;
};

TEST_F(BrowserViewTest, LinkToAnotherSiteOpensOutsideAndTheViewStays) {
  Page("/home", "<html><head><title>home</title></head><body><a id='l' href='" + Other("/elsewhere") +
                    "'>x</a></body></html>");
  Load(Service("/home"));
  Eval("document.getElementById('l').click(); return 1;");
  ASSERT_TRUE(RunUntil([&] { return !world_->frame.rec.opened_outside.empty(); }));
  EXPECT_EQ(world_->frame.rec.opened_outside[0], Other("/elsewhere"));
  // Give a wrong navigation every chance to show up.
  RunUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_EQ(browser_->LocationUrl(), Service("/home"));
  EXPECT_EQ(Title(), "home");
  EXPECT_FALSE(Seen("/elsewhere")) << "the other site was asked for the page";
}

TEST_F(BrowserViewTest, FrameOfAnotherSiteLoadsInsideTheServicePage) {
  Page("/ad", "<html><body><script>parent.postMessage('ad-loaded', '*');</script></body></html>");
  Page("/home", "<html><head><title>home</title></head><body>"
                "<script>addEventListener('message', function (e) { document.title = e.data; });</script>"
                "<iframe src='" + Other("/ad") + "'></iframe></body></html>");
  Load(Service("/home"));
  ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.title == "ad-loaded"; }));
  EXPECT_TRUE(world_->frame.rec.opened_outside.empty());
  EXPECT_EQ(browser_->LocationUrl(), Service("/home"));
}

TEST_F(BrowserViewTest, WindowOpenGoesOutsideForOtherSitesAndToANewWindowOnTheService) {
  struct Case {
    std::string url;
    bool new_window;
  } cases[] = {{Other("/popup"), false}, {Service("/popup"), true}};
  Page("/popup", "<html><head><title>popup</title></head></html>");
  Page("/home", "<html><head><title>home</title></head></html>");
  for (const Case& c : cases) {
    Load(Service("/home"));
    const std::size_t outside = world_->frame.rec.opened_outside.size();
    Eval("window.open('" + c.url + "'); return 1;");
    if (c.new_window) {
      ASSERT_TRUE(RunUntil([&] { return browser_->popup_count() == 1; })) << c.url;
      EXPECT_EQ(world_->frame.rec.opened_outside.size(), outside);
    } else {
      ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.opened_outside.size() > outside; })) << c.url;
      EXPECT_EQ(world_->frame.rec.opened_outside.back(), c.url);
      EXPECT_EQ(browser_->popup_count(), 0);
    }
    EXPECT_EQ(browser_->LocationUrl(), Service("/home"));
  }
}

TEST_F(BrowserViewTest, MissingPageAndImageKeepWhatTheServerSent) {
  Page("/pictures", "<html><head><title>pictures</title></head><body><img src='/nope.png'>"
                    "<img src='/broken.gif'></body></html>");
  Load(Service("/missing"));
  EXPECT_EQ(Title(), "server404");
  Load(Service("/pictures"));
  ASSERT_TRUE(RunUntil([&] { return Seen("/nope.png") && Seen("/broken.gif"); }));
  RunUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_EQ(Title(), "pictures");
  EXPECT_TRUE(world_->frame.rec.error_pages.empty());
}

TEST_F(BrowserViewTest, UnreachableServiceShowsTheErrorPageOfTheRightKind) {
  struct Case {
    const char* force_offline;
    const char* kind;
    const char* section;
  } cases[] = {{"0", "connect", "err_connect"}, {"1", "offline", "err_offline"}};
  const int port = ClosedPort();
  for (const Case& c : cases) {
    quol::testing::ScopedEnv offline("QUOL_FORCE_OFFLINE", c.force_offline);
    // The start URL's host is 127.0.0.1, so a dead port there is the service.
    world_->frame.rec.error_pages.clear();
    ASSERT_TRUE(browser_->Navigate("http://127.0.0.1:" + std::to_string(port) + "/devuzez/"));
    ASSERT_TRUE(RunUntil([&] { return !world_->frame.rec.error_pages.empty(); })) << c.kind;
    EXPECT_EQ(world_->frame.rec.error_pages[0].first, c.kind);
    EXPECT_EQ(world_->frame.rec.error_pages[0].second, -1039);
    ASSERT_TRUE(RunUntil([&] { return browser_->LocationUrl().rfind("res://", 0) == 0; }));
    ASSERT_TRUE(RunUntil([&] {
      return Eval("var s = document.querySelector('.section.shown'); return s ? s.id : '';") == c.section;
    })) << c.kind;
    EXPECT_EQ(Title(), "Quol Explorer - Error");
    EXPECT_EQ(Eval(std::string("return getComputedStyle(document.getElementById('") + c.section +
                   "')).display;"),
              "block");
    EXPECT_EQ(Eval(std::string("return document.querySelector('#") + c.section + " h1').title;"), "-1039");
  }
}

TEST_F(BrowserViewTest, ErrorPageReadsItsFragmentAsText) {
  struct Case {
    std::string fragment;
    std::string section;
    std::string tooltip;
  } cases[] = {
      {"#e=x", "err_offline", ""},
      {"#error=HTTP&code=500", "err_http", "500"},
      {"#ERROR=connect&Code=7", "err_connect", "7"},
      {"#error=upgrade", "err_upgrade", ""},
      {"#error=nope&code=1", "err_other", "1"},
      {"#error=http=x&code=2", "err_offline", "2"},
      {"#error=%3Cb%3Ex%3C/b%3E&code=%3Cb%3E7%3C/b%3E", "err_other", "<b>7</b>"},
  };
  Page("/blank", "<html></html>");
  for (const Case& c : cases) {
    // From another page each time: a new fragment alone is no new load.
    Load(Service("/blank"));
    Load("res://" + platform::ExecutableBaseName() + "/offline.htm" + c.fragment);
    EXPECT_EQ(Eval("return document.querySelector('.section.shown').id;"), c.section) << c.fragment;
    EXPECT_EQ(Eval("return document.querySelector('.section.shown h1').getAttribute('title') || '';"),
              c.tooltip)
        << c.fragment;
    EXPECT_EQ(Eval("return document.querySelectorAll('b').length;"), "0") << c.fragment;
  }
  EXPECT_EQ(Eval("var r = await fetch('offline_button.svg'); return r.status;"), "200");
  // Shown again with another fragment while it is up.
  Eval("location.hash = '#error=http&code=9'; return 1;");
  ASSERT_TRUE(RunUntil([&] { return Eval("return document.querySelector('.section.shown').id;") == "err_http"; }));
}

TEST_F(BrowserViewTest, CredentialsCookieAndUserAgentReachTheService) {
  Page("/echo", "<html><head><title>echo</title></head></html>");
  world_->settings.SetEmailAddress("a@quol.example");
  ASSERT_TRUE(Succeeded(world_->settings.SetPassword("p;w,d")));
  bool ready = false;
  world_->policy->signin().SetAuthCookies(Service("/devuzez/"), [&] {
    ready = true;
    world_->frame.Navigate(Service("/echo"));
  });
  ASSERT_TRUE(RunUntil([&] { return ready && Seen("/echo"); }));
  const SeenRequest request = Request("/echo");
  // Sent over plain http at all: the loopback cookie is not ";secure". (The
  // test server decodes header values; the page sees the cookie as sent.)
  EXPECT_NE(request.cookie.find("ExplorerCreds=a@quol.example,p;w,d"), std::string::npos)
      << request.cookie;
  ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.document_complete > 0; }));
  EXPECT_EQ(Eval("return document.cookie;"), "ExplorerCreds=a@quol.example,p%3Bw%2Cd");
  EXPECT_NE(request.user_agent.find(";QuolDevuzez " + platform::ProgramFileVersionText()),
            std::string::npos)
      << request.user_agent;
}

TEST_F(BrowserViewTest, NoStoredEmailExpiresTheSessionCookies) {
  Page("/set", "<html><body><script>document.cookie = 'quol_state=1; path=/';"
               "document.cookie = 'keep=1; path=/';</script></body></html>");
  Page("/echo", "<html></html>");
  Page("/seen", "<html></html>");
  Load(Service("/set"));
  // The page's cookies reach the cookie store on their own time: the next
  // request carrying them shows they are there to be expired.
  Load(Service("/seen"));
  ASSERT_NE(Request("/seen").cookie.find("quol_state=1"), std::string::npos) << Request("/seen").cookie;
  bool ready = false;
  world_->policy->signin().SetAuthCookies(Service("/devuzez/"), [&] { ready = true; });
  ASSERT_TRUE(RunUntil([&] { return ready; }));
  Load(Service("/echo"));
  const std::string cookie = Request("/echo").cookie;
  EXPECT_NE(cookie.find("ExplorerCreds=,"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("keep=1"), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find("quol_state"), std::string::npos) << cookie;
}

TEST_F(BrowserViewTest, LogoffClearsCredentialsAndCancelledSignInGoesHome) {
  Page("/logon/logout.aspx", "<html></html>");
  Page("/logon/logon.aspx", "<html></html>");
  Page("/devuzez/", "<html></html>");
  world_->settings.SetEmailAddress("a@quol.example");
  ASSERT_TRUE(Succeeded(world_->settings.SetPassword("secret")));
  ASSERT_TRUE(Succeeded(world_->settings.Save()));
  Load(Service("/logon/logout.aspx"));
  CSuiteSettings reread;
  ASSERT_TRUE(Succeeded(reread.Load()));
  EXPECT_EQ(reread.email_address(), "");
  EXPECT_EQ(reread.password(), "");

  int dialogs = 0;
  world_->policy->signin().SetSignInDialog([&](GtkWindow*) {
    ++dialogs;
    return false;
  });
  // The logoff left "signed out pending": the service's move to its logon
  // page becomes the home page with PostLogout, which then shows the bar.
  ASSERT_TRUE(browser_->Navigate(Service("/logon/logon.aspx")));
  ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.bar_kind == kBarSignedOut; }));
  EXPECT_TRUE(Seen("mode=PostLogout"));
  EXPECT_EQ(world_->frame.rec.bar_text, "You have been signed out of Quol");
  EXPECT_EQ(dialogs, 0);
  // Signed out, the logon page now shows the (stubbed) dialog; cancelled,
  // the home page follows with CancelLogin.
  ASSERT_TRUE(browser_->Navigate(Service("/logon/logon.aspx")));
  ASSERT_TRUE(RunUntil([&] { return Seen("mode=CancelLogin"); }));
  EXPECT_EQ(dialogs, 1);
}

TEST_F(BrowserViewTest, AHeldLoadWaitsForItsReleaseOrItsBound) {
  Page("/held", "<html><head><title>held</title></head></html>");
  Page("/stalled", "<html><head><title>stalled</title></head></html>");
  const std::function<void()> release = browser_->HoldLoad();
  ASSERT_TRUE(release);
  const int before = world_->frame.rec.document_complete;
  ASSERT_TRUE(browser_->Navigate(Service("/held")));
  // Give the request every chance to leave while it must not.
  RunUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_FALSE(Seen("/held"));
  EXPECT_EQ(world_->frame.rec.document_complete, before);
  release();
  release();  // a second release changes nothing
  ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.document_complete > before; }));
  EXPECT_EQ(Title(), "held");
  // A hold nobody releases (a cookie store that never answers) lets the
  // page go after its bound instead of freezing the client.
  const std::function<void()> never = browser_->HoldLoad();
  Load(Service("/stalled"));
  EXPECT_EQ(Title(), "stalled");
}

class ScriptObjectTest : public BrowserViewTest {
 protected:
  void SetUp() override {
    BrowserViewTest::SetUp();
    Page("/app", "<html><head><title>app</title></head><body></body></html>");
  }
};

TEST_F(ScriptObjectTest, MembersReachTheFrameAndGettersAnswerAtOnce) {
  Load(Service("/app"));
  Eval("window.external.ShowStatusMessage('Hello', 'http:'); return 1;");
  ASSERT_TRUE(RunUntil([&] { return !world_->frame.rec.status_messages.empty(); }));
  EXPECT_EQ(world_->frame.rec.status_messages[0], std::make_pair(std::string("Hello"), std::string("http:")));

  EXPECT_EQ(Eval("window.external.SetSetting('colour', 'blue'); return window.external.GetSetting('colour');"),
            "blue");
  ASSERT_TRUE(RunUntil([&] { return !world_->frame.rec.settings_set.empty(); }));
  std::string stored;
  EXPECT_TRUE(world_->settings.GetWebClientValue("colour", &stored));
  EXPECT_EQ(stored, "blue");
  EXPECT_EQ(Eval("window.external.SetSetting('colour', ''); return String(window.external.GetSetting('colour'));"),
            "null");
  EXPECT_EQ(Eval("return [window.external.IsDebugMode, window.external.HasCredentials,"
                 " window.external.GetVersion()].join(',');"),
            "false,false," + platform::ProgramFileVersionText());
  // Names Settings.xml cannot hold are refused on the page too: the page's
  // copy takes nothing and the client is never asked.
  const std::size_t calls = world_->frame.rec.settings_set.size();
  EXPECT_EQ(Eval("var r = [];"
                 "['a b', '<x>', '1x', 'x'.repeat(256)].forEach(function (n) {"
                 "  try { window.external.SetSetting(n, 'v'); r.push('taken'); }"
                 "  catch (e) { r.push(String(window.external.GetSetting(n))); } });"
                 "return r.join(',');"),
            "null,null,null,null");
  EXPECT_EQ(world_->frame.rec.settings_set.size(), calls);
  // The snapshot of the next page carries what was stored.
  EXPECT_EQ(Eval("window.external.SetSetting('size', 'big'); return 1;"), "1");
  ASSERT_TRUE(RunUntil([&] { return world_->settings.GetWebClientValue("size", &stored); }));
  Load(Service("/app"));
  EXPECT_EQ(Eval("return window.external.GetSetting('size');"), "big");
}

TEST_F(ScriptObjectTest, ForeignFramesAndWrongTokensAreRefused) {
  Page("/intruder", "<html><body><script>"
                    "try { window.webkit.messageHandlers.quolExternal.postMessage("
                    "  ['0000', 'ShowStatusMessage', 'from-iframe', '']); } catch (e) {}"
                    "try { parent.external.ShowStatusMessage('from-iframe-parent', ''); } catch (e) {}"
                    "parent.postMessage('done', '*');"
                    "</script></body></html>");
  Page("/host", "<html><head><title>host</title></head><body><script>"
                "addEventListener('message', function () {"
                "  window.webkit.messageHandlers.quolExternal.postMessage("
                "    ['bad', 'ShowStatusMessage', 'bad-token', '']);"
                "  window.external.ShowStatusMessage('after', '');"
                "});</script><iframe src='" + Other("/intruder") + "'></iframe></body></html>");
  Load(Service("/host"));
  ASSERT_TRUE(RunUntil([&] { return !world_->frame.rec.status_messages.empty(); }));
  ASSERT_EQ(world_->frame.rec.status_messages.size(), 1u);
  EXPECT_EQ(world_->frame.rec.status_messages[0].first, "after");
  EXPECT_GE(browser_->external().refused_calls(), 2);
}

TEST_F(ScriptObjectTest, OnlyPagesThePolicyAcceptsGetTheObject) {
  Page("/untrusted", "<html><head><title>untrusted</title></head></html>");
  extra_judge_ = [](const std::string& url) { return url.find("/untrusted") == std::string::npos; };
  Load(Service("/untrusted"));
  EXPECT_EQ(Eval("return typeof window.external;"), "undefined");
  Load(Service("/app"));
  EXPECT_EQ(Eval("return typeof window.external.ShowStatusMessage;"), "function");
}

TEST_F(ScriptObjectTest, FloodsAndHugeStringsLeaveTheClientAnsweringAndSettingsSmall) {
  Load(Service("/app"));
  EXPECT_EQ(Eval("try { window.external.SetSetting('big', 'x'.repeat(10 * 1024 * 1024)); return 'taken'; }"
                 " catch (e) { return e.name; }"),
            "RangeError");
  // Past the shim, straight to the handler: refused by the client.
  Eval("window.webkit.messageHandlers.quolExternal.postMessage(['t', 'SetSetting', 'big',"
       " 'x'.repeat(10 * 1024 * 1024)]); return 1;");
  Eval("for (var i = 0; i < 100000; i++) window.external.SetSetting('k' + i, 'v'); return 1;");
  EXPECT_EQ(Eval("return 1 + 1;"), "2");
  RunUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_LE(world_->frame.rec.settings_set.size(), CWindowExternal::kMaxSettingNames);
  std::string value;
  EXPECT_FALSE(world_->settings.GetWebClientValue("big", &value));
  const std::string xml = quol::testing::ReadFileOrEmpty(platform::DataFolderPath() + "/Settings.xml");
  EXPECT_LT(xml.size(), 64u * 1024u);
}

// The client against the stand-in's own web application: its home page
// sends a client with a saved sign-in through the logon page (which signs
// in from the credentials cookie and comes back), and its "Sign out" link
// answers with a redirect to that logon page, so the logoff page is never
// the page that loads.
class StandInSignInTest : public ::testing::Test {
 protected:
  static constexpr char kEmail[] = "family@quol.example";
  static constexpr char kPassword[] = "quol-pass;1";

  void SetUp() override {
    ASSERT_TRUE(XvfbEnvironment::error().empty()) << XvfbEnvironment::error();
    service::DevServiceOptions service_options;
    service_options.db_path = folder_ / "service.sqlite";
    service_options.api_port = 0;
    service_options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(service_options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    account_ = service_->AddAccount(kEmail, kPassword);
    ASSERT_FALSE(account_.empty());
    world_ = std::make_unique<PolicyWorld>(Web("/devuzez/"));
    BrowserOptions options;
    options.url_is_safe = [this](const std::string& url) { return world_->policy->IsSafe(url); };
    options.web_client_values = [this] { return world_->settings.web_client_values(); };
    browser_ = CInternetExplorer::Create(&world_->frame, options);
    world_->frame.browser = browser_.get();
    world_->policy->AttachBrowser(browser_.get());
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
    gtk_container_add(GTK_CONTAINER(window_), browser_->widget());
    gtk_widget_show_all(window_);
  }

  void TearDown() override {
    if (world_ != nullptr) world_->policy->AttachBrowser(nullptr);
    if (browser_ != nullptr) browser_->Close();
    if (window_ != nullptr) gtk_widget_destroy(window_);
    if (service_ != nullptr) service_->Stop();
  }

  std::string Web(const std::string& path) const { return service_->web_base() + path; }
  std::string RequestTrail() const {
    std::string trail;
    for (const std::string& line : service_->RequestLog()) trail += line + "\n";
    return trail;
  }
  std::string Eval(const std::string& script) {
    return EvalIn(WEBKIT_WEB_VIEW(browser_->widget()), script);
  }
  // What the service's home page says about the visitor.
  std::string Shown() {
    return Eval("var e = document.getElementById('signed-in');"
                "if (e) return 'in:' + e.textContent;"
                "return document.getElementById('sign-in') ? 'out' : 'other';");
  }

  // Stores the account (settings and cookie) as a signed-in client has it
  // and opens the home page, where the service shows the family signed in.
  void SignIn() {
    world_->settings.SetEmailAddress(kEmail);
    ASSERT_TRUE(Succeeded(world_->settings.SetPassword(kPassword)));
    world_->settings.SetAccountId(account_);
    ASSERT_TRUE(Succeeded(world_->settings.Save()));
    bool ready = false;
    world_->policy->signin().SetAuthCookies(Web("/devuzez/"), [&] {
      ready = true;
      world_->frame.Navigate(world_->policy->HomeURL(kLaunchNormal));
    });
    ASSERT_TRUE(RunUntil([&] { return ready && Shown() == std::string("in:") + kEmail; }))
        << Shown();
  }

  // The names of the cookies the view holds for the service.
  std::set<std::string> CookieNames() {
    struct Listed {
      bool done = false;
      std::set<std::string> names;
    } listed;
    webkit_cookie_manager_get_cookies(
        browser_->cookie_manager(), Web("/").c_str(), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* l = static_cast<Listed*>(data);
          GList* cookies =
              webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
          for (GList* item = cookies; item != nullptr; item = item->next) {
            l->names.insert(soup_cookie_get_name(static_cast<SoupCookie*>(item->data)));
          }
          g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
          l->done = true;
        },
        &listed);
    EXPECT_TRUE(RunUntil([&] { return listed.done; }));
    return listed.names;
  }

  quol::testing::TempDir folder_;
  std::unique_ptr<service::DevService> service_;
  std::string account_;
  std::unique_ptr<PolicyWorld> world_;
  std::unique_ptr<CInternetExplorer> browser_;
  GtkWidget* window_ = nullptr;
};

TEST_F(StandInSignInTest, SignOutAnsweredWithARedirectForgetsTheAccountAndStaysSignedOut) {
  struct Case {
    const char* how;
    std::function<void()> sign_out;
  } cases[] = {
      {"the page's link", [&] { Eval("document.getElementById('sign-out').click(); return 1;"); }},
      {"the page's script", [&] { Eval("location.href = '/logon/logout.aspx'; return 1;"); }},
      {"the client", [&] { ASSERT_TRUE(browser_->Navigate(Web("/logon/logout.aspx"))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    world_->frame.HideMessageBar();
    SignIn();
    ASSERT_EQ(world_->frame.rec.bar_kind, -1);
    ASSERT_TRUE(CookieNames().contains("quol_auth"));
    quol::testing::LogCapture log;
    c.sign_out();
    ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.bar_kind == kBarSignedOut; },
                         std::chrono::seconds(20)))
        << Shown() << "\n" << log.Text() << RequestTrail();
    EXPECT_EQ(world_->frame.rec.bar_text, "You have been signed out of Quol");
    // Signed out once, however many ways the load showed the page.
    const std::string text = log.Text();
    const std::string line =
        Web("/logon/logout.aspx") + " is logout page pre-navigate, clearing credentials.";
    const std::size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("is logout page", first + line.size()), std::string::npos) << text;
    CSuiteSettings stored;
    ASSERT_TRUE(Succeeded(stored.Load()));
    EXPECT_EQ(stored.email_address(), "");
    EXPECT_EQ(stored.password(), "");
    EXPECT_EQ(stored.account_id(), "");
    // The home page of a signed-out family, not a new session.
    ASSERT_FALSE(world_->frame.rec.navigations.empty());
    EXPECT_NE(world_->frame.rec.navigations.back().find("mode=PostLogout"), std::string::npos);
    EXPECT_NE(browser_->LocationUrl().find("mode=PostLogout"), std::string::npos)
        << browser_->LocationUrl();
    EXPECT_EQ(Shown(), "out");
    EXPECT_FALSE(CookieNames().contains("quol_auth"));
    EXPECT_FALSE(world_->policy->signin().signed_out_pending());
  }
}

TEST_F(StandInSignInTest, LogoffPageInAFrameOfTheServicePageSignsNothingOut) {
  SignIn();
  quol::testing::LogCapture log;
  const std::string home = browser_->LocationUrl();
  Eval("var f = document.createElement('iframe');"
       "f.onload = function () { document.title = 'frame-loaded'; };"
       "f.src = '/logon/logout.aspx'; document.body.appendChild(f); return 1;");
  ASSERT_TRUE(RunUntil([&] { return world_->frame.rec.title == "frame-loaded"; }));
  EXPECT_GE(service_->RequestCount("/logon/logout.aspx"), 1);
  EXPECT_FALSE(log.Contains("is logout page pre-navigate")) << log.Text();
  CSuiteSettings stored;
  ASSERT_TRUE(Succeeded(stored.Load()));
  EXPECT_EQ(stored.email_address(), kEmail);
  EXPECT_EQ(stored.account_id(), account_);
  EXPECT_FALSE(world_->policy->signin().signed_out_pending());
  EXPECT_NE(world_->frame.rec.bar_kind, kBarSignedOut);
  EXPECT_EQ(browser_->LocationUrl(), home);
}

TEST_F(BrowserViewTest, DroppedFilesAreNotTakenByTheView) {
  EXPECT_EQ(gtk_drag_dest_get_target_list(browser_->widget()), nullptr);
}

}  // namespace
}  // namespace quol::client

// Pango fills fontconfig's caches and JavaScriptCore keeps its
// process-wide tables until the process ends; the leak checker of the
// sanitizer builds cannot trace them. They are the libraries' own, not
// leaks of the browser. Nothing calls this without the checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libjavascriptcoregtk-4.1.so\n";
}
