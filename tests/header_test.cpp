// The header of a dump: integer layouts, named reals, groups and units.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "state/store.hpp"
#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

const Particles& few() {
  static const Particles p = sample_particles(20);
  return p;
}

// A complete dump of a few particles, tagged or not.
Dump base(bool tagged = true) { return simple_dump(few(), tagged); }

bool finished(const ReadOutcome& o) { return o.has_line(" FINISHED READ 20 0") && o.status == 0; }

// Each test reads into a store of its own.
class Header : public ::testing::Test {
 protected:
  ReadOutcome read(const Dump& d) { return read_dump_bytes(dump_bytes(d), store); }
  pg::Store store{pg::idim};
};

}  // namespace

TEST_F(Header, IntegerLayoutsChosenByTheirCount) {
  struct Case {
    int n_int;
    const char* using_line;  // nullptr: none
    int n_blocks;            // what the reader must take
  };
  for (const Case& c : {Case{6, nullptr, 1}, Case{7, nullptr, 2}, Case{8, nullptr, 1},
                        Case{40, nullptr, 1}, Case{41, " USING 9+NTAB", 2}, Case{42, " USING 10+NTAB", 2},
                        Case{43, " USING 11+NTAB 61 62", 2}, Case{45, nullptr, 1}}) {
    SCOPED_TRACE(c.n_int);
    Dump d = base();
    d.ints = standard_ints(20, 2);
    d.ints.resize(static_cast<std::size_t>(c.n_int), 0);
    if (c.n_int >= 43) d.ints[41] = 61, d.ints[42] = 62;
    // Position 7 says two blocks; only layouts that read it see them.
    d.blocks = {Block{{gas_group(slice(few(), 0, 12)), sink_group({}), rad_group(slice(few(), 0, 12))}},
                Block{{gas_group(slice(few(), 12, 8)), sink_group({}), rad_group(slice(few(), 12, 8))}}};
    ReadOutcome o = read(d);
    if (c.using_line) {
      EXPECT_TRUE(o.has_line(c.using_line));
    }
    EXPECT_EQ(o.lines[3].starts_with(" USING"), c.using_line != nullptr);
    EXPECT_TRUE(o.has_line(fmt::format(" Number of array lengths & blocks 6 {}", c.n_blocks)));
    EXPECT_EQ(store.typef.extra_option1, c.n_int >= 42 && c.n_int <= 44 ? (c.n_int >= 43 ? 61 : 0) : 0);
  }
}

TEST_F(Header, DragSchemeWarningOnlyForLayout44WithTimeAboveZero) {
  for (double gt : {0.5, 0.0}) {
    Dump d = simple_dump(few(), true, gt);
    d.ints.resize(44, 0);
    d.ints[43] = 3;
    ReadOutcome o = read(d);
    EXPECT_TRUE(o.has_line(" USING 12+NTAB 0 0"));
    EXPECT_EQ(o.has_line(" WARNING: dragscheme has changed 0 3"), gt > 0) << gt;
    EXPECT_TRUE(finished(o));
  }
}

TEST_F(Header, ParticleCountAgainstCapacity) {
  Dump d = base();
  d.ints[0] = 50001001;
  ReadOutcome o = read(d);
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(o.last(), " ERROR in rdump: npart>idim");
  d.ints[0] = 50001000;
  o = read(d);
  EXPECT_FALSE(o.has_line(" ERROR in rdump: npart>idim"));
}

TEST_F(Header, TooFewValuesStopTheRun) {
  Dump ints = base();
  ints.ints.resize(5);
  EXPECT_EQ(read(ints).last(), " ERROR 4 in rdump: not enough default ints");
  Dump reals = base();
  reals.real_tags.resize(13);
  reals.reals.resize(13);
  EXPECT_EQ(read(reals).last(), " ERROR 5 in rdump: not enough default reals");
  reals = base();
  reals.n_real = 0;  // the count record says none, whatever follows
  EXPECT_EQ(read(reals).last(), " ERROR 5 in rdump: not enough default reals");
  Dump units = base();
  units.units = {1.0, 2.0};
  EXPECT_EQ(read(units).last(), " ERROR 6 in rdump: nreal8 too small header");
  Dump no_time = base();
  no_time.real_tags[0] = "time";
  ReadOutcome o = read(no_time);
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(o.last(), " ERROR: could not find gt in header");
}

TEST_F(Header, NamedRealsAndTheirDefaults) {
  Dump d = base();
  std::swap(d.real_tags[0], d.real_tags[1]);  // dtmax before gt
  std::swap(d.reals[0], d.reals[1]);
  d.real_tags[23] = "other";  // sdprof gone
  d.real_tags[26] = "other";  // max_rplan gone
  d.ints[2] = 0;              // nbody2: no surrounding medium
  ReadOutcome o = read(d);
  EXPECT_TRUE(finished(o));
  EXPECT_EQ(store.gtime.gt, 0.75);
  EXPECT_EQ(store.dtmaxin.dtmax, 0.01);
  EXPECT_EQ(store.planet2.sdprof, -0.5);
  EXPECT_EQ(store.planetesimal.max_rplan, 1000000.0);
  EXPECT_TRUE(o.has_line(" Surface density pre vary (goes as r^-0.5)"));
  EXPECT_TRUE(o.has_line(" r_max = 1000000"));
  EXPECT_FALSE(o.has_line(" read u for surrounding medium = 0.033"));
  d.ints[2] = 5;
  EXPECT_TRUE(read(d).has_line(" read u for surrounding medium = 0.033"));
}

TEST_F(Header, TaggedHeaderWithManyReals) {
  // 40 reals: a tag beyond position 30 counts as absent.
  Dump d = base();
  std::swap(d.real_tags[29], d.real_tags[27]);  // planetesimalmass to position 30, coremass to 28
  d.real_tags.resize(40, "extra");
  d.reals.resize(40, 9.0);
  std::swap(d.real_tags[28], d.real_tags[35]);  // coremass_orig to position 36
  ReadOutcome o = read(d);
  EXPECT_TRUE(finished(o));
  EXPECT_TRUE(o.has_line(" ERROR: could not find coremass_orig in header"));
  EXPECT_EQ(store.planet2.coremass_orig, 0.0);
  // More tags than the list holds: the surplus is passed over.
  Dump many = base();
  many.real_tags.resize(200, "extra");
  many.reals.resize(200, 9.0);
  EXPECT_TRUE(finished(read(many)));
}

TEST_F(Header, UntaggedDumpsSayTheirWarning) {
  ReadOutcome o = read(base(false));
  EXPECT_TRUE(finished(o));
  EXPECT_TRUE(o.has_line(" DO NOT USE CODE WITH DUMPS MADE FROM APRIL 2011"));
  EXPECT_FALSE(read(base(true)).has_line(" DO NOT USE CODE WITH DUMPS MADE FROM APRIL 2011"));
}

TEST_F(Header, IdentifierMaximumAndUnits) {
  store.unitsin(4) = 42.0;
  Dump d = base();
  d.i8_value = 123456789012LL;
  d.units = {3.0, 2.0, 1.0, 7.0};
  EXPECT_TRUE(finished(read(d)));
  EXPECT_EQ(store.unique.iunique_max, 123456789012LL);
  EXPECT_EQ(store.unitsin(1), 2.0);
  EXPECT_EQ(store.unitsin(2), 3.0);
  EXPECT_EQ(store.unitsin(3), 1.0);
  EXPECT_EQ(store.unitsin(4), 42.0);
  d.n_i8 = 0;
  EXPECT_TRUE(finished(read(d)));
  EXPECT_EQ(store.unique.iunique_max, 20);
}

TEST_F(Header, GroupsWithValuesTheReaderDoesNotUseArePassedOver) {
  for (bool tagged : {true, false}) {
    Dump d = base(tagged);
    d.small_counts = {3, 2, 1};
    d.n_i8 = 2;
    d.n_r4 = 4;
    ReadOutcome o = read(d);
    EXPECT_TRUE(finished(o)) << tagged;
    EXPECT_TRUE(o.has_line(" number int1,2,4 3"));
    EXPECT_EQ(store.unique.iunique_max, 20);
  }
}
