// Runs a program the way a user would: in a given folder, with input on its
// standard input, its output and exit status collected. The one way the
// tests start a process: the built tool, the other programs of the build,
// a shell command line.
#pragma once

#include <string>
#include <vector>

namespace pgtest {

// Where a program's standard error goes.
enum class ErrTo {
  own_file,    // apart from standard output: ToolRun::err
  stdout_too,  // the same open file as standard output, in the order written
  terminal,    // a pseudo-terminal: ToolRun::err, each "\n" turned into "\r\n"
};

struct ToolRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  long max_rss_kb = 0;  // the program's peak resident size
  std::vector<std::string> out_lines() const;
};

// Runs argv[0] (a path, or a name looked up on PATH) with the arguments
// argv[1..] in the folder `dir`, with `input` as all of its standard input.
// `env` entries ("NAME=value") replace the same names of this process's
// environment.
ToolRun run_program(const std::vector<std::string>& argv, const std::string& dir = ".",
                    const std::string& input = {}, const std::vector<std::string>& env = {},
                    ErrTo err = ErrTo::own_file);

// Runs the built phasegrid in `dir` with `input` on its standard input.
ToolRun run_tool(const std::string& dir, const std::string& input,
                 const std::vector<std::string>& args = {},
                 const std::vector<std::string>& env = {}, ErrTo err = ErrTo::own_file);

// Runs the built mkdump with `args`.
ToolRun run_mkdump(const std::vector<std::string>& args);

// Starts the built phasegrid with `args` in `dir`, its standard input the
// file `input` there and its standard output and error the file `output`
// (made there), with SIGINT and SIGTERM at their default actions. Returns
// its process id at once: the caller signals it and waits for it.
int start_tool(const std::string& dir, const std::string& input, const std::string& output,
               const std::vector<std::string>& args = {});

// Waits up to `seconds` for process `pid` to end: its wait status, or -1
// when it had not ended by then (it is then killed), so that a run that
// cannot be stopped fails its test at once instead of hanging it.
int wait_for(int pid, double seconds = 30);

// The folder of the built phasegrid, for putting it on PATH.
std::string build_bin_dir();

}  // namespace pgtest
