// The run driver: the dialogue, then each named dump by the same sequence.
#pragma once

#include <istream>
#include <string>

#include "driver/dialogue.hpp"
#include "dump/wanted.hpp"

namespace pg {

// The index line: time, time in free-fall units, grid file name (37 chars).
std::string index_line(double time, double ratio, const std::string& grid_name);
// A real in the index line's scientific form, 12 characters (" 1.23457E+00").
std::string scientific12(double x);

// What a run with this centring reads after the reader: the phase grid's
// densities and dust temperatures, and what the centring uses. The frame
// rotation turns what these read and nothing else: positions when a centring
// follows; velocities are read by no step after it. Identifiers are kept in
// full; the run leaves them out for its last dump.
Wanted wanted_for_run(char centre_mode);

class RunReport;

// Handles every dump of the answers, telling `report` what went wrong.
// Returns the exit status: 0 when every dump was read completely, 1 when one
// ended early. Throws Stop otherwise.
int process_dumps(const Answers& answers, RunReport& report);

// The whole run on the given input: dialogue, then the dumps. Returns the
// exit status; standard output is flushed.
int phasegrid_main(std::istream& in);

}  // namespace pg
