#include "platform/fs/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <utility>

namespace quol::platform {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, ClosesExactlyWhatItOwns) {
  struct Case {
    const char* name;
    // Does something with an owner of `fd`; returns the fd that must still
    // be open afterwards, or -1 when `fd` must be closed.
    int (*act)(int fd);
  };
  const Case cases[] = {
      {"end of scope", [](int fd) { { UniqueFd owner(fd); } return -1; }},
      {"reset", [](int fd) { UniqueFd owner(fd); owner.Reset(); EXPECT_FALSE(owner); return -1; }},
      {"release", [](int fd) { { UniqueFd owner(fd); EXPECT_EQ(owner.Release(), fd); } return fd; }},
      {"moved from owns nothing",
       [](int fd) {
         UniqueFd first(fd);
         UniqueFd second(std::move(first));
         EXPECT_FALSE(first);
         EXPECT_EQ(second.get(), fd);
         return -1;  // closed once, by `second`
       }},
      {"move assignment closes the old one",
       [](int fd) {
         UniqueFd target(::open("/dev/null", O_RDONLY | O_CLOEXEC));
         const int old = target.get();
         target = UniqueFd(fd);
         EXPECT_FALSE(IsOpen(old));
         return target.Release();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const int still_open = c.act(fd);
    if (still_open >= 0) {
      EXPECT_TRUE(IsOpen(still_open));
      ::close(still_open);
    } else {
      EXPECT_FALSE(IsOpen(fd));
    }
  }
}

}  // namespace
}  // namespace quol::platform
