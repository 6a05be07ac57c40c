// The fixed unit system of the code: constants of the program. The units a
// dump records change nothing.
#pragma once

namespace pg {

// The code's units: mass (g), length (cm) and time (s).
inline constexpr double code_umass = 1.991e33;
inline constexpr double code_udist = 3.086e17;
inline constexpr double code_unit_time = 14874038434801.994;

}  // namespace pg
