// The run: a plan (the answers, the dumps with their files, how the run goes
// on), then each dump by the same sequence. process_one() reads and analyses
// one dump into the run's state; settle() turns what became of it into its
// console line, its lines on standard error, its files, its series row and
// the run's exit status.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/trace.hpp"
#include "driver/dialogue.hpp"
#include "series/output_file.hpp"
#include "analysis/phase_grid.hpp"
#include "series/series_file.hpp"
#include "dump/wanted.hpp"
#include "state/store.hpp"

namespace pg {

// The index line: time, time in free-fall units, grid file name (37 chars).
std::string index_line(double time, double ratio, const std::string& grid_name);
// A real in the index line's scientific form, 12 characters (" 1.23457E+00").
std::string scientific12(double x);

// What a run with this centring reads after the reader: the phase grid's
// densities and dust temperatures, left in the dump's file, and what the
// centring uses. The frame rotation turns what these read and nothing else:
// positions when a centring follows; velocities are read by no step after
// it. Identifiers are kept in full; for its last dump the run leaves them
// out, and leaves the positions the centring reads in the file.
Wanted wanted_for_run(char centre_mode);

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
};

// The dump at `path`, read and written as `name`: its grid file QG<name>01
// and index file IP<name without trailing blanks>, in `output_dir` ("."
// writes them under their bare names).
DumpJob dump_job(const std::string& path, const std::string& name, const std::string& output_dir);

// The dumps of the dialogue's answers, their files written in `output_dir`.
std::vector<DumpJob> dialogue_jobs(const Answers& answers, const std::string& output_dir = ".");

// How a run goes on.
struct RunOptions {
  bool keep_going = false;  // a fault in a dump ends that dump, not the run
  std::string series_path;  // non-empty: the series file (HDF5) to write
  bool series_only = false;  // the series file alone: no grid or index files
};

// Everything a run does, known before its first dump: both front ends (the
// dialogue and the command line) build one.
struct RunPlan {
  Answers answers;
  std::vector<DumpJob> jobs;
  RunOptions options;
};

// The dialogue's plan: its answers read from `in` (its questions traced), the
// files in `output_dir`.
RunPlan dialogue_plan(std::istream& in, Trace& trace, const RunOptions& options,
                      const std::string& output_dir);

// What a run owns and hands to each step: its store, its grid, where its
// trace goes, and what it has learnt from the dumps so far.
struct RunState {
  RunState(Trace& t, Wanted w);
  Store store;
  PhaseGrid grid;
  Trace& trace;
  Wanted wanted;             // what the reader keeps
  bool dust_supplied = false;  // an earlier dump supplied dust temperatures
};

// What became of one dump.
struct DumpOutcome {
  DumpStatus status = DumpStatus::complete;
  // What ended it before its files were written: a fault of the dump,
  // memory, a signal. The status then says which (a signal: complete).
  std::optional<Error> stop;
  bool skipped = false;   // found not readable before the run: nothing read or written
  int open_error = 0;     // the dump could not be opened (it reads as an empty file)
  std::int64_t end_offset = 0;  // where the read ended
  bool dust_temperature = false;  // every block supplied it
  // The file does not start as a dump does: what its read ended with (a
  // fault, the end of the file) is said as that.
  bool not_a_dump = false;
  double time = 0, time_ff = 0;
  std::int64_t npart = 0;
  OutsideGrid outside;
  std::array<double, 3> centre{};  // the point moved to the origin
  double dump_units[3] = {};  // mass, length, time the dump records
  // The files the dump writes, claimed before it was read.
  std::unique_ptr<OutputFile> grid_file, index_file;
};

class RunReport;
// Reads dump `k` of the plan into the state and analyses it (units, frame,
// centring, binning), tracing as it goes. Faults of the dump, memory that
// cannot be had and stop signals become the outcome; an output file that
// cannot be claimed throws. The one line it tells `report` itself: that the
// dump could not be opened, ahead of the dump's trace, where a shared pipe
// shows it.
DumpOutcome process_one(const RunPlan& plan, std::size_t k, RunState& state, RunReport& report);
// The dump's console line (a fault's), its lines on standard error, its
// files and its series row (when `series` is given). Returns the dump's exit
// status, and whether the run goes on.
struct Settled {
  int status = exit_ok;
  bool go_on = true;
};
Settled settle(DumpOutcome& outcome, const RunPlan& plan, std::size_t k, RunState& state, RunReport& report,
               SeriesFile* series);

// Runs a plan, writing the trace to `trace`: returns the exit status (a
// signal that stopped the run ends the process by that signal, once the
// files are finished). Standard output is flushed.
int run_plan(const RunPlan& plan, Trace& trace);

// The whole run on the dialogue's input: the answers, then the dumps.
int phasegrid_main(std::istream& in, Trace& trace, const RunOptions& options = {},
                   const std::string& output_dir = ".");

}  // namespace pg
