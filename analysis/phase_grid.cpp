#include "analysis/phase_grid.hpp"

#include <fmt/format.h>

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <vector>

#include "state/store.hpp"

namespace pg {

namespace {

// 50 log10 n and 200 log10 T: the column and row before truncation. Both are
// non-decreasing in their argument over the positive values.
double column_scale(float rho) { return 50.0 * std::log10(number_density(rho)); }
double row_scale(double t) { return 200.0 * std::log10(t); }

}  // namespace


// A value converted to an integer must be tested first: converting NaN, an
// infinity or a huge double to int is undefined. Non-finite scales truncate
// the way the processor's conversion does (to the most negative integer), so
// +inf lands where -inf does.
int grid_column(float rho) {
  const double x = column_scale(rho);
  // Below 1, zero, negative, NaN or infinite: the first column.
  if (!(x >= 1.0) || x == HUGE_VAL) return 1;
  if (x >= grid_nx + 1) return 0;  // too dense: dropped
  return static_cast<int>(x);
}

int grid_row(double t) {
  const double y = row_scale(t);
  if (!(y >= 1.0) || y >= grid_ny + 1) return 0;  // also NaN and both infinities
  return static_cast<int>(y);
}

namespace {

std::uint32_t bits_of(float x) { return std::bit_cast<std::uint32_t>(x); }
std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// The smallest positive value T (by its bit pattern in [lo, hi]) with
// reaches(T); positive IEEE values order like their bit patterns.
template <class T, class U, class F>
T smallest_reaching(U lo, U hi, F reaches) {
  while (lo < hi) {
    const U mid = lo + (hi - lo) / 2;
    if (reaches(std::bit_cast<T>(mid)))
      hi = mid;
    else
      lo = mid + 1;
  }
  return std::bit_cast<T>(lo);
}

}  // namespace

PhaseBins::PhaseBins() {
  const std::uint32_t fmax = bits_of(std::numeric_limits<float>::max());
  for (int c = 2; c <= grid_nx + 1; ++c)
    col_min_[c] = smallest_reaching<float>(std::uint32_t{1}, fmax,
                                           [c](float r) { return column_scale(r) >= c; });
  col_min_[0] = col_min_[1] = 0.0f;
  const std::uint64_t dmax = bits_of(1e300);
  for (int r = 1; r <= grid_ny + 1; ++r)
    row_min_[r] = smallest_reaching<double>(bits_of(1.0), dmax,
                                            [r](double t) { return row_scale(t) >= r; });
  row_min_[0] = 0.0;

  // Buckets of values sharing their leading bits; each holds the column (row)
  // of its smallest value, from which at most a step or two remain.
  col_key0_ = bits_of(col_min_[2]) >> col_shift;
  const std::uint32_t col_key1 = bits_of(col_min_[grid_nx + 1]) >> col_shift;
  col_start_.resize(col_key1 - col_key0_ + 1);
  int c = 2;  // the first bucket may start below the second column's threshold
  for (std::uint32_t k = col_key0_; k <= col_key1; ++k) {
    const float first = std::bit_cast<float>(k << col_shift);
    while (c < grid_nx + 1 && first >= col_min_[c + 1]) ++c;
    col_start_[k - col_key0_] = static_cast<std::int16_t>(c);
  }
  row_key0_ = bits_of(row_min_[1]) >> row_shift;
  const std::uint64_t row_key1 = bits_of(row_min_[grid_ny + 1]) >> row_shift;
  row_start_.resize(row_key1 - row_key0_ + 1);
  int r = 1;
  for (std::uint64_t k = row_key0_; k <= row_key1; ++k) {
    const double first = std::bit_cast<double>(k << row_shift);
    while (r < grid_ny + 1 && first >= row_min_[r + 1]) ++r;
    row_start_[k - row_key0_] = static_cast<std::int16_t>(r);
  }
}

const PhaseBins& phase_bins() {
  static const PhaseBins bins;
  return bins;
}

OutsideGrid PhaseGrid::bin(const Store& s, Trace& trace) {
  trace.say("npart=", s.part.npart);
  const std::int64_t n = s.part.npart;
  const PhaseBins& bins = phase_bins();
  constexpr std::size_t cells = static_cast<std::size_t>(grid_nx) * grid_ny;
  // The phases, densities and dust temperatures come a slice at a time into
  // buffers each thread reuses, from the dump's file or the store.
  constexpr std::int64_t slice = 32768;
  const std::int64_t slices = (n + slice - 1) / slice;
  // One grid per thread, summed at the end: integer counts, so the sum is
  // the same whatever the threads and their shares.
  const int threads = omp_get_max_threads();
  const std::size_t all = cells * static_cast<std::size_t>(threads);
  if (partial_.size() < all)
    partial_ = MappedArray<std::int32_t>(all);
  else
    std::memset(partial_.data(), 0, all * sizeof(std::int32_t));
  // Each thread's slice: 13 bytes a particle, taken before the threads
  // start (memory that cannot be had must not end a parallel region).
  constexpr std::size_t slice_bytes = static_cast<std::size_t>(slice) * (sizeof(double) + sizeof(float) + 1);
  if (slices_.size() < slice_bytes * static_cast<std::size_t>(threads))
    slices_ = MappedArray<char>(slice_bytes * static_cast<std::size_t>(threads));
  std::int64_t above = 0, outside_rows = 0, nan = 0, inactive = 0;
  std::exception_ptr failed;
#pragma omp parallel num_threads(threads) reduction(+ : above, outside_rows, nan, inactive)
  {
    std::int32_t* grid = partial_.data() + cells * static_cast<std::size_t>(omp_get_thread_num());
    char* const mine = slices_.data() + slice_bytes * static_cast<std::size_t>(omp_get_thread_num());
    double* const dust = reinterpret_cast<double*>(mine);
    float* const rho = reinterpret_cast<float*>(mine + slice * sizeof(double));
    std::int8_t* const iphase = reinterpret_cast<std::int8_t*>(mine + slice * (sizeof(double) + sizeof(float)));
#pragma omp for schedule(static)
    for (std::int64_t k = 0; k < slices; ++k) {
      const std::int64_t i0 = k * slice;
      const std::int64_t m = std::min(slice, n - i0);
      try {
        s.iphase_values(i0 + 1, m, iphase);
        s.rho_values(i0 + 1, m, rho);
        s.dust_temperature_values(i0 + 1, m, dust);
      } catch (...) {
        // (An exception must not leave the parallel region.)
#pragma omp critical(phase_grid_failed)
        if (!failed) failed = std::current_exception();
        continue;
      }
      for (std::int64_t j = 0; j < m; ++j) {
        if (iphase[j] == -1) {
          ++inactive;
          continue;
        }
        const int c = bins.column(rho[j]);
        if (c == 0) {
          ++above;
          continue;
        }
        const double t = dust[j];
        const int r = bins.row(t);
        if (r == 0) {
          if (std::isnan(t))
            ++nan;
          else
            ++outside_rows;
          continue;
        }
        ++grid[static_cast<std::size_t>(r - 1) * grid_nx + static_cast<std::size_t>(c - 1)];
      }
    }
  }
  if (failed) std::rethrow_exception(failed);
  std::int32_t* sum = &rows()[0][0];
  std::memset(sum, 0, sizeof(Rows));
  for (int t = 0; t < threads; ++t) {
    const std::int32_t* grid = partial_.data() + cells * static_cast<std::size_t>(t);
    for (std::size_t k = 0; k < cells; ++k) sum[k] += grid[k];
  }
  inactive_ = inactive;
  return {above, outside_rows, nan};
}

std::int64_t PhaseGrid::total() const {
  std::int64_t all = 0;
  for (const auto& row : rows())
    for (const std::int32_t n : row) all += n;
  return all;
}

namespace {
constexpr std::size_t item = 11;  // "%10.3f" and a blank
constexpr std::size_t most = 13 + static_cast<std::size_t>(grid_ny) * grid_nx * item;
}  // namespace

void PhaseGrid::reserve_text() {
  if (text_.size() < most) text_ = MappedArray<char>(most);
}

std::string_view PhaseGrid::text() {
  const Rows& counts = rows();
  reserve_text();
  char* const out = text_.data();
  std::size_t at = 0;
  const auto put = [&](std::string_view s) {
    // (A count's text is 10 characters: the buffer holds every grid.)
    if (at + s.size() > most) throw std::length_error("the grid's text is longer than its buffer");
    std::memcpy(out + at, s.data(), s.size());
    at += s.size();
  };
  put(fmt::format("# {:5d}{:5d}\n", grid_nx, grid_ny));
  // Counts repeat: each distinct small count is formatted once.
  std::vector<std::string> memo(4096);
  std::string big;
  auto text_of = [&](std::int32_t count) -> std::string_view {
    if (count < static_cast<std::int32_t>(memo.size())) {
      std::string& s = memo[static_cast<std::size_t>(count)];
      if (s.empty())
        s = fmt::format("{:10.3f}", count > 0 ? std::log10(static_cast<double>(count)) : -1.0);
      return s;
    }
    big = fmt::format("{:10.3f}", std::log10(static_cast<double>(count)));
    return big;
  };
  for (int r = 0; r < grid_ny; ++r) {
    for (int c = 0; c < grid_nx; ++c) {
      if (c > 0) put(" ");
      put(text_of(counts[r][c] > 0 ? counts[r][c] : 0));
    }
    put("\n");
  }
  return {out, at};
}

}  // namespace pg
