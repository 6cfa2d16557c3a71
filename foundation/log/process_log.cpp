#include "foundation/log/process_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/clock/clock.h"
#include "platform/common/diagnostics.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

std::atomic<ProcessLog*> g_test_log{nullptr};

ProcessLog& Current() {
  ProcessLog* log = g_test_log.load();
  return log != nullptr ? *log : ProcessLog::Instance();
}

void ForwardPlatformReport(bool is_error, const char* message) {
  if (is_error) {
    LogError("%s", message);
  } else {
    LogInfo("%s", message);
  }
}

// The platform layers report through the log from the start of the process.
const bool g_sink_installed = (platform::SetDiagnosticSink(&ForwardPlatformReport), true);

std::string FormatMessage(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

ProcessLog::ProcessLog(const std::string& folder, const std::string& base_name) {
  (void)g_sink_installed;
  if (Failed(platform::CreateDirectories(folder))) return;

  platform::CalendarTime now = platform::LocalNow();
  char file_name_buffer[512];
  std::snprintf(file_name_buffer, sizeof file_name_buffer, "%s-%02d-%02d.log", base_name.c_str(),
                now.month, now.day);
  const std::string file_name = file_name_buffer;
  path_ = platform::JoinPath(folder, file_name);

  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // The lock stands in for "shared for reading only": a second writer of
    // the same program and day is turned away and logs nothing.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
    } else {
      ::close(fd);
    }
  }
  RemoveOldLogs(folder, base_name, file_name);
}

ProcessLog::~ProcessLog() {
  if (fd_ >= 0) ::close(fd_);
}

void ProcessLog::RemoveOldLogs(const std::string& folder, const std::string& base_name,
                               const std::string& file_name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    // "<base_name>*.log", matched without regard to case.
    if (name.size() < base_name.size() + 4 || !platform::StartsWithIgnoreCase(name, base_name) ||
        !platform::EqualsIgnoreCase(name.substr(name.size() - 4), ".log")) {
      continue;
    }
    if (platform::EqualsIgnoreCase(name, file_name)) continue;
    std::string full = platform::JoinPath(folder, name);
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    if (::unlink(full.c_str()) != 0) {
      Error("Could not delete %s, %d", full.c_str(), errno);
    }
  }
}

void ProcessLog::Write(bool is_error, const char* format, va_list args) {
  if (fd_ < 0 || line_count_.load() > kMaxLines) return;
  std::string message = FormatMessage(format, args);
  std::string_view trimmed = platform::TrimWhitespace(message);
  platform::CalendarTime now = platform::LocalNow();
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%02d-%02d %02d:%02d - %s ", now.month, now.day, now.hour,
                now.minute, is_error ? "ERROR" : "INFO");
  std::string line = prefix;
  line.append(trimmed);
  line += "\r\n";
  // One write call per line keeps lines of different threads whole.
  ssize_t ignored = ::write(fd_, line.data(), line.size());
  (void)ignored;
  line_count_.fetch_add(1);
}

void ProcessLog::Info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, format, args);
  va_end(args);
}

void ProcessLog::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(true, format, args);
  va_end(args);
}

ProcessLog& ProcessLog::Instance() {
  static ProcessLog log(platform::DataFolderPath(), platform::ExecutableBaseName());
  return log;
}

void ProcessLog::SetInstanceForTesting(ProcessLog* log) { g_test_log.store(log); }

void LogInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Current().Write(false, format, args);
  va_end(args);
}

void LogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Current().Write(true, format, args);
  va_end(args);
}

}  // namespace quol
