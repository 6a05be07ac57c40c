// How a run analyses each dump: the centring and the rotating frame, as the
// user answered them (the dialogue or the command line).
#pragma once

#include <array>
#include <cstdint>

namespace pg {

struct Analysis {
  char centre_mode = ' ';  // m, d, p, s, x; anything else centres nothing
  std::int32_t sink_number = 0;            // with x
  std::array<double, 3> centre_position{};  // with p
  std::int32_t rotate_mode = 0;             // 0 to 3; others are reported and turn nothing
  double rotation_frequency = 0;            // per second, with a rotate_mode other than 0
};

}  // namespace pg
