// Starting another program: the path and an argument vector, never a shell
// command line, so nothing in an argument is interpreted.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/common/hresult.h"

namespace quol::platform {

// Starts `path` with `args` (argv[1..]; argv[0] is `path`) and the current
// environment. Does not wait: the child runs on by itself. `pid`, when
// given, receives the child's id. On failure `*spawn_error` (when given)
// holds posix_spawn's error number and the result is its HresultFromErrno.
// Any thread may call.
[[nodiscard]] HRESULT SpawnProcess(const std::string& path, const std::vector<std::string>& args,
                                   pid_t* pid = nullptr, int* spawn_error = nullptr);

}  // namespace quol::platform
