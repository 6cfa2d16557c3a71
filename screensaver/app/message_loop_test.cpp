// gtest before any X header: Xlib's None and Bool macros break it.
#include <gtest/gtest.h>

#include "screensaver/app/message_loop.h"

#include <chrono>
#include <thread>
#include <vector>

namespace quol::saver {
namespace {

using namespace std::chrono_literals;

// Work handed over from other threads runs on the loop's thread, in order,
// and wakes a loop that has nothing else to wait for.
TEST(MessageLoopTest, TasksPostedFromOtherThreadsRunOnTheLoopThread) {
  MessageLoop loop(nullptr);
  std::vector<int> order;
  std::vector<std::thread::id> ran_on;
  const int kTasks = 3;
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);  // the loop is asleep in poll() by now
    for (int i = 1; i <= kTasks; ++i) {
      loop.PostTask([&, i] {
        order.push_back(i);
        ran_on.push_back(std::this_thread::get_id());
        if (i == kTasks) loop.Quit(7);
      });
    }
  });
  // No timer and no display: only a posted task can end this.
  const int code = loop.Run();
  poster.join();
  EXPECT_EQ(code, 7);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (std::thread::id id : ran_on) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MessageLoopTest, TasksStillQueuedWhenTheLoopEndsAreDropped) {
  MessageLoop loop(nullptr);
  int ran = 0;
  loop.PostTask([&] {
    loop.Quit(0);
    loop.PostTask([&] { ++ran; });
  });
  loop.PostTask([&] { ++ran; });  // after the one that quits
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace quol::saver
