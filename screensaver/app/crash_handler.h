// The crash record: on a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) one line "<program> <version>: signal <n>" and a backtrace are
// appended to a file, then the signal's default action runs (a core dump
// where the system keeps them).
//
// The handler runs on an alternate signal stack of its own, so a stack
// overflow, which leaves no room on the thread's stack, is recorded too.
// That stack is the installing thread's (the window thread); a fault on
// another thread is still recorded when that thread's stack has room.
#pragma once

#include <string>

namespace quol::saver {

// Installs the handler for the process; call once, early, on the main thread.
// `program` heads the record ("QuolScreensaver 1.2.3.4"). Everything the
// handler needs is prepared here: it allocates nothing when it runs.
void InstallCrashHandler(const std::string& dump_path, const std::string& program);

}  // namespace quol::saver
