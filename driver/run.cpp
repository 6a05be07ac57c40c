#include "driver/run.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <new>
#include <system_error>
#include <optional>
#include <vector>
#include <string_view>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/interrupt.hpp"
#include "analysis/centring.hpp"
#include "series/output_file.hpp"
#include "series/output_guard.hpp"
#include "analysis/particle_loops.hpp"
#include "analysis/phase_grid.hpp"
#include "driver/progress.hpp"
#include "analysis/rotation.hpp"
#include "driver/run_report.hpp"
#include "series/series_file.hpp"
#include "dump/fixed_records.hpp"
#include "dump/rdump.hpp"
#include "format/tags.hpp"
#include "base/units.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace pg {

namespace {

std::string trim_right(std::string_view s) { return std::string(dumpformat::trim_blanks(s)); }

// Free-fall time of the run's reference density, in code units. The factors
// are applied in this order, with this value of pi.
double free_fall_time(double rhozero) {
  return std::sqrt((3.141592654 * 3.0) / (rhozero * 32.0));
}

// Stage times on standard error when PHASEGRID_TIMING=1: for measuring, never
// part of the tool's output.
class StageClock {
 public:
  StageClock() {
    const char* v = std::getenv("PHASEGRID_TIMING");
    on_ = v != nullptr && std::string_view(v) == "1";
    last_ = std::chrono::steady_clock::now();
  }
  void lap(const char* stage) {
    if (!on_) return;
    const auto now = std::chrono::steady_clock::now();
    fmt::print(stderr, "phasegrid timing: {:<10} {:9.3f} s\n", stage,
               std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }

 private:
  bool on_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace

std::string scientific12(double x) {
  if (std::isnan(x)) return fmt::format("{:>12}", "NaN");
  if (std::isinf(x)) return fmt::format("{:>12}", x > 0 ? "Infinity" : "-Infinity");
  std::string s = fmt::format("{:.5E}", x);  // d.dddddE+xx, correctly rounded
  // A three-digit exponent leaves out the letter E, as Fortran output does.
  const std::size_t e = s.find('E');
  if (s.size() - e > 4) s.erase(e, 1);
  return fmt::format("{:>12}", s);
}

std::string index_line(double time, double ratio, const std::string& grid_name) {
  return scientific12(time) + " " + scientific12(ratio) + " " + grid_name + "\n";
}

Wanted wanted_for_run(char centre_mode) {
  Wanted w = Wanted::nothing_optional();
  w.identifiers = true;
  w.densities = true;
  w.dust_temperature = true;
  w.left_in_file = true;
  switch (centre_mode) {
    case 'm': case 's': case 'x': w.positions = w.masses = true; break;
    case 'd': w.positions = w.smoothing = true; break;
    case 'p': w.positions = true; break;
    default: break;
  }
  return w;
}

DumpJob dump_job(const std::string& path, const std::string& name, const std::string& output_dir) {
  DumpJob job;
  job.path = job.label = path;
  job.grid_name = "QG" + name + "01";
  const std::string dir = output_dir == "." ? "" : output_dir + "/";
  job.grid_path = dir + job.grid_name;
  job.index_path = dir + "IP" + trim_right(name);
  return job;
}

std::vector<DumpJob> dialogue_jobs(const Answers& a, const std::string& output_dir) {
  std::vector<DumpJob> jobs;
  for (const std::string& name : a.dump_name) jobs.push_back(dump_job(trim_right(name), name, output_dir));
  return jobs;
}

RunPlan dialogue_plan(std::istream& in, Trace& trace, const RunOptions& options,
                      const std::string& output_dir) {
  FreeFormatInput input(in);
  RunPlan plan;
  plan.answers = ask_questions(input, trace);
  plan.jobs = dialogue_jobs(plan.answers, output_dir);
  plan.options = options;
  return plan;
}

RunState::RunState(Trace& t, Wanted w) : store(idim), trace(t), wanted(w) {}

DumpOutcome process_one(const RunPlan& plan, std::size_t k, RunState& state, RunReport& report) {
  const DumpJob& job = plan.jobs[k];
  const Answers& a = plan.answers;
  Store& s = state.store;
  Trace& trace = state.trace;
  DumpOutcome o;
  StageClock clock;
  try {
    throw_if_stopped();
    if (job.not_readable != 0 || job.not_a_dump) {
      o.skipped = true;
      o.status = job.not_a_dump ? DumpStatus::not_a_dump : DumpStatus::could_not_be_opened;
      o.open_error = job.not_readable;
      return o;
    }
    // Both files are replaced only once their new text is complete.
    const bool files = !plan.options.series_only;
    if (files) o.index_file = std::make_unique<OutputFile>(job.index_path);
    ReadProgress progress(job.label, k + 1, plan.jobs.size());  // outlives `dump`, which holds its hook
    DumpFile dump = DumpFile::open(job.path);
    dump.set_progress_hook(progress.hook());
    o.open_error = dump.open_error();
    if (o.open_error != 0) report.could_not_be_opened(k, o.open_error);
    if (files) o.grid_file = std::make_unique<OutputFile>(job.grid_path);
    trace.line(job.grid_name);
    o.not_a_dump = o.open_error == 0 && !starts_like_a_dump(dump);

    int read_status = 0;
    try {
      o.dust_temperature = rdump(dump, read_status, {s, trace, state.wanted}).dust_temperature;
    } catch (const Error& e) {
      if (!is_dump_fault(e.kind)) throw;
      o.status = DumpStatus::stopped_by_fault;
      o.stop = e;
      return o;
    }
    progress.finish();
    o.end_offset = dump.offset();
    if (o.open_error != 0)
      o.status = DumpStatus::could_not_be_opened;
    else if (o.not_a_dump)
      o.status = DumpStatus::not_a_dump;
    else if (read_status != 0)
      o.status = DumpStatus::ended_early;
    clock.lap("read");

    trace.say("Units are ", s.unitsin(1), s.unitsin(2));
    trace.say("Time is ", s.gtime.gt);
    trace.say(code_umass, code_udist, code_unit_time);
    o.dump_units[0] = s.unitsin(1);
    o.dump_units[1] = s.unitsin(2);
    o.dump_units[2] = s.unitsin(3);
    const bool in_file = state.wanted.positions_left_in_file;
    const std::optional<double> turn = undo_rotation(s, trace, a.rotate_mode, a.rotation_frequency,
                                                     state.wanted.positions, state.wanted.velocities, in_file);
    clock.lap("rotation");

    o.time = s.gtime.gt;
    o.time_ff = o.time / free_fall_time(s.polyk2.rhozero);
    o.centre = apply_centring(s, trace, a.centre_mode, a.sink_number, a.centre_position, {in_file, turn});
    clock.lap("centring");
    o.outside = state.grid.bin(s, trace);
    o.npart = s.part.npart;
    clock.lap("binning");
    // Everything the grid and the index line hold was read from the file as
    // it was opened, or the dump ends as a damaged one does.
    if (const auto file = dump.file_at()) {
      try {
        check_unchanged(*file);
      } catch (const Error& e) {
        o.status = DumpStatus::changed_while_read;
        o.stop = e;
      }
    }
  } catch (const Error& e) {
    // Memory that cannot be had, or a stop signal: the dump's files stay as
    // they were. (An output that cannot be claimed stops the run.) A dump's
    // values that can no longer be read from its file, once it was read,
    // end it as a fault found in the read does.
    if (e.kind == FaultKind::store_exhausted) o.status = DumpStatus::out_of_memory;
    else if (is_dump_fault(e.kind)) o.status = DumpStatus::stopped_by_fault;
    else if (e.kind != FaultKind::interrupted) throw;
    o.stop = e;
  } catch (const std::bad_alloc&) {
    o.status = DumpStatus::out_of_memory;
    o.stop = Error(FaultKind::out_of_memory, "cannot allocate the memory the run needs besides the store's");
  }
  return o;
}

namespace {

// The series file's row of a dump that has no grid: skipped (not readable,
// or not a dump: no grid file is written, and none is named), stopped by a
// fault (its grid file is left empty) or for want of memory. Its time is not
// known. With the series only, no grid file is named.
SeriesDump row_without_grid(const DumpJob& job, DumpStatus status, const RunOptions& options) {
  SeriesDump row;
  row.dump = job.path;
  row.grid_file = job.not_readable != 0 || job.not_a_dump || options.series_only ? "" : job.grid_name;
  row.status = status;
  row.time = row.time_ff = std::nan("");
  return row;
}

// The row is written (compressed, mostly) on a thread of its own while the
// grid's text is made and written, which only reads the counts; the stop
// signals stay with the main thread. Where no thread can be had, it is
// written here; either way a failure comes from the future's get().
std::future<void> append_beside(SeriesFile& series, const SeriesDump& row) {
  try {
    const StopSignalsBlocked held;
    return std::async(std::launch::async, [&series, &row] { series.append(row); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  std::promise<void> done;
  try {
    series.append(row);
    done.set_value();
  } catch (...) {
    done.set_exception(std::current_exception());
  }
  return done.get_future();
}

}  // namespace

Settled settle(DumpOutcome& o, const RunPlan& plan, std::size_t k, RunState& state, RunReport& report,
               SeriesFile* series) {
  const DumpJob& job = plan.jobs[k];
  if (o.skipped) {
    if (job.not_a_dump) report.skipped_not_a_dump(k);
    else report.skipped_not_readable(k, o.open_error);
    if (series != nullptr) series->append(row_without_grid(job, o.status, plan.options));
    return {exit_dump_fault, true};
  }
  if (o.stop && o.stop->kind == FaultKind::interrupted) {
    report.interrupted(k, static_cast<int>(o.stop->numbers[0]));
    throw *o.stop;
  }
  if (o.status == DumpStatus::out_of_memory) {
    // The run stops: the dump's files stay as they were, and its row says so.
    report.out_of_memory(k, o.stop->what());
    if (series != nullptr) series->append(row_without_grid(job, DumpStatus::out_of_memory, plan.options));
    return {exit_usage, false};
  }
  if (o.status == DumpStatus::stopped_by_fault || o.status == DumpStatus::changed_while_read) {
    // The fault's line closes the console; the dump's files are left empty,
    // and the run stops with the status of a damaged dump, or goes on with
    // the store as the fault left it.
    const Error& fault = *o.stop;
    state.trace.line(" " + fault_text(fault));
    if (o.not_a_dump) report.not_a_dump(k);
    if (fault.kind == FaultKind::npart_beyond_store)
      tell(fmt::format("dump \"{}\" holds {} particles, more than the {} the store holds", job.label,
                       static_cast<std::int64_t>(fault.numbers[0]), static_cast<std::int64_t>(fault.numbers[1])));
    if (o.grid_file) o.grid_file->leave_empty();
    if (o.index_file) o.index_file->leave_empty();
    if (series != nullptr)
      series->append(row_without_grid(job, o.not_a_dump ? DumpStatus::not_a_dump : o.status, plan.options));
    if (plan.options.keep_going) {
      report.fault_ended_dump(k, fault);
      return {exit_dump_fault, true};
    }
    report.stopped_by_fault(k, fault);
    return {exit_dump_fault, false};
  }

  const bool complete = o.status == DumpStatus::complete;
  if (o.status == DumpStatus::ended_early) report.ended_early(k, o.end_offset);
  if (o.status == DumpStatus::not_a_dump) report.not_a_dump(k);
  if (complete) {
    report.units(k, o.dump_units[0], o.dump_units[1], code_umass, code_udist);
    if (!o.dust_temperature) report.no_dust_temperature(k, state.dust_supplied);
  }
  state.dust_supplied = state.dust_supplied || o.dust_temperature;
  report.outside_grid(k, o.outside);

  StageClock clock;
  SeriesDump row;
  std::future<void> row_written;  // joins on leaving
  if (series != nullptr) {
    row.dump = job.path;
    row.grid_file = o.grid_file ? job.grid_name : "";
    row.status = o.status;
    row.time = o.time;
    row.time_ff = o.time_ff;
    row.npart = o.npart;
    row.binned = state.grid.total();
    row.inactive = state.grid.inactive();
    row.centre = o.centre;
    row.outside = o.outside;
    row.dump_umass = o.dump_units[0];
    row.dump_udist = o.dump_units[1];
    row.dump_utime = o.dump_units[2];
    row.counts = state.grid.rows();
    row_written = append_beside(*series, row);
  }
  // The index line is completed only with its grid: a grid that cannot be
  // written (or for want of memory) leaves both files as they were, and the
  // dump's row says so. Either failure, or the row's, stops the run.
  std::optional<Error> failed;
  DumpStatus instead = DumpStatus::files_not_written;
  try {
    if (o.grid_file) {
      o.index_file->write(index_line(o.time, o.time_ff, job.grid_name));
      o.grid_file->write(state.grid.text());
      o.grid_file->close();
      o.index_file->close();
      clock.lap("grid write");
    }
  } catch (const std::bad_alloc&) {
    failed = Error(FaultKind::out_of_memory, "cannot allocate the memory to write its grid file");
    instead = DumpStatus::out_of_memory;
  } catch (const Error& e) {
    if (e.kind != FaultKind::output_failed) throw;
    failed = e;
  }
  try {
    if (row_written.valid()) {
      row_written.get();
      if (failed) series->amend_last(instead);
      clock.lap("series");
    }
  } catch (const Error& e) {  // the series is left as it was: said after the grid's failure
    failed = Error(failed ? failed->kind : FaultKind::output_failed,
                   failed ? std::string(failed->what()) + "; " + e.what() : std::string(e.what()));
  }
  if (failed) {
    if (failed->kind == FaultKind::out_of_memory) report.out_of_memory(k, failed->what());
    else report.output_failed(k, failed->what());
    return {exit_usage, false};
  }
  return {complete ? exit_ok : exit_dump_fault, true};
}

namespace {

// What the series file records of the whole run.
SeriesRun series_run(const Answers& answers) {
  SeriesRun run;
  run.version = PHASEGRID_VERSION;
  run.answers = answers;
  run.grid_umass = code_umass;
  run.grid_udist = code_udist;
  run.grid_utime = code_unit_time;
  run.density_to_n = density_to_number_density;
  return run;
}

// Completes the series file of a run that ended with `status`, or that
// `signal` stopped (0: none); returns the run's exit status.
int finish_series(SeriesFile& series, const std::string& path, int status, int signal,
                  const RunReport& report) {
  try {
    if (!series.writing()) return status;  // dropped by a failure, which was said
    // A run stopped before its first dump was done writes no empty series.
    if (series.rows() == 0 && (signal != 0 || status != exit_ok)) {
      tell(fmt::format("no dump was done: the series file \"{}\" is left as it was", path));
      return status;
    }
    if (signal != 0) {
      series.note_interrupted(fmt::format("{} in dump {} of {}", signal_name(signal), series.rows() + 1,
                                          report.dumps()));
    }
    series.close();
  } catch (const Error& e) {
    tell(e.what());
    return exit_status(e);
  }
  return status;
}

// Every question is answered before the first dump: what the run will read
// is known, and the reader copies nothing else. PHASEGRID_READ_ALL=1 stores
// every array all the same.
bool read_all() {
  const char* all = std::getenv("PHASEGRID_READ_ALL");
  return all != nullptr && std::string_view(all) == "1";
}

// The dumps of the plan, one at a time; returns the exit status.
int process_dumps(const RunPlan& plan, RunReport& report, SeriesFile* series, Trace& trace) {
  const bool all = read_all();
  std::optional<RunState> made;
  try {
    made.emplace(trace, all ? Wanted::everything() : wanted_for_run(plan.answers.centre_mode));
    if (!plan.options.series_only) made->grid.reserve_text();
  } catch (const std::bad_alloc&) {
    throw Error(FaultKind::out_of_memory, "cannot allocate the memory of the run's grids, before its first dump");
  }
  RunState& state = *made;
  std::size_t last = plan.jobs.size();  // the last dump read
  for (std::size_t k = 0; k < plan.jobs.size(); ++k)
    if (plan.jobs[k].not_readable == 0 && !plan.jobs[k].not_a_dump) last = k;
  int status = exit_ok;
  for (std::size_t k = 0; k < plan.jobs.size(); ++k) {
    // No dump after the last one can show its identifiers, or find its
    // positions in the store: the centring reads them from the file.
    if (!all && k == last) {
      state.wanted.identifiers = false;
      state.wanted.positions_left_in_file = state.wanted.positions;
    }
    DumpOutcome outcome = process_one(plan, k, state, report);
    const Settled settled = settle(outcome, plan, k, state, report, series);
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
  std::string series_path;
  catch_stop_signals();
  set_default_loop_schedule();
  try {
    const RunPlan& plan = make_plan();
    std::vector<std::string> names;
    for (const DumpJob& job : plan.jobs) names.push_back(job.label);
    report.emplace(std::move(names));
    // Every answer is in: nothing is read or written before the outputs are
    // known to be safe to write, the threads are running and the series file
    // is made (one that cannot be written stops the run at once).
    std::vector<DumpOutputs> outputs;
    for (const DumpJob& job : plan.jobs) {
      outputs.push_back({job.path, job.grid_name, {}});
      if (!plan.options.series_only) outputs.back().files = {job.grid_path, job.index_path};
    }
    check_outputs(outputs, plan.options.series_path);
    start_loop_threads();
    series_path = plan.options.series_path;
    if (!series_path.empty()) series.emplace(series_path, series_run(plan.answers));
    stop_gently();
    status = process_dumps(plan, *report, series ? &*series : nullptr, trace);
  } catch (const Error& e) {
    if (e.kind == FaultKind::interrupted) {
      signal = static_cast<int>(e.numbers[0]);
    } else {
      tell(e.what());
    }
    status = exit_status(e);
  } catch (const std::bad_alloc&) {
    tell("cannot allocate memory");
    status = exit_usage;
  } catch (const std::exception& e) {
    // (A system error the run did not foresee: said, not an abort.)
    tell(e.what());
    status = exit_usage;
  }
  if (series) status = finish_series(*series, series_path, status, signal, *report);
  if (report) report->summary();
  // The console is the run's report: losing it is a failure, not a success.
  status = finish_standard_output("phasegrid", status);
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
