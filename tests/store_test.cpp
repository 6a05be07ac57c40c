// The particle store: capacity, layout, zero start and memory cost.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "state/store.hpp"

TEST(Store, ReservesFullCapacityWithoutUsingIt) {
  ASSERT_TRUE(pg::store_init());
  EXPECT_GE(pg::store_reserved_bytes(), std::size_t{200} * static_cast<std::size_t>(pg::idim));
  EXPECT_EQ(pg::idim, 50001000);
  // Touch the last particle of some members: only those pages get used.
  pg::part.pos_mass_h(5, pg::idim) = 1.0;
  pg::extinc.extinc_values(4, pg::idim) = 2.0f;
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  EXPECT_LT(ru.ru_maxrss, 100 * 1024) << "kB resident";
}

TEST(Store, StartsAtZeroAndStartsOverAtInit) {
  ASSERT_TRUE(pg::store_init());
  pg::raddust.dust_values(1, 7) = 3.0;
  pg::ptmass.nptmass = 4;
  pg::ptmass.listpm(300) = 9;
  ASSERT_TRUE(pg::store_init());
  EXPECT_EQ(pg::raddust.dust_values(1, 7), 0.0);
  EXPECT_EQ(pg::ptmass.nptmass, 0);
  EXPECT_EQ(pg::ptmass.listpm(300), 0);
  EXPECT_EQ(pg::rbnd.hmass, 0.0);
}

TEST(Store, ComponentsOfOneParticleAreAdjacent) {
  ASSERT_TRUE(pg::store_init());
  EXPECT_EQ(&pg::part.pos_mass_h(1, 2), &pg::part.pos_mass_h(5, 1) + 1);
  EXPECT_EQ(&pg::part.vel_u(3, 10), pg::part.vel_u.base + 9 * 4 + 2);
  EXPECT_EQ(&pg::densi.rho(1), pg::densi.rho.base);
  EXPECT_EQ(pg::chem.dH2dt_pair.at(1, 3), pg::chem.dH2dt_pair.base + 4);
}
