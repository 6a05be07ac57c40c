// Damaged and hostile layouts that the tool refuses: each stops the run with
// one ERROR line naming the problem and its numbers, and exit status 1,
// before anything is written outside the store.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <optional>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

struct Case {
  const char* name;
  std::function<Dump()> make;
  const char* error;  // the last line of standard output
};

Dump one_block(std::size_t n = 10) { return simple_dump(sample_particles(n)); }

Dump two_blocks(std::function<void(Block&, Block&)> change) {
  Particles p = sample_particles(10);
  Dump d = simple_dump(p);
  d.ints = standard_ints(10, 2);
  Block a{{gas_group(slice(p, 0, 5)), sink_group({1}), rad_group(slice(p, 0, 5))}};
  Block b{{gas_group(slice(p, 5, 5)), sink_group({2}), rad_group(slice(p, 5, 5))}};
  change(a, b);
  d.blocks = {a, b};
  return d;
}

// A one-block dump of 5 particles whose gas group carries an inactive list;
// `inactive` particles (1-based) get phase -1, and `count` (when given)
// replaces the count the list record starts with.
Dump with_inactive_list(const std::vector<std::int32_t>& list, const std::vector<int>& inactive = {},
                        std::optional<std::int32_t> count = {}) {
  Particles p = sample_particles(5);
  for (int k : inactive) p.iphase[static_cast<std::size_t>(k - 1)] = -1;
  Dump d = simple_dump(p);
  d.blocks[0].groups[0] = gas_group(p, &list);
  if (count) std::memcpy(d.blocks[0].groups[0].arrays[1].data.data(), &*count, 4);
  return d;
}

// A two-block dump whose first block lists particle 1 of 5 as inactive
// under the count `count`.
Dump listing_block(std::int32_t count) {
  return two_blocks([count](Block& a, Block&) {
    Particles p = sample_particles(5);
    p.iphase[0] = -1;
    const std::vector<std::int32_t> list = {1};
    a.groups[0] = gas_group(p, &list);
    std::memcpy(a.groups[0].arrays[1].data.data(), &count, 4);
  });
}

std::vector<std::int32_t> sinks(int n) { return std::vector<std::int32_t>(static_cast<std::size_t>(n), 1); }

const Case cases[] = {
    {"NoBlocks",
     [] {
       Dump d = one_block();
       d.ints[6] = 0;
       return d;
     },
     " ERROR 7 in rdump 3 3"},
    {"NegativeParticleCountInALaterBlock",
     [] { return two_blocks([](Block&, Block& b) { b.groups[0].length_count = -5; }); },
     " ERROR in rdump: block 2 has a negative particle count -5"},
    {"NegativeSinkCount",
     [] { return two_blocks([](Block&, Block& b) { b.groups[1].length_count = -1; }); },
     " ERROR in rdump: block 2 has a negative number of sinks -1"},
    {"SinksOfAllBlocksAbove300",
     [] {
       return two_blocks([](Block& a, Block& b) {
         a.groups[1] = sink_group(sinks(200));
         b.groups[1] = sink_group(sinks(101));
       });
     },
     " ERROR in rdump: the sinks of blocks 1 to 2 number 301 more than 300"},
    {"SinksOfOneBlockAbove300",
     [] {
       Dump d = one_block();
       d.blocks[0].groups[1] = sink_group(sinks(301));
       return d;
     },
     " ERROR 8.5 in rdump: nptmass exceeds dimensions!! 301 300"},
    {"InactiveCountBeyondItsEntriesInAFirstBlock", [] { return listing_block(9); },
     " ERROR in rdump: block 1 lists 9 inactive particles but carries 4 list entries"},
    {"NegativeInactiveCountInAFirstBlock", [] { return listing_block(-2); },
     " ERROR in rdump: block 1 lists -2 inactive particles but carries 4 list entries"},
    {"InactiveEntryOutsideTheStore", [] { return with_inactive_list({1, 2000000000}, {1}); },
     " ERROR in rdump: inactive list entry 2 names particle 2000000000 outside 1 to 50001000"},
    {"NegativeNpartOverTwoBlocks",
     [] {
       Dump d = two_blocks([](Block&, Block&) {});
       d.ints[0] = -4;
       return d;
     },
     " ERROR in rdump: npart is negative -4"},
    {"InactiveEntryOfAnActiveParticle", [] { return with_inactive_list({3}); },
     " ERROR - Read active particle as inactive 1 0 3 0 5 0"},
    {"ParticlesBeyondTheStore",
     [] {
       Dump d = one_block();
       d.ints[0] = 50001001;
       return d;
     },
     " ERROR in rdump: npart>idim"},
    {"BlockCountsNotAddingUp",
     [] { return two_blocks([](Block&, Block& b) { b.groups[0].length_count = 4; }); },
     " ERROR - rdump: icount.NE.npart 9 10 2 2"},
};

class Hostile : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(Hostile, StopsWithItsErrorLine) {
  TempDir dir;
  write_dump(GetParam().make(), dir.file("bad"));
  const ToolRun r = run_tool(dir.path(), "1\nbad\nn\n0\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_FALSE(r.out_lines().empty());
  EXPECT_EQ(r.out_lines().back(), GetParam().error);
  EXPECT_EQ(dir.read("QGbad    01"), "") << "a stopped dump leaves its grid file empty";
}

// The Python package's reader raises the fault's own exception, with its line.
TEST_P(Hostile, PythonRaisesTheFaultsExceptionWithItsLine) {
#ifdef PHASEGRID_SANITIZED
  GTEST_SKIP() << "a sanitized build makes no Python module";
#endif
  TempDir dir;
  write_dump(GetParam().make(), dir.file("bad"));
  const char* script =
      "import sys, phasegrid\n"
      "try:\n    phasegrid.read_dump(sys.argv[1])\n"
      "except phasegrid.DumpError as e:\n    print(type(e).__name__, e.kind, e, sep='\\n')\n";
  const ToolRun r = run_program({PHASEGRID_PYTHON, "-c", script, dir.file("bad")}, dir.path(), {},
                                {"PYTHONPATH=" PHASEGRID_PYTHONPATH});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = r.out_lines();
  ASSERT_EQ(lines.size(), 3u) << r.out;
  std::string name;  // the kind in CamelCase
  for (std::size_t i = 0; i < lines[1].size(); ++i)
    if (lines[1][i] != '_') name += i == 0 || lines[1][i - 1] == '_' ? static_cast<char>(std::toupper(lines[1][i])) : lines[1][i];
  EXPECT_EQ(lines[0], name);
  EXPECT_EQ(" " + lines[2], GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Hostile, ::testing::ValuesIn(cases),
                         [](const auto& test) { return std::string(test.param.name); });
