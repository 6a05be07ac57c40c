// Runs a program of the build, or a shell command line, the way a user
// would: in a given folder, with input on its standard input, and optionally
// with its standard error on a terminal.
#pragma once

#include <string>
#include <vector>

namespace pgtest {

struct ProgramRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs argv[0] (a path) with the arguments argv[1..] in `dir`. `env` entries
// ("NAME=value") replace the same names of this process's environment. With
// `err_on_terminal`, standard error is a pseudo-terminal and `err` is what
// appeared on it (the terminal turns each "\n" into "\r\n").
ProgramRun run_program(const std::string& dir, const std::vector<std::string>& argv,
                       const std::string& input = {}, const std::vector<std::string>& env = {},
                       bool err_on_terminal = false);

// The folder of the built phasegrid, for putting it on PATH.
std::string build_bin_dir();

}  // namespace pgtest
