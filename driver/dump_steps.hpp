// One dump of a run: process_one() reads and analyses it into the run's
// state, and says what became of it as one value; settle() turns that into
// the dump's console line, its lines on standard error, its files, its
// series row and the run's exit status.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "analysis/diagram.hpp"
#include "analysis/phase_grid.hpp"
#include "base/error.hpp"
#include "base/trace.hpp"
#include "driver/plan.hpp"
#include "dump/wanted.hpp"
#include "series/output_file.hpp"
#include "series/series_file.hpp"
#include "state/store.hpp"

namespace pg {

class RunReport;
class RunProgress;

// Stage times on standard error, with RunOptions::timing: for measuring,
// never part of the tool's output.
class StageClock {
 public:
  explicit StageClock(bool on) : on_(on), last_(std::chrono::steady_clock::now()) {}
  void lap(const char* stage);

 private:
  bool on_;
  std::chrono::steady_clock::time_point last_;
};

// What a run owns and hands to each step: its store, its grid, where its
// trace goes, and what it has learnt from the dumps so far.
struct RunState {
  RunState(Trace& t, Wanted w);
  Store store;
  PhaseGrid grid;
  Diagrams diagrams;  // the run's --diagram ones
  Trace& trace;
  Wanted wanted;               // what the reader keeps
  bool dust_supplied = false;  // an earlier dump supplied dust temperatures
  RunProgress* progress = nullptr;  // the progress line, when the run shows one
};

// The grid and index files of a dump, claimed before it is read (none when
// the series is written alone).
struct DumpFiles {
  std::unique_ptr<OutputFile> grid, index;
};

// What became of a dump: one of these.
// Found before the run not readable (`error`, an errno value) or, with
// error 0, not a dump: nothing was read or written.
struct Skipped {
  int error = 0;
};
// A signal asked the run to stop: the dump's files stay as they were.
struct Interrupted {
  int signal = 0;
};
// Memory could not be had (`what` says which): the dump's files stay as they
// were, and the run stops.
struct OutOfMemory {
  std::string what;
};
// A fault of the dump stopped its read, or its file changed while it was
// read (`status` says which): its files are left empty.
struct Faulted {
  Error fault;
  DumpStatus status = DumpStatus::stopped_by_fault;
  bool not_a_dump = false;  // the file did not start as a dump does
  DumpFiles files;
};
// The dump was read, to its end or not, and binned into the run's grid.
struct Read {
  DumpStatus status = DumpStatus::complete;  // or ended early, could not be opened, not a dump
  std::int64_t end_offset = 0;               // where the read stopped
  bool dust_temperature = false;             // every block supplied it
  double time = 0, time_ff = 0;
  std::int64_t npart = 0;
  OutsideGrid outside;
  std::array<double, 3> centre{};  // the point moved to the origin
  std::array<double, 3> units{};   // mass, length, time the dump records
  std::vector<DiagramStatus> diagrams;  // what became of each of the run's diagrams
  DumpFiles files;
};
using DumpOutcome = std::variant<Skipped, Interrupted, OutOfMemory, Faulted, Read>;

// Reads dump `k` of the plan into the state and analyses it (units, frame,
// centring, binning), tracing as it goes. An output file that cannot be
// claimed throws; everything else that ends the dump is its outcome. The one
// line it tells `report` itself: that the dump could not be opened, ahead
// of the dump's trace, where a shared pipe shows it.
[[nodiscard]] DumpOutcome process_one(const RunPlan& plan, std::size_t k, RunState& state, RunReport& report);

// The dump's exit status, and whether the run goes on.
struct Settled {
  int status = exit_ok;
  bool go_on = true;
};
// Everything the dump leaves: its console line, its lines on standard error,
// its files and its series row (when `series` is given). An interruption
// is thrown on, once said.
[[nodiscard]] Settled settle(DumpOutcome& outcome, const RunPlan& plan, std::size_t k, RunState& state, RunReport& report,
               SeriesFile* series);

}  // namespace pg
