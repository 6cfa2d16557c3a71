#include "foundation/log/process_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/clock/clock.h"
#include "platform/fs/files.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using platform::CalendarTime;
using testing::ListFolder;
using testing::ReadFileOrEmpty;
using testing::TempDir;
using testing::WriteFileOrDie;

class ProcessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::tzset();
    CalendarTime at;
    at.year = 2026;
    at.month = 12;
    at.day = 6;
    at.hour = 9;
    at.minute = 5;
    clock_.SetLocal(at);
    platform::SetClockForTesting(&clock_);
  }
  void TearDown() override {
    platform::SetClockForTesting(nullptr);
    ::tzset();
  }

  testing::ScopedEnv tz_{"TZ", std::string("Europe/Berlin")};
  platform::FakeClock clock_;
  TempDir dir_;
};

TEST_F(ProcessLogTest, NamesTheFileAfterProgramAndDayAndFormatsLines) {
  ProcessLog log(dir_ / "Quol/Vevuvov", "QuolScreensaver");
  ASSERT_TRUE(log.is_open());
  EXPECT_EQ(log.path(), dir_ / "Quol/Vevuvov/QuolScreensaver-12-06.log");

  log.Info("  Startup done \r\n");
  log.Error("%s %d", "code", 42);
  log.Info("   ");
  log.Info("Folder %s", "Caf\xC3\xA9 \xE2\x82\xAC");
  clock_.Advance(std::chrono::minutes(70));
  log.Info("later");

  EXPECT_EQ(ReadFileOrEmpty(log.path()),
            "12-06 09:05 - INFO Startup done\r\n"
            "12-06 09:05 - ERROR code 42\r\n"
            "12-06 09:05 - INFO \r\n"
            "12-06 09:05 - INFO Folder Caf\xC3\xA9 \xE2\x82\xAC\r\n"
            "12-06 10:15 - INFO later\r\n");
  EXPECT_EQ(log.line_count(), 5);
}

TEST_F(ProcessLogTest, AppendsToTheFileOfTheDayAndKeepsWritingItPastMidnight) {
  WriteFileOrDie(dir_ / "QuolDevuzez-12-06.log", "earlier\r\n");
  ProcessLog log(dir_.path(), "QuolDevuzez");
  clock_.Advance(std::chrono::hours(20));  // now 7 December
  log.Info("after midnight");
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "QuolDevuzez-12-06.log"),
            "earlier\r\n12-07 05:05 - INFO after midnight\r\n");
}

TEST_F(ProcessLogTest, RemovesOlderLogsOfTheSameProgramOnly) {
  WriteFileOrDie(dir_ / "QuolScreensaver-12-05.log", "x");
  WriteFileOrDie(dir_ / "QUOLSCREENSAVER-11-30.log", "x");
  WriteFileOrDie(dir_ / "quolscreensaver-10-01.LOG", "x");
  WriteFileOrDie(dir_ / "QUOLSCREENSAVER-12-06.LOG", "today in another case");
  WriteFileOrDie(dir_ / "QuolDevuzez-12-05.log", "x");
  WriteFileOrDie(dir_ / "QuolScreensaver-12-05.txt", "x");
  ASSERT_EQ(::mkdir((dir_ / "QuolScreensaver-12-01.log").c_str(), 0755), 0);

  ProcessLog log(dir_.path(), "QuolScreensaver");

  EXPECT_EQ(ListFolder(dir_.path()),
            (std::vector<std::string>{"QUOLSCREENSAVER-12-06.LOG", "QuolDevuzez-12-05.log",
                                      "QuolScreensaver-12-01.log", "QuolScreensaver-12-05.txt",
                                      "QuolScreensaver-12-06.log"}));
  EXPECT_EQ(ReadFileOrEmpty(dir_ / "QUOLSCREENSAVER-12-06.LOG"), "today in another case");
}

TEST_F(ProcessLogTest, StopsAfterTheLineCap) {
  ProcessLog log(dir_.path(), "QuolDevuzez");
  for (int i = 0; i < ProcessLog::kMaxLines + 10; ++i) log.Info("line %d", i);
  std::string text = ReadFileOrEmpty(log.path());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), ProcessLog::kMaxLines + 1);
  EXPECT_NE(text.find("INFO line 100000\r\n"), std::string::npos);
  EXPECT_EQ(text.find("INFO line 100001\r\n"), std::string::npos);
}

TEST_F(ProcessLogTest, DoesNothingWhenTheFolderCannotBeMade) {
  WriteFileOrDie(dir_ / "blocker", "a file where a folder should be");
  WriteFileOrDie(dir_ / "blocker-old.log", "x");
  ProcessLog log(dir_ / "blocker/Quol/Vevuvov", "blocker");
  EXPECT_FALSE(log.is_open());
  log.Info("dropped");
  log.Error("dropped %d", 1);
  EXPECT_EQ(log.line_count(), 0);
  EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"blocker", "blocker-old.log"}));
}

TEST_F(ProcessLogTest, SecondProcessOfTheSameProgramAndDayWritesNothing) {
  ProcessLog first(dir_.path(), "QuolScreensaver");
  ASSERT_TRUE(first.is_open());
  first.Info("from the first");
  WriteFileOrDie(dir_ / "QuolScreensaver-12-02.log", "old");

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ProcessLog second(dir_.path(), "QuolScreensaver");
    second.Info("from the second");
    ::_exit(second.is_open() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "second process opened the log";
  EXPECT_EQ(ReadFileOrEmpty(first.path()), "12-06 09:05 - INFO from the first\r\n");
  // The second process still cleared the older log.
  EXPECT_FALSE(platform::FileExists(dir_ / "QuolScreensaver-12-02.log"));
}

TEST_F(ProcessLogTest, GlobalCallsAreRoutedAndSafeWithoutAnOpenLog) {
  WriteFileOrDie(dir_ / "blocker", "x");
  ProcessLog closed(dir_ / "blocker/sub", "QuolTest");
  ProcessLog::SetInstanceForTesting(&closed);
  LogInfo("nothing %s", "happens");
  ProcessLog open(dir_.path(), "QuolTest");
  ProcessLog::SetInstanceForTesting(&open);
  LogError("Auth failed: %x", 0x80040201u);
  ProcessLog::SetInstanceForTesting(nullptr);
  EXPECT_EQ(ReadFileOrEmpty(open.path()), "12-06 09:05 - ERROR Auth failed: 80040201\r\n");
}

}  // namespace
}  // namespace quol
