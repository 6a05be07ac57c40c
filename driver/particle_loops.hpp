// The parallel loops over particles: the position shift of the centring and
// the turn of the rotating-frame transform. Each iteration reads and writes
// only its own particle, so the results do not depend on the schedule or the
// number of threads.
#pragma once

#include <cstdint>

#include "state/store.hpp"

namespace pg {

// Unless OMP_SCHEDULE chooses otherwise, the loops run with a static schedule
// (even shares per thread): handing out 50 million iterations one at a time
// would cost more than the work.
void set_default_loop_schedule();

// Starts the threads of the parallel loops (and of the binning) now, before
// the store takes its memory, with the stop signals held back from them. A
// thread that cannot be started throws an Error of kind no_threads (exit status 2): the parallel
// runtime would end the process instead, with the status of a damaged dump.
void start_loop_threads();

// Subtracts (cx, cy, cz) x scale from the positions of particles 1..npart.
void shift_positions(Store& s, double cx, double cy, double cz, double scale);

// Turns (vx, vy) and (x, y) of particles 1..npart about the z axis by `angle`
// (counter-clockwise seen from positive z for a positive angle). With
// `omega` not zero, velocities are then expressed in the frame that rotates
// with omega about z: vx += omega y, vy -= omega x, with the turned positions.
// Only the pairs asked for are stored.
void turn_about_z(Store& s, double angle, double omega, bool positions = true, bool velocities = true);

}  // namespace pg
