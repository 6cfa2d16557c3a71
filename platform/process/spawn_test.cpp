#include "platform/process/spawn.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

// Waits for the child and returns its exit code (-1 when it did not exit).
int ExitCodeOf(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(SpawnProcessTest, ArgumentsArriveOneByOneAndUninterpreted) {
  testing::TempDir dir;
  const std::string out = dir / "args.txt";
  // The child writes its arguments one per line: a shell would have split,
  // expanded or run them.
  const std::vector<std::vector<std::string>> cases = {
      {"/S"},
      {"two words", "$HOME", "`touch " + (dir / "ran") + "`", "a;b|c"},
      {},
  };
  for (const auto& args : cases) {
    std::vector<std::string> full = {"-c", "printf '%s\\n' \"$@\" > \"$0\"", out};
    full.insert(full.end(), args.begin(), args.end());
    pid_t pid = 0;
    ASSERT_EQ(SpawnProcess("/bin/sh", full, &pid), S_OK);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ExitCodeOf(pid), 0);
    std::string expected;
    for (const std::string& a : args) expected += a + "\n";
    if (args.empty()) expected = "\n";  // printf with no arguments prints one empty line
    EXPECT_EQ(testing::ReadFileOrEmpty(out), expected);
  }
  EXPECT_EQ(testing::ReadFileOrEmpty(dir / "ran"), "");
}

TEST(SpawnProcessTest, FailuresReturnTheErrorAndStartNothing) {
  testing::TempDir dir;
  testing::WriteFileOrDie(dir / "not-executable", "#!/bin/sh\nexit 0\n");
  struct Case {
    const char* name;
    std::string path;
    int error;
  };
  const Case cases[] = {
      {"missing", dir / "missing", ENOENT},
      {"empty path", "", ENOENT},
      {"not executable", dir / "not-executable", EACCES},
      {"a folder", dir.path(), EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t pid = 12345;
    int error = 0;
    EXPECT_EQ(SpawnProcess(c.path, {"/S"}, &pid, &error), HresultFromErrno(c.error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(pid, 12345);
  }
}

}  // namespace
}  // namespace quol::platform
