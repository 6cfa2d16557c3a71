#include "platform/mutex/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

TEST(NamedMutexTest, LocalAndGlobalLiveInTheirFolders) {
  testing::ScopedEnv runtime("XDG_RUNTIME_DIR", std::string("/run/user/1000"));
  testing::ScopedEnv global("QUOL_GLOBAL_LOCK_DIR", std::nullopt);
  EXPECT_EQ(NamedMutex::LockFilePath("Local\\QuolDevuzez"), "/run/user/1000/quol/QuolDevuzez.lock");
  EXPECT_EQ(NamedMutex::LockFilePath("QuolDevuzezConfig"),
            "/run/user/1000/quol/QuolDevuzezConfig.lock");
  EXPECT_EQ(NamedMutex::LockFilePath("Global\\QuolDevuzez_SingleAutoUpdate"),
            "/tmp/quol-global/QuolDevuzez_SingleAutoUpdate.lock");
  EXPECT_EQ(NamedMutex::LockFilePath("Local\\../x"), "/run/user/1000/quol/.._x.lock");
  testing::ScopedEnv moved("QUOL_GLOBAL_LOCK_DIR", std::string("/tmp/elsewhere"));
  EXPECT_EQ(NamedMutex::LockFilePath("Global\\QuolDevuzez_SingleAutoUpdate"),
            "/tmp/elsewhere/QuolDevuzez_SingleAutoUpdate.lock");
}

TEST(NamedMutexTest, SecondHolderSeesAlreadyExistedUntilRelease) {
  testing::IsolatedEnvironment env;
  NamedMutex first;
  ASSERT_EQ(first.Create("Local\\QuolTestMutex"), S_OK);
  EXPECT_TRUE(first.owned());
  EXPECT_FALSE(first.AlreadyExisted());

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex other;
    HRESULT hr = other.Create("Local\\QuolTestMutex");
    ::_exit(hr == S_FALSE && other.AlreadyExisted() && !other.owned() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.Release();
  NamedMutex again;
  EXPECT_EQ(again.Create("Local\\QuolTestMutex"), S_OK);
  EXPECT_FALSE(again.AlreadyExisted());
}

TEST(NamedMutexTest, GlobalMutexExcludesAcrossSessions) {
  const std::string name = "Global\\QuolTest_" + std::to_string(::getpid());
  NamedMutex first;
  ASSERT_EQ(first.Create(name), S_OK);
  {
    testing::IsolatedEnvironment other_session;  // another runtime folder
    NamedMutex second;
    EXPECT_EQ(second.Create(name), S_FALSE);
  }
  first.Release();
  ::unlink(NamedMutex::LockFilePath(name).c_str());
}

}  // namespace
}  // namespace quol::platform
