#include "platform/fs/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::ListFolder;
using testing::ReadFileOrEmpty;
using testing::TempDir;
using testing::WriteFileOrDie;

TEST(FilesTest, CreateDirectoriesMakesEveryParentAndRefusesFiles) {
  TempDir dir;
  EXPECT_EQ(CreateDirectories(dir / "a/b/c"), S_OK);
  EXPECT_TRUE(IsDirectory(dir / "a/b/c"));
  EXPECT_EQ(CreateDirectories(dir / "a/b/c"), S_OK);
  WriteFileOrDie(dir / "file", "x");
  EXPECT_LT(CreateDirectories(dir / "file/sub"), 0);
  EXPECT_LT(CreateDirectories(dir / "file"), 0);
}

TEST(FilesTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
  TempDir dir;
  WriteFileOrDie(dir / "Settings.xml", "old content that is longer");
  ASSERT_EQ(WriteFileAtomically(dir / "Settings.xml", "new", 0600), S_OK);
  EXPECT_EQ(ReadFileOrEmpty(dir / "Settings.xml"), "new");
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"Settings.xml"});
  struct stat st {};
  ASSERT_EQ(::stat((dir / "Settings.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_LT(WriteFileAtomically(dir / "missing/x", "y"), 0);
}

TEST(FilesTest, ReadWholeFileHonoursItsCap) {
  TempDir dir;
  WriteFileOrDie(dir / "big", std::string(1000, 'b'));
  std::string out;
  EXPECT_EQ(ReadWholeFile(dir / "big", &out, 1000), S_OK);
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_EQ(ReadWholeFile(dir / "big", &out, 999), E_OUTOFMEMORY);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ReadWholeFile(dir / "none", &out), HresultFromErrno(ENOENT));
}

TEST(FilesTest, PathPieces) {
  EXPECT_EQ(DirName("/a/b/c.xml"), "/a/b");
  EXPECT_EQ(DirName("c.xml"), ".");
  EXPECT_EQ(DirName("/c"), "/");
  EXPECT_EQ(BaseName("/a/b/c.xml"), "c.xml");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
}

TEST(FilesTest, FileLockExcludesOtherHoldersUntilReleased) {
  TempDir dir;
  FileLock first;
  ASSERT_EQ(first.TryAcquire(dir / "x.lock"), S_OK);
  FileLock second;
  EXPECT_EQ(second.TryAcquire(dir / "x.lock"), S_FALSE);
  EXPECT_FALSE(second.held());

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileLock other;
    ::_exit(other.TryAcquire(dir / "x.lock") == S_FALSE ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.Release();
  EXPECT_EQ(second.TryAcquire(dir / "x.lock"), S_OK);
}

}  // namespace
}  // namespace quol::platform
