#include "client/app/open_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/testing/test_support.h"

namespace quol::client {
namespace {

using namespace std::chrono_literals;

std::string Block(std::uint32_t command, const std::u16string& path, std::size_t units) {
  std::string block;
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>((command >> (8 * i)) & 0xFF));
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = i < path.size() ? path[i] : u'\0';
    block.push_back(static_cast<char>(unit & 0xFF));
    block.push_back(static_cast<char>(unit >> 8));
  }
  return block;
}

TEST(OpenRequestTest, EncodedRequestIsTheCopyDataBlockAndDecodesBack) {
  std::string message;
  ASSERT_TRUE(EncodeOpenRequest({kOpenCommandPath, "/calendar"}, &message));
  ASSERT_EQ(message.size(), 8u + 524u);
  EXPECT_EQ(message.substr(0, 8), std::string("\x01\x04\x05\x09\x0c\x02\x00\x00", 8));
  EXPECT_EQ(message.substr(8, 8), std::string("\x00\x00\x00\x00/\x00" "c\x00", 8));
  OpenRequest decoded;
  ASSERT_TRUE(DecodeOpenRequest(message, &decoded));
  EXPECT_EQ(decoded.command, kOpenCommandPath);
  EXPECT_EQ(decoded.path, "/calendar");

  ASSERT_TRUE(EncodeOpenRequest({kOpenCommandPath, "/calendrier-\xC3\xA9t\xC3\xA9"}, &message));
  ASSERT_TRUE(DecodeOpenRequest(message, &decoded));
  EXPECT_EQ(decoded.path, "/calendrier-\xC3\xA9t\xC3\xA9");
}

TEST(OpenRequestTest, PathMustLeaveRoomForTheTerminator) {
  std::string message;
  EXPECT_TRUE(EncodeOpenRequest({kOpenCommandPath, std::string(259, 'a')}, &message));
  EXPECT_FALSE(EncodeOpenRequest({kOpenCommandPath, std::string(260, 'a')}, &message));
}

TEST(OpenRequestTest, OnlyExactTerminatedRequestsAreTaken) {
  const std::string good = Block(0, u"/calendar", 260);
  const struct {
    const char* name;
    std::string message;
    bool taken;
  } cases[] = {
      {"exact", BuildOpenRequestMessage(kOpenRequestMagic, 524, good), true},
      {"523 bytes", BuildOpenRequestMessage(kOpenRequestMagic, 523, good.substr(0, 523)), false},
      {"525 bytes", BuildOpenRequestMessage(kOpenRequestMagic, 525, good + "x"), false},
      {"size field lies", BuildOpenRequestMessage(kOpenRequestMagic, 524, good.substr(0, 523)),
       false},
      {"wrong magic", BuildOpenRequestMessage(0x09050402, 524, good), false},
      {"no terminator", BuildOpenRequestMessage(kOpenRequestMagic, 524,
                                                Block(0, std::u16string(260, u'a'), 260)),
       false},
      {"terminator in the last unit",
       BuildOpenRequestMessage(kOpenRequestMagic, 524, Block(0, std::u16string(259, u'a'), 260)),
       true},
      {"empty", std::string(), false},
  };
  for (const auto& c : cases) {
    OpenRequest request;
    EXPECT_EQ(DecodeOpenRequest(c.message, &request), c.taken) << c.name;
  }
}

// The listener on a private main context, driven by a sender thread: what
// the client answers and which requests reach the handler.
class OpenRequestSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = g_main_context_new();
    std::string error;
    listener_ = OpenRequestListener::Create(
        dir_ / "QuolDevuzezWndClass", [this](const OpenRequest& r) { received_.push_back(r); },
        &error, context_);
    ASSERT_TRUE(listener_) << error;
  }
  void TearDown() override {
    listener_.reset();
    g_main_context_unref(context_);
  }
  // Sends on a thread while this thread runs the listener's loop.
  SendResult Send(const std::string& message) {
    SendResult result = SendResult::kNoClient;
    std::atomic<bool> done{false};
    std::thread sender([&] {
      result = SendOpenRequest(listener_->path(), message, 5000);
      done = true;
    });
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < until) {
      g_main_context_iteration(context_, FALSE);
      std::this_thread::sleep_for(1ms);
    }
    sender.join();
    return result;
  }

  testing::TempDir dir_;
  GMainContext* context_ = nullptr;
  std::unique_ptr<OpenRequestListener> listener_;
  std::vector<OpenRequest> received_;
};

TEST_F(OpenRequestSocketTest, AcceptsGoodRequestsAndRefusesBadOnes) {
  std::string good;
  ASSERT_TRUE(EncodeOpenRequest({kOpenCommandPath, "/calendar"}, &good));
  EXPECT_EQ(Send(good), SendResult::kAccepted);
  EXPECT_EQ(Send(BuildOpenRequestMessage(kOpenRequestMagic, 523, std::string(523, '\0'))),
            SendResult::kRefused);
  EXPECT_EQ(Send(good + "trailing"), SendResult::kRefused);
  EXPECT_EQ(Send(std::string(1 << 20, 'x')), SendResult::kRefused);  // a megabyte: cut short
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].path, "/calendar");
}

TEST_F(OpenRequestSocketTest, SilentConnectionIsDroppedAndTheNextOneServed) {
  // A client that connects and never sends must not keep the loop or the
  // next request waiting beyond the read time-out.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", listener_->path().c_str());
  const int idle = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string good;
  ASSERT_TRUE(EncodeOpenRequest({kOpenCommandToFront, ""}, &good));
  EXPECT_EQ(Send(good), SendResult::kAccepted);
  char answer = 5;
  const auto until = std::chrono::steady_clock::now() + 10s;
  ssize_t n = -1;
  while (std::chrono::steady_clock::now() < until) {
    g_main_context_iteration(context_, FALSE);
    n = ::recv(idle, &answer, 1, MSG_DONTWAIT);
    if (n >= 0) break;
    std::this_thread::sleep_for(5ms);
  }
  ::close(idle);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(answer, 0);  // refused once its time was up
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].command, kOpenCommandToFront);
}

TEST(OpenRequestSendTest, NobodyListeningIsNoClient) {
  testing::TempDir dir;
  std::string good;
  ASSERT_TRUE(EncodeOpenRequest({kOpenCommandToFront, ""}, &good));
  EXPECT_EQ(SendOpenRequest(dir / "none", good, 1000), SendResult::kNoClient);
}

}  // namespace
}  // namespace quol::client
