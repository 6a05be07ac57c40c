// Standard error: the lines that are not the trace (warnings about the run,
// its summary, progress), each beginning "phasegrid: ".
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pg {

// A program's main: opens the standard streams (below), names the program
// (the start of its lines on standard error) and runs `command`. Whatever
// stops it is one line on standard error and the exit status of its kind;
// then standard output is finished (below). A run handles its own dumps'
// errors first, so that it still writes its summary and its series file.
int run_program(std::string_view program, int (*command)(int, char**), int argc, char** argv);

// The program's name, that begins its lines on standard error.
const std::string& program();

// What the exception in flight says, and the exit status it means; a stop
// signal's number in `signal` (its line is not said: the run says where it
// stopped). Call only inside a handler of std::exception.
struct Stopped {
  std::string line;
  int status;
  int signal;
};
[[nodiscard]] Stopped what_stopped();

// The one place that writes "<program>: " + line on standard error, after
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
// error (once), "<program>: cannot write standard output: <why>", and exit
// status 2 in place of 0 (any other status is kept). Returns the status to
// exit with.
[[nodiscard]] int finish_standard_output(int status);

}  // namespace pg
