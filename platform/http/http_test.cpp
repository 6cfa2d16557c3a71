#include "platform/http/http.h"

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::HttpTestServer;

// Short limits so hostile-server cases end quickly; restored afterwards.
class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("<quol>" + req.get_header_value("User-Agent") + "</quol>", "text/xml");
    });
    s.Get("/error", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("<html>Internal error</html>", "text/html");
    });
    s.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(50u << 20, 'x'), "text/plain");
    });
    s.Get("/chunked-huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
        static const std::string block(1 << 16, 'y');
        return sink.write(block.data(), block.size());  // endless
      });
    });
    s.Get("/to-hello", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect(server_.Url("/hello"));
    });
    s.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/passwd");
    });
    s.Get("/package", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(300000, 'p'), "application/octet-stream");
    });
    server_.Start();
  }
  testing::ScopedHttpDefaults fast_{[](HttpDefaults& d) {
    d.connect_timeout_ms = 2000;
    d.total_timeout_ms = 1500;
    d.download_stall_ms = 1000;
    d.max_body_bytes = 1u << 20;
  }};
  HttpTestServer server_;
};

TEST_F(HttpTest, GetsBodyStatusAndSendsTheUserAgent) {
  HttpResponse response;
  std::string error;
  HttpOptions options;
  options.user_agent = "QuolTest/1.0";
  ASSERT_EQ(HttpGet(server_.Url("/hello"), options, &response, &error), S_OK) << error;
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "<quol>QuolTest/1.0</quol>");
  EXPECT_EQ(response.content_type, "text/xml");

  ASSERT_EQ(HttpGet(server_.Url("/to-hello"), HttpOptions(), &response, &error), S_OK);
  EXPECT_EQ(response.body, "<quol>" + DefaultUserAgent() + "</quol>");
  EXPECT_EQ(response.effective_url, server_.Url("/hello"));
}

TEST_F(HttpTest, ErrorStatusesAreAnswersForGetButFailuresForDocuments) {
  HttpResponse response;
  std::string error;
  ASSERT_EQ(HttpGet(server_.Url("/error"), HttpOptions(), &response, &error), S_OK);
  EXPECT_EQ(response.status, 500);
  std::string body;
  EXPECT_EQ(HttpFetchDocument(server_.Url("/error"), &body, &error), E_HTTP_STATUS);
  EXPECT_EQ(error, "HTTP status 500");
  EXPECT_EQ(HttpFetchDocument(server_.Url("/missing"), &body, &error), E_HTTP_STATUS);
}

TEST_F(HttpTest, OversizedAnswersAreCutOff) {
  HttpResponse response;
  std::string error;
  EXPECT_EQ(HttpGet(server_.Url("/huge"), HttpOptions(), &response, &error), E_HTTP_TOO_LARGE);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(HttpGet(server_.Url("/chunked-huge"), HttpOptions(), &response, &error),
            E_HTTP_TOO_LARGE);
  HttpOptions exact;
  exact.max_body_bytes = 300000;
  EXPECT_EQ(HttpGet(server_.Url("/package"), exact, &response, &error), S_OK) << error;
  EXPECT_EQ(response.body.size(), 300000u);
}

TEST_F(HttpTest, ServersThatNeverAnswerTimeOut) {
  testing::SilentListener silent;
  HttpResponse response;
  std::string error;
  EXPECT_EQ(HttpGet(silent.Url("/config"), HttpOptions(), &response, &error), E_HTTP_TIMEOUT);
  EXPECT_FALSE(error.empty());
}

TEST_F(HttpTest, OnlyHttpAndHttpsAreSpoken) {
  HttpResponse response;
  std::string error;
  EXPECT_LT(HttpGet("file:///etc/passwd", HttpOptions(), &response, &error), 0);
  EXPECT_LT(HttpGet(server_.Url("/to-file"), HttpOptions(), &response, &error), 0);
  EXPECT_EQ(HttpGet("http://127.0.0.1:9/closed", HttpOptions(), &response, &error),
            E_HTTP_CANNOT_CONNECT);
}

TEST_F(HttpTest, DownloadsLandWholeOrNotAtAll) {
  testing::TempDir dir;
  long status = 0;
  std::string error;
  ASSERT_EQ(HttpDownloadToFile(server_.Url("/package"), HttpOptions(), dir / "Pkg_1.deb",
                               &status, &error),
            S_OK)
      << error;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(testing::ReadFileOrEmpty(dir / "Pkg_1.deb").size(), 300000u);

  testing::SilentListener silent;
  EXPECT_LT(HttpDownloadToFile(silent.Url("/x"), HttpOptions(), dir / "Pkg_2.deb", &status, &error),
            0);
  HttpOptions small;
  small.max_body_bytes = 1000;
  EXPECT_LT(HttpDownloadToFile(server_.Url("/package"), small, dir / "Pkg_3.deb", &status, &error),
            0);
  EXPECT_EQ(testing::ListFolder(dir.path()), std::vector<std::string>{"Pkg_1.deb"});
}

}  // namespace
}  // namespace quol::platform
