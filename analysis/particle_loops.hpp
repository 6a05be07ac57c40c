// The parallel loops over particles: the position shift of the centring and
// the turn of the rotating-frame transform. Each iteration reads and writes
// only its own particle, so the results do not depend on the schedule or the
// number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

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

// Turns the point (a, b) about the origin by `angle`, as turn_about_z()
// turns each particle.
void turn_about_z(double& a, double& b, double angle);

// Particles first .. first + count - 1 of a slice: positions x, y, z and
// one more component w of pos_mass_h (null when none was asked for).
struct PositionSlice {
  std::int64_t first = 1, count = 0;
  const double *x = nullptr, *y = nullptr, *z = nullptr, *w = nullptr;
};

// Hands `use` the positions of particles 1..npart, with component `w` of
// pos_mass_h (4 masses, 5 smoothing lengths, 0 none), a slice at a time in
// particle order, read through Store::pos_mass_h_values() (from the dump's
// file or the store) and turned about z by `angle` when given, as
// turn_about_z() turns them. The slices are read and turned on every
// thread while `use` takes them one after another, so sums come out the
// same on every run. A fault reading the file is thrown once the slices
// before it have been used.
void each_position_slice(const Store& s, std::optional<double> angle, int w,
                         const std::function<void(const PositionSlice&)>& use);

}  // namespace pg
