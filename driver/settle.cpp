// What each outcome of a dump leaves (settle), and the dump's series row.
#include <fmt/format.h>

#include <cmath>
#include <future>
#include <new>
#include <optional>
#include <system_error>

#include "base/console.hpp"
#include "base/interrupt.hpp"
#include "base/units.hpp"
#include "driver/dump_steps.hpp"
#include "driver/index_line.hpp"
#include "driver/run_report.hpp"

namespace pg {

namespace {

// What every step of settle() is handed.
struct Context {
  const RunPlan& plan;
  std::size_t k;
  RunState& state;
  RunReport& report;
  SeriesFile* series;
  const DumpJob& job() const { return plan.jobs[k]; }
};

// The dump's series row: with the grid of a dump that was read, or without
// one (skipped, stopped by a fault or for want of memory: its time is not
// known, and a skipped dump names no grid file, as none is written). With
// the series only, no grid file is named.
SeriesDump series_row(const Context& c, DumpStatus status, const Read* read = nullptr) {
  const DumpJob& job = c.job();
  SeriesDump row;
  row.dump = job.path;
  row.dump_path = job.real_path;
  row.dump_size = job.size;
  row.dump_mtime = job.mtime;
  row.status = status;
  const bool skipped = job.not_readable != 0 || job.not_a_dump;
  row.grid_file = skipped || c.plan.options.series_only ? "" : job.grid_name;
  if (read == nullptr) {
    row.time = row.time_ff = std::nan("");
    return row;
  }
  const PhaseGrid& grid = c.state.grid;
  row.time = read->time;
  row.time_ff = read->time_ff;
  row.npart = read->npart;
  row.binned = grid.total();
  row.inactive = grid.inactive();
  row.centre = read->centre;
  row.outside = read->outside;
  row.dump_umass = read->units[0];
  row.dump_udist = read->units[1];
  row.dump_utime = read->units[2];
  row.counts = grid.rows();
  for (std::size_t d = 0; d < read->diagrams.size(); ++d) {
    const bool binned = read->diagrams[d] == DiagramStatus::binned;
    const Diagrams& all = c.state.diagrams;
    row.diagrams.push_back({read->diagrams[d], binned && all.specs()[d].counts() ? all.counts(d) : nullptr,
                            binned && !all.specs()[d].counts() ? all.values(d) : nullptr});
  }
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

Settled settle_one(Skipped& s, const Context& c) {
  if (s.error == 0) c.report.skipped_not_a_dump(c.k);
  else c.report.skipped_not_readable(c.k, s.error);
  if (c.series != nullptr)
    c.series->append(series_row(c, s.error == 0 ? DumpStatus::not_a_dump : DumpStatus::could_not_be_opened));
  return {exit_dump_fault, true};
}

Settled settle_one(Interrupted& i, const Context& c) {
  c.report.interrupted(c.k, i.signal);
  throw Error(FaultKind::interrupted, -1, {i.signal}, signal_name(i.signal));
}

// The run stops: the dump's files stay as they were, and its row says so.
Settled settle_one(OutOfMemory& m, const Context& c) {
  c.report.out_of_memory(c.k, m.what);
  if (c.series != nullptr) c.series->append(series_row(c, DumpStatus::out_of_memory));
  return {exit_usage, false};
}

// The fault's line closes the console; the dump's files are left empty, and
// the run stops with the status of a damaged dump, or goes on with the store
// as the fault left it.
Settled settle_one(Faulted& f, const Context& c) {
  c.state.trace.line(" " + fault_text(f.fault));
  if (f.not_a_dump) c.report.not_a_dump(c.k);
  if (f.fault.kind == FaultKind::npart_beyond_store)
    tell(fmt::format("dump \"{}\" holds {} particles, more than the {} the store holds", c.job().label,
                     static_cast<std::int64_t>(f.fault.numbers[0]), static_cast<std::int64_t>(f.fault.numbers[1])));
  if (f.files.grid) f.files.grid->leave_empty();
  if (f.files.index) f.files.index->leave_empty();
  if (c.series != nullptr) c.series->append(series_row(c, f.not_a_dump ? DumpStatus::not_a_dump : f.status));
  if (c.plan.options.keep_going) {
    c.report.fault_ended_dump(c.k, f.fault);
    return {exit_dump_fault, true};
  }
  c.report.stopped_by_fault(c.k, f.fault);
  return {exit_dump_fault, false};
}

// What a dump that was read says on standard error.
void report_read(const Read& r, const Context& c) {
  if (r.status == DumpStatus::ended_early) c.report.ended_early(c.k, r.end_offset);
  if (r.status == DumpStatus::not_a_dump) c.report.not_a_dump(c.k);
  if (r.status == DumpStatus::complete) {
    c.report.units(c.k, r.units[0], r.units[1], code_umass, code_udist);
    if (!r.dust_temperature) c.report.no_dust_temperature(c.k, c.state.dust_supplied);
  }
  c.state.dust_supplied = c.state.dust_supplied || r.dust_temperature;
  c.report.outside_grid(c.k, r.outside);
}

// The dump's grid and index files and its row. The index line is completed
// only with its grid: a grid that cannot be written (or for want of memory)
// leaves both files as they were, and the dump's row says so. Either
// failure, or the row's, stops the run.
Settled settle_one(Read& r, const Context& c) {
  report_read(r, c);
  StageClock clock(c.plan.options.timing);
  const SeriesDump row = c.series != nullptr ? series_row(c, r.status, &r) : SeriesDump{};
  std::future<void> row_written;  // joins on leaving
  if (c.series != nullptr) row_written = append_beside(*c.series, row);
  std::optional<Error> failed;
  DumpStatus instead = DumpStatus::files_not_written;
  try {
    if (r.files.grid) {
      r.files.index->write(index_line(r.time, r.time_ff, c.job().grid_name));
      r.files.grid->write(c.state.grid.text());
      r.files.grid->close();
      r.files.index->close();
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
      if (failed) c.series->amend_last(instead);
      clock.lap("series");
    }
  } catch (const Error& e) {  // the series is left as it was: said after the grid's failure
    failed = Error(failed ? failed->kind : FaultKind::output_failed,
                   failed ? std::string(failed->what()) + "; " + e.what() : std::string(e.what()));
  }
  if (failed) {
    if (failed->kind == FaultKind::out_of_memory) c.report.out_of_memory(c.k, failed->what());
    else c.report.output_failed(c.k, failed->what());
    return {exit_usage, false};
  }
  return {r.status == DumpStatus::complete ? exit_ok : exit_dump_fault, true};
}

}  // namespace

Settled settle(DumpOutcome& outcome, const RunPlan& plan, std::size_t k, RunState& state, RunReport& report,
               SeriesFile* series) {
  const Context c{plan, k, state, report, series};
  return std::visit([&](auto& o) { return settle_one(o, c); }, outcome);
}

}  // namespace pg
