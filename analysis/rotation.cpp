#include "analysis/rotation.hpp"

#include "base/trace.hpp"
#include "analysis/particle_loops.hpp"
#include "state/store.hpp"
#include "base/units.hpp"

namespace pg {

namespace {
// The fixed time of answer 2, in code units.
constexpr double fixed_turn_time = 8.26553;
}  // namespace

std::optional<double> undo_rotation(Store& s, Trace& trace, std::int32_t rotate_mode, double rotation_frequency,
                                    bool positions, bool velocities, bool positions_in_file) {
  if (rotate_mode == 0) return std::nullopt;
  const double omega = rotation_frequency * code_unit_time;
  trace.say(omega);
  if (rotate_mode < 0 || rotate_mode > 3) {
    trace.say("rotating-frame answer", rotate_mode, "is not known (0, 1, 2 or 3): nothing is turned");
    return std::nullopt;
  }
  const double angle = omega * (rotate_mode == 2 ? fixed_turn_time : s.gtime.gt);
  // (A run that leaves positions in the file reads no velocities.)
  if (positions_in_file) return angle;
  if (positions || velocities)
    turn_about_z(s, angle, rotate_mode == 3 ? omega : 0.0, positions, velocities);
  return std::nullopt;
}

}  // namespace pg
