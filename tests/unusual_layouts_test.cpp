// Layouts whose counts differ from the arrays a dump carries, and counts that
// are out of the ordinary, which the tool still reads to the end: the arrays
// it always reads are read whatever the counts say, arrays no step reads are
// not required at the end of a dump, and a negative count reads as none.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

const std::size_t grid_bytes = 13u + 540u * 7700u;

struct Case {
  const char* name;
  std::function<std::vector<Dump>()> dumps;  // read as d1, d2, ... in one run
  std::vector<std::string> lines;  // on standard output, in this order
  int status = 0;
};

Dump one_block(std::size_t n = 10, bool tagged = true) { return simple_dump(sample_particles(n), tagged); }

Dump with_nums(Dump d, std::size_t group, std::array<std::int32_t, 8> nums) {
  d.blocks[0].groups[group].explicit_nums = true;
  d.blocks[0].groups[group].nums = nums;
  return d;
}

// A fourth group announcing one default-real array for each block's 5
// particles; `held`: the file carries that array.
Group group4(bool held) {
  Group g{5, true, {0, 0, 0, 0, 0, 1, 0, 0}, {}};
  if (held) g.arrays.push_back(array_of("g4", s_real, std::vector<double>(5, 8.0)));
  return g;
}

Dump two_blocks_with_group4(bool tagged, bool held) {
  Particles p = sample_particles(10);
  Dump d = simple_dump(p, tagged);
  d.ints = standard_ints(10, 2);
  for (std::size_t from : {0u, 5u}) {
    const Particles q = slice(p, from, 5);
    d.blocks.push_back(Block{{gas_group(q), sink_group({1}), rad_group(q), group4(held)}});
  }
  d.blocks.erase(d.blocks.begin());
  return d;
}

// A dump of 5 particles whose inactive list names particle 8.
Dump listing_particle_8() {
  Particles p = sample_particles(5);
  Dump d = simple_dump(p);
  const std::vector<std::int32_t> list = {8};
  d.blocks[0].groups[0] = gas_group(p, &list);
  return d;
}

std::vector<Case> cases() {
  std::vector<Case> out = {
      {"DensityCountedZero", [] { return std::vector{with_nums(one_block(), 0, {1, 1, 0, 0, 0, 9, 0, 0})}; },
       {" FINISHED READ 10 0"}},
      {"EightDefaultRealsCountedForNine",
       [] { return std::vector{with_nums(one_block(), 0, {1, 1, 0, 0, 0, 8, 1, 0})}; },
       {" FINISHED READ 10 0"}},
      {"NegativeCountsSkipNothing",
       [] {
         Dump d = with_nums(one_block(), 0, {INT32_MIN, 1, -2, 0, -1, 9, 1, -3});
         return std::vector{with_nums(d, 1, {1, -4, 0, 0, 0, 9, -1, -2})};
       },
       {" FINISHED READ 10 0"}},
      {"OlderVersionWithEveryCountZero",
       [] {
         Dump d = one_block();
         d.version = 2;
         d = with_nums(d, 0, {});
         return std::vector{with_nums(d, 1, {})};
       },
       {" FINISHED READ 10 0"}},
      {"RadiativeGroupCountingFourReals",
       [] { return std::vector{with_nums(one_block(), 2, {0, 0, 0, 0, 0, 4, 0, 0})}; },
       {" FINISHED READ 10 0"}},
      {"SinkGroupOfTwelveReals",
       [] {
         Dump d = one_block();
         // Two default reals beyond the ten the reader knows, passed over.
         Group& g = d.blocks[0].groups[1];
         g = sink_group({3}, 10);
         for (const char* tag : {"spare1", "spare2"})
           g.arrays.push_back(array_of(tag, s_real, std::vector<double>{4.0}));
         return std::vector{d};
       },
       {" FINISHED READ 10 1"}},
      {"LastBlockEndsBeforeItsFourthGroup",
       [] {
         Dump d = one_block(5);
         d.blocks[0].groups.push_back(group4(false));
         return std::vector{d};
       },
       {" FINISHED READ 5 0"}},
      {"LastBlockEndsBeforeARadiativeGroupOfAnotherLength",
       [] {
         Dump d = one_block(5);
         d.blocks[0].groups[2].length_count = 4;
         d.blocks[0].groups[2].explicit_nums = true;
         d.blocks[0].groups[2].nums = d.blocks[0].groups[2].counted_nums();
         d.blocks[0].groups[2].arrays.clear();
         return std::vector{d};
       },
       {" FINISHED READ 5 0"}},
      {"NegativeParticleCountReadsNone",
       [] {
         Dump d = one_block();
         d.ints[0] = -3;
         return std::vector{d};
       },
       {" Totals at this point npart, nptmass -3 0", " FINISHED READ -3 0"}},
      {"NegativeSinkCount",
       [] {
         Dump d = one_block(4);
         d.blocks[0].groups[1].length_count = -2;
         return std::vector{d};
       },
       {" Totals at this point npart, nptmass 4 -2", " FINISHED READ 4 -2"}},
      {"InactiveCountBeyondItsEntriesInOneBlock",
       [] {
         // Dump 1 lists particle 1 of 2 inactive; dump 2 counts 2 entries
         // but carries one (3): positions 1 and 2 are tested.
         Particles p = sample_particles(3);
         p.iphase = {-1, 0, -1};
         Dump a = simple_dump(p);
         const std::vector<std::int32_t> first = {1, 3};
         a.blocks[0].groups[0] = gas_group(p, &first);
         Particles q = sample_particles(2);
         Dump b = simple_dump(q);
         const std::vector<std::int32_t> second = {3};
         b.blocks[0].groups[0] = gas_group(q, &second);
         std::int32_t count = 2;
         std::memcpy(b.blocks[0].groups[0].arrays[1].data.data(), &count, 4);
         return std::vector{a, b};
       },
       {" READ nlistinactive 2", " FINISHED READ 3 0", " READ nlistinactive 2",
        " FINISHED READ 2 0"}},
      {"InactiveEntryAboveTheDumpMarkedByAnEarlierDump",
       [] {
         Particles p = sample_particles(10);
         p.iphase[7] = -1;
         const std::vector<std::int32_t> list = {8};
         Dump a = simple_dump(p);
         a.blocks[0].groups[0] = gas_group(p, &list);
         return std::vector{a, listing_particle_8()};
       },
       {" FINISHED READ 10 0", " READ nlistinactive 1", " FINISHED READ 5 0"}},
      {"InactiveEntryAtTheEndOfTheStoresRoom",
       [] {
         Particles p = sample_particles(1 << 16);  // the least room the store makes
         p.iphase.back() = -1;
         const std::vector<std::int32_t> list = {1 << 16};
         Dump d = simple_dump(p);
         d.blocks[0].groups[0] = gas_group(p, &list);
         return std::vector{d};
       },
       {" READ nlistinactive 1", " FINISHED READ 65536 0"}},
      {"InactiveEntryAboveTheDumpActive", [] { return std::vector{listing_particle_8()}; },
       {" ERROR - Read active particle as inactive 1 0 8 0 5 0"}, 1},
      {"UntaggedFourthGroupReadingAsLengthsButForACountAboveTheStore",
       [] {
         Dump d = two_blocks_with_group4(false, true);
         const std::int64_t count = 60000000;  // then 32 zero bytes
         std::string& put_off = d.blocks[0].groups[3].arrays[0].data;
         put_off.assign(40, '\0');
         std::memcpy(put_off.data(), &count, 8);
         return std::vector{d};
       },
       {" Totals at this point npart, nptmass 5 1", " FINISHED READ 10 2"}},
  };
  for (bool tagged : {true, false})
    for (bool held : {true, false})
      out.push_back({tagged ? (held ? "TwoBlocksHoldingTheirFourthGroupTagged"
                                    : "TwoBlocksWithoutTheirFourthGroupTagged")
                            : (held ? "TwoBlocksHoldingTheirFourthGroupUntagged"
                                    : "TwoBlocksWithoutTheirFourthGroupUntagged"),
                     [tagged, held] { return std::vector{two_blocks_with_group4(tagged, held)}; },
                     {" Totals at this point npart, nptmass 5 1", " Totals at this point npart, nptmass 10 2",
                      " FINISHED READ 10 2"}});
  return out;
}

class UnusualLayout : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(UnusualLayout, ReadsAsTheLayoutSays) {
  TempDir dir;
  const std::vector<Dump> dumps = GetParam().dumps();
  std::string answers = std::to_string(dumps.size()) + "\n";
  for (std::size_t k = 0; k < dumps.size(); ++k) {
    const std::string name = "d" + std::to_string(k + 1);
    write_dump(dumps[k], dir.file(name));
    answers += name + "\n";
  }
  const ToolRun r = run_tool(dir.path(), answers + "n\n0\n");
  EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
  // The expected lines appear in this order.
  const auto out = r.out_lines();
  auto at = out.begin();
  for (const std::string& line : GetParam().lines) {
    at = std::find(at, out.end(), line);
    ASSERT_NE(at, out.end()) << "missing, or out of order: \"" << line << "\"\n" << r.out;
  }
  const std::string last_grid = "QGd" + std::to_string(dumps.size()) + "     01";
  if (GetParam().status == 0) {
    for (std::size_t k = 1; k <= dumps.size(); ++k)
      EXPECT_EQ(dir.read("QGd" + std::to_string(k) + "     01").size(), grid_bytes);
  } else {
    EXPECT_EQ(out.back(), GetParam().lines.back()) << "a stop ends the console";
    EXPECT_EQ(dir.read(last_grid), "") << "a stopped dump leaves its grid file empty";
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, UnusualLayout, ::testing::ValuesIn(cases()),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(UnusualAnswers, RotatingFrameAnswerNotKnownPrintsOmegaFirst) {
  TempDir dir;
  write_dump(one_block(), dir.file("d1"));
  const ToolRun r = run_tool(dir.path(), "1\nd1\nn\n5\n1e-13\n");
  EXPECT_EQ(r.status, 0);
  const auto out = r.out_lines();
  const auto unknown = std::find_if(out.begin(), out.end(), [](const std::string& l) {
    return l.find("is not known") != std::string::npos;
  });
  ASSERT_NE(unknown, out.end()) << r.out;
  ASSERT_NE(unknown, out.begin());
  EXPECT_GT(std::stod(*(unknown - 1)), 0.0) << "omega stands on the line before";
  EXPECT_EQ(dir.read("QGd1     01").size(), grid_bytes);
}
