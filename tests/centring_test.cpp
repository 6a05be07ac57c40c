// Centring on the centre of mass, the density peak, a position or a sink.
#include <gtest/gtest.h>

#include <cmath>

#include "analysis/centring.hpp"
#include "state/store.hpp"
#include "tests/support/harness.hpp"

using namespace pg;

namespace {

class Centring : public ::testing::Test {
 protected:
  void SetUp() override { store.reserve(pg::idim, pg::Store::Members::all, 100); }
  void put(std::int64_t i, double x, double y, double z, double m = 1.0, double h = 0.1, float rho = 1.0f) {
    store.part.pos_mass_h(1, i) = x;
    store.part.pos_mass_h(2, i) = y;
    store.part.pos_mass_h(3, i) = z;
    store.part.pos_mass_h(4, i) = m;
    store.part.pos_mass_h(5, i) = h;
    store.densi.rho(i) = rho;
    store.part.vel_u(1, i) = 7.0;
  }
  std::array<double, 3> pos(std::int64_t i) {
    return {store.part.pos_mass_h(1, i), store.part.pos_mass_h(2, i), store.part.pos_mass_h(3, i)};
  }
  std::vector<std::string> centre(char mode, std::int32_t sink = 0, std::array<double, 3> p = {}) {
    pgtest::ConsoleCapture cap;
    apply_centring(store, cap, mode, sink, p);
    return cap.lines();
  }
  Store store;
};

}  // namespace

TEST_F(Centring, CentreOfMassMovesToTheOrigin) {
  store.part.npart = 3;
  put(1, 1.0, 2.0, 3.0, 1.0);
  put(2, -1.0, 0.0, 1.0, 3.0);
  put(3, 4.0, 4.0, 4.0, 0.0);
  store.phase.iphase(2) = -1;  // inactive particles take part too
  EXPECT_EQ(centre('m'), (std::vector<std::string>{" -0.5 0.5 1.5"}));
  EXPECT_EQ(store.origi(1), -0.5);
  double m = 0, mx = 0, my = 0, mz = 0;
  for (int i = 1; i <= 3; ++i) {
    m += store.part.pos_mass_h(4, i);
    mx += store.part.pos_mass_h(4, i) * store.part.pos_mass_h(1, i);
    my += store.part.pos_mass_h(4, i) * store.part.pos_mass_h(2, i);
    mz += store.part.pos_mass_h(4, i) * store.part.pos_mass_h(3, i);
  }
  EXPECT_NEAR(mx / m, 0.0, 1e-15);
  EXPECT_NEAR(my / m, 0.0, 1e-15);
  EXPECT_NEAR(mz / m, 0.0, 1e-15);
  EXPECT_EQ(store.part.vel_u(1, 1), 7.0);  // velocities untouched
}

TEST_F(Centring, ZeroMassIsSkippedNotDividedBy) {
  store.part.npart = 2;
  put(1, 1.0, 2.0, 3.0, 0.0);
  put(2, 5.0, 2.0, 3.0, 0.0);
  const auto lines = centre('m');
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("skipped"), std::string::npos);
  EXPECT_EQ(pos(1), (std::array<double, 3>{1.0, 2.0, 3.0}));
}

TEST_F(Centring, DensityPeakMeanWithinFourSmoothingLengths) {
  store.part.npart = 5;
  put(1, 0.0, 0.0, 0.0, 1, 0.1, 5.0f);
  put(2, 1.0, 0.0, 0.0, 1, 0.25, 9.0f);   // densest (first of two)
  put(3, 1.2, 0.0, 0.0, 1, 0.1, 1.0f);
  put(4, 2.0, 0.0, 0.0, 1, 0.1, 1.0f);   // exactly 4 h0 away: left out
  put(5, 0.5, 0.0, 0.0, 1, 0.1, 9.0f);   // same density, higher index
  const auto lines = centre('d');
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], " irhomax 2 9 1 0 0");
  EXPECT_EQ(lines[1], " centre: 3 0.9 0 0");  // particles 2, 3 and 5
  EXPECT_NEAR(store.part.pos_mass_h(1, 2), 0.1, 1e-15);
}

TEST_F(Centring, DensityPeakIsSoughtAmongEveryParticle) {
  // Four particles far apart (4 h = 0.4): the peak is the centre alone.
  const struct {
    std::array<float, 4> rho;
    int peak;
  } cases[] = {{{9, 1, 2, 3}, 1}, {{1, 2, 9, 3}, 3}, {{1, 2, 3, 9}, 4}};
  for (const auto& c : cases) {
    store.part.npart = 4;
    for (int i = 1; i <= 4; ++i) put(i, i, 0.0, 0.0, 1, 0.1, c.rho[i - 1]);
    const std::string at = std::to_string(c.peak);
    EXPECT_EQ(centre('d'), (std::vector<std::string>{" irhomax " + at + " 9 " + at + " 0 0",
                                                     " centre: 1 " + at + " 0 0"}));
  }
}

TEST_F(Centring, DensityPeakWithNoSmoothingLengthIsSkipped) {
  store.part.npart = 2;
  put(1, 1.0, 1.0, 1.0, 1, 0.0, 3.0f);
  put(2, 2.0, 1.0, 1.0, 1, 0.0, 1.0f);
  const auto lines = centre('d');
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("skipped"), std::string::npos);
  EXPECT_EQ(pos(1), (std::array<double, 3>{1.0, 1.0, 1.0}));
}

TEST_F(Centring, EnteredPositionAndOtherLetters) {
  store.part.npart = 2;
  put(1, 1.0, 2.0, 3.0);
  put(2, 2.0, 2.0, 2.0);
  EXPECT_TRUE(centre('p', 0, {1.0, 2.0, 3.0}).empty());
  EXPECT_EQ(pos(1), (std::array<double, 3>{0.0, 0.0, 0.0}));
  EXPECT_EQ(pos(2), (std::array<double, 3>{1.0, 0.0, -1.0}));
  for (char c : {'M', ' ', 'n', 'D'}) EXPECT_TRUE(centre(c).empty());
  EXPECT_EQ(pos(2), (std::array<double, 3>{1.0, 0.0, -1.0}));
}

TEST_F(Centring, OnSinks) {
  store.part.npart = 4;
  put(1, 1.0, 0.0, 0.0, 1.0);
  put(2, 2.0, 0.0, 0.0, 5.0);
  put(3, 3.0, 0.0, 0.0, 5.0);
  put(4, 4.0, 0.0, 0.0, 2.0);
  store.ptmass.nptmass = 3;
  store.ptmass.listpm(1) = 4;
  store.ptmass.listpm(2) = 3;  // heaviest, first of two
  store.ptmass.listpm(3) = 2;
  EXPECT_EQ(centre('s'), (std::vector<std::string>{" sink 2 3 5 3 0 0"}));
  EXPECT_EQ(store.part.pos_mass_h(1, 3), 0.0);
  EXPECT_EQ(centre('x', 1), (std::vector<std::string>{" sink 1 4 2 1 0 0"}));
  EXPECT_EQ(store.part.pos_mass_h(1, 4), 0.0);
  for (int ip : {2, 3, 4}) store.part.pos_mass_h(4, ip) = 0.0;  // sinks of no mass: the first of them
  EXPECT_EQ(centre('s'), (std::vector<std::string>{" sink 1 4 0 0 0 0"}));
}

TEST_F(Centring, MissingSinksMoveNothing) {
  store.part.npart = 2;
  put(1, 1.0, 0.0, 0.0);
  put(2, 2.0, 0.0, 0.0);
  store.ptmass.nptmass = 0;
  EXPECT_EQ(centre('s'), (std::vector<std::string>{" no sink to centre on: the dump has 0 sinks"}));
  store.ptmass.nptmass = 1;
  store.ptmass.listpm(1) = 3;  // beyond npart
  EXPECT_EQ(centre('x', 2), (std::vector<std::string>{" no sink 2 to centre on: the dump has 1 sinks"}));
  EXPECT_EQ(centre('x', 0), (std::vector<std::string>{" no sink 0 to centre on: the dump has 1 sinks"}));
  EXPECT_EQ(centre('x', 1),
            (std::vector<std::string>{" no sink 1 to centre on: its particle 3 is outside 1 to 2"}));
  EXPECT_EQ(centre('s').size(), 1u);
  EXPECT_EQ(pos(1), (std::array<double, 3>{1.0, 0.0, 0.0}));
}
