#include "driver/rotation.hpp"

#include "base/console.hpp"
#include "driver/particle_loops.hpp"
#include "state/store.hpp"

namespace pg {

namespace {
// The fixed time of answer 2, in code units.
constexpr double fixed_turn_time = 8.26553;
}  // namespace

void undo_rotation(std::int32_t rotate_mode, double rotation_frequency, bool positions,
                   bool velocities) {
  if (rotate_mode == 0) return;
  const double omega = rotation_frequency * units.unit_time;
  say(omega);
  if (rotate_mode < 0 || rotate_mode > 3) {
    say("rotating-frame answer", rotate_mode, "is not known (0, 1, 2 or 3): nothing is turned");
    return;
  }
  const double angle = omega * (rotate_mode == 2 ? fixed_turn_time : gtime.gt);
  if (positions || velocities)
    turn_about_z(part.npart, angle, rotate_mode == 3 ? omega : 0.0, positions, velocities);
}

}  // namespace pg
