// The phase grid: live particles counted over log10 number density (columns)
// and log10 dust temperature (rows), written as text.
#pragma once

#include <cstdint>
#include <string>

namespace pg {

inline constexpr int grid_nx = 700;  // columns: 50 log10 n
inline constexpr int grid_ny = 540;  // rows: 200 log10 T_dust

// count_grid(c, r), 1-based, column index fastest.
extern std::int32_t count_grid[grid_ny][grid_nx];

// Column of a particle of density rho (code units); 0 when it is dropped.
int grid_column(float rho);
// Row of a particle of dust temperature t (K); 0 when it is dropped.
int grid_row(double t);

// Zeroes the grid, prints "npart=" and bins particles 1..npart of the store.
void bin_phase_grid();

// The grid file's text: the header line and the 540 rows of 700 values.
std::string phase_grid_text();

}  // namespace pg
