// The particle store: capacity, room that grows and keeps what it holds,
// layout, zero start and memory cost.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.hpp"
#include "state/store.hpp"

namespace {

// A file of floats 1000 * tag + k at float k, that can be cut short.
struct FakeFile : pg::FileAt {
  std::string bytes;
  FakeFile(int tag, int floats) {
    for (int k = 0; k < floats; ++k) {
      const float v = static_cast<float>(1000 * tag + k);
      bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
  }
  pg::SysResult<std::size_t> read_at(void* dst, std::size_t n, std::int64_t offset) const override {
    const std::size_t at = std::min(bytes.size(), static_cast<std::size_t>(offset));
    n = std::min(n, bytes.size() - at);
    std::memcpy(dst, bytes.data() + at, n);
    return n;
  }
};

}  // namespace

TEST(Store, ValuesLeftInFilesOverTheRoom) {
  pg::Store store;
  store.reserve(1000, pg::Store::Members::all, 10);
  for (int i = 1; i <= 10; ++i) store.densi.rho(i) = static_cast<float>(i);
  auto older = std::make_shared<FakeFile>(1, 10), newer = std::make_shared<FakeFile>(2, 10);
  store.in_file.rho.note(older, 2, 6, 0);            // particles 2..7: floats 0..5 of the older file
  store.in_file.rho.note(newer, 4, 2, 4 * 3);        // particles 4..5: floats 3..4 of the newer one
  float got[12];
  store.rho_values(1, 12, got);
  const float want[12] = {1, 1000, 1001, 2003, 2004, 1004, 1005, 8, 9, 10, 0, 0};
  for (int k = 0; k < 12; ++k) EXPECT_EQ(got[k], want[k]) << "particle " << k + 1;
  // The newer file covers only part of the older: the older is copied in.
  store.settle_files();
  newer->bytes.resize(16);  // and the newer one is cut short
  EXPECT_EQ(store.densi.rho(6), 1004.0f);
  store.rho_values(6, 3, got);
  EXPECT_EQ(got[0], 1004.0f);
  try {
    store.rho_values(5, 1, got);
    ADD_FAILURE() << "a file cut short is read";
  } catch (const pg::Error& e) {
    EXPECT_EQ(e.kind, pg::FaultKind::dump_changed);
  }
  // A later file that covers all but the last particle of an earlier one.
  store.in_file.rho.clear();
  store.in_file.rho.note(older, 1, 8, 0);
  store.in_file.rho.note(std::make_shared<FakeFile>(3, 10), 1, 7, 0);
  store.settle_files();
  EXPECT_EQ(store.densi.rho(8), 1007.0f);
}

TEST(Store, RoomGrowsOnDemandUpToTheCapacityKeepingValues) {
  pg::Store store;
  store.reserve(pg::idim);
  EXPECT_EQ(store.capacity(), 50001000);
  EXPECT_EQ(store.reserved(), 0);
  EXPECT_EQ(store.reserved_bytes(), 0u);
  EXPECT_EQ(store.densi.rho.base, nullptr);

  store.ensure(100000);
  const std::int64_t first = store.reserved();
  EXPECT_GE(first, 100000);
  EXPECT_LT(first, 400000) << "room grows by a bounded factor, not to the capacity";
  store.raddust.dust_opacity(100000) = 3.0;
  store.phase.iphase(7) = -1;
  store.ensure(first);  // within the room: nothing moves
  EXPECT_EQ(store.reserved(), first);

  store.ensure(first + 1);
  EXPECT_GT(store.reserved(), first + 1) << "growth rounds up";
  EXPECT_EQ(store.raddust.dust_opacity(100000), 3.0);
  EXPECT_EQ(store.phase.iphase(7), -1);
  EXPECT_EQ(store.raddust.dust_opacity(first + 1), 0.0) << "new room reads as zero";

  // Never beyond the capacity; touching the last particle of some members
  // uses only those pages.
  store.ensure(pg::idim + 5);
  EXPECT_EQ(store.reserved(), pg::idim);
  EXPECT_GE(store.reserved_bytes(), std::size_t{200} * static_cast<std::size_t>(pg::idim));
  EXPECT_EQ(store.raddust.dust_opacity(100000), 3.0);
  store.part.pos_mass_h(5, pg::idim) = 1.0;
  store.extinc.extinc_values(4, pg::idim) = 2.0f;
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  EXPECT_LT(ru.ru_maxrss, 100 * 1024) << "kB resident";
}

TEST(Store, MembersWithoutRoomStayEmptyAsTheOthersGrow) {
  pg::Store s;
  s.reserve(1000, pg::Store::Members::always_read);
  s.ensure(2000);
  EXPECT_EQ(s.reserved(), 1000);
  EXPECT_NE(s.phase.iphase.base, nullptr);
  EXPECT_NE(s.inactive.listinactive.base, nullptr);
  EXPECT_NE(s.unique.iunique.base, nullptr);
  EXPECT_EQ(s.part.pos_mass_h.base, nullptr);
  EXPECT_EQ(s.raddust.dust_temperature.base, nullptr);
  s.unique.iunique(1000) = 5;
  pg::Store exact;  // members of whole 2 MiB steps take no step more
  exact.reserve(pg::idim, pg::Store::Members::always_read, 1 << 21);
  EXPECT_EQ(exact.reserved_bytes(), std::size_t{1 + 4 + 8} << 21);  // iphase, listinactive, iunique
}

TEST(Store, StartsAtZeroAndStartsOverAtInit) {
  pg::Store store;
  store.reserve(pg::idim, pg::Store::Members::all, 10);
  store.raddust.dust_temperature(7) = 3.0;
  store.ptmass.nptmass = 4;
  store.ptmass.listpm(300) = 9;
  store.reserve(pg::idim, pg::Store::Members::all, 10);
  EXPECT_EQ(store.raddust.dust_temperature(7), 0.0);
  EXPECT_EQ(store.ptmass.nptmass, 0);
  EXPECT_EQ(store.ptmass.listpm(300), 0);
  EXPECT_EQ(store.rbnd.hmass, 0.0);
}

TEST(Store, ComponentsOfOneParticleAreAdjacent) {
  pg::Store store;
  store.reserve(pg::idim, pg::Store::Members::all, 10);
  EXPECT_EQ(&store.part.pos_mass_h(1, 2), &store.part.pos_mass_h(5, 1) + 1);
  EXPECT_EQ(&store.part.vel_u(3, 10), store.part.vel_u.base + 9 * 4 + 2);
  EXPECT_EQ(&store.densi.rho(1), store.densi.rho.base);
  EXPECT_EQ(store.chem.dH2dt_pair.at(1, 3), store.chem.dH2dt_pair.base + 4);
}
