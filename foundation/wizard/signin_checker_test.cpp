#include "foundation/wizard/signin_checker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/rest/rest_request.h"
#include "foundation/testing/log_capture.h"
#include "foundation/wizard/wizard_rules.h"
#include "platform/testing/test_support.h"
#include "service/devservice.h"

namespace quol::wizard {
namespace {

using namespace std::chrono_literals;

// Waits (up to a liveness bound, never as a timing check) for `done`.
template <typename F>
bool Eventually(F done) {
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(SignInCheckerTest, LocalVerdictsNeverAskTheService) {
  std::atomic<int> asked{0};
  SignInChecker checker([&](const std::string&, const std::string&, const std::atomic<bool>&) {
    ++asked;
    return kSignInAccepted;
  });
  EXPECT_FALSE(checker.Start("a@b.c", "abcd", nullptr));
  EXPECT_EQ(checker.result(), kSignInRejected);
  EXPECT_FALSE(checker.Start("", "", nullptr));
  EXPECT_EQ(checker.result(), kSignInNotChecked);
  EXPECT_EQ(asked, 0);
}

TEST(SignInCheckerTest, WorkerAnswersWithItsOwnCopies) {
  std::string seen_address, seen_password;
  SignInChecker checker([&](const std::string& address, const std::string& password,
                            const std::atomic<bool>&) {
    seen_address = address;
    seen_password = password;
    return kSignInRejected;
  });
  std::atomic<bool> notified{false};
  {
    std::string address = "ab@cd.ef", password = "abcd";
    ASSERT_TRUE(checker.Start(address, password, [&] { notified = true; }));
    address.assign("changed");  // the worker holds copies
    password.assign("changed");
  }
  ASSERT_TRUE(Eventually([&] { return notified.load(); }));
  EXPECT_FALSE(checker.running());
  EXPECT_EQ(checker.result(), kSignInRejected);
  EXPECT_EQ(seen_address, "ab@cd.ef");
  EXPECT_EQ(seen_password, "abcd");
}

TEST(SignInCheckerTest, AbandonedCheckIsStoppedAndItsAnswerDropped) {
  std::atomic<bool> saw_stop{false};
  std::atomic<bool> notified{false};
  {
    SignInChecker checker([&](const std::string&, const std::string&,
                              const std::atomic<bool>& stop) {
      while (!stop) std::this_thread::sleep_for(1ms);  // a service that never answers
      saw_stop = true;
      return kSignInError;
    });
    ASSERT_TRUE(checker.Start("ab@cd.ef", "abcd", [&] { notified = true; }));
    EXPECT_TRUE(checker.running());
    EXPECT_EQ(checker.result(), kSignInNotChecked);
  }  // the page goes away while the check runs: nothing waits for it
  EXPECT_TRUE(Eventually([&] { return saw_stop.load(); }));
  EXPECT_TRUE(Eventually([] { return SignInChecker::WorkersLeftBehind() == 0; }));
  EXPECT_FALSE(notified);
}

TEST(SignInCheckerTest, ANewCheckReplacesARunningOne) {
  std::mutex mutex;
  std::condition_variable cv;
  bool release_first = false;
  SignInChecker checker([&](const std::string& address, const std::string&,
                            const std::atomic<bool>& stop) {
    if (address == "first@x.yz") {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return release_first || stop.load(); });
      return kSignInAccepted;
    }
    return kSignInRejected;
  });
  std::atomic<int> first_notified{0}, second_notified{0};
  ASSERT_TRUE(checker.Start("first@x.yz", "abcd", [&] { ++first_notified; }));
  ASSERT_TRUE(checker.Start("second@x.yz", "abcd", [&] { ++second_notified; }));
  {
    std::lock_guard lock(mutex);
    release_first = true;
  }
  cv.notify_all();
  ASSERT_TRUE(Eventually([&] { return second_notified == 1; }));
  EXPECT_EQ(checker.result(), kSignInRejected);
  EXPECT_TRUE(Eventually([] { return SignInChecker::WorkersLeftBehind() == 0; }));
  EXPECT_EQ(first_notified, 0);
}

// The real sign-in call against the service stand-in on loopback.
class AskSignInServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTicketForTesting();
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    service_->AddAccount("ab@cd.ef", "abcd");
  }
  void TearDown() override { ResetTicketForTesting(); }
  std::string AuthUrl() const {
    return service_->api_base() + "/Service/API/accounts/auth/default.ashx";
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  std::unique_ptr<service::DevService> service_;
  std::atomic<bool> stop_{false};
};

TEST_F(AskSignInServiceTest, AnswersAcceptedRejectedOrError) {
  EXPECT_EQ(AskSignInService(AuthUrl(), "ab@cd.ef", "abcd", stop_), kSignInAccepted);
  EXPECT_EQ(AskSignInService(AuthUrl(), "ab@cd.ef", "wxyz", stop_), kSignInRejected);
  EXPECT_EQ(AskSignInService(AuthUrl(), "nobody@cd.ef", "abcd", stop_), kSignInRejected);
  service_->Stop();
  EXPECT_EQ(AskSignInService(AuthUrl(), "ab@cd.ef", "abcd", stop_), kSignInError);
}

}  // namespace
}  // namespace quol::wizard
