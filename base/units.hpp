// The fixed unit system of the code and the number density the grid bins:
// constants of the program, for the reader, the analysis, the writer of
// dumps and mkdump alike. The units a dump records change nothing.
#pragma once

namespace pg {

// The code's units: mass (g), length (cm) and time (s).
inline constexpr double code_umass = 1.991e33;
inline constexpr double code_udist = 3.086e17;
inline constexpr double code_unit_time = 14874038434801.994;

// The code density unit in g/cm3 to five digits, and the mass in grams of one
// particle of gas: the grid's columns bin n = rho * unit / mass * 2
// particles per cm3, taking the three steps in this order.
inline constexpr double density_unit = 6.7746e-20;
inline constexpr double particle_mass = 4e-24;
// n per code density unit, for those who convert back.
inline constexpr double density_to_number_density = density_unit / particle_mass * 2.0;

}  // namespace pg
