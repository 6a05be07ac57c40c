// What series files must share to be joined into one (a merge of several,
// or a run that adds its dumps to a series), and the order of the joined
// rows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "series/series_file.hpp"

namespace pg {

// One thing two series differ in: its name ("centre", "frequency", ...) and
// its value in each, as a line shows them.
struct Difference {
  std::string what, one, other;
};

// The first answer (centre, centre_position, sink_number, rotate,
// frequency, diagrams: their SPECs in order, "A; B"), or else value of the
// grid (grid_units, density_to_n), in which
// the runs `a` and `b` differ; none when they agree (a NaN equals a NaN).
std::optional<Difference> run_difference(const SeriesRun& a, const SeriesRun& b);
bool is_answer(const Difference& d);
// The cell bounds ("log10_T_bounds", "log10_n_bounds") in which `axes`
// differ from this phasegrid's; null when they agree.
const char* bounds_difference(const SeriesAxes& axes);

// The rows of the given times in time order: order[j] is the row that goes
// to place j. Rows without a time (NaN) last; ties keep their order.
std::vector<std::size_t> time_order(const std::vector<double>& times);

}  // namespace pg
