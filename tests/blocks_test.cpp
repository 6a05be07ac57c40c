// The array blocks of a dump: placement in the store, the group layouts the
// reader takes or passes over, the totals of multi-block dumps and their faults.
#include <gtest/gtest.h>

#include "dump/rdump.hpp"
#include "state/store.hpp"
#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

// Sink array a (0-based, in the writer's order) of sink j within its block.
double sink_value(int a, int j) { return (a + 1) * 100.0 + j; }

class Blocks : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { store.reserve(pg::idim, pg::Store::Members::all, 1000); }
  bool tagged() const { return GetParam(); }
  ReadOutcome read(const Dump& d) { return read_dump_bytes(dump_bytes(d), store); }
  pg::Store store;
};

// Two blocks of 600 and 400 particles with sinks and inactive lists in both.
Dump two_blocks(bool tagged, const Particles& p, std::vector<std::int32_t>& list1,
                std::vector<std::int32_t>& list2) {
  Dump d = simple_dump(p, tagged);
  d.ints = standard_ints(1000, 2);
  const Particles a = slice(p, 0, 600), b = slice(p, 600, 400);
  d.blocks = {Block{{gas_group(a, &list1), sink_group({5, 17}, 19), rad_group(a)}},
              Block{{gas_group(b, &list2), sink_group({1, 2, 400}, 10), rad_group(b)}}};
  return d;
}

}  // namespace

TEST_P(Blocks, TwoBlocksFillTheStoreInFileOrder) {
  Particles p = sample_particles(1000);
  std::vector<std::int32_t> list1 = {3, 250, 600}, list2 = {7, 8, 400};
  for (int k : {3, 250, 600, 607, 608, 1000}) p.iphase[static_cast<std::size_t>(k - 1)] = -1;
  ReadOutcome o = read(two_blocks(tagged(), p, list1, list2));
  ASSERT_EQ(o.status, 0) << o.last();
  EXPECT_TRUE(o.has_line(" Totals at this point npart, nptmass 600 2"));
  EXPECT_TRUE(o.has_line(" Totals at this point npart, nptmass 1000 5"));
  EXPECT_EQ(o.last(), " FINISHED READ 1000 5");
  EXPECT_TRUE(o.has_line(" iphases 0 -1 0 0"));  // store indices 1 and 600
  EXPECT_TRUE(o.has_line(" iphases 0 0 0 600"));   // store indices 1 and 400
  // Particles in file order, components adjacent.
  for (std::int64_t i : {1, 600, 601, 1000}) {
    const auto k = static_cast<std::size_t>(i - 1);
    EXPECT_EQ(store.part.pos_mass_h(1, i), p.xyzmh[0][k]);
    EXPECT_EQ(store.part.pos_mass_h(5, i), p.xyzmh[4][k]);
    EXPECT_EQ(store.part.vel_u(4, i), p.vxyzu[3][k]);
    EXPECT_EQ(store.densi.rho(i), p.rho[k]);
    EXPECT_EQ(store.raddust.dust_temperature(i), p.dust_t[k]);
    EXPECT_EQ(store.radtrans.rad_values(5, i), p.rad[4][k]);
    EXPECT_EQ(store.timei.isteps(i), p.isteps[k]);
    EXPECT_EQ(store.unique.iunique(i), i);  // numbered: the dump has none
  }
  // Inactive lists become store indices, one after the other.
  EXPECT_EQ(store.inactive.nlistinactive, 6);
  const std::vector<std::int32_t> list(store.inactive.listinactive.at(1), store.inactive.listinactive.at(7));
  EXPECT_EQ(list, (std::vector<std::int32_t>{3, 250, 600, 607, 608, 1000}));
  // Sinks: block 2's follow block 1's, their particles shifted by 600.
  EXPECT_EQ(store.ptmass.nptmass, 5);
  EXPECT_EQ(store.ptmass.nptmass_read, 5);
  EXPECT_EQ(store.radsinki.nradsink, 5);
  const std::vector<std::int32_t> listpm(store.ptmass.listpm.at(1), store.ptmass.listpm.at(6));
  EXPECT_EQ(listpm, (std::vector<std::int32_t>{5, 17, 601, 602, 1000}));
  EXPECT_EQ(store.ptmass.spinx(2), sink_value(0, 2));
  EXPECT_EQ(store.ptmass.lyonlum(1), sink_value(18, 1));
  EXPECT_EQ(store.ptmass.stellarmass(3), sink_value(12, 1));  // block 2 carries stellarmass only
  EXPECT_EQ(store.ptmass.ptmassform(3), 0.0);
}

// Faults of the blocks: the kind and the numbers its line shows. The store's
// capacity bounds the blocks together, so a store of 10 particles shows the
// second block's particles not fitting after the first's.
TEST_P(Blocks, FaultsOfTheBlocks) {
  struct Case {
    const char* name;
    Dump dump;
    std::int64_t capacity;
    pg::FaultKind kind;
    std::vector<pg::wide_count> numbers;
  };
  std::vector<Case> cases;
  {
    Particles p = sample_particles(1000);
    std::vector<std::int32_t> list1 = {3}, list2 = {7};
    p.iphase[2] = -1;  // particle 607 stays active
    cases.push_back({"active particle listed in block 2", two_blocks(tagged(), p, list1, list2), pg::idim,
                     pg::FaultKind::active_listed_inactive, {2, 1, 607, 600, 400, 0}});
  }
  auto two_of = [&](std::int32_t npart, std::size_t n1, std::size_t n2) {
    Particles p = sample_particles(n1 + n2);
    Dump d = simple_dump(p, tagged());
    d.ints = standard_ints(npart, 2);
    d.blocks = {Block{{gas_group(slice(p, 0, n1)), sink_group({})}},
                Block{{gas_group(slice(p, n1, n2)), sink_group({})}}};
    return d;
  };
  cases.push_back({"block counts not adding up", two_of(5, 3, 3), pg::idim,
                   pg::FaultKind::block_counts_differ, {6, 5, 2, 2}});
  cases.push_back({"second block beyond the store", two_of(10, 6, 6), 10, pg::FaultKind::store_exceeded,
                   {6, 6, 10}});
  for (const Case& c : cases) {
    pg::Store small;
    small.reserve(c.capacity);
    ConsoleCapture cap;
    pg::DumpFile f = memory_dump(dump_bytes(c.dump), 256);
    try {
      (void)pg::rdump(f, {small, cap});
      ADD_FAILURE() << c.name << ": read without a fault";
    } catch (const pg::Error& fault) {
      EXPECT_EQ(fault.kind, c.kind) << c.name;
      for (std::size_t k = 0; k < c.numbers.size(); ++k)
        EXPECT_EQ(fault.numbers[k], c.numbers[k]) << c.name << ", number " << k;
    }
  }
}

TEST_P(Blocks, LongerRecordsGiveTheirFirstValues) {
  Particles p = sample_particles(25);
  Dump d = simple_dump(slice(p, 0, 20), tagged());
  d.blocks = {Block{{gas_group(p), sink_group({}), rad_group(p)}}};  // 25 values each
  ReadOutcome o = read(d);
  EXPECT_EQ(o.last(), " FINISHED READ 20 0");
  EXPECT_EQ(store.part.pos_mass_h(1, 20), p.xyzmh[0][19]);
  EXPECT_EQ(store.part.pos_mass_h(1, 21), 0.0);
  // One value short: the group does not cover npart.
  Dump s = simple_dump(p, tagged());
  s.blocks = {Block{{gas_group(slice(p, 0, 24)), sink_group({}), rad_group(slice(p, 0, 24))}}};
  EXPECT_EQ(read(s).last(), " ERROR 8 in rdump: npart wrong 24 25 50001000");
}

TEST_P(Blocks, ArraysTheReaderDoesNotUseArePassedOver) {
  Particles p = sample_particles(30);
  p.gradh.assign(30, 1.5f);
  p.gradsoft.assign(30, 2.5f);
  p.alpha.assign(30, 3.5f);
  for (auto& c : p.chem) c.assign(30, 0.25f);
  Dump d = simple_dump(p, tagged());
  Group gas = gas_group(p, nullptr, 3, 2);  // x..u then 3 more; rho..alpha then 2 more
  gas.arrays.push_back(array_of("r8_end", s_real8, std::vector<double>(30, 1.0)));
  gas.arrays.insert(gas.arrays.begin() + 2, array_of("i2_mid", s_int2, std::vector<std::int16_t>(30, 1)));
  Group rad = rad_group(p, 2, 2, 2);  // two int*2 in front, two reals and two real*4 more
  d.blocks = {Block{{gas, sink_group({4}, 15, 2), rad,
                     Group{30, false, {}, {array_of("g4", s_real, std::vector<double>(30, 8.0))}}}}};
  ReadOutcome o = read(d);
  ASSERT_EQ(o.last(), " FINISHED READ 30 1");
  EXPECT_TRUE(o.has_line(" nums3 0 0 2 0 0 9 11 0"));
  EXPECT_TRUE(o.has_line(" nums4 0 0 0 0 0 1 0 0"));
  EXPECT_EQ(store.densi.rho(30), p.rho[29]);
  EXPECT_EQ(store.gradhterms.gradhterms(2, 30), 2.5f);
  EXPECT_EQ(store.numpa.alpha(1), 3.5f);
  EXPECT_EQ(store.chem.dH2dt_pair(1, 30), 0.25f);
  EXPECT_EQ(store.chem.dH2dt_pair(2, 30), 0.0f);
  EXPECT_EQ(store.raddust.dust_opacity(30), p.dust_kappa[29]);
  EXPECT_EQ(store.ptmass.stellarlum(1), sink_value(14, 1));
}

TEST_P(Blocks, MissingOptionalArraysKeepEarlierValues) {
  Particles p = sample_particles(10);
  p.dust_t.clear();
  p.dust_kappa.clear();
  store.raddust.dust_temperature(3) = 42.0;
  store.numpa.alpha(3) = 7.0f;
  ReadOutcome o = read(simple_dump(p, tagged()));
  EXPECT_TRUE(o.has_line(" nums3 0 0 0 0 0 5 0 0"));
  EXPECT_EQ(o.last(), " FINISHED READ 10 0");
  EXPECT_EQ(store.raddust.dust_temperature(3), 42.0);
  EXPECT_EQ(store.numpa.alpha(3), 7.0f);
}

TEST_P(Blocks, IdentifiersAreKeptUnlessTheFirstIsZero) {
  Particles p = sample_particles(12);
  p.iunique.assign(12, 0);
  p.iunique[0] = 42;
  ReadOutcome o = read(simple_dump(p, tagged()));
  EXPECT_EQ(store.unique.iunique(1), 42);
  EXPECT_EQ(store.unique.iunique(2), 0);
  EXPECT_FALSE(o.lines.empty());
  p.iunique[0] = 0;
  p.iunique[1] = 99;
  o = read(simple_dump(p, tagged()));
  EXPECT_TRUE(o.has_line(" Read iunique 0 99 0 0 0 0 0 0 0 0"));
  EXPECT_EQ(store.unique.iunique(2), 2);
}

TEST_P(Blocks, MismatchedTagOnlyWarns) {
  if (!tagged()) GTEST_SKIP() << "untagged dumps carry no tags";
  Particles p = sample_particles(8);
  Dump d = simple_dump(p, true);
  d.blocks[0].groups[0].arrays[7].tag = "vy";  // where "vx" is expected
  ReadOutcome o = read(d);
  EXPECT_TRUE(o.has_line(" WARNING: read tag vy               but expected               vx"));
  EXPECT_EQ(o.last(), " FINISHED READ 8 0");
  EXPECT_EQ(store.part.vel_u(1, 8), p.vxyzu[0][7]);
}

INSTANTIATE_TEST_SUITE_P(TaggedAndUntagged, Blocks, ::testing::Bool());
