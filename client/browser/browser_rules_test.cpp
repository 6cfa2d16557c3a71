// The browser side's rules without a view: user agent, cookie target and
// value, transport error codes, the navigation policy's decisions, the
// sign-in page state machine and the checks on window.external calls.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstring>

#include "client/browser/browser_test_support.h"
#include "client/browser/builtin_pages.h"
#include "client/browser/internet_explorer.h"
#include "client/browser/signin_cookies.h"
#include "client/browser/window_external.h"
#include "foundation/testing/log_capture.h"
#include "platform/identity/identity.h"

namespace quol::client {
namespace {

using testing::PolicyWorld;

TEST(UserAgent, TokenGoesBeforeTheLastParenthesis) {
  struct Case {
    std::string system;
    bool touch;
    std::string expected;
  } cases[] = {
      {"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1)", true,
       "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1;QuolDevuzez 1.2.3.4;Touch)"},
      {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Safari/605.1.15", false,
       "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko;QuolDevuzez 1.2.3.4) "
       "Safari/605.1.15"},
      {"Plain", false, "Plain;QuolDevuzez 1.2.3.4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildUserAgent(c.system, "1.2.3.4", c.touch), c.expected) << c.system;
  }
}

TEST(UserAgent, LongSystemTextIsCutAtASeparatorSoTheTokenFits) {
  const std::string system = "Mozilla/5.0 (X11; " + std::string(1100, 'a') + "; Linux)";
  const std::string agent = BuildUserAgent(system, "1.2.3.4", false);
  EXPECT_LE(agent.size(), kMaxUserAgentBytes);
  EXPECT_EQ(agent, "Mozilla/5.0 (X11;QuolDevuzez 1.2.3.4)");
}

TEST(SignInCookies, CookieTargetWritesEveryPortButEighty) {
  struct Case {
    const char* url;
    bool ok;
    const char* cookie_url;
    bool loopback;
  } cases[] = {
      {"http://my.quol.example/devuzez/", true, "http://my.quol.example/", false},
      {"http://my.quol.example:80/x", true, "http://my.quol.example/", false},
      {"http://my.quol.example:8080/x", true, "http://my.quol.example:8080/", false},
      {"https://secure.quol.example/x", true, "https://secure.quol.example:443/", false},
      {"HTTP://LOCALHOST:2175/devuzez/", true, "http://localhost:2175/", true},
      {"http://127.0.0.1:2175/", true, "http://127.0.0.1:2175/", true},
      {"http://[::1]:2175/", true, "http://[::1]:2175/", true},
      {"http://127.0.0.2/", true, "http://127.0.0.2/", false},
      {"res://QuolDevuzez/offline.htm", false, "", false},
      {"not a url", false, "", false},
  };
  for (const Case& c : cases) {
    CookieTarget target;
    ASSERT_EQ(CookieTargetFor(c.url, &target), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(target.cookie_url, c.cookie_url) << c.url;
    EXPECT_EQ(target.loopback, c.loopback) << c.url;
  }
}

TEST(SignInCookies, ValueKeepsTheSeparatorWhateverThePasswordHolds) {
  EXPECT_EQ(CredentialsCookieValue("", ""), ",");
  EXPECT_EQ(CredentialsCookieValue("family@quol.example", "quol-demo-1"),
            "family@quol.example,quol-demo-1");
  EXPECT_EQ(CredentialsCookieValue("a,b@c", "p;a,ss %\"x"), "a%2Cb@c,p%3Ba%2Css%20%25%22x");
}

TEST(SignInCookies, SessionCookieNamesAreSplitAndBounded) {
  EXPECT_EQ(SessionCookieNames(" ASP.NET_SessionId;quol_state  quol_auth;;"),
            (std::vector<std::string>{"ASP.NET_SessionId", "quol_state", "quol_auth"}));
  std::string many;
  for (int i = 0; i < 100; ++i) many += "n" + std::to_string(i) + ";";
  EXPECT_EQ(SessionCookieNames(many).size(), kMaxSessionCookieNames);
  EXPECT_TRUE(SessionCookieNames(std::string(300, 'x')).empty());
}

// Pages of other parts (the diagnostics page) are served beside the error
// page, which they can never replace.
TEST(BuiltinPages, AddedPagesAreServedWithoutReplacingOwnOnes) {
  AddBuiltinPage("added.htm", "text/html", [] { return std::string("<p>added</p>"); });
  AddBuiltinPage("offline.htm", "text/html", [] { return std::string("replaced"); });
  AddBuiltinPage("empty.htm", "text/html", [] { return std::string(); });
  BuiltinPage page;
  ASSERT_TRUE(LookupBuiltinPage("/added.htm", &page));
  EXPECT_EQ(page.bytes, "<p>added</p>");
  ASSERT_TRUE(LookupBuiltinPage("/offline.htm", &page));
  EXPECT_NE(page.bytes, "replaced");
  EXPECT_NE(page.bytes.find("<html"), std::string::npos);
  EXPECT_FALSE(LookupBuiltinPage("/empty.htm", &page));
  EXPECT_FALSE(LookupBuiltinPage("/missing.htm", &page));
}

TEST(InternetExplorer, TransportErrorsGetDistinctNegativeCodes) {
  struct Case {
    GQuark domain;
    int code;
    int expected;
  } cases[] = {
      {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, -1039},
      {G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, -2000},
      {G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE, -3002},
      {g_quark_from_static_string("elsewhere"), 7, -1},
  };
  for (const Case& c : cases) {
    GError* error = g_error_new_literal(c.domain, c.code, "x");
    EXPECT_EQ(TransportErrorCode(error), c.expected);
    g_error_free(error);
  }
}

TEST(NavigationPolicy, ErrorPageUrlNamesTheProgramKindAndCode) {
  EXPECT_EQ(ErrorPageUrl("connect", -1039),
            "res://" + platform::ExecutableBaseName() + "/offline.htm#error=connect&code=-1039");
}

TEST(NavigationPolicy, HomeUrlCarriesModeCobrandVersionAndSku) {
  const std::string v = platform::ProgramFileVersionText();
  struct Case {
    std::string start;
    std::uint32_t mode;
    std::string expected;
  } cases[] = {
      {"http://127.0.0.1:2175/devuzez/", kLaunchFirstTime,
       "http://127.0.0.1:2175/devuzez/?mode=FirstTime&cobrand=&v=" + v + "&sku=Vevuvov"},
      {"http://127.0.0.1:2175/d?x=1", kLaunchNormal, "http://127.0.0.1:2175/d?x=1&cobrand=&v=" + v + "&sku=Vevuvov"},
      {"http://127.0.0.1:2175/d", kLaunchCancelLogin,
       "http://127.0.0.1:2175/d?mode=CancelLogin&cobrand=&v=" + v + "&sku=Vevuvov"},
      {"http://127.0.0.1:2175/d", kLaunchScreensaverFirstTime,
       "http://127.0.0.1:2175/d?mode=ScreenSaverLaunchWithUpgrade&cobrand=&v=" + v + "&sku=Vevuvov"},
  };
  for (const Case& c : cases) {
    PolicyWorld world(c.start);
    EXPECT_EQ(world.policy->HomeURL(c.mode), c.expected);
  }
}

TEST(NavigationPolicy, CombinedUrlIsEmptyWhenItLeavesTheService) {
  PolicyWorld world("http://127.0.0.1:2175/devuzez/");
  EXPECT_EQ(world.policy->CombinedURL("/calendar"), "http://127.0.0.1:2175/calendar");
  EXPECT_EQ(world.policy->CombinedURL("//localhost/x"), "");
  EXPECT_EQ(world.policy->CombinedURL("//www.other.example/x"), "");
}

TEST(NavigationPolicy, BeforeNavigateDecidesWhereAUrlGoes) {
  struct Case {
    const char* url;
    const char* top;
    bool allowed;
    bool opened_outside;
  } cases[] = {
      {"http://127.0.0.1:2175/devuzez/home", "", true, false},
      {"res://QuolDevuzez/offline.htm", "", true, false},
      {"javascript:void(0)", "", true, false},
      {"http://www.other.example/", "", false, true},
      {"https://localhost:1/x", "", false, true},
      {"mailto:someone@quol.example", "", false, true},
      {"ftp://127.0.0.1/file", "", false, false},
      {"file:///etc/passwd", "", false, false},
      // Frames: another site inside the service's page loads; inside a
      // foreign page it does not, and never opens a browser.
      {"http://www.other.example/ad", "http://127.0.0.1:2175/devuzez/", true, false},
      {"http://www.other.example/ad", "http://localhost:2175/", false, false},
  };
  for (const Case& c : cases) {
    PolicyWorld world("http://127.0.0.1:2175/devuzez/");
    EXPECT_EQ(world.policy->OnBeforeNavigate(c.url, c.top), c.allowed) << c.url;
    EXPECT_EQ(world.frame.rec.opened_outside.size(), c.opened_outside ? 1u : 0u) << c.url;
  }
}

TEST(NavigationPolicy, ProgressWindowSkipsFirstScriptHiddenAndFrames) {
  PolicyWorld world("http://127.0.0.1:2175/devuzez/");
  auto& policy = *world.policy;
  const std::string page = "http://127.0.0.1:2175/devuzez/a";
  ASSERT_TRUE(policy.OnBeforeNavigate(page, ""));
  EXPECT_EQ(world.frame.rec.progress_shown, 0) << "the splash covers the first navigation";
  ASSERT_TRUE(policy.OnBeforeNavigate("javascript:void(0)", ""));
  EXPECT_EQ(world.frame.rec.progress_shown, 0);
  ASSERT_TRUE(policy.OnBeforeNavigate("http://www.other.example/ad", page));
  EXPECT_EQ(world.frame.rec.progress_shown, 0);
  world.frame.visible = false;
  ASSERT_TRUE(policy.OnBeforeNavigate(page, ""));
  EXPECT_EQ(world.frame.rec.progress_shown, 0);
  world.frame.visible = true;
  ASSERT_TRUE(policy.OnBeforeNavigate(page, ""));
  EXPECT_EQ(world.frame.rec.progress_shown, 1);
  EXPECT_TRUE(policy.navigating());
  policy.OnDocumentComplete();
  EXPECT_FALSE(policy.navigating());
  EXPECT_GE(world.frame.rec.progress_hidden, 1);
}

TEST(NavigationPolicy, SignedOutBarGoesAtTheNextNavigation) {
  PolicyWorld world("http://127.0.0.1:2175/devuzez/");
  world.frame.rec.bar_kind = kBarSignedOut;
  world.policy->OnBeforeNavigate("http://127.0.0.1:2175/devuzez/x", "");
  EXPECT_EQ(world.frame.rec.bar_kind, -1);
}

TEST(NavigationPolicy, NewWindowsStayOnlyOnTheSameSafeHost) {
  struct Case {
    const char* url;
    const char* referrer;
    bool allowed;
    bool opened_outside;
  } cases[] = {
      {"javascript:window.close()", "http://127.0.0.1:2175/", true, false},
      {"http://127.0.0.1:2175/popup", "http://127.0.0.1:2175/devuzez/", true, false},
      {"http://www.other.example/", "http://127.0.0.1:2175/devuzez/", false, true},
      // The same host, but one the policy rejects (an ad frame's own popup).
      {"http://localhost:2175/more", "http://localhost:2175/ad", false, true},
  };
  for (const Case& c : cases) {
    PolicyWorld world("http://127.0.0.1:2175/devuzez/");
    EXPECT_EQ(world.policy->OnNewWindow(c.url, c.referrer), c.allowed) << c.url;
    EXPECT_EQ(world.frame.rec.opened_outside.size(), c.opened_outside ? 1u : 0u) << c.url;
  }
}

TEST(NavigationPolicy, ErrorsOnTheServiceHostBecomeTheErrorPage) {
  struct Case {
    int status;
    const char* url;
    bool allowed;
  } cases[] = {
      {404, "http://127.0.0.1:2175/missing", true},
      {500, "http://127.0.0.1:2175/photo.JPG", true},
      {500, "http://localhost:2175/x", true},
      {500, "http://127.0.0.1:2175/x", false},
      {-1039, "http://127.0.0.1:2175/", false},
  };
  for (const Case& c : cases) {
    PolicyWorld world("http://127.0.0.1:2175/devuzez/");
    EXPECT_EQ(world.policy->OnNavigateError(c.status, c.url), c.allowed) << c.url;
    EXPECT_EQ(world.frame.rec.posted.size(), c.allowed ? 0u : 1u) << c.url;
  }
}

class FakeBrowser : public CAbstractBrowser {
 public:
  bool online = true;
  int stops = 0;
  int refreshes = 0;
  void Close() override {}
  bool Navigate(const std::string&) override { return true; }
  bool Stop() override {
    ++stops;
    return true;
  }
  bool IsCreated() override { return true; }
  bool IsOnline() override { return online; }
  bool GetVersion(std::string*) override { return false; }
  GtkWidget* widget() override { return nullptr; }
  std::string LocationUrl() override { return {}; }
  void RefreshScriptState() override { ++refreshes; }
};

TEST(NavigationPolicy, ErrorMessagePicksTheKind) {
  struct Case {
    bool online;
    int status;
    const char* kind;
  } cases[] = {{true, -1039, "connect"}, {true, 500, "http"}, {false, -2000, "offline"}};
  for (const Case& c : cases) {
    PolicyWorld world("http://127.0.0.1:2175/devuzez/");
    FakeBrowser browser;
    browser.online = c.online;
    world.policy->AttachBrowser(&browser);
    world.policy->OnNavigationErrorMessage(c.status);
    ASSERT_EQ(world.frame.rec.error_pages.size(), 1u);
    EXPECT_EQ(world.frame.rec.error_pages[0], std::make_pair(std::string(c.kind), c.status));
    EXPECT_EQ(world.frame.rec.frame_shown, 1);
  }
}

void RunPendingTasks() {
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
}

class SignInTest : public ::testing::Test {
 protected:
  static constexpr char kStart[] = "http://127.0.0.1:2175/devuzez/";
  static constexpr char kLogon[] = "http://127.0.0.1:2175/logon/logon.aspx";

  SignInTest() : world_(kStart) {
    world_.policy->AttachBrowser(&browser_);
    world_.policy->signin().SetSignInDialog([this](GtkWindow*) {
      ++dialogs_;
      return dialog_answer_;
    });
  }

  // A top-level navigation that commits.
  void Visit(const std::string& url) {
    world_.policy->OnBeforeNavigate(url, "");
    world_.policy->OnNavigateComplete(url);
    RunPendingTasks();
  }

  PolicyWorld world_;
  FakeBrowser browser_;
  int dialogs_ = 0;
  bool dialog_answer_ = false;
};

TEST_F(SignInTest, LogoffClearsTheStoredCredentialsAndTheNextLogonGoesHome) {
  quol::testing::LogCapture log;
  world_.settings.SetEmailAddress("a@quol.example");
  ASSERT_TRUE(Succeeded(world_.settings.SetPassword("secret")));
  world_.settings.SetAccountId("42");
  ASSERT_TRUE(Succeeded(world_.settings.Save()));

  Visit("http://127.0.0.1:2175/logon/logout.aspx");
  CSuiteSettings reread;
  ASSERT_TRUE(Succeeded(reread.Load()));
  EXPECT_EQ(reread.email_address(), "");
  EXPECT_EQ(reread.password(), "");
  EXPECT_EQ(reread.account_id(), "");
  EXPECT_TRUE(log.Contains("is logout page pre-navigate, clearing credentials."));

  Visit(kLogon);
  EXPECT_EQ(dialogs_, 0);
  EXPECT_EQ(browser_.stops, 1);
  ASSERT_FALSE(world_.frame.rec.navigations.empty());
  EXPECT_NE(world_.frame.rec.navigations.back().find("mode=PostLogout"), std::string::npos);

  Visit(world_.frame.rec.navigations.back());
  EXPECT_EQ(world_.frame.rec.bar_kind, kBarSignedOut);
  EXPECT_EQ(world_.frame.rec.bar_text, "You have been signed out of Quol");
}

TEST_F(SignInTest, CancelledDialogGoesHomeWithCancelLoginAndASecondVisitIsLetThrough) {
  quol::testing::LogCapture log;
  Visit(kLogon);
  EXPECT_EQ(dialogs_, 1);
  ASSERT_EQ(world_.frame.rec.navigations.size(), 1u);
  EXPECT_NE(world_.frame.rec.navigations[0].find("mode=CancelLogin"), std::string::npos);
  EXPECT_TRUE(log.Contains("Cancelled dialog."));

  // The service sends the user to its form again right away.
  Visit(kLogon);
  EXPECT_EQ(dialogs_, 1);
  EXPECT_TRUE(log.Contains("is login page (2)."));
  EXPECT_TRUE(log.Contains("Allowing thru."));
}

TEST_F(SignInTest, AcceptedDialogLoadsTheLogonPageAgain) {
  dialog_answer_ = true;
  Visit(kLogon);
  EXPECT_EQ(dialogs_, 1);
  ASSERT_EQ(world_.frame.rec.navigations.size(), 1u);
  EXPECT_EQ(world_.frame.rec.navigations[0], kLogon);
}

TEST_F(SignInTest, OtherSitesNeverMoveTheSignInState) {
  world_.settings.SetEmailAddress("a@quol.example");
  Visit("http://localhost:2175/logon/logon.aspx");
  world_.policy->OnBeforeNavigate("http://localhost:2175/logon/logout.aspx", "");
  // A frame of the service's own page pointing at its logoff page.
  world_.policy->OnBeforeNavigate("http://www.other.example/logon/logout.aspx", kStart);
  EXPECT_EQ(dialogs_, 0);
  EXPECT_FALSE(world_.policy->signin().signed_out_pending());
  EXPECT_EQ(world_.settings.email_address(), "a@quol.example");
}

// A browser that runs the sign-in watch itself and can hold its load.
class WatchingBrowser : public FakeBrowser {
 public:
  std::function<void(const std::string&)> watch;
  int holds = 0;
  int released = 0;
  bool SetTopLevelUrlWatch(std::function<void(const std::string&)> w) override {
    watch = std::move(w);
    return true;
  }
  std::function<void()> HoldLoad() override {
    ++holds;
    return [this] { ++released; };
  }
};

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(SignInWatch, TheBrowsersWatchSignsOutOnceAndHoldsTheLoadUntilTheCookieIsSet) {
  constexpr char kStart[] = "http://127.0.0.1:2175/devuzez/";
  constexpr char kLogoff[] = "http://127.0.0.1:2175/logon/logout.aspx";
  struct Case {
    const char* url;
    bool signs_out;
  } cases[] = {
      {kLogoff, true},
      {"http://127.0.0.1:2175/LOGON/Logout.aspx?x=1", true},
      {"http://localhost:2175/logon/logout.aspx", false},
      {"http://127.0.0.1:2175/logon/logon.aspx", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    quol::testing::LogCapture log;
    PolicyWorld world(kStart);
    world.settings.SetEmailAddress("a@quol.example");
    ASSERT_TRUE(Succeeded(world.settings.SetPassword("secret")));
    WatchingBrowser browser;
    world.policy->AttachBrowser(&browser);
    ASSERT_TRUE(browser.watch);
    browser.watch(c.url);
    // The same URL reported to the policy as the page that loads: the
    // browser's watch has seen it already.
    world.policy->OnBeforeNavigate(c.url, "");
    EXPECT_EQ(Occurrences(log.Text(), "is logout page pre-navigate"), c.signs_out ? 1 : 0) << log.Text();
    EXPECT_EQ(world.settings.email_address(), c.signs_out ? "" : "a@quol.example");
    EXPECT_EQ(world.policy->signin().signed_out_pending(), c.signs_out);
    // No cookie store here: the cookie step ends at once and lets the load go.
    EXPECT_EQ(browser.holds, c.signs_out ? 1 : 0);
    EXPECT_EQ(browser.released, browser.holds);
  }
}

TEST(SignInWatch, ADetachedPolicyIgnoresItsOldBrowsersWatch) {
  PolicyWorld world("http://127.0.0.1:2175/devuzez/");
  world.settings.SetEmailAddress("a@quol.example");
  WatchingBrowser browser;
  world.policy->AttachBrowser(&browser);
  const auto watch = browser.watch;
  world.policy->AttachBrowser(nullptr);
  watch("http://127.0.0.1:2175/logon/logout.aspx");
  EXPECT_EQ(world.settings.email_address(), "a@quol.example");
  // Without a watching browser the policy watches what OnBeforeNavigate
  // reports.
  world.policy->OnBeforeNavigate("http://127.0.0.1:2175/logon/logout.aspx", "");
  EXPECT_EQ(world.settings.email_address(), "");
}

class RecordingEvents : public testing::FakeFrame {
 public:
  RecordingEvents() : FakeFrame("http://127.0.0.1/") {}
};

class WindowExternalTest : public ::testing::Test {
 protected:
  WindowExternalTest()
      : external_(&events_, [] { return std::map<std::string, std::string>{{"a", "1"}}; }) {
    external_.SetClockForTesting([this] { return now_; });
    script_ = external_.NewPageScript();
  }

  ScriptCallOutcome Call(const std::string& member, std::vector<std::string> args,
                         std::string token = "") {
    bool changed = false;
    return external_.Dispatch({token.empty() ? external_.token_for_testing() : token, member,
                               std::move(args)},
                              &changed);
  }

  RecordingEvents events_;
  CWindowExternal external_;
  std::chrono::steady_clock::time_point now_{};
  std::string script_;
};

TEST_F(WindowExternalTest, PageScriptCarriesTokenAndSnapshot) {
  ASSERT_EQ(external_.token_for_testing().size(), 64u);
  EXPECT_NE(script_.find(external_.token_for_testing()), std::string::npos);
  EXPECT_NE(script_.find("\"settings\":{\"a\":\"1\"}"), std::string::npos);
  EXPECT_EQ(script_.find("@TOKEN@"), std::string::npos);
  EXPECT_EQ(script_.find("@STATE@"), std::string::npos);
  const std::string first = external_.token_for_testing();
  external_.NewPageScript();
  EXPECT_NE(external_.token_for_testing(), first);
}

TEST_F(WindowExternalTest, CallsAreCheckedBeforeTheyReachTheFrame) {
  const std::string big(CWindowExternal::kMaxStringBytes + 1, 'x');
  struct Case {
    std::string member;
    std::vector<std::string> args;
    std::string token;
    ScriptCallOutcome expected;
  } cases[] = {
      {"ShowStatusMessage", {"hi", ""}, "", ScriptCallOutcome::kDone},
      {"ShowStatusMessage", {"hi", ""}, std::string(64, '0'), ScriptCallOutcome::kBadToken},
      {"ShowStatusMessage", {"hi", ""}, "short", ScriptCallOutcome::kBadToken},
      {"ShowStatusMessage", {"hi"}, "", ScriptCallOutcome::kUnknown},
      {"Crash", {}, "", ScriptCallOutcome::kUnknown},
      {"toString", {}, "", ScriptCallOutcome::kUnknown},
      {"ShowStatusMessage", {big, ""}, "", ScriptCallOutcome::kTooLarge},
      {"SetSetting", {"name", big}, "", ScriptCallOutcome::kTooLarge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(c.member, c.args, c.token), c.expected) << c.member;
  }
  ASSERT_EQ(events_.rec.status_messages.size(), 1u);
  EXPECT_EQ(events_.rec.status_messages[0].first, "hi");
  EXPECT_TRUE(events_.rec.settings_set.empty());
}

TEST_F(WindowExternalTest, RevokedPageCannotCall) {
  const std::string token = external_.token_for_testing();
  external_.Revoke();
  EXPECT_EQ(Call("OpenHomePage", {}, token), ScriptCallOutcome::kNoPage);
  EXPECT_TRUE(external_.RefreshScript().empty());
}

TEST_F(WindowExternalTest, ACallFloodIsCutToTheBudget) {
  int done = 0;
  for (int i = 0; i < 100000; ++i) {
    if (Call("ShowStatusMessage", {"x", ""}) == ScriptCallOutcome::kDone) ++done;
  }
  EXPECT_EQ(done, CWindowExternal::kCallBurst);
  now_ += std::chrono::seconds(1);
  EXPECT_EQ(Call("ShowStatusMessage", {"x", ""}), ScriptCallOutcome::kDone);
}

TEST_F(WindowExternalTest, NewSettingNamesAreBounded) {
  int stored = 0;
  for (std::size_t i = 0; i < CWindowExternal::kMaxSettingNames + 10; ++i) {
    now_ += std::chrono::seconds(1);
    if (Call("SetSetting", {"n" + std::to_string(i), "v"}) == ScriptCallOutcome::kDone) ++stored;
  }
  EXPECT_EQ(stored, static_cast<int>(CWindowExternal::kMaxSettingNames));
  now_ += std::chrono::seconds(1);
  EXPECT_EQ(Call("SetSetting", {"n0", "again"}), ScriptCallOutcome::kDone);
  EXPECT_EQ(Call("SetSetting", {"new", ""}), ScriptCallOutcome::kDone) << "removing is always fine";
}

TEST(WindowExternal, JsonStringIsSafeScriptText) {
  EXPECT_EQ(JsonString("a\"b\\c\n</script>"), "\"a\\\"b\\\\c\\n\\u003c/script>\"");
  EXPECT_EQ(JsonString("\xe2\x80\xa8"), "\"\\u2028\"");
  EXPECT_EQ(JsonString("\xff" "a"), "\"\\ufffda\"");
  EXPECT_EQ(JsonString(std::string("\x01", 1)), "\"\\u0001\"");
}

}  // namespace
}  // namespace quol::client
