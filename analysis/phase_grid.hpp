// The phase grid: live particles counted over log10 number density (columns)
// and log10 dust temperature (rows), written as text.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/trace.hpp"
#include "base/units.hpp"
#include "state/mapped_array.hpp"
#include "state/store.hpp"

namespace pg {

inline constexpr int grid_nx = 700;  // columns: 50 log10 n
inline constexpr int grid_ny = 540;  // rows: 200 log10 T_dust

// The number density (cm^-3) of a code density, computed as the columns bin it.
inline double number_density(double rho) { return ((rho * density_unit) / particle_mass) * 2.0; }

// Column of a particle of density rho (code units); 0 when it is dropped.
// These two are the definition of the bins, evaluated directly.
int grid_column(float rho);
// Row of a particle of dust temperature t (K); 0 when it is dropped.
int grid_row(double t);

// The same bins found without a logarithm: the column is a step function of
// rho and the row of t, so each is found by comparing with the smallest
// value that reaches each column or row, computed once with the very
// expressions above. A lookup on the leading bits of the value gives the
// bin of the smallest value with those bits; one comparison with the next
// threshold, without a branch, finishes it: values sharing their leading 8
// mantissa bits span 0.27 % at most, a column 4.7 % and a row 1.2 %, so no
// such range holds two thresholds.
class PhaseBins {
 public:
  PhaseBins();
  // Inline: called once per particle in the binning loop.
  int column(float rho) const {
    // Below the second column, zero, negative, NaN and both infinities: the
    // first column. At or above the first column past the grid: dropped.
    if (!(rho >= col_min_[2]) || rho == std::numeric_limits<float>::infinity()) return 1;
    if (rho >= col_min_[grid_nx + 1]) return 0;
    const int c = col_start_[(std::bit_cast<std::uint32_t>(rho) >> col_shift) - col_key0_];
    return c + (rho >= col_min_[c + 1]);
  }
  int row(double t) const {
    if (!(t >= row_min_[1]) || t >= row_min_[grid_ny + 1]) return 0;  // also NaN and infinities
    const int r = row_start_[(std::bit_cast<std::uint64_t>(t) >> row_shift) - row_key0_];
    return r + (t >= row_min_[r + 1]);
  }
  // The smallest rho (resp. t) that reaches column c, 2..701 (row r, 1..541).
  float column_threshold(int c) const { return col_min_[c]; }
  double row_threshold(int r) const { return row_min_[r]; }

 private:
  static constexpr int col_shift = 15;  // float bits per bucket: 8 mantissa bits kept
  static constexpr int row_shift = 44;  // double bits per bucket: 8 mantissa bits kept
  float col_min_[grid_nx + 2];
  double row_min_[grid_ny + 2];
  std::uint32_t col_key0_ = 0;
  std::uint64_t row_key0_ = 0;
  std::vector<std::int16_t> col_start_, row_start_;
};

const PhaseBins& phase_bins();

// Active particles that no cell holds, by the reason. (A density below the
// columns, zero, negative or not a number, is counted in the first column.)
struct OutsideGrid {
  std::int64_t above_columns = 0;  // density at or beyond the last column's end
  std::int64_t outside_rows = 0;   // dust temperature below or above the rows
  std::int64_t nan = 0;            // dust temperature not a number
  std::int64_t total() const { return above_columns + outside_rows + nan; }
};

// A phase grid's counts: rows()[r][c], 0-based, row r of dust temperature
// and column c of density, the column index fastest. A value the run owns.
class PhaseGrid {
 public:
  using Rows = std::int32_t[grid_ny][grid_nx];
  PhaseGrid() : cells_(static_cast<std::size_t>(grid_nx) * grid_ny) {}

  // Zeroes the grid, prints "npart=" and bins particles 1..npart of the
  // store, their phases, densities and dust temperatures read through the
  // store's *_values() functions (a dump's file that can no longer be read
  // raises a fault of kind read_failed). Returns the active particles left
  // out; inactive() counts the inactive ones passed over.
  OutsideGrid bin(const Store& s, Trace& trace);

  const Rows& rows() const { return *reinterpret_cast<const Rows*>(cells_.data()); }
  Rows& rows() { return *reinterpret_cast<Rows*>(cells_.data()); }
  // Particles the cells hold.
  std::int64_t total() const;
  std::int64_t inactive() const { return inactive_; }
  // The grid file's text: the header line and the 540 rows of 700 values.
  // It lies in a buffer the grid reuses: valid until the next call.
  std::string_view text();
  // Takes the buffer of text() now, before the store grows, so that no
  // dump's grid fails to be written for want of it (std::bad_alloc here).
  void reserve_text();

 private:
  // The grids are fresh memory for a run's first dump and reused after.
  MappedArray<std::int32_t> cells_;    // zeroed
  MappedArray<std::int32_t> partial_;  // one grid per thread, summed into the cells
  MappedArray<char> slices_;  // each thread's slice of values
  MappedArray<char> text_;
  std::int64_t inactive_ = 0;
};

}  // namespace pg
