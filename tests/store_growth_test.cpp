// End-to-end: the store takes the address space the run's dumps need and
// grows with them: a large dump runs under an address-space limit, a run of
// growing dumps keeps what earlier dumps left, and a dump that cannot have
// its room stops the run with a line that says so.
#include <gtest/gtest.h>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

constexpr int million = 1000000;

// Writes a dump of `particles` particles with the built mkdump into `dir`.
void make_dump(const TempDir& dir, const std::string& name, int particles) {
  const ToolRun m = run_program({MKDUMP_BIN, "--particles", std::to_string(particles), dir.file(name)});
  ASSERT_EQ(m.status, 0) << m.err;
}

// Runs the built tool in `dir` under `ulimit -v kb`.
ToolRun run_limited(const TempDir& dir, long kb, const std::string& input) {
  return run_program({"sh", "-c", "ulimit -v " + std::to_string(kb) + "; exec \"$0\"", PHASEGRID_BIN},
                     dir.path(), input);
}

// p without its radiative group: its dust temperatures are not in the dump.
Dump without_radiation(const Particles& p) {
  Dump d = simple_dump(p);
  d.blocks[0].groups.pop_back();
  return d;
}

}  // namespace

// The limit leaves room for the dump's 2^20 + 1 particles, not for the next
// power of two the store would rather grow to.
TEST(StoreGrowth, MillionParticlesRunUnderAnAddressSpaceLimit) {
#ifdef PHASEGRID_SANITIZED
  GTEST_SKIP() << "an address-space limit leaves no room for the sanitizer's shadow memory";
#endif
  TempDir dir;
  make_dump(dir, "big", (1 << 20) + 1);
  const ToolRun free_run = run_tool(dir.path(), "1\nbig\nn\n0\n");
  ASSERT_EQ(free_run.status, 0) << free_run.err;
  const std::string grid = dir.read("QGbig    01");
  const ToolRun limited = run_limited(dir, 400000, "1\nbig\nn\n0\n");
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_EQ(limited.err, "");
  EXPECT_EQ(limited.out, free_run.out);
  EXPECT_EQ(dir.read("QGbig    01"), grid);
}

TEST(StoreGrowth, GrowingDumpsKeepWhatEarlierDumpsLeft) {
  // 100,000 particles with dust temperatures, then 40,000 and 150,000
  // without: each later grid bins the first dump's temperatures for the
  // particles it held, and none (zero: outside the grid) beyond them.
  const Particles first = sample_particles(100000, 1);
  const Particles fewer = sample_particles(40000, 2);
  const Particles more = sample_particles(150000, 3);
  Particles fewer_seen = fewer, more_seen = more;
  for (std::size_t i = 0; i < fewer.size(); ++i) fewer_seen.dust_t[i] = first.dust_t[i];
  for (std::size_t i = 0; i < more.size(); ++i) more_seen.dust_t[i] = i < first.size() ? first.dust_t[i] : 0.0;
  TempDir dir;
  write_dump(simple_dump(first), dir.file("first"));
  write_dump(without_radiation(fewer), dir.file("fewer"));
  write_dump(without_radiation(more), dir.file("more"));
  write_dump(simple_dump(fewer_seen), dir.file("fseen"));
  write_dump(simple_dump(more_seen), dir.file("mseen"));

  const ToolRun run = run_tool(dir.path(), "3\nfirst\nfewer\nmore\nn\n0\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const ToolRun seen = run_tool(dir.path(), "2\nfseen\nmseen\nn\n0\n");
  ASSERT_EQ(seen.status, 0) << seen.err;
  EXPECT_EQ(dir.read("QGfewer  01"), dir.read("QGfseen  01"));
  EXPECT_EQ(dir.read("QGmore   01"), dir.read("QGmseen  01"));
  EXPECT_NE(dir.read("QGmore   01"), dir.read("QGfewer  01"));
}

TEST(StoreGrowth, DumpBeyondTheAddressSpaceLimitExitsTwoNamingItsParticles) {
#ifdef PHASEGRID_SANITIZED
  GTEST_SKIP() << "an address-space limit leaves no room for the sanitizer's shadow memory";
#endif
  TempDir dir;
  make_dump(dir, "small", 1000);
  make_dump(dir, "big", million);
  // The limit leaves room for a small dump, not for a million particles.
  const ToolRun small = run_limited(dir, 150000, "1\nsmall\nn\n0\n");
  ASSERT_EQ(small.status, 0) << small.err;
  const ToolRun big = run_limited(dir, 150000, "2\nsmall\nbig\nn\n0\n");
  EXPECT_EQ(big.status, 2);
  const auto lines = split_lines(big.err);
  ASSERT_EQ(lines.size(), 2u) << big.err;
  EXPECT_TRUE(lines[0].starts_with("phasegrid: cannot reserve memory for 1000000 particles (212 MB in all): "
                                    "Cannot allocate memory; dump \"big\" stopped the run"))
      << lines[0];
  EXPECT_EQ(lines[1], "phasegrid: 1 of 2 dumps had problems: big (out of memory)");
  EXPECT_EQ(big.out_lines().back(), " Doing block 1") << "the store grows as the block begins";
}
