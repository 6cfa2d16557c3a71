// The platform layers sit below the suite's log, so they report trouble
// (an unreadable registry hive, say) through this sink. The process log
// installs itself as the sink; until then reports go nowhere.
#pragma once

namespace quol::platform {

using DiagnosticSink = void (*)(bool is_error, const char* message);

// Installs the sink; pass nullptr to silence reports. Thread-safe.
void SetDiagnosticSink(DiagnosticSink sink);

// printf-style reports, forwarded to the sink as one line each.
void ReportInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quol::platform
