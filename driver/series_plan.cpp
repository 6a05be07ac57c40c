#include "driver/series_plan.hpp"

#include <sys/stat.h>

#include <cstring>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/printable.hpp"
#include "base/system.hpp"
#include "base/units.hpp"
#include "series/series_join.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace pg {

namespace {

[[noreturn]] void refuse(const std::string& line) { throw Error(FaultKind::output_refused, line); }

std::string dumps(std::size_t n) { return fmt::format("{} dump{}", n, n == 1 ? "" : "s"); }

// Whether `row` of a series is the dump of `job`: the same file, however
// named. A row of an earlier phasegrid, which does not record the file,
// names it by its path as given, taken from here; so is a dump that cannot
// be found now.
bool same_dump(const SeriesDump& row, const DumpJob& job) {
  if (row.dump == job.path) return true;
  if (!row.dump_path.empty()) return row.dump_path == job.real_path;
  const auto real = real_path(row.dump);
  return real && !job.real_path.empty() && *real == job.real_path;
}

// Whether the row holds the dump complete, as its file still is; or holds
// it complete while it cannot be read now (skipped with -k): its row is
// kept rather than replaced by nothing.
bool held_complete(const SeriesDump& row, const DumpJob& job) {
  if (row.status != DumpStatus::complete) return false;
  if (job.not_readable != 0) return true;
  return !row.dump_path.empty() && job.size >= 0 && row.dump_size == job.size && row.dump_mtime == job.mtime;
}

// Without --append: the series at `path` is replaced only when every dump it
// holds is one the run names (or with --replace).
void check_replaced(const RunPlan& plan) {
  const std::string& path = plan.options.series_path;
  std::vector<SeriesDump> rows;
  try {
    rows = held_dumps(path);
  } catch (const Error& e) {
    refuse(fmt::format("--h5 {}: which dumps it holds cannot be told ({}); add --replace to replace it",
                       quoted(path), e.what()));
  }
  std::size_t others = 0;
  for (const SeriesDump& row : rows) {
    bool named = false;
    for (const DumpJob& job : plan.jobs) named = named || same_dump(row, job);
    others += named ? 0 : 1;
  }
  if (others > 0)
    refuse(fmt::format("--h5 {} holds {}, {} of which this run does not name; add --append to add the run's dumps "
                       "to it, or --replace to replace it",
                       quoted(path), dumps(rows.size()), others));
}

// The earlier series must be of the run's grid and answers.
void check_joinable(const SeriesReader& earlier, const SeriesRun& run) {
  const std::string& path = earlier.path();
  if (const char* bounds = bounds_difference(earlier.axes()))
    refuse(fmt::format("--append: the series file {} is of another grid (its {} are not this phasegrid's); name "
                       "another series file",
                       quoted(path), bounds));
  if (const auto d = run_difference(earlier.run(), run)) {
    if (!is_answer(*d))
      refuse(fmt::format("--append: the series file {} is of another grid (its {} is {}, this phasegrid's {}); "
                         "name another series file",
                         quoted(path), d->what, d->one, d->other));
    refuse(fmt::format("--append: the series file {} was made with {} {}, and this run has {}; give the answers "
                       "it was made with, or name another series file",
                       quoted(path), d->what, d->one, d->other));
  }
}

// How the file came to be: the earlier series' story, then this run.
std::string history(const SeriesReader& earlier, std::size_t reading) {
  std::string h = earlier.run().history.empty()
                      ? fmt::format("phasegrid {}: a run of {}", earlier.run().version, dumps(earlier.rows().size()))
                      : earlier.run().history;
  if (!earlier.interrupted().empty()) h += fmt::format(" (interrupted: {})", earlier.interrupted());
  return h + fmt::format("\nphasegrid {}: {} added or read again (--append)", PHASEGRID_VERSION, dumps(reading));
}

// Row k of the earlier series into `series`: its counts and diagrams read
// and checked, then copied as stored where they are stored as this
// phasegrid stores them (nothing to compress again), written from what was
// read otherwise.
void carry(SeriesReader& earlier, std::size_t k, SeriesFile& series, SeriesCells& cells) {
  series.append_stored(earlier.read_row(k, cells), cells.stored);
}

}  // namespace

SeriesRun series_run(const RunPlan& plan) {
  SeriesRun run;
  run.version = PHASEGRID_VERSION;
  run.answers = plan.answers;
  run.diagrams = plan.diagrams;
  run.grid_umass = code_umass;
  run.grid_udist = code_udist;
  run.grid_utime = code_unit_time;
  run.density_to_n = density_to_number_density;
  return run;
}

SeriesPlan plan_series(RunPlan& plan, SeriesFile& series) {
  SeriesPlan sp;
  const RunOptions& o = plan.options;
  if (!file_status(o.series_path)) return sp;  // a new file (what cannot be looked at was refused)
  if (!o.append) {
    if (!o.replace) check_replaced(plan);
    return sp;
  }
  SeriesReader& earlier = sp.earlier.emplace(o.series_path);
  check_joinable(earlier, series_run(plan));
  const std::vector<SeriesDump>& rows = earlier.rows();

  // Which rows each dump of the run has, and whether one holds it complete.
  std::vector<bool> dropped(rows.size(), false), held(plan.jobs.size(), false);
  std::vector<std::vector<std::size_t>> replaces(plan.jobs.size());
  std::size_t again = 0;
  for (std::size_t j = 0; j < plan.jobs.size(); ++j) {
    std::size_t keep = rows.size();
    for (std::size_t r = 0; r < rows.size(); ++r)
      if (!dropped[r] && same_dump(rows[r], plan.jobs[j]) && held_complete(rows[r], plan.jobs[j])) keep = r;
    held[j] = keep < rows.size();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r == keep || dropped[r] || !same_dump(rows[r], plan.jobs[j])) continue;
      dropped[r] = true;
      if (!held[j]) replaces[j].push_back(r);
    }
    again += !held[j] && !replaces[j].empty() ? 1 : 0;
  }
  std::vector<DumpJob> reading;
  std::size_t kept = 0;  // dumps held complete: not read again
  for (std::size_t j = 0; j < plan.jobs.size(); ++j) {
    if (held[j] && plan.jobs[j].not_readable != 0) {
      ++sp.kept_unreadable;
      tell(fmt::format("dump {} is not readable: {}; the series keeps the complete row it holds of it",
                       quoted(plan.jobs[j].path), std::strerror(plan.jobs[j].not_readable)));
    }
    if (held[j]) {
      ++kept;
      continue;
    }
    reading.push_back(std::move(plan.jobs[j]));
    sp.replaces.push_back(std::move(replaces[j]));
  }
  plan.jobs = std::move(reading);
  sp.appending = true;
  std::vector<std::string> parts;
  auto part = [&](std::size_t count, const char* one, const char* many) {
    if (count > 0) parts.push_back(fmt::format("{} {}", count, count == 1 ? one : many));
  };
  part(kept, "is held complete and unchanged and is not read again",
       "are held complete and unchanged and are not read again");
  part(again, "is read again", "are read again");
  part(plan.jobs.size() - again, "is new", "are new");
  // (A run with nothing to read says so as it ends.)
  if (!plan.jobs.empty())
    tell(fmt::format("--append: {} holds {}; of the run's {}, {}", quoted(o.series_path), dumps(rows.size()),
                     dumps(plan.jobs.size() + kept), fmt::join(parts, ", ")));

  series.set_history(history(earlier, plan.jobs.size()));
  series.order_by_time();
  SeriesCells cells;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (dropped[r]) continue;
    carry(earlier, r, series, cells);
  }
  earlier.close();
  return sp;
}

void put_back_rows(SeriesPlan& sp, SeriesFile& series, std::size_t first_not_done) {
  if (!sp.earlier) return;
  SeriesCells cells;
  for (std::size_t j = first_not_done; j < sp.replaces.size(); ++j)
    for (const std::size_t r : sp.replaces[j]) carry(*sp.earlier, r, series, cells);
  sp.earlier->close();
}

}  // namespace pg
