// What the run tells on standard error about each dump whose grid is not
// wholly its own, or that leaves particles out, and the closing summary.
// Standard output keeps the trace exactly; every line here starts
// "phasegrid: " and names the dump.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "analysis/phase_grid.hpp"

namespace pg {

// Why a file is not a dump, as the run and the command line say it.
extern const char* const not_a_dump_why;

class RunReport {
 public:
  // `series`: the run's series file ("" for none); `appending`: it holds the
  // rows of an earlier one too (--append).
  explicit RunReport(std::vector<std::string> dumps, std::string series = {}, bool appending = false);

  void could_not_be_opened(std::size_t k, int error);
  void ended_early(std::size_t k, std::int64_t offset);
  // `earlier`: an earlier dump of the run supplied dust temperatures.
  void no_dust_temperature(std::size_t k, bool earlier);
  // A fault stopped the run in dump k: the dumps after it are not processed.
  // `fault` says what it was (a file that changed while it was read is said
  // as that).
  void stopped_by_fault(std::size_t k, const Error& fault);
  // A signal stopped the run in dump k (its files are left as they were):
  // one line, on a line of its own on a terminal, saying where and how to
  // go on.
  void interrupted(std::size_t k, int signal);
  // Memory for dump k could not be had (`what` says which): the run stops.
  void out_of_memory(std::size_t k, const std::string& what);
  // An output of dump k (`line` says which) could not be written: the run stops.
  void output_failed(std::size_t k, const std::string& line);
  // Keeping going: a fault ended dump k, and the run went on.
  void fault_ended_dump(std::size_t k, const Error& fault);
  // Dump k was found not readable before the run and was skipped.
  void skipped_not_readable(std::size_t k, int error);
  // Dump k does not start as a dump does: found so before the run (and
  // skipped), or on reading it.
  void skipped_not_a_dump(std::size_t k);
  void not_a_dump(std::size_t k);
  void outside_grid(std::size_t k, const OutsideGrid& outside);
  // The dump's units (mass, length) against the grid's.
  void units(std::size_t k, double dump_umass, double dump_udist, double grid_umass,
             double grid_udist);
  // "phasegrid: K of N dumps had problems: ..." when any had; nothing else.
  // Nothing after a stop (`whole` false), whose line said it all.
  void summary(bool whole = true) const;
  std::size_t dumps() const { return dumps_.size(); }

 private:
  void problem(std::size_t k, const char* what);
  // "a fault in dump ..." or the change that ended dump k.
  std::string fault_in(std::size_t k, const Error& fault);
  // "not processed: ..." of the dumps after k (each gets the problem), or
  // that k was the last.
  std::string not_processed_after(std::size_t k);
  std::vector<std::string> dumps_;
  std::string series_;
  bool appending_ = false;
  std::vector<std::vector<const char*>> problems_;
};


}  // namespace pg
