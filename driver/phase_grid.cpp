#include "driver/phase_grid.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "driver/console.hpp"
#include "state/store.hpp"

namespace pg {

std::int32_t count_grid[grid_ny][grid_nx];

namespace {

// The code density unit in g/cm3 to five digits, and the mass in grams of one
// particle of gas: n = rho * unit / mass * 2 particles per cm3.
constexpr double density_unit = 6.7746e-20;
constexpr double particle_mass = 4e-24;

}  // namespace

// A value converted to an integer must be tested first: converting NaN, an
// infinity or a huge double to int is undefined. Non-finite scales truncate
// the way the processor's conversion does (to the most negative integer), so
// +inf lands where -inf does.
int grid_column(float rho) {
  const double n = ((static_cast<double>(rho) * density_unit) / particle_mass) * 2.0;
  const double x = 50.0 * std::log10(n);
  // Below 1, zero, negative, NaN or infinite: the first column.
  if (!(x >= 1.0) || x == HUGE_VAL) return 1;
  if (x >= grid_nx + 1) return 0;  // too dense: dropped
  return static_cast<int>(x);
}

int grid_row(double t) {
  const double y = 200.0 * std::log10(t);
  if (!(y >= 1.0) || y >= grid_ny + 1) return 0;  // also NaN and both infinities
  return static_cast<int>(y);
}

void bin_phase_grid() {
  std::memset(count_grid, 0, sizeof count_grid);
  const std::int64_t n = part.npart;
  say("npart=", part.npart);
  const std::int8_t* iphase = phase.iphase.base;
  const float* rho = densi.rho.base;
  const double* dust = raddust.dust_values.base;
  for (std::int64_t i = 0; i < n; ++i) {
    if (iphase[i] == -1) continue;
    const int c = grid_column(rho[i]);
    if (c == 0) continue;
    const int r = grid_row(dust[2 * i]);
    if (r == 0) continue;
    ++count_grid[r - 1][c - 1];
  }
}

std::string phase_grid_text() {
  constexpr std::size_t item = 11;  // "%10.3f" and a blank
  std::string out;
  out.reserve(13 + static_cast<std::size_t>(grid_ny) * grid_nx * item);
  out += fmt::format("# {:5d}{:5d}\n", grid_nx, grid_ny);
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
      if (c > 0) out += ' ';
      out += text_of(count_grid[r][c] > 0 ? count_grid[r][c] : 0);
    }
    out += '\n';
  }
  return out;
}

}  // namespace pg
