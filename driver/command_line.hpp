// The tool's command line: the dumps and the answers as options, or the
// dialogue on standard input when no dump is named.
#pragma once

namespace pg {

// Runs phasegrid with these arguments (argv[0] the program's name) and
// returns the exit status. A bad option or answer, and anything else that
// stops the program before or around the run, throws an Error (see main()).
int phasegrid_command(int argc, char** argv);

}  // namespace pg
