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
#include "base/interrupt.hpp"
#include "driver/centring.hpp"
#include "driver/output_file.hpp"
#include "driver/output_guard.hpp"
#include "driver/particle_loops.hpp"
#include "driver/phase_grid.hpp"
#include "driver/progress.hpp"
#include "base/stop.hpp"
#include "driver/rotation.hpp"
#include "driver/run_report.hpp"
#include "driver/series_file.hpp"
#include "dump/fault.hpp"
#include "dump/rdump.hpp"
#include "format/tags.hpp"
#include "state/store.hpp"
#include "state/units.hpp"

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
  void restart() { last_ = std::chrono::steady_clock::now(); }

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

int process_dumps(const Answers& a, RunReport& report) {
  return process_dumps(a, dialogue_jobs(a), report, RunOptions{});
}

namespace {

// The series file's row of a dump that has no grid: not readable (skipped:
// no grid file is written, and none is named), or stopped by a fault (its
// grid file is left empty). Its time is not known.
SeriesDump row_without_grid(const DumpJob& job, DumpStatus status) {
  SeriesDump row;
  row.dump = job.path;
  row.grid_file = status == DumpStatus::could_not_be_opened ? "" : job.grid_name;
  row.status = status;
  row.time = row.time_ff = std::nan("");
  return row;
}

// The row is written (compressed, mostly) on a thread of its own while the
// grid's text is made and written, which only reads the counts; the stop
// signals stay with the main thread. Where no thread can be had, it is
// written here.
std::future<void> append_beside(SeriesFile& series, const SeriesDump& row) {
  try {
    const StopSignalsBlocked held;
    return std::async(std::launch::async, [&series, &row] { series.append(row); });
  } catch (const std::system_error&) {
    series.append(row);
    return {};
  }
}

}  // namespace

int process_dumps(const Answers& a, const std::vector<DumpJob>& jobs, RunReport& report,
                  const RunOptions& options, SeriesFile* series) {
  int status = exit_ok;
  // Every question is answered before the first dump: what the run will
  // read is known, and the reader copies nothing else. PHASEGRID_READ_ALL=1
  // stores every array all the same.
  const char* all = std::getenv("PHASEGRID_READ_ALL");
  const bool read_all = all != nullptr && std::string_view(all) == "1";
  Wanted wanted = read_all ? Wanted::everything() : wanted_for_run(a.centre_mode);
  StageClock clock;
  bool dust_supplied = false;  // by an earlier dump of the run
  std::size_t last = jobs.size();  // the last dump read
  for (std::size_t k = 0; k < jobs.size(); ++k)
    if (jobs[k].not_readable == 0) last = k;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    const DumpJob& job = jobs[k];
    bool row_appended = false;
    // Memory that cannot be had stops the run: the dump's files stay as they
    // were, and its row says so.
    auto out_of_memory = [&](const std::string& what) {
      report.out_of_memory(k, what);
      if (series != nullptr && !row_appended) series->append(row_without_grid(job, DumpStatus::out_of_memory));
      throw Stop{exit_usage, {}};
    };
    try {
      throw_if_stopped();
      if (job.not_readable != 0) {
        report.skipped_not_readable(k, job.not_readable);
        if (series != nullptr) series->append(row_without_grid(job, DumpStatus::could_not_be_opened));
        status = exit_dump_fault;
        continue;
      }
      // No dump after the last one can show its identifiers.
      if (!read_all && k == last) wanted.identifiers = false;
      const std::string& grid_name = job.grid_name;
      // Both files are replaced only once their new text is complete.
      OutputFile index_file(job.index_path);
      ReadProgress progress(job.label, k + 1, jobs.size());  // outlives `dump`, which holds its hook
      DumpFile dump = DumpFile::open(job.path);
      dump.set_progress_hook(progress.hook());
      if (dump.open_error() != 0) report.could_not_be_opened(k, dump.open_error());
      OutputFile grid_file(job.grid_path);
      put_line(grid_name);

      clock.restart();
      int read_status = 0;
      ReadNotes notes;
      try {
        notes = rdump(dump, read_status, {store, wanted});
      } catch (const DumpFault& fault) {
        progress.finish();
        // The fault's line closes the console; the dump's files are left
        // empty, and the run stops with the status of a damaged dump (the
        // one place a fault meets an exit status).
        put_line(" " + fault_text(fault));
        if (fault.kind == FaultKind::npart_beyond_store)
          tell(fmt::format("dump \"{}\" holds {} particles, more than the {} the store holds", job.label,
                           static_cast<std::int64_t>(fault.numbers[0]),
                           static_cast<std::int64_t>(fault.numbers[1])));
        grid_file.leave_empty();
        index_file.leave_empty();
        if (series != nullptr) series->append(row_without_grid(job, DumpStatus::stopped_by_fault));
        if (options.keep_going) {
          // The next dump is read with the store as the fault left it.
          report.fault_ended_dump(k);
          status = exit_dump_fault;
          continue;
        }
        report.stopped_by_fault(k);
        throw Stop{exit_dump_fault, {}};
      }
      progress.finish();
      if (read_status != 0) {
        status = exit_dump_fault;
        if (dump.open_error() == 0) report.ended_early(k, dump.offset());
      }
      clock.lap("read");

      say("Units are ", unitsin(1), unitsin(2));
      say("Time is ", gtime.gt);
      unit();
      say(units.umass, units.udist, units.unit_time);
      if (read_status == 0) {
        report.units(k, unitsin(1), unitsin(2), units.umass, units.udist);
        if (!notes.dust_temperature) report.no_dust_temperature(k, dust_supplied);
      }
      dust_supplied = dust_supplied || notes.dust_temperature;
      undo_rotation(a.rotate_mode, a.rotation_frequency, wanted.positions, wanted.velocities);
      clock.lap("rotation");

      const double time = gtime.gt;
      const double ratio = time / free_fall_time(polyk2.rhozero);

      apply_centring(a.centre_mode, a.sink_number, a.centre_position);
      clock.lap("centring");
      const OutsideGrid outside = bin_phase_grid();
      clock.lap("binning");
      report.outside_grid(k, outside);
      SeriesDump row;
      std::future<void> row_written;  // joins on leaving
      if (series != nullptr) {
        row.dump = job.path;
        row.grid_file = grid_name;
        row.status = dump.open_error() != 0 ? DumpStatus::could_not_be_opened
                     : read_status != 0     ? DumpStatus::ended_early
                                            : DumpStatus::complete;
        row.time = time;
        row.time_ff = ratio;
        row.npart = part.npart;
        for (const auto& cells : count_grid)
          for (const std::int32_t n : cells) row.binned += n;
        row.outside = outside;
        row.dump_umass = unitsin(1);
        row.dump_udist = unitsin(2);
        row.dump_utime = unitsin(3);
        row.counts = count_grid;
        row_appended = true;
        row_written = append_beside(*series, row);
      }
      // The index line is completed only with its grid: a grid that cannot
      // be written leaves both files as they were.
      index_file.write(index_line(time, ratio, grid_name));
      grid_file.write(phase_grid_text());
      grid_file.close();
      index_file.close();
      clock.lap("grid write");
      if (row_written.valid()) {
        row_written.get();  // a row that could not be written stops the run here
        clock.lap("series");
      }
    } catch (const Interrupted& interrupted) {
      report.interrupted(k, interrupted.signal);
      throw;
    } catch (const StoreExhausted& e) {
      out_of_memory(fmt::format("cannot reserve memory for {} particles ({} MB in all): {}", e.particles,
                                (e.bytes + 999999) / 1000000, std::strerror(e.error)));
    } catch (const std::bad_alloc&) {
      out_of_memory("cannot allocate the memory the run needs besides the store's");
    }
  }
  return status;
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
    if (signal != 0) {
      if (series.rows() == 0) {
        tell(fmt::format("no dump was done: the series file \"{}\" is left as it was", path));
        return status;
      }
      series.note_interrupted(fmt::format("{} in dump {} of {}", signal_name(signal), series.rows() + 1,
                                          report.dumps()));
    }
    series.close();
  } catch (const Stop& stop) {
    tell(stop.why);
    return stop.status;
  }
  return status;
}

// The dialogue's answers (read from `in`) or the given ones, then the dumps.
int run(std::istream* in, const Answers* given, const std::vector<DumpJob>* given_jobs,
        const RunOptions& options, const std::string& output_dir) {
  int status;
  int signal = 0;
  std::optional<RunReport> report;
  std::optional<SeriesFile> series;
  catch_stop_signals();
  set_default_loop_schedule();
  try {
    Answers answers;
    std::vector<DumpJob> jobs;
    if (in != nullptr) {
      FreeFormatInput input(*in);
      answers = ask_questions(input);
      jobs = dialogue_jobs(answers, output_dir);
    } else {
      answers = *given;
      jobs = *given_jobs;
    }
    std::vector<std::string> names;
    for (const DumpJob& job : jobs) names.push_back(job.label);
    report.emplace(std::move(names));
    // Every answer is in: nothing is read or written before the outputs are
    // known to be safe to write, the threads are running and the series file
    // is made (one that cannot be written stops the run at once).
    check_outputs(jobs, options.series_path);
    start_loop_threads();
    if (!options.series_path.empty()) series.emplace(options.series_path, series_run(answers));
    stop_gently();
    status = process_dumps(answers, jobs, *report, options, series ? &*series : nullptr);
  } catch (const Stop& stop) {
    if (!stop.why.empty()) tell(stop.why);
    status = stop.status;
  } catch (const Interrupted& interrupted) {
    signal = interrupted.signal;
    status = 128 + signal;
  } catch (const std::bad_alloc&) {
    tell("cannot allocate memory");
    status = exit_usage;
  }
  if (series) status = finish_series(*series, options.series_path, status, signal, *report);
  if (report) report->summary();
  // The console is the run's report: losing it is a failure, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fmt::print(stderr, "phasegrid: cannot write standard output: {}\n", std::strerror(errno));
    if (status == exit_ok) status = exit_usage;
  }
  // Stopped by a signal: ended by it, as the caller expects.
  if (signal != 0) die_by_signal(signal);
  return status;
}

}  // namespace

int phasegrid_main(std::istream& in) { return run(&in, nullptr, nullptr, RunOptions{}, "."); }

int phasegrid_main(std::istream& in, const RunOptions& options, const std::string& output_dir) {
  return run(&in, nullptr, nullptr, options, output_dir);
}

int run_dumps(const Answers& answers, const std::vector<DumpJob>& jobs, const RunOptions& options) {
  return run(nullptr, &answers, &jobs, options, ".");
}

}  // namespace pg
