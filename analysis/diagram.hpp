// Diagrams of any two quantities, weighted: what a --diagram SPEC asks for,
// how its cells are named in a series file, and the binning.
//
// A SPEC is two axes and a weight, joined by commas:
//
//   AXIS,AXIS[,WEIGHT]
//   AXIS   = NAME[:log|:lin][:MIN:MAX:BINS]   (MIN, MAX: decimal logarithms on a log axis)
//   WEIGHT = count | mass | NAME | mean:NAME
//
// The first axis is the diagram's columns (x), the second its rows (y). A
// value v lies in bin i when edge[i] <= v < edge[i+1] (log10 v on a log
// axis), the last bin holding its upper edge too, as numpy.histogram2d bins;
// a value outside the edges, or not a number, is in no bin. The weight:
// count, particles (exact integers); mass, their mass in grams (code masses
// by the dump's mass unit); NAME, the sum of that quantity; mean:NAME, its
// mass-weighted mean (NaN in a cell of no mass).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/quantities.hpp"
#include "state/store.hpp"

namespace pg {

struct DiagramAxis {
  Quantity q = Quantity::n;
  bool log = true;
  double lo = 0, hi = 1;  // decimal logarithms on a log axis
  int bins = 1;

  // The bins+1 edges: lo + i (hi - lo) / bins, the last one hi.
  std::vector<double> edges() const;
  // The name of its coordinate in a series file ("log10_n", "H2Frac"), its
  // label and its UDUNITS units ("lg(re 1 cm-3)"; "" when none).
  std::string name() const;
  std::string long_name() const;
  std::string units() const;
  bool operator==(const DiagramAxis&) const = default;
};

enum class Weight : std::uint8_t { count, mass, sum, mean };

struct DiagramSpec {
  DiagramAxis x, y;
  Weight weight = Weight::count;
  Quantity of = Quantity::n;  // the quantity summed (sum) or averaged (mean)

  // The SPEC with every part given: what a series file records, and what
  // parse_diagram() reads back to the same diagram.
  std::string text() const;
  // Counts (int32) or reals (float64).
  bool counts() const { return weight == Weight::count; }
  // What its cells hold, for a label ("particles", "mass", "mean DustTemperature")
  // and their UDUNITS units ("" when none).
  std::string long_name() const;
  std::string units() const;
  // The quantities it reads.
  std::vector<Quantity> uses() const;
  bool operator==(const DiagramSpec&) const = default;
};

// Reads a SPEC; one that is wrong throws an Error of kind bad_answer whose
// line names the part that is wrong and why.
DiagramSpec parse_diagram(std::string_view spec);

// The most cells a diagram may have.
inline constexpr std::int64_t most_diagram_cells = 4'000'000;

// What became of a diagram for one dump, as a series file records it.
enum class DiagramStatus : std::int8_t {
  binned = 0,          // its cells are the dump's
  lacks_quantity = 1,  // a block of the dump does not carry a quantity it reads: no cells
  no_mass_unit = 2,    // weighed by mass, and the dump records no mass unit: no cells
  not_binned = 3,      // the dump was not binned (no grid either)
};
// The dump's arrays a diagram reads, a bit for each ArrayId (arrays_of()).
std::uint64_t arrays_of(const DiagramSpec& d);

// Each diagram's status for a dump whose blocks of particles all carried the
// arrays `carried` (ReadEnd::carried), whose mass unit is `umass` grams:
// lacks_quantity when one did not carry an array it reads, no_mass_unit
// when it weighs by mass and the dump records no mass unit, binned otherwise.
std::vector<DiagramStatus> diagram_statuses(std::span<const DiagramSpec> diagrams, std::uint64_t carried,
                                            double umass);

// Its words, for flag_meanings: "binned lacks_quantity no_mass_unit not_binned".
std::string_view diagram_status_meanings();

// The names of a run's diagrams in a series file: the variable of each, and
// the coordinates of its axes. Axes equal in everything share a coordinate
// (the phase grid's log10_n and log10_T are the grid's, and not shared),
// but for a diagram's own two: its y axis then has one of its own;
// names that would repeat take a suffix _2, _3, ...
struct DiagramNames {
  std::string variable, x, y;
};
std::vector<DiagramNames> diagram_names(std::span<const DiagramSpec> specs);

// Where a run's step finds the positions of the dump being binned.
struct DiagramPositions {
  // Left in the dump's file (a run's last dump): turned by `turn` and moved
  // by `centre` as they are read. Otherwise the store holds them turned and
  // moved already.
  bool in_file = false;
  std::optional<double> turn;
  std::array<double, 3> centre{};
};

// A run's diagrams: the specs, and the cells of the latest dump.
class Diagrams {
 public:
  Diagrams() = default;
  explicit Diagrams(std::vector<DiagramSpec> specs);
  const std::vector<DiagramSpec>& specs() const { return specs_; }
  bool empty() const { return specs_.empty(); }

  // Bins particles 1..npart of the store (those not inactive) into every
  // diagram whose status is `binned`; the others' cells are left empty.
  // umass: the dump's mass unit in grams. The cells come out the same
  // whatever the number of threads: each cell's sum is added in particle
  // order. A dump's file that can no longer be read raises read_failed.
  void bin(const Store& s, const DiagramPositions& where, double umass, std::span<const DiagramStatus> status);

  // Diagram k's cells, y rows of x columns (x fastest): counts() for a
  // diagram of counts, values() for the others.
  const std::int32_t* counts(std::size_t k) const;
  const double* values(std::size_t k) const;

 private:
  std::vector<DiagramSpec> specs_;
  std::vector<std::vector<std::int32_t>> counts_;
  std::vector<std::vector<double>> values_, masses_;  // masses_: a mean's denominators
};

}  // namespace pg
