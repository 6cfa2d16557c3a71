// Routes LogInfo/LogError into a private log file for the scope of a test.
#pragma once

#include <string>

#include "foundation/log/process_log.h"
#include "platform/testing/test_support.h"

namespace quol::testing {

class LogCapture {
 public:
  LogCapture() : log_(dir_.path(), "QuolTest") { ProcessLog::SetInstanceForTesting(&log_); }
  ~LogCapture() { ProcessLog::SetInstanceForTesting(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return ReadFileOrEmpty(log_.path()); }
  bool Contains(const std::string& fragment) const {
    return Text().find(fragment) != std::string::npos;
  }

 private:
  TempDir dir_;
  ProcessLog log_;
};

}  // namespace quol::testing
