#include "analysis/particle_loops.hpp"

#include <omp.h>
#include <pthread.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "base/interrupt.hpp"
#include "base/error.hpp"

#include "state/store.hpp"

namespace pg {

void set_default_loop_schedule() {
  if (std::getenv("OMP_SCHEDULE") == nullptr) omp_set_schedule(omp_sched_static, 0);
}

void start_loop_threads() {
  const int threads = omp_get_max_threads();
  const StopSignalsBlocked held;
  // As many threads as the runtime will want, started and ended: where they
  // can be had, the runtime's own follow at once and stay for the run.
  std::vector<pthread_t> trial;
  int error = 0;
  for (int t = 1; t < threads && error == 0; ++t) {
    pthread_t id;
    error = pthread_create(&id, nullptr, [](void*) -> void* { return nullptr; }, nullptr);
    if (error == 0) trial.push_back(id);
  }
  for (const pthread_t id : trial) pthread_join(id, nullptr);
  if (error != 0)
    throw Error(FaultKind::no_threads, fmt::format("cannot start the {} threads of the particle loops: {}",
                                                   threads, std::strerror(error)));
  int started = 0;  // (a region with no work in it would be left out)
#pragma omp parallel num_threads(threads) reduction(+ : started)
  started += omp_get_thread_num() >= 0;
  if (started < 1) throw Error(FaultKind::no_threads, "cannot start the threads of the particle loops");
}

void shift_positions(Store& s, double cx, double cy, double cz, double scale) {
  const std::int64_t npart = s.part.npart;
  const PerParticle<double, 5> p = s.part.pos_mass_h;
  const double dx = cx * scale, dy = cy * scale, dz = cz * scale;
#pragma omp parallel for schedule(runtime)
  for (std::int64_t i = 1; i <= npart; ++i) {
    p(1, i) -= dx;
    p(2, i) -= dy;
    p(3, i) -= dz;
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

void turn_about_z(Store& s, double angle, double omega, bool positions, bool velocities) {
  const std::int64_t npart = s.part.npart;
  const PerParticle<double, 5> p = s.part.pos_mass_h;
  const PerParticle<double, 4> v = s.part.vel_u;
  if (!velocities) {
    if (!positions) return;
#pragma omp parallel for schedule(runtime)
    for (std::int64_t i = 1; i <= npart; ++i) turn(p(1, i), p(2, i), angle);
    return;
  }
#pragma omp parallel for schedule(runtime)
  for (std::int64_t i = 1; i <= npart; ++i) {
    // The velocity change into the rotating frame uses the turned position,
    // whether or not the positions themselves are stored.
    double x = p(1, i), y = p(2, i);
    turn(v(1, i), v(2, i), angle);
    turn(x, y, angle);
    if (positions) {
      p(1, i) = x;
      p(2, i) = y;
    }
    if (omega != 0.0) {
      v(1, i) += omega * y;
      v(2, i) -= omega * x;
    }
  }
}

void turn_about_z(double& a, double& b, double angle) { turn(a, b, angle); }

void each_position_slice(const Store& s, std::optional<double> angle, int w,
                         const std::function<void(const PositionSlice&)>& use) {
  const std::int64_t n = s.part.npart;
  constexpr std::int64_t slice = 16384;
  const std::int64_t slices = (n + slice - 1) / slice;
  std::atomic<bool> failing = false;
  std::exception_ptr failed;
  // Each thread's slice, taken before the threads start (memory that cannot
  // be had must not end a parallel region).
  const int threads = omp_get_max_threads();
  std::vector<double> buffers(static_cast<std::size_t>(4 * slice * threads));
#pragma omp parallel num_threads(threads)
  {
    double* const mine = buffers.data() + 4 * slice * omp_get_thread_num();
    double* const at[4] = {mine, mine + slice, mine + 2 * slice, mine + 3 * slice};
#pragma omp for ordered schedule(static, 1)
    for (std::int64_t k = 0; k < slices; ++k) {
      const PositionSlice p{k * slice + 1, std::min(slice, n - k * slice), at[0], at[1], at[2],
                            w > 0 ? at[3] : nullptr};
      if (!failing) {
        try {
          for (int c = 0; c < 3; ++c) s.pos_mass_h_values(c + 1, p.first, p.count, at[c]);
          if (w > 0) s.pos_mass_h_values(w, p.first, p.count, at[3]);
          if (angle)
            for (std::int64_t j = 0; j < p.count; ++j) turn(at[0][j], at[1][j], *angle);
        } catch (...) {
#pragma omp critical(position_slice_failed)
          if (!failed) failed = std::current_exception();
          failing = true;
        }
      }
#pragma omp ordered
      if (!failing) use(p);
    }
  }
  if (failed) std::rethrow_exception(failed);
}

}  // namespace pg
