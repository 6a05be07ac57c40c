// The one way to stop a run before its end.
#pragma once

#include <string>

namespace pg {

// Exit statuses of the tool.
inline constexpr int exit_ok = 0;          // every dump read completely
inline constexpr int exit_dump_fault = 1;  // a damaged dump stopped the run, or a dump ended early
inline constexpr int exit_usage = 2;       // a bad dialogue answer, or an output file that failed

// Unwinds to main(), which flushes standard output, prints `why` (if any) on
// standard error and exits with `status`.
struct Stop {
  int status;
  std::string why;
};

}  // namespace pg
