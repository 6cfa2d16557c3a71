#include "platform/fs/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
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

// A FIFO without a writer would block the reader for ever (every program
// reads its settings at start); devices and folders are no files either.
TEST(FilesTest, ReadWholeFileRefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "Settings.xml").c_str(), 0600), 0);
  for (const std::string& path : {dir / "Settings.xml", std::string("/dev/zero"), dir.path()}) {
    std::string out = "old";
    EXPECT_TRUE(Failed(ReadWholeFile(path, &out))) << path;
    EXPECT_TRUE(out.empty()) << path;
  }
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

TEST(FilesTest, NewFileIsNeverWrittenOverAnExistingOne) {
  TempDir dir;
  ASSERT_EQ(WriteNewFile(dir / "copy", "first", 0600), S_OK);
  EXPECT_EQ(WriteNewFile(dir / "copy", "second", 0600), HresultFromErrno(EEXIST));
  EXPECT_EQ(ReadFileOrEmpty(dir / "copy"), "first");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"copy"});
}

TEST(FilesTest, OnlyUnheldTemporariesOfTheFileAreStale) {
  struct Case {
    const char* name;
    bool removed;
  };
  const Case cases[] = {
      {".HKCU.reg.a1B2c3", true},   {".HKCU.reg.000000", true},   {".HKCU.reg.a1B2c", false},
      {".HKCU.reg.a1B2c3d", false}, {".HKCU.reg.a1_2c3", false},  {".HKLM.reg.a1B2c3", false},
      {"HKCU.reg", false},          {".HKCU.reg.lock00x", false}, {"HKCU.reg.a1B2c3", false},
  };
  TempDir dir;
  for (const Case& c : cases) WriteFileOrDie(dir / c.name, "x");
  ASSERT_EQ(::mkdir((dir / ".HKCU.reg.folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("HKCU.reg", (dir / ".HKCU.reg.link00").c_str()), 0);
  // A writer in another process still holds this one.
  WriteFileOrDie(dir / ".HKCU.reg.InUse0", "x");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = ::open((dir / ".HKCU.reg.InUse0").c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    char ready = 'r';
    (void)!::write(pipe_fds[1], &ready, 1);
    ::pause();
    ::_exit(0);
  }
  char ready = 0;
  ASSERT_EQ(::read(pipe_fds[0], &ready, 1), 1);

  EXPECT_EQ(RemoveStaleTemporaries(dir / "HKCU.reg"), 2);
  for (const Case& c : cases) EXPECT_EQ(FileExists(dir / c.name), !c.removed) << c.name;
  EXPECT_TRUE(IsDirectory(dir / ".HKCU.reg.folder"));
  EXPECT_TRUE(FileExists(dir / ".HKCU.reg.InUse0"));

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  EXPECT_EQ(RemoveStaleTemporaries(dir / "HKCU.reg"), 1);
  EXPECT_FALSE(FileExists(dir / ".HKCU.reg.InUse0"));
}

}  // namespace
}  // namespace quol::platform
