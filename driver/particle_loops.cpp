#include "driver/particle_loops.hpp"

#include <omp.h>

#include <cmath>
#include <cstdlib>

#include "state/store.hpp"

namespace pg {

void set_default_loop_schedule() {
  if (std::getenv("OMP_SCHEDULE") == nullptr) omp_set_schedule(omp_sched_static, 0);
}

void shift_positions(std::int64_t npart, double cx, double cy, double cz, double scale) {
  double* p = part.pos_mass_h.base;
  const double dx = cx * scale, dy = cy * scale, dz = cz * scale;
#pragma omp parallel for schedule(runtime)
  for (std::int64_t i = 0; i < npart; ++i) {
    double* xyz = p + 5 * i;
    xyz[0] -= dx;
    xyz[1] -= dy;
    xyz[2] -= dz;
  }
}

namespace {

inline void turn(double& a, double& b, double angle) {
  const double r = std::sqrt(a * a + b * b);
  const double phi = std::atan2(b, a) + angle;
  a = r * std::cos(phi);
  b = r * std::sin(phi);
}

}  // namespace

void turn_about_z(std::int64_t npart, double angle, double omega, bool positions,
                  bool velocities) {
  double* p = part.pos_mass_h.base;
  double* v = part.vel_u.base;
  if (!velocities) {
#pragma omp parallel for schedule(runtime)
    for (std::int64_t i = 0; i < npart; ++i) turn(p[5 * i], p[5 * i + 1], angle);
    return;
  }
#pragma omp parallel for schedule(runtime)
  for (std::int64_t i = 0; i < npart; ++i) {
    double* vel = v + 4 * i;
    double x = p[5 * i], y = p[5 * i + 1];
    turn(vel[0], vel[1], angle);
    turn(x, y, angle);
    if (positions) {
      p[5 * i] = x;
      p[5 * i + 1] = y;
    }
    if (omega != 0.0) {
      vel[0] += omega * y;
      vel[1] -= omega * x;
    }
  }
}

}  // namespace pg
