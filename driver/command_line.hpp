// The tool's command line: the dumps and the answers as options, or the
// dialogue on standard input when no dump is named.
#pragma once

namespace pg {

// Runs phasegrid with these arguments (argv[0] the program's name) and
// returns the exit status. Usage errors are one line on standard error.
int phasegrid_command(int argc, char** argv);

}  // namespace pg
