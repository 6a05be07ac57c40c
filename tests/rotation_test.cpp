// Undoing a rotating frame, and the parallel loops' independence of the
// schedule and the number of threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>

#include "analysis/centring.hpp"
#include "analysis/rotation.hpp"
#include "state/store.hpp"
#include "base/units.hpp"
#include "tests/support/harness.hpp"

using namespace pg;

namespace {

constexpr double year_frequency = 1.0 / 14874038434801.994;  // omega = 1 per code time

class Rotation : public ::testing::Test {
 protected:
  void SetUp() override {
    store.reserve(pg::idim, pg::Store::Members::all, 1000);
  }
  void put(std::int64_t i, double x, double y, double vx, double vy) {
    store.part.pos_mass_h(1, i) = x;
    store.part.pos_mass_h(2, i) = y;
    store.part.pos_mass_h(3, i) = 0.5;
    store.part.pos_mass_h(4, i) = 2.0;
    store.part.vel_u(1, i) = vx;
    store.part.vel_u(2, i) = vy;
    store.part.vel_u(3, i) = -0.25;
  }
  std::vector<std::string> rotate(int mode, double frequency = year_frequency) {
    pgtest::ConsoleCapture cap;
    undo_rotation(store, cap, mode, frequency);
    return cap.lines();
  }
  Store store;
};

}  // namespace

TEST_F(Rotation, TimeRuleTurnsByOmegaTimesTime) {
  store.part.npart = 2;
  store.gtime.gt = M_PI / 2;
  put(1, 1.0, 0.0, 0.0, 1.0);
  put(2, 0.0, 0.0, 3.0, 0.0);  // on the z axis: stays, its velocity turns
  store.phase.iphase(1) = -1;         // turned whatever its phase
  const auto lines = rotate(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NEAR(std::stod(lines[0]), 1.0, 1e-15);  // omega alone
  EXPECT_NEAR(store.part.pos_mass_h(1, 1), 0.0, 1e-15);
  EXPECT_NEAR(store.part.pos_mass_h(2, 1), 1.0, 1e-15);
  EXPECT_NEAR(store.part.vel_u(1, 1), -1.0, 1e-15);
  EXPECT_NEAR(store.part.vel_u(2, 1), 0.0, 1e-15);
  EXPECT_EQ(store.part.pos_mass_h(1, 2), 0.0);
  EXPECT_EQ(store.part.pos_mass_h(2, 2), 0.0);
  EXPECT_NEAR(store.part.vel_u(2, 2), 3.0, 1e-15);
  // z, vz, mass untouched
  EXPECT_EQ(store.part.pos_mass_h(3, 1), 0.5);
  EXPECT_EQ(store.part.vel_u(3, 1), -0.25);
  EXPECT_EQ(store.part.pos_mass_h(4, 1), 2.0);
}

TEST_F(Rotation, TimeZeroAndModeZeroChangeNothing) {
  store.part.npart = 1;
  put(1, 0.3, -0.7, 0.1, 0.2);
  store.gtime.gt = 0.0;
  rotate(1);
  EXPECT_NEAR(store.part.pos_mass_h(1, 1), 0.3, 1e-15);
  EXPECT_NEAR(store.part.pos_mass_h(2, 1), -0.7, 1e-15);
  EXPECT_TRUE(rotate(0).empty());
  // An answer other than 1, 2 or 3 prints omega, then says it is not known.
  const auto unknown = rotate(7);
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_NEAR(std::stod(unknown[0]), 1.0, 1e-15);
  EXPECT_NE(unknown[1].find("not known"), std::string::npos);
  EXPECT_NEAR(store.part.pos_mass_h(1, 1), 0.3, 1e-15);
}

TEST_F(Rotation, FixedRuleIgnoresTheTime) {
  store.part.npart = 1;
  put(1, 1.0, 0.0, 0.0, 0.0);
  store.gtime.gt = 100.0;
  rotate(2, year_frequency * M_PI / 8.26553);  // a half turn
  EXPECT_NEAR(store.part.pos_mass_h(1, 1), -1.0, 1e-12);
  EXPECT_NEAR(store.part.pos_mass_h(2, 1), 0.0, 1e-12);
}

TEST_F(Rotation, ModeThreeGivesVelocitiesInTheRotatingFrame) {
  // A particle at rest in the inertial frame at (1, 0): in a frame rotating
  // with omega its velocity is (0, -omega).
  store.part.npart = 1;
  put(1, 1.0, 0.0, 0.0, 0.0);
  store.gtime.gt = 0.0;
  rotate(3, 2.0 * year_frequency);
  EXPECT_NEAR(store.part.vel_u(1, 1), 0.0, 1e-15);
  EXPECT_NEAR(store.part.vel_u(2, 1), -2.0, 1e-15);
}

TEST_F(Rotation, ResultsDoNotDependOnThreadsOrSchedule) {
  const std::int64_t n = 100003;
  auto fill = [&] {
    store.reserve(pg::idim, pg::Store::Members::all, n);
    store.part.npart = static_cast<std::int32_t>(n);
    store.gtime.gt = 0.37;
    for (std::int64_t i = 1; i <= n; ++i) {
      const double t = static_cast<double>(i);
      put(i, std::sin(t), std::cos(3 * t), std::sin(5 * t), std::cos(7 * t));
      store.part.pos_mass_h(4, i) = 1.0 + 1e-3 * std::sin(11 * t);
    }
  };
  auto run = [&](int threads, omp_sched_t kind, int chunk) {
    fill();
    omp_set_num_threads(threads);
    omp_set_schedule(kind, chunk);
    pgtest::ConsoleCapture cap;
    undo_rotation(store, cap, 3, 0.8 * year_frequency);
    apply_centring(store, cap, 'm', 0, {});
    std::vector<double> out(store.part.pos_mass_h.base, store.part.pos_mass_h.base + 5 * n);
    out.insert(out.end(), store.part.vel_u.base, store.part.vel_u.base + 4 * n);
    return out;
  };
  const auto one = run(1, omp_sched_static, 0);
  const auto two = run(2, omp_sched_static, 0);
  const auto dynamic = run(2, omp_sched_dynamic, 1);
  EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(one.data(), dynamic.data(), one.size() * sizeof(double)), 0);
}

TEST_F(Rotation, TurningOnlyWhatIsReadGivesTheSameValues) {
  const std::int64_t n = 1000;
  auto fill = [&] {
    store.part.npart = static_cast<std::int32_t>(n);
    store.gtime.gt = 0.6;
    for (std::int64_t i = 1; i <= n; ++i) {
      const double t = static_cast<double>(i);
      put(i, std::sin(t), std::cos(2 * t), std::sin(3 * t), std::cos(5 * t));
    }
  };
  fill();
  rotate(3, 0.7 * year_frequency);
  const std::vector<double> pos_both(store.part.pos_mass_h.base, store.part.pos_mass_h.base + 5 * n);
  const std::vector<double> vel_both(store.part.vel_u.base, store.part.vel_u.base + 4 * n);
  fill();
  {
    pgtest::ConsoleCapture cap;
    undo_rotation(store, cap, 3, 0.7 * year_frequency, true, false);
  }
  EXPECT_EQ(std::vector<double>(store.part.pos_mass_h.base, store.part.pos_mass_h.base + 5 * n), pos_both);
  fill();
  {
    pgtest::ConsoleCapture cap;
    undo_rotation(store, cap, 3, 0.7 * year_frequency, false, true);
  }
  EXPECT_EQ(std::vector<double>(store.part.vel_u.base, store.part.vel_u.base + 4 * n), vel_both);
  EXPECT_EQ(store.part.pos_mass_h(1, 7), std::sin(7.0));  // positions left as read
}
