#include "platform/common/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace quol::platform {
namespace {

std::atomic<DiagnosticSink> g_sink{nullptr};

void Forward(bool is_error, const char* format, va_list args) {
  DiagnosticSink sink = g_sink.load();
  if (sink == nullptr) return;
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return;
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  sink(is_error, text.c_str());
}

}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) { g_sink.store(sink); }

void ReportInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Forward(false, format, args);
  va_end(args);
}

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Forward(true, format, args);
  va_end(args);
}

}  // namespace quol::platform
