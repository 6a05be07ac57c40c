// Reading and analysing one dump (process_one).
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <new>

#include "analysis/centring.hpp"
#include "analysis/rotation.hpp"
#include "base/interrupt.hpp"
#include "base/units.hpp"
#include "driver/diagram_reads.hpp"
#include "driver/dump_steps.hpp"
#include "driver/progress.hpp"
#include "driver/run_report.hpp"
#include "dump/fixed_records.hpp"
#include "dump/rdump.hpp"

namespace pg {

namespace {

// Free-fall time of the run's reference density, in code units. The factors
// are applied in this order, with this value of pi.
double free_fall_time(double rhozero) { return std::sqrt((3.141592654 * 3.0) / (rhozero * 32.0)); }

// What is known of a dump before it is read to its end, for a fault that
// ends it then.
struct SoFar {
  DumpFiles files;
  bool not_a_dump = false;  // the file did not start as a dump does
  bool binned = false;      // the last read of the file is done
};

// Reads the dump into the store and analyses it.
Read read_and_bin(const RunPlan& plan, std::size_t k, RunState& state, RunReport& report, SoFar& so_far) {
  const DumpJob& job = plan.jobs[k];
  const Analysis& a = plan.answers;
  Store& s = state.store;
  Trace& trace = state.trace;
  StageClock clock(plan.options.timing);
  Read r;
  // Both files are replaced only once their new text is complete.
  DumpFiles& files = so_far.files;
  if (!plan.options.series_only) files.index = std::make_unique<OutputFile>(job.index_path);
  DumpFile dump = DumpFile::open(job.path);
  if (state.progress != nullptr) {
    state.progress->begin(k, job.label);
    dump.set_progress_hook(state.progress->hook());
  }
  const int open_error = dump.open_error();  // (then read as an empty file)
  if (open_error != 0) report.could_not_be_opened(k, open_error);
  if (!plan.options.series_only) files.grid = std::make_unique<OutputFile>(job.grid_path);
  trace.line(job.grid_name);
  const bool not_a_dump = so_far.not_a_dump = open_error == 0 && !starts_like_a_dump(dump);

  const ReadEnd end = rdump(dump, {s, trace, state.wanted});
  if (state.progress != nullptr) state.progress->binning();
  r.end_offset = end.offset;
  r.dust_temperature = end.dust_temperature;
  r.status = open_error != 0 ? DumpStatus::could_not_be_opened
             : not_a_dump      ? DumpStatus::not_a_dump
             : end.ended_early ? DumpStatus::ended_early
                               : DumpStatus::complete;
  clock.lap("read");

  trace.say("Units are ", s.unitsin(1), s.unitsin(2));
  trace.say("Time is ", s.gtime.gt);
  trace.say(code_umass, code_udist, code_unit_time);
  r.units = {s.unitsin(1), s.unitsin(2), s.unitsin(3)};
  const bool in_file = state.wanted.positions_left_in_file;
  const std::optional<double> turn = undo_rotation(s, trace, a.rotate_mode, a.rotation_frequency,
                                                   state.wanted.positions, state.wanted.velocities, in_file);
  clock.lap("rotation");

  r.time = s.gtime.gt;
  r.time_ff = r.time / free_fall_time(s.polyk2.rhozero);
  r.centre = apply_centring(s, trace, a.centre_mode, a.sink_number, a.centre_position, {in_file, turn});
  clock.lap("centring");
  r.outside = state.grid.bin(s, trace);
  r.npart = s.part.npart;
  clock.lap("binning");
  if (!state.diagrams.empty()) {
    r.diagrams = diagram_statuses(plan.diagrams, end.carried, r.units[0]);
    state.diagrams.bin(s, {in_file, turn, r.centre}, r.units[0], r.diagrams);
    clock.lap("diagrams");
  }
  // Everything the grid and the index line hold was read from the file as it
  // was opened, or the dump ends as a damaged one does.
  so_far.binned = true;
  if (const auto file = dump.file_at()) check_unchanged(*file);
  return r;
}

}  // namespace

void StageClock::lap(const char* stage) {
  if (!on_) return;
  const auto now = std::chrono::steady_clock::now();
  fmt::print(stderr, "phasegrid timing: {:<10} {:9.3f} s\n", stage, std::chrono::duration<double>(now - last_).count());
  last_ = now;
}

RunState::RunState(Trace& t, Wanted w) : store(idim), trace(t), wanted(w) {}

DumpOutcome process_one(const RunPlan& plan, std::size_t k, RunState& state, RunReport& report) {
  const DumpJob& job = plan.jobs[k];
  SoFar so_far;
  try {
    throw_if_stopped();
    if (job.not_readable != 0 || job.not_a_dump) return Skipped{job.not_readable};
    Read r = read_and_bin(plan, k, state, report, so_far);
    r.files = std::move(so_far.files);
    return r;
  } catch (const Error& e) {
    // Memory that cannot be had, or a stop signal: the dump's files stay as
    // they were. (An output that cannot be claimed stops the run.) A dump's
    // values that can no longer be read from its file, once it was read,
    // end it as a fault found in the read does.
    if (e.kind == FaultKind::interrupted) return Interrupted{static_cast<int>(e.numbers[0])};
    if (e.kind == FaultKind::store_exhausted) return OutOfMemory{e.what()};
    if (!is_dump_fault(e.kind)) throw;
    const bool changed = so_far.binned && e.kind == FaultKind::dump_changed;
    return Faulted{e, changed ? DumpStatus::changed_while_read : DumpStatus::stopped_by_fault, so_far.not_a_dump,
                   std::move(so_far.files)};
  } catch (const std::bad_alloc&) {
    return OutOfMemory{"cannot allocate the memory the run needs besides the store's"};
  }
}

}  // namespace pg
