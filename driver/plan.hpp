// A run's plan, known before its first dump: the answers, each dump with the
// files it writes, and how the run goes on. Both front ends (the dialogue
// and the command line) build one.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "analysis/diagram.hpp"
#include "base/trace.hpp"
#include "driver/dialogue.hpp"
#include "dump/wanted.hpp"

namespace pg {

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
  // Found before the run not to start as a dump does: skipped as well.
  bool not_a_dump = false;
  // The file as found before the run (look_at_dumps), for its series row
  // (SeriesDump's dump_path, dump_size, dump_mtime) and the run's progress.
  std::string real_path;
  std::int64_t size = -1, mtime = -1;
};

// The dump at `path`, read and written as `name`: its grid file QG<name>01
// and index file IP<name without trailing blanks>, in `output_dir` ("."
// writes them under their bare names).
DumpJob dump_job(const std::string& path, const std::string& name, const std::string& output_dir);

// Each dump's file as the run finds it before reading it (DumpJob's
// real_path, size, mtime).
void look_at_dumps(std::vector<DumpJob>& jobs);

// The dumps of the dialogue's answers, their files written in `output_dir`.
std::vector<DumpJob> dialogue_jobs(const Answers& answers, const std::string& output_dir = ".");

// How a run goes on.
struct RunOptions {
  bool keep_going = false;   // a fault in a dump ends that dump, not the run
  std::string series_path;   // non-empty: the series file (HDF5) to write
  bool series_only = false;  // the series file alone: no grid or index files
  bool append = false;       // the series gains the dumps it does not hold complete
  bool replace = false;      // the series is replaced even when it holds dumps the run does not name
  bool quiet = false;        // no progress line and no closing line on a terminal
  bool read_all = false;     // every array stored, none left in the file (PHASEGRID_READ_ALL=1)
  bool timing = false;       // stage times on standard error (PHASEGRID_TIMING=1)
};

// The options the environment sets: PHASEGRID_READ_ALL=1 and
// PHASEGRID_TIMING=1, for measuring and comparing, never part of the output.
RunOptions options_from_environment();

struct RunPlan {
  Answers answers;
  std::vector<DumpJob> jobs;
  RunOptions options;
  std::vector<DiagramSpec> diagrams;  // --diagram, in order
};

// The dialogue's plan: its answers read from `in` (its questions traced), the
// files in `output_dir`.
RunPlan dialogue_plan(std::istream& in, Trace& trace, const RunOptions& options,
                      const std::string& output_dir);

// What a run with this centring reads after the reader: the phase grid's
// densities and dust temperatures, left in the dump's file, and what the
// centring uses. The frame rotation turns what these read and nothing else:
// positions when a centring follows; velocities are read by no step after
// it. Identifiers are kept in full; for its last dump the run leaves them
// out, and leaves the positions the centring reads in the file.
Wanted wanted_for_run(char centre_mode);

}  // namespace pg
