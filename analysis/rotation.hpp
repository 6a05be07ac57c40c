// Undoing a rotating reference frame: particles turned about the z axis.
#pragma once

#include <cstdint>
#include <optional>

#include "base/trace.hpp"
#include "state/store.hpp"

namespace pg {

// The rotating-frame answers:
//   0  nothing;
//   1  turn positions and velocities by omega x the dump's time;
//   2  turn them by omega x 8.26553, whatever the dump's time;
//   3  as 1, then express velocities in the frame rotating with omega:
//      vx += omega y, vy -= omega x (turned positions).
// omega = rotation_frequency (per second) x unit_time. Any other answer
// prints that it is not known and turns nothing.
//
// Only what a later step reads needs turning: `positions` and `velocities`
// say which (the run turns positions when a centring follows; no step of the
// run reads velocities afterwards).
//
// Positions the run left in the dump's file (the last dump's) are turned as
// the centring reads them: for those, the angle is returned and the store's
// own positions stay as they were.
std::optional<double> undo_rotation(Store& s, Trace& trace, std::int32_t rotate_mode, double rotation_frequency,
                                    bool positions = true, bool velocities = true,
                                    bool positions_in_file = false);

}  // namespace pg
