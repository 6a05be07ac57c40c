#include "driver/run_report.hpp"

#include "base/console.hpp"
#include "base/interrupt.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace pg {

const char* const not_a_dump_why = "is not a dump: it does not start with a dump's identification record";

RunReport::RunReport(std::vector<std::string> dumps, std::string series, bool appending)
    : dumps_(std::move(dumps)), series_(std::move(series)), appending_(appending), problems_(dumps_.size()) {}

void RunReport::problem(std::size_t k, const char* what) { problems_[k].push_back(what); }

void RunReport::could_not_be_opened(std::size_t k, int error) {
  problem(k, "could not be opened");
  tell(fmt::format("dump \"{}\" could not be opened: {}; its grid and index line hold values left by "
                   "earlier dumps",
                   dumps_[k], std::strerror(error)));
}

void RunReport::ended_early(std::size_t k, std::int64_t offset) {
  problem(k, "ended early");
  tell(fmt::format("dump \"{}\" ended early, at byte {}; its grid holds values left by earlier dumps "
                   "for what it did not supply",
                   dumps_[k], offset));
}

void RunReport::no_dust_temperature(std::size_t k, bool earlier) {
  problem(k, "no dust temperature");
  tell(fmt::format("dump \"{}\" supplied no dust temperature for some or all of its particles; their "
                   "grid rows come from {}",
                   dumps_[k], earlier ? "an earlier dump" : "0, as no earlier dump supplied any"));
}

std::string RunReport::not_processed_after(std::size_t k) {
  std::string rest;
  for (std::size_t j = k + 1; j < dumps_.size(); ++j) {
    problem(j, "not processed");
    rest += fmt::format("{}\"{}\"", rest.empty() ? "" : ", ", dumps_[j]);
  }
  return rest.empty() ? "it was the last dump" : "not processed: " + rest;
}

std::string RunReport::fault_in(std::size_t k, const Error& fault) {
  if (fault.kind == FaultKind::dump_changed) {
    problem(k, "changed while read");
    return fault.text + ": that";
  }
  problem(k, "stopped by a fault");
  return fmt::format("a fault in dump \"{}\"", dumps_[k]);
}

void RunReport::stopped_by_fault(std::size_t k, const Error& fault) {
  const std::string what = fault_in(k, fault);
  tell(fmt::format("{} stopped the run; its grid file is left empty; {}", what, not_processed_after(k)));
}

void RunReport::interrupted(std::size_t k, int signal) {
  problem(k, "interrupted");
  const auto n = [](std::size_t count) { return fmt::format("{} dump{}", count, count == 1 ? "" : "s"); };
  std::string rest;
  if (!series_.empty() && k > 0)
    rest = fmt::format("the series \"{}\" holds the {} done{}: run again with --append to go on", series_, n(k),
                       appending_ ? " and those it held before" : "");
  else if (!series_.empty())
    rest = fmt::format("no dump was done, and the series \"{}\" is left as it was", series_);
  else if (k > 0)
    rest = fmt::format("the {} done have their files: run again on the {} not done to go on", n(k),
                       dumps_.size() - k);
  else
    rest = "no dump was done";
  // After the ^C a terminal echoes: the line is the stop's own.
  if (::isatty(2) == 1) std::fputs("\r\033[K", stderr);
  tell(fmt::format("stopped by {} in dump {} of {} (\"{}\"), whose files are left as they were; {}",
                   signal_name(signal), k + 1, dumps_.size(), dumps_[k], rest));
}

void RunReport::out_of_memory(std::size_t k, const std::string& what) {
  problem(k, "out of memory");
  tell(fmt::format("{}; dump \"{}\" stopped the run and its files are left as they were; {}", what, dumps_[k],
                   not_processed_after(k)));
}

void RunReport::output_failed(std::size_t k, const std::string& line) {
  problem(k, "output not written");
  tell(fmt::format("{}; dump \"{}\" stopped the run; {}", line, dumps_[k], not_processed_after(k)));
}

void RunReport::fault_ended_dump(std::size_t k, const Error& fault) {
  tell(fmt::format("{} stopped its reading; its grid file is left empty; the run goes on with the next dump",
                   fault_in(k, fault)));
}

void RunReport::skipped_not_readable(std::size_t k, int error) {
  problem(k, "skipped: not readable");
  tell(fmt::format("dump \"{}\" is not readable: {}; it is skipped and no files are written for it",
                   dumps_[k], std::strerror(error)));
}

void RunReport::skipped_not_a_dump(std::size_t k) {
  problem(k, "skipped: not a dump");
  tell(fmt::format("dump \"{}\" {}; it is skipped and no files are written for it", dumps_[k], not_a_dump_why));
}

void RunReport::not_a_dump(std::size_t k) {
  problem(k, "not a dump");
  tell(fmt::format("dump \"{}\" {}", dumps_[k], not_a_dump_why));
}

void RunReport::outside_grid(std::size_t k, const OutsideGrid& o) {
  if (o.total() == 0) return;
  std::string why;
  auto add = [&](std::int64_t n, const char* what) {
    if (n > 0) why += fmt::format("{}{} {}", why.empty() ? "" : ", ", n, what);
  };
  add(o.above_columns, "above the density columns");
  add(o.outside_rows, "outside the temperature rows");
  add(o.nan, "with a dust temperature that is not a number");
  tell(fmt::format("{}: {} particles outside the grid ({})", dumps_[k], o.total(), why));
}

void RunReport::units(std::size_t k, double dump_umass, double dump_udist, double grid_umass,
                      double grid_udist) {
  // Constants of the same unit rounded differently (1.989e33 or 1.991e33 g)
  // agree to well within a percent.
  auto differs = [](double a, double b) { return !(std::fabs(a - b) <= 0.01 * std::fabs(b)); };
  if (!differs(dump_umass, grid_umass) && !differs(dump_udist, grid_udist)) return;
  tell(fmt::format("dump \"{}\" was written in units of {} g and {} cm, but the grid's densities assume "
                   "{} g and {} cm",
                   dumps_[k], dump_umass, dump_udist, grid_umass, grid_udist));
}

void RunReport::summary(bool whole) const {
  if (!whole) return;
  std::size_t had = 0;
  std::string list;
  for (std::size_t k = 0; k < dumps_.size(); ++k) {
    if (problems_[k].empty()) continue;
    ++had;
    std::string what;
    for (const char* p : problems_[k]) what += fmt::format("{}{}", what.empty() ? "" : ", ", p);
    list += fmt::format("{}{} ({})", list.empty() ? "" : ", ", dumps_[k], what);
  }
  if (had == 0) return;
  tell(fmt::format("{} of {} dumps had problems: {}", had, dumps_.size(), list));
}

}  // namespace pg
