// The particle store: capacity, room that grows and keeps what it holds,
// layout, zero start and memory cost.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "state/store.hpp"

TEST(Store, RoomGrowsOnDemandUpToTheCapacityKeepingValues) {
  ASSERT_TRUE(pg::store_init());
  EXPECT_EQ(pg::store.capacity(), 50001000);
  EXPECT_EQ(pg::store.reserved(), 0);
  EXPECT_EQ(pg::store_reserved_bytes(), 0u);
  EXPECT_EQ(pg::densi.rho.base, nullptr);

  pg::store.ensure(100000);
  const std::int64_t first = pg::store.reserved();
  EXPECT_GE(first, 100000);
  EXPECT_LT(first, 400000) << "room grows by a bounded factor, not to the capacity";
  pg::raddust.dust_values(2, 100000) = 3.0;
  pg::phase.iphase(7) = -1;
  pg::store.ensure(first);  // within the room: nothing moves
  EXPECT_EQ(pg::store.reserved(), first);

  pg::store.ensure(first + 1);
  EXPECT_GT(pg::store.reserved(), first + 1) << "growth rounds up";
  EXPECT_EQ(pg::raddust.dust_values(2, 100000), 3.0);
  EXPECT_EQ(pg::phase.iphase(7), -1);
  EXPECT_EQ(pg::raddust.dust_values(2, first + 1), 0.0) << "new room reads as zero";

  // Never beyond the capacity; touching the last particle of some members
  // uses only those pages.
  pg::store.ensure(pg::idim + 5);
  EXPECT_EQ(pg::store.reserved(), pg::idim);
  EXPECT_GE(pg::store_reserved_bytes(), std::size_t{200} * static_cast<std::size_t>(pg::idim));
  EXPECT_EQ(pg::raddust.dust_values(2, 100000), 3.0);
  pg::part.pos_mass_h(5, pg::idim) = 1.0;
  pg::extinc.extinc_values(4, pg::idim) = 2.0f;
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  EXPECT_LT(ru.ru_maxrss, 100 * 1024) << "kB resident";
}

TEST(Store, MembersWithoutRoomStayEmptyAsTheOthersGrow) {
  pg::Store s;
  ASSERT_TRUE(s.reserve(1000, pg::Store::Members::always_read));
  s.ensure(2000);
  EXPECT_EQ(s.reserved(), 1000);
  EXPECT_NE(s.phase.iphase.base, nullptr);
  EXPECT_NE(s.inactive.listinactive.base, nullptr);
  EXPECT_NE(s.unique.iunique.base, nullptr);
  EXPECT_EQ(s.part.pos_mass_h.base, nullptr);
  EXPECT_EQ(s.raddust.dust_values.base, nullptr);
  s.unique.iunique(1000) = 5;
}

TEST(Store, StartsAtZeroAndStartsOverAtInit) {
  ASSERT_TRUE(pg::store_init(10));
  pg::raddust.dust_values(1, 7) = 3.0;
  pg::ptmass.nptmass = 4;
  pg::ptmass.listpm(300) = 9;
  ASSERT_TRUE(pg::store_init(10));
  EXPECT_EQ(pg::raddust.dust_values(1, 7), 0.0);
  EXPECT_EQ(pg::ptmass.nptmass, 0);
  EXPECT_EQ(pg::ptmass.listpm(300), 0);
  EXPECT_EQ(pg::rbnd.hmass, 0.0);
}

TEST(Store, ComponentsOfOneParticleAreAdjacent) {
  ASSERT_TRUE(pg::store_init(10));
  EXPECT_EQ(&pg::part.pos_mass_h(1, 2), &pg::part.pos_mass_h(5, 1) + 1);
  EXPECT_EQ(&pg::part.vel_u(3, 10), pg::part.vel_u.base + 9 * 4 + 2);
  EXPECT_EQ(&pg::densi.rho(1), pg::densi.rho.base);
  EXPECT_EQ(pg::chem.dH2dt_pair.at(1, 3), pg::chem.dH2dt_pair.base + 4);
}
