#include "driver/run.hpp"

#include <fmt/format.h>

#include <new>
#include <optional>
#include <vector>

#include "analysis/particle_loops.hpp"
#include "base/console.hpp"
#include "base/error.hpp"
#include "base/interrupt.hpp"
#include "base/units.hpp"
#include "driver/diagram_reads.hpp"
#include "driver/dump_steps.hpp"
#include "driver/progress.hpp"
#include "driver/run_report.hpp"
#include "driver/series_plan.hpp"
#include "base/printable.hpp"
#include "series/output_guard.hpp"
#include "series/series_file.hpp"

namespace pg {

namespace {

// Completes the series file of a run that ended with `status`, or that
// `signal` stopped (0: none), after `done` of its dumps; returns the run's
// exit status. A run that did no dump leaves the earlier file as it was.
int finish_series(SeriesFile& series, SeriesPlan& splan, const std::string& path, int status, int signal,
                  std::size_t done, std::optional<std::size_t> dumps) {
  try {
    // Dropped by a failure, or refused before the dumps began: said so.
    if (!series.writing() || !dumps) return status;
    if (done == 0 && (signal != 0 || status != exit_ok || splan.appending)) {
      // (A stop says so in its own line.)
      if (signal == 0)
        tell(splan.appending && status == exit_ok
                 ? fmt::format("--append: {} holds every dump of the run complete and unchanged: it is left as it was",
                               quoted(path))
                 : fmt::format("no dump was done: the series file {} is left as it was", quoted(path)));
      return status;
    }
    put_back_rows(splan, series, done);
    if (signal != 0) series.note_interrupted(fmt::format("{} in dump {} of {}", signal_name(signal), done + 1, *dumps));
    series.close();
  } catch (const Error& e) {
    tell(e.what());
    return exit_status(e);
  }
  return status;
}

// The dumps of the plan, one at a time; returns the exit status. Every
// question is answered before the first dump: what the run will read is
// known, and the reader copies nothing else (unless told to read all).
int process_dumps(const RunPlan& plan, RunReport& report, SeriesFile* series, Trace& trace, RunProgress& progress,
                  std::size_t& done) {
  const bool all = plan.options.read_all;
  std::optional<RunState> made;
  try {
    made.emplace(trace, all ? Wanted::everything() : wanted_for_run(plan.answers.centre_mode));
    want_for_diagrams(made->wanted, plan.diagrams);
    made->diagrams = Diagrams(plan.diagrams);
    if (!plan.options.series_only) made->grid.reserve_text();
  } catch (const std::bad_alloc&) {
    throw Error(FaultKind::out_of_memory, "cannot allocate the memory of the run's grids, before its first dump");
  }
  RunState& state = *made;
  state.progress = &progress;
  std::size_t last = plan.jobs.size();  // the last dump read
  for (std::size_t k = 0; k < plan.jobs.size(); ++k)
    if (plan.jobs[k].not_readable == 0 && !plan.jobs[k].not_a_dump) last = k;
  int status = exit_ok;
  for (std::size_t k = 0; k < plan.jobs.size(); ++k) {
    // No dump after the last one can show its identifiers, or find its
    // positions in the store: the centring reads them from the file.
    if (!all && k == last) {
      state.wanted.identifiers = false;
      // (Velocities in a rotating frame are turned with the positions in
      // the store.)
      const bool turned_velocities = plan.answers.rotate_mode != 0 && diagrams_use_velocities(plan.diagrams);
      state.wanted.positions_left_in_file = state.wanted.positions && !turned_velocities;
    }
    DumpOutcome outcome = process_one(plan, k, state, report);
    const Settled settled = settle(outcome, plan, k, state, report, series);
    progress.end_dump();
    done = k + 1;
    status = std::max(status, settled.status);
    if (!settled.go_on) break;
  }
  return status;
}

// The plan `make_plan` builds, then its dumps.
template <class MakePlan>
int run(MakePlan make_plan, Trace& trace) {
  int status;
  int signal = 0;
  std::optional<RunReport> report;
  std::optional<SeriesFile> series;
  SeriesPlan splan;
  std::string series_path;
  std::size_t done = 0;
  std::optional<std::size_t> dumps;  // once the dumps begin: how many
  std::optional<RunProgress> progress;
  catch_stop_signals();
  set_default_loop_schedule();
  try {
    RunPlan plan = make_plan();
    // Every answer is in: nothing is read or written before the outputs are
    // known to be safe to write, the threads are running and the series file
    // is made (one that cannot be written stops the run at once) and has
    // what it carries over of an earlier one.
    std::vector<DumpOutputs> outputs;
    for (const DumpJob& job : plan.jobs) {
      outputs.push_back({job.path, job.grid_name, {}});
      if (!plan.options.series_only) outputs.back().files = {job.grid_path, job.index_path};
    }
    check_outputs(outputs, plan.options.series_path);
    start_loop_threads();
    series_path = plan.options.series_path;
    look_at_dumps(plan.jobs);
    if (!series_path.empty()) {
      series.emplace(series_path, series_run(plan));
      splan = plan_series(plan, *series);
    }
    std::vector<std::string> names;
    std::vector<std::int64_t> sizes;
    for (const DumpJob& job : plan.jobs) {
      names.push_back(job.label);
      sizes.push_back(job.size);
    }
    report.emplace(std::move(names), series_path, splan.appending);
    dumps = plan.jobs.size();
    progress.emplace(std::move(sizes), stderr, RunProgress::wanted(plan.options.quiet));
    stop_gently();
    status = process_dumps(plan, *report, series ? &*series : nullptr, trace, *progress, done);
    if (splan.kept_unreadable > 0) status = std::max(status, exit_dump_fault);
  } catch (const std::exception&) {
    const Stopped stopped = what_stopped();
    if (stopped.signal == 0) tell(stopped.line);  // (a stop is said by the report)
    signal = stopped.signal;
    status = stopped.status;
  }
  if (series) status = finish_series(*series, splan, series_path, status, signal, done, dumps);
  if (report) report->summary(signal == 0);
  // On a terminal, a run that went well says so last.
  if (progress && progress->shows() && status == exit_ok && signal == 0)
    tell(fmt::format("{} dump{}, {} complete, {:.1f} s", *dumps, *dumps == 1 ? "" : "s", *dumps, progress->seconds()));
  progress.reset();
  // The console is the run's report: losing it is a failure, not a success.
  status = finish_standard_output(status);
  // Stopped by a signal: ended by it, as the caller expects.
  if (signal != 0) die_by_signal(signal);
  return status;
}

}  // namespace

int run_plan(const RunPlan& plan, Trace& trace) {
  return run([&plan]() -> const RunPlan& { return plan; }, trace);
}

int phasegrid_main(std::istream& in, Trace& trace, const RunOptions& options, const std::string& output_dir) {
  return run([&] { return dialogue_plan(in, trace, options, output_dir); }, trace);
}

}  // namespace pg
