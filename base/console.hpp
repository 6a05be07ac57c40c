// Standard error: the lines that are not the trace (warnings about the run,
// its summary, progress), each beginning "phasegrid: ".
#pragma once

#include <functional>
#include <string_view>

namespace pg {

// The one place that writes "phasegrid: " + line on standard error, after
// flushing standard output, so that on a shared pipe it comes after every
// trace line printed before it.
void tell(std::string_view line);

// A passing line on a terminal (a progress line) that no other line may run
// into: `wiper` rubs it out, and is called (once; it unsets itself) before
// any trace line and any line on standard error. Null: none.
void set_passing_line_wiper(std::function<void()> wiper);
void wipe_passing_line();

// Called first in every program: a standard stream the program was started
// without (closed) is opened on /dev/null for reading only, so that no file
// the program opens takes its number and receives its text, and a write to
// it fails as before: standard output is then lost (finish_standard_output),
// and without standard error the exit status alone speaks.
void open_standard_streams();

// Flushes standard output as a program ends. Output that was lost (a full
// disk, a closed pipe) is a failure, not a success: one line on standard
// error, "<program>: cannot write standard output: <why>", and exit status
// 2 in place of 0 (any other status is kept). Returns the status to exit with.
[[nodiscard]] int finish_standard_output(std::string_view program, int status);

}  // namespace pg
