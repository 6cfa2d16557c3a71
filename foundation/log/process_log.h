// The daily diagnostic log of a program: one UTF-8 file per program and day in
// the data folder, named "<program>-MM-DD.log". Nothing reads it back; it is
// a support aid, so logging never fails the caller.
//
// A second process of the same program started on the same day finds the
// file locked and logs nothing (it still removes older logs).
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

namespace quol {

class ProcessLog {
 public:
  // Lines written while the count is at most this, so a process writes at
  // most kMaxLines + 1 lines.
  static constexpr int kMaxLines = 100000;

  // Creates `folder` with its parents, opens today's "<base_name>-MM-DD.log"
  // for appending under an exclusive lock, then deletes every other
  // "<base_name>*.log" file of the folder. If the folder cannot be created,
  // nothing at all happens and the log stays closed.
  ProcessLog(const std::string& folder, const std::string& base_name);
  ~ProcessLog();
  ProcessLog(const ProcessLog&) = delete;
  ProcessLog& operator=(const ProcessLog&) = delete;

  void Write(bool is_error, const char* format, va_list args);
  void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  int line_count() const { return line_count_.load(); }

  // The process's own log: data folder, executable base name. Made on first use.
  static ProcessLog& Instance();
  // Routes LogInfo/LogError to `log` (not owned); nullptr restores Instance().
  static void SetInstanceForTesting(ProcessLog* log);

 private:
  void RemoveOldLogs(const std::string& folder, const std::string& base_name,
                     const std::string& file_name);

  int fd_ = -1;
  std::string path_;
  std::atomic<int> line_count_{0};
};

// One "INFO" or "ERROR" line in the process log. Safe at any time, from any thread.
void LogInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quol
