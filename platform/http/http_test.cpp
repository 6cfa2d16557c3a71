#include "platform/http/http.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/fs/files.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"
#include "platform/url/url.h"

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

// Into a caller's file: only a 200 answer's body is written, whatever else
// the server sends with its error pages and redirects.
TEST_F(HttpTest, DownloadsIntoAFileOnlyForStatus200) {
  server_.server().Get("/gone", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(std::string(5000, 'e'), "text/html");
  });
  server_.server().Get("/partial", [](const httplib::Request&, httplib::Response& res) {
    res.status = 206;
    res.set_content("part", "application/octet-stream");
  });
  server_.server().Get("/to-package", [this](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(server_.Url("/package"));
    res.set_content(std::string(700, 'r'), "text/html");
  });
  struct Case {
    std::string path;
    std::size_t cap;
    HRESULT result;
    long status;
    std::size_t bytes;  // what the file holds afterwards
  };
  const std::vector<Case> cases = {
      {"/package", 0, S_OK, 200, 300000},
      {"/to-package", 0, S_OK, 200, 300000},
      {"/gone", 0, E_HTTP_STATUS, 404, 0},
      {"/error", 0, E_HTTP_STATUS, 500, 0},
      {"/partial", 0, E_HTTP_STATUS, 206, 0},
      {"/package", 1000, E_HTTP_TOO_LARGE, 0, 0},
      {"/chunked-huge", 100000, E_HTTP_TOO_LARGE, 0, 100000},
  };
  testing::TempDir dir;
  for (const Case& c : cases) {
    const std::string file = dir / "download";
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    HttpOptions options;
    options.max_body_bytes = c.cap;
    long status = -1;
    std::string error;
    EXPECT_EQ(HttpDownloadToFd(server_.Url(c.path), options, fd, &status, &error), c.result)
        << c.path << ": " << error;
    ::close(fd);
    EXPECT_EQ(status, c.status) << c.path;
    const std::string content = testing::ReadFileOrEmpty(file);
    EXPECT_LE(content.size(), c.bytes) << c.path;
    if (c.result == S_OK) {
      EXPECT_EQ(content, std::string(300000, 'p')) << c.path;
    }
  }
}

// A transfer given a stop flag ends soon after the flag is set, whether the
// server never answers or keeps trickling bytes; the time-outs are far away.
TEST_F(HttpTest, StopFlagEndsTransfersThatWouldOtherwiseRunOn) {
  server_.server().Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return sink.write("t", 1);  // endless, one byte at a time
    });
  });
  testing::SilentListener silent;
  testing::TempDir dir;
  struct Case {
    const char* name;
    std::string url;
    bool download;
  };
  const Case cases[] = {
      {"silent, in memory", silent.Url("/cfg"), false},
      {"silent, download", silent.Url("/pkg"), true},
      {"trickle, in memory", server_.Url("/trickle"), false},
      {"trickle, download", server_.Url("/trickle"), true},
  };
  using Clock = std::chrono::steady_clock;
  for (const Case& c : cases) {
    std::atomic<bool> stop{false};
    HttpOptions options;
    options.stop = &stop;
    options.total_timeout_ms = 120000;
    options.max_body_bytes = 100u << 20;
    HRESULT hr = S_OK;
    std::string error;
    Clock::time_point ended;
    std::thread worker([&] {
      long status = 0;
      HttpResponse response;
      hr = c.download ? HttpDownloadToFile(c.url, options, dir / "Pkg.deb", &status, &error)
                      : HttpGet(c.url, options, &response, &error);
      ended = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point set = Clock::now();
    stop = true;
    worker.join();
    EXPECT_EQ(hr, E_ABORT) << c.name << ": " << error;
    EXPECT_LT(ended - set, std::chrono::seconds(5)) << c.name;
  }
  EXPECT_TRUE(testing::ListFolder(dir.path()).empty());

  // Already set: nothing is asked at all.
  int hits = 0;
  server_.server().Get("/count", [&](const httplib::Request&, httplib::Response& res) {
    ++hits;
    res.set_content("x", "text/plain");
  });
  std::atomic<bool> stop{true};
  HttpOptions options;
  options.stop = &stop;
  std::string body;
  std::string error;
  EXPECT_EQ(HttpFetchDocument(server_.Url("/count"), options, &body, &error), E_ABORT);
  EXPECT_EQ(hits, 0);
}

// Redirect targets are read as a browser reads the Location header, offered
// to the caller's check, and contacted only when it agrees.
class HttpRedirectTest : public HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    auto& s = server_.server();
    s.Get("/go", [](const httplib::Request& req, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", req.get_param_value("to"));
      res.set_content("moved, see elsewhere", "text/plain");
    });
    s.Get(R"(/hop/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const int left = std::stoi(req.matches[1]);
      if (left == 0) {
        res.set_content("end", "text/plain");
      } else {
        res.set_redirect(server_.Url("/hop/" + std::to_string(left - 1)), 301);
      }
    });
    s.Get("/@evil.example/landing", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("loopback landing", "text/plain");
    });
    other_.server().Get("/landing", [this](const httplib::Request& req, httplib::Response& res) {
      ++other_hits_;
      res.set_content("other landing;cookie=" + req.get_header_value("Cookie"), "text/plain");
    });
    other_.Start();
  }
  // Follows only loopback targets, and remembers what it was asked.
  HttpOptions Checked() {
    HttpOptions options;
    options.allow_redirect = [this](const std::string& url) {
      asked_.push_back(url);
      WebUrl parsed;
      return Succeeded(ParseWebUrl(url, &parsed)) && parsed.host == "127.0.0.1";
    };
    return options;
  }
  std::string Go(const std::string& to) {
    return server_.Url("/go?to=" + httplib::detail::encode_query_param(to));
  }

  HttpTestServer other_;
  int other_hits_ = 0;
  std::vector<std::string> asked_;
};

TEST_F(HttpRedirectTest, EachTargetIsCheckedBeforeItIsContacted) {
  const std::string port = std::to_string(server_.port());
  struct Case {
    std::string location;
    std::string asked;  // what the check is asked; empty: never asked
    HRESULT result;
    std::string body;
  };
  const std::vector<Case> cases = {
      {other_.Url("/landing"), other_.Url("/landing"), S_OK, "other landing;cookie="},
      {"/hop/0", server_.Url("/hop/0"), S_OK, "end"},
      // curl would read user info and go to evil.example; a browser reads
      // a path on this server.
      {"http://127.0.0.1:" + port + "\\@evil.example/landing",
       server_.Url("/@evil.example/landing"), S_OK, "loopback landing"},
      {"\\\\evil.example/landing", "http://evil.example/landing", E_HTTP_REDIRECT_FAILED, ""},
      {"http://evil.example@127.0.0.1:" + port + "/hop/0", server_.Url("/hop/0"), S_OK, "end"},
      {"file:///etc/passwd", "", E_HTTP_REDIRECT_FAILED, ""},
      {"http://bad host/", "", E_HTTP_REDIRECT_FAILED, ""},
  };
  for (const Case& c : cases) {
    asked_.clear();
    HttpResponse response;
    std::string error;
    EXPECT_EQ(HttpGet(Go(c.location), Checked(), &response, &error), c.result)
        << c.location << ": " << error;
    EXPECT_EQ(response.body, c.body) << c.location;
    EXPECT_EQ(asked_, c.asked.empty() ? std::vector<std::string>{}
                                      : std::vector<std::string>{c.asked})
        << c.location;
    if (Failed(c.result)) {
      EXPECT_NE(error.find("redirect"), std::string::npos) << error;
    }
  }
}

TEST_F(HttpRedirectTest, RefusedTargetsAreNeverContacted) {
  HttpOptions refuse_all;
  refuse_all.allow_redirect = [](const std::string&) { return false; };
  HttpResponse response;
  std::string error;
  EXPECT_EQ(HttpGet(Go(other_.Url("/landing")), refuse_all, &response, &error),
            E_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(error, "redirect to " + other_.Url("/landing") + " refused");
  testing::TempDir dir;
  long status = 0;
  EXPECT_EQ(HttpDownloadToFile(Go(other_.Url("/landing")), refuse_all, dir / "Pkg.deb", &status,
                               &error),
            E_HTTP_REDIRECT_FAILED);
  std::string body;
  EXPECT_EQ(HttpFetchDocument(Go(other_.Url("/landing")), refuse_all, &body, &error),
            E_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(other_hits_, 0);
  EXPECT_TRUE(testing::ListFolder(dir.path()).empty());
}

// Test and demo runs contact nothing but this machine, whatever a
// configuration or a redirect names.
TEST_F(HttpRedirectTest, LoopbackOnlyRunsContactNothingElse) {
  testing::ScopedEnv only(kLoopbackOnlyVariable, std::string("1"));
  const std::string port = std::to_string(server_.port());
  struct Case {
    std::string url;
    HRESULT result;
  };
  const std::vector<Case> cases = {
      {"http://192.0.2.1/QuolDevuzez/GlobalConfig_v2.xml", E_HTTP_CANNOT_CONNECT},
      {"http://download.quol.example/Pkg_2_0_0_0.deb", E_HTTP_CANNOT_CONNECT},
      {Go("http://192.0.2.1/landing"), E_HTTP_REDIRECT_FAILED},
      {Go("http://localhost:" + port + "/hop/0"), S_OK},
      {server_.Url("/hop/1"), S_OK},
  };
  for (const Case& c : cases) {
    HttpResponse response;
    std::string error;
    EXPECT_EQ(HttpGet(c.url, {}, &response, &error), c.result) << c.url << ": " << error;
    if (Failed(c.result)) {
      EXPECT_NE(error.find("this machine"), std::string::npos) << error;
    }
  }
}

TEST_F(HttpRedirectTest, AtMostFiveRedirectsAndOnlyTheLastAnswerIsKept) {
  HttpResponse response;
  std::string error;
  ASSERT_EQ(HttpGet(server_.Url("/hop/5"), HttpOptions(), &response, &error), S_OK) << error;
  EXPECT_EQ(response.body, "end");
  EXPECT_EQ(response.effective_url, server_.Url("/hop/0"));
  EXPECT_EQ(HttpGet(server_.Url("/hop/6"), HttpOptions(), &response, &error),
            E_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(error, "more than 5 redirects");

  // The redirect's own body never lands in the file.
  testing::TempDir dir;
  long status = 0;
  ASSERT_EQ(HttpDownloadToFile(Go("/package"), HttpOptions(), dir / "Pkg.deb", &status, &error),
            S_OK)
      << error;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(testing::ReadFileOrEmpty(dir / "Pkg.deb"), std::string(300000, 'p'));
}

TEST_F(HttpRedirectTest, CredentialHeadersStayWithTheNamedHost) {
  HttpOptions options = Checked();
  options.headers = {"Cookie: quol_auth=secret"};
  HttpResponse response;
  std::string error;
  ASSERT_EQ(HttpGet(Go(other_.Url("/landing")), options, &response, &error), S_OK) << error;
  EXPECT_EQ(response.body, "other landing;cookie=");
  server_.server().Get("/landing", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("same;cookie=" + req.get_header_value("Cookie"), "text/plain");
  });
  ASSERT_EQ(HttpGet(Go("/landing"), options, &response, &error), S_OK) << error;
  EXPECT_EQ(response.body, "same;cookie=quol_auth=secret");
}

}  // namespace
}  // namespace quol::platform
