// quol:// inside the client: a page of the service stand-in, in the
// client's own browser with the scheme registered as the client registers
// it, fires quol:// URLs as images. Handled URLs load (onload, a 1x1
// image/gif with status 200 readable from http pages) and start the
// recording stand-in the machine hive names as the client; others fail and
// start nothing; pages the URL policy refuses start nothing either.
#include "client/browser/quol_scheme.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "client/browser/browser_test_support.h"
#include "client/browser/internet_explorer.h"
#include "client/browser/browser_view_testing.h"
#include "platform/registry/registry.h"
#include "protocol/quol_protocol_handler.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

namespace quol::client {
namespace {

using testing::PolicyWorld;

using testing::EvalIn;
using testing::RunUntil;
using testing::XvfbEnvironment;

const auto* const kXvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// An <img> added to the page with `src` (no quotes in it): "load WxH" or
// "error".
std::string LoadImage(WebKitWebView* view, const std::string& src) {
  return EvalIn(view,
                "return await new Promise(done => {"
                "  const img = document.createElement('img');"
                "  img.onload = () => done('load ' + img.naturalWidth + 'x' + img.naturalHeight);"
                "  img.onerror = () => done('error');"
                "  img.src = '" + src + "';"
                "  document.body.appendChild(img);"
                "});");
}

class QuolSchemeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(XvfbEnvironment::error().empty()) << XvfbEnvironment::error();
    // The stand-in client: one line per run, arguments joined by '|'.
    client_ = folder_ / "client";
    quol::testing::WriteFileOrDie(client_, "#!/bin/sh\nline=\nfor a in \"$@\"; do line=\"$line|$a\"; done\n"
                                           "printf '%s\\n' \"$line\" >> '" + folder_.path() + "/runs'\n");
    ASSERT_EQ(::chmod(client_.c_str(), 0755), 0);
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryHive::kLocalMachine, "Software\\Quol\\Quol Vevuvov"), S_OK);
    ASSERT_EQ(key.WriteString("Vevuvov", client_), S_OK);

    service::DevServiceOptions service_options;
    service_options.db_path = folder_ / "service.sqlite";
    service_options.api_port = 0;
    service_options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(service_options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;

    world_ = std::make_unique<PolicyWorld>(service_->web_base() + "/devuzez/");
    BrowserOptions options;
    options.url_is_safe = [this](const std::string& url) { return world_->policy->IsSafe(url); };
    options.web_client_values = [this] { return world_->settings.web_client_values(); };
    // The browser registers quol:// itself; the policy judges the page that
    // asks, and the test watches the question.
    options.quol_scheme_allowed = [this](const std::string& url) {
      asked_.push_back(url);
      return policy_allows_ && world_->policy->IsSafe(url);
    };
    browser_ = CInternetExplorer::Create(&world_->frame, options);
    world_->frame.browser = browser_.get();
    world_->policy->AttachBrowser(browser_.get());
    view_ = WEBKIT_WEB_VIEW(browser_->widget());
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window_), browser_->widget());
    gtk_widget_show_all(window_);

    page_ = service_->web_base() + "/devuzez/whatsnew.htm";
    ASSERT_TRUE(browser_->Navigate(page_));
    ASSERT_TRUE(RunUntil([this] {
      return !webkit_web_view_is_loading(view_) && browser_->LocationUrl() == page_;
    }));
  }

  void TearDown() override {
    if (world_ != nullptr) world_->policy->AttachBrowser(nullptr);
    if (browser_ != nullptr) browser_->Close();
    if (window_ != nullptr) gtk_widget_destroy(window_);
    if (service_ != nullptr) service_->Stop();
    (void)platform::DeleteRegistryKey(platform::RegistryHive::kLocalMachine, "Software\\Quol");
  }

  // The stand-in client's runs, once `count` are there (liveness bound).
  std::string Runs(std::size_t count) {
    std::string runs;
    RunUntil([&] {
      runs = quol::testing::ReadFileOrEmpty(folder_ / "runs");
      return static_cast<std::size_t>(std::count(runs.begin(), runs.end(), '\n')) >= count;
    }, std::chrono::seconds(20));
    return runs;
  }

  quol::testing::TempDir folder_;
  std::string client_;
  std::unique_ptr<service::DevService> service_;
  std::unique_ptr<PolicyWorld> world_;
  std::unique_ptr<CInternetExplorer> browser_;
  WebKitWebView* view_ = nullptr;
  GtkWidget* window_ = nullptr;
  std::string page_;
  std::vector<std::string> asked_;
  bool policy_allows_ = true;
};

TEST_F(QuolSchemeTest, StandInPageLoadsTheInstalledImage) {
  EXPECT_EQ(LoadImage(view_, "quol://explorer/isinstalled/"), "load 1x1");
  EXPECT_EQ(asked_, std::vector<std::string>{page_});
  // Readable from the http page too: status 200, image/gif, 43 bytes.
  EXPECT_EQ(EvalIn(view_,
                   "const r = await fetch('quol://explorer/isinstalled/');"
                   "const b = await r.arrayBuffer();"
                   "return r.status + ' ' + r.headers.get('content-type') + ' ' + b.byteLength;"),
            "200 image/gif 43");
  EXPECT_EQ(quol::testing::ReadFileOrEmpty(folder_ / "runs"), "");
}

TEST_F(QuolSchemeTest, HandledUrlsStartTheClientOthersFail) {
  EXPECT_EQ(LoadImage(view_, "quol://collage/show"), "error");
  EXPECT_EQ(LoadImage(view_, "quol://explorer/nothing/"), "error");
  EXPECT_EQ(LoadImage(view_, "quol://explorer/go/calendar/week?x=1"), "load 1x1");
  EXPECT_EQ(Runs(1), "|/n|calendar/week?x=1\n");
  // Each action's earlier process has ended; the settings start anew.
  ASSERT_TRUE(RunUntil([] { return QuolProtocolReapChildren() == 0; }, std::chrono::seconds(20)));
  EXPECT_EQ(LoadImage(view_, "QUOL://COLLAGE/SETTINGS/"), "load 1x1");
  EXPECT_EQ(Runs(2), "|/n|calendar/week?x=1\n|/c\n");
}

TEST_F(QuolSchemeTest, PageThePolicyRefusesStartsNothing) {
  policy_allows_ = false;
  EXPECT_EQ(LoadImage(view_, "quol://collage/settings/"), "error");
  EXPECT_EQ(LoadImage(view_, "quol://explorer/isinstalled/"), "error");
  EXPECT_EQ(asked_, (std::vector<std::string>{page_, page_}));
  // Liveness only: give a wrongly started process time to show up.
  RunUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_EQ(quol::testing::ReadFileOrEmpty(folder_ / "runs"), "");
}

}  // namespace
}  // namespace quol::client

// GTK, Pango and fontconfig fill caches that live until the process ends,
// WebKit's JavaScript engine and the accessibility bridge keep their own;
// the leak checker of the sanitizer builds cannot trace them. They are the
// libraries' caches, not leaks of ours. Nothing calls this without the
// checker.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libjavascriptcoregtk-4.1.so\n"
         "leak:libatk-bridge-2.0.so\n"
         "leak:libdbus-1.so\n"
         "leak:libexpat.so\n";
}
