// The run driver: the dialogue, then each named dump by the same sequence.
#pragma once

#include <istream>
#include <string>
#include <vector>

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

// One dump of a run: the file to read, the name the trace and the report
// give it, and the grid and index files it writes (their names, which the
// trace and the index line show, and where they are written).
struct DumpJob {
  std::string path;
  std::string label;
  std::string grid_name;
  std::string grid_path;
  std::string index_path;
  // Non-zero (an errno value) when the dump was found not readable: nothing
  // is read or written for it.
  int not_readable = 0;
};

// The dump at `path`, read and written as `name`: its grid file QG<name>01
// and index file IP<name without trailing blanks>, in `output_dir` ("."
// writes them under their bare names).
DumpJob dump_job(const std::string& path, const std::string& name, const std::string& output_dir);

// The dumps of the dialogue's answers, their files written in `output_dir`
// ("." writes them under their bare names).
std::vector<DumpJob> dialogue_jobs(const Answers& answers, const std::string& output_dir = ".");

// How a run goes on.
struct RunOptions {
  bool keep_going = false;  // a fault in a dump ends that dump, not the run
  std::string series_path;  // non-empty: the series file (HDF5) to write
};

// Handles every dump of the answers, telling `report` what went wrong.
// Returns the exit status: 0 when every dump was read completely, 1 when one
// ended early, was skipped as not readable, or (keeping going) was ended by a
// fault. Throws Stop otherwise.
int process_dumps(const Answers& answers, RunReport& report);
class SeriesFile;
// `series`, when given, gets a row for each dump handled.
int process_dumps(const Answers& answers, const std::vector<DumpJob>& jobs, RunReport& report,
                  const RunOptions& options, SeriesFile* series = nullptr);

// A run whose answers are already known (from the command line): reports
// and returns the exit status as phasegrid_main does.
int run_dumps(const Answers& answers, const std::vector<DumpJob>& jobs, const RunOptions& options);

// The whole run on the given input: dialogue, then the dumps. Returns the
// exit status; standard output is flushed.
int phasegrid_main(std::istream& in);
// The same, keeping going past faults as `options` say and writing the files
// in `output_dir`.
int phasegrid_main(std::istream& in, const RunOptions& options, const std::string& output_dir);

}  // namespace pg
