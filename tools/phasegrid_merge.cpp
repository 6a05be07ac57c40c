// phasegrid-merge: one series file from the series files of runs over the
// same grid with the same answers (one process per dump, say), its dumps in
// time order.
//
// Every input is read and checked, and compared with the first, before OUT
// is begun; OUT is then written through the run's own SeriesFile, so that
// the merged file is exactly what one run writes, and replaces OUT only when
// whole. One dump's counts are held at a time, and one input is open at a
// time.

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/interrupt.hpp"
#include "base/printable.hpp"
#include "base/system.hpp"
#include "series/output_file.hpp"
#include "series/series_file.hpp"
#include "series/series_join.hpp"
#include "series/series_reader.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace {

constexpr std::string_view usage =
    "Usage: phasegrid-merge [-h | --help | --version] OUT IN...\n"
    "\n"
    "Joins the series files IN... (phasegrid --h5), written by separate runs\n"
    "over the same grid with the same answers, into one series file OUT that\n"
    "holds every dump of every IN in time order: dumps of the same time in the\n"
    "order of the INs, and dumps without a time (those with no grid) last. OUT\n"
    "is a series file like one run's, its history naming the INs, and says it\n"
    "was interrupted when an IN does.\n"
    "\n"
    "Refused, naming the files and what differs: INs whose answers (centre,\n"
    "centre_position, sink_number, rotate, frequency, diagrams) or grid\n"
    "(grid_units, density_to_n, cell bounds) differ, and a dump that is in\n"
    "two INs.\n"
    "\n"
    "OUT is written beside its name and replaces it only when whole, so it\n"
    "may be one of the INs; an existing OUT that is not a series file is never\n"
    "replaced.\n"
    "\n"
    "Exit status: 0 merged; 2 bad usage, an IN refused or unreadable, or OUT\n"
    "not written (OUT is then as it was).\n"
    "\n"
    "  -h, --help  this text\n"
    "  --version   the version\n";

using pg::quoted;

[[noreturn]] void refuse(const std::string& line) { throw pg::Error(pg::FaultKind::input_refused, line); }

// Refuses `other` when what it shares with the run of `first` differs.
void check_same_run(const pg::SeriesReader& first, const pg::SeriesReader& other) {
  if (const auto d = pg::run_difference(first.run(), other.run()))
    refuse(fmt::format("{} and {} are not series of the same run: {} is {} in the one and {} in the other",
                       quoted(first.path()), quoted(other.path()), d->what, d->one, d->other));
}

// Refuses `in` when its cells are not this phasegrid's: the merged file
// records this phasegrid's bounds.
void check_grid(const pg::SeriesReader& in) {
  if (const char* what = pg::bounds_difference(in.axes()))
    refuse(fmt::format("{} has cell bounds ({}) other than this phasegrid's; merge it with the phasegrid that "
                       "wrote it (version {})",
                       quoted(in.path()), what, in.run().version));
}

// A dump of an input: (input, row).
using Place = std::pair<std::size_t, std::size_t>;

// Every row of every input in time order: those without a time last, ties
// in the order of the inputs and of their rows. A dump in two inputs is
// refused.
std::vector<Place> time_order(const std::vector<pg::SeriesReader>& inputs) {
  std::vector<Place> order;
  std::map<std::string, std::size_t> input_of;
  for (std::size_t i = 0; i < inputs.size(); ++i)
    for (std::size_t k = 0; k < inputs[i].rows().size(); ++k) {
      const std::string& dump = inputs[i].rows()[k].dump;
      const auto [at, added] = input_of.emplace(dump, i);
      if (!added && at->second != i)
        refuse(fmt::format("dump {} is in both {} and {}; merge each dump once", quoted(dump),
                           quoted(inputs[at->second].path()), quoted(inputs[i].path())));
      order.emplace_back(i, k);
    }
  std::vector<double> times;
  for (const auto& [i, k] : order) times.push_back(inputs[i].rows()[k].time);
  std::vector<Place> sorted;
  for (const std::size_t j : pg::time_order(times)) sorted.push_back(order[j]);
  order = std::move(sorted);
  return order;
}

// The merged file's history: this merge, then what the inputs said of
// themselves.
std::string history(const std::vector<pg::SeriesReader>& inputs) {
  std::vector<std::string> names;
  for (const pg::SeriesReader& in : inputs) names.push_back(quoted(in.path()));
  std::string h = fmt::format("phasegrid-merge {}: merged from {}", PHASEGRID_VERSION, fmt::join(names, ", "));
  for (const pg::SeriesReader& in : inputs)
    if (!in.run().history.empty()) h += fmt::format("\n{}: {}", quoted(in.path()), in.run().history);
  return h;
}

int merge(const std::string& out_path, const std::vector<std::string>& in_paths) {
  if (const std::string why = pg::series_refusal(out_path); !why.empty())
    throw pg::Error(pg::FaultKind::output_refused,
                    fmt::format("OUT {}: {}, so it is not replaced; name a new file, or an earlier series file",
                                quoted(out_path), why));
  // No IN is where OUT's new text is written until it is complete.
  if (const auto unfinished = pg::file_status(pg::unfinished_name(out_path)))
    for (const std::string& path : in_paths)
      if (const auto input = pg::file_status(path); input && pg::same_file(*input, *unfinished))
        refuse(fmt::format("{}, where the new text of OUT is written until it is complete, is IN {}; rename it",
                           quoted(pg::unfinished_name(out_path)), quoted(path)));
  std::vector<pg::SeriesReader> inputs;
  for (const std::string& path : in_paths) {
    inputs.emplace_back(path);
    check_grid(inputs.back());
    check_same_run(inputs.front(), inputs.back());
  }
  const std::vector<Place> order = time_order(inputs);

  pg::SeriesRun run = inputs.front().run();
  run.version = PHASEGRID_VERSION;
  run.history = history(inputs);
  std::vector<std::string> interrupted;
  for (const pg::SeriesReader& in : inputs)
    if (!in.interrupted().empty()) {
      pg::tell(fmt::format("{} was interrupted ({}): the merged file says so", quoted(in.path()), in.interrupted()));
      interrupted.push_back(fmt::format("{}: {}", quoted(in.path()), in.interrupted()));
    }

  pg::SeriesFile out(out_path, run);
  pg::SeriesCells cells;
  std::size_t open = inputs.size();  // the input holding a file open
  for (const auto& [i, k] : order) {
    if (open != i && open < inputs.size()) inputs[open].close();
    open = i;
    // The counts and diagrams, once read and checked, copied as stored
    // where they are stored as a run stores them: nothing to compress again.
    out.append_stored(inputs[i].read_row(k, cells), cells.stored);
  }
  if (open < inputs.size()) inputs[open].close();
  if (!interrupted.empty()) out.note_interrupted(fmt::format("{}", fmt::join(interrupted, "; ")));
  out.close();
  fmt::print("{}: {} dump{} from {} series file{}\n", out_path, order.size(), order.size() == 1 ? "" : "s",
             inputs.size(), inputs.size() == 1 ? "" : "s");
  return pg::exit_ok;
}

int merge_command(int argc, char** argv) {
  std::vector<std::string> files;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && (arg == "--help" || arg == "-h")) {
      fmt::print("{}", usage);
      return pg::exit_ok;
    }
    if (!options_done && arg == "--version") {
      fmt::print("phasegrid-merge {}\n", PHASEGRID_VERSION);
      return pg::exit_ok;
    }
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && arg.size() > 1 && arg.front() == '-') {
      pg::tell(fmt::format("unknown option \"{}\" (see phasegrid-merge --help)", arg));
      return pg::exit_usage;
    }
    files.emplace_back(arg);
  }
  if (files.size() < 2) {
    fmt::print(stderr, "{}", usage);
    return pg::exit_usage;
  }
  // A signal ends the merge at once, removing OUT's unfinished file.
  pg::catch_stop_signals();
  return merge(files.front(), {files.begin() + 1, files.end()});
}

}  // namespace

int main(int argc, char** argv) {
  return pg::run_program("phasegrid-merge", merge_command, argc, argv);
}
