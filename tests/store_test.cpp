// The particle store: capacity, room that grows and keeps what it holds,
// layout, zero start and memory cost.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "state/store.hpp"

TEST(Store, RoomGrowsOnDemandUpToTheCapacityKeepingValues) {
  pg::Store store;
  ASSERT_TRUE(store.reserve(pg::idim));
  EXPECT_EQ(store.capacity(), 50001000);
  EXPECT_EQ(store.reserved(), 0);
  EXPECT_EQ(store.reserved_bytes(), 0u);
  EXPECT_EQ(store.densi.rho.base, nullptr);

  store.ensure(100000);
  const std::int64_t first = store.reserved();
  EXPECT_GE(first, 100000);
  EXPECT_LT(first, 400000) << "room grows by a bounded factor, not to the capacity";
  store.raddust.dust_values(2, 100000) = 3.0;
  store.phase.iphase(7) = -1;
  store.ensure(first);  // within the room: nothing moves
  EXPECT_EQ(store.reserved(), first);

  store.ensure(first + 1);
  EXPECT_GT(store.reserved(), first + 1) << "growth rounds up";
  EXPECT_EQ(store.raddust.dust_values(2, 100000), 3.0);
  EXPECT_EQ(store.phase.iphase(7), -1);
  EXPECT_EQ(store.raddust.dust_values(2, first + 1), 0.0) << "new room reads as zero";

  // Never beyond the capacity; touching the last particle of some members
  // uses only those pages.
  store.ensure(pg::idim + 5);
  EXPECT_EQ(store.reserved(), pg::idim);
  EXPECT_GE(store.reserved_bytes(), std::size_t{200} * static_cast<std::size_t>(pg::idim));
  EXPECT_EQ(store.raddust.dust_values(2, 100000), 3.0);
  store.part.pos_mass_h(5, pg::idim) = 1.0;
  store.extinc.extinc_values(4, pg::idim) = 2.0f;
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
  pg::Store exact;  // members of whole 2 MiB steps take no step more
  ASSERT_TRUE(exact.reserve(pg::idim, pg::Store::Members::always_read, 1 << 21));
  EXPECT_EQ(exact.reserved_bytes(), std::size_t{1 + 4 + 8} << 21);  // iphase, listinactive, iunique
}

TEST(Store, StartsAtZeroAndStartsOverAtInit) {
  pg::Store store;
  ASSERT_TRUE(store.reserve(pg::idim, pg::Store::Members::all, 10));
  store.raddust.dust_values(1, 7) = 3.0;
  store.ptmass.nptmass = 4;
  store.ptmass.listpm(300) = 9;
  ASSERT_TRUE(store.reserve(pg::idim, pg::Store::Members::all, 10));
  EXPECT_EQ(store.raddust.dust_values(1, 7), 0.0);
  EXPECT_EQ(store.ptmass.nptmass, 0);
  EXPECT_EQ(store.ptmass.listpm(300), 0);
  EXPECT_EQ(store.rbnd.hmass, 0.0);
}

TEST(Store, ComponentsOfOneParticleAreAdjacent) {
  pg::Store store;
  ASSERT_TRUE(store.reserve(pg::idim, pg::Store::Members::all, 10));
  EXPECT_EQ(&store.part.pos_mass_h(1, 2), &store.part.pos_mass_h(5, 1) + 1);
  EXPECT_EQ(&store.part.vel_u(3, 10), store.part.vel_u.base + 9 * 4 + 2);
  EXPECT_EQ(&store.densi.rho(1), store.densi.rho.base);
  EXPECT_EQ(store.chem.dH2dt_pair.at(1, 3), store.chem.dH2dt_pair.base + 4);
}
