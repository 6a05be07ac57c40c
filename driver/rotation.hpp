// Undoing a rotating reference frame: particles turned about the z axis.
#pragma once

#include <cstdint>

namespace pg {

// The rotating-frame answers:
//   0  nothing;
//   1  turn positions and velocities by omega x the dump's time;
//   2  turn them by omega x 8.26553, whatever the dump's time;
//   3  as 1, then express velocities in the frame rotating with omega:
//      vx += omega y, vy -= omega x (turned positions).
// omega = rotation_frequency (per second) x unit_time. Any other answer
// prints that it is not known and turns nothing.
void undo_rotation(std::int32_t rotate_mode, double rotation_frequency);

}  // namespace pg
