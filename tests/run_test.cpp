// End-to-end: the built tool with a canned dialogue, checking its console,
// its files and its exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

const std::string question =
    "Do you want to centre on the centre of mass (m) or on the maximum density (d) or "
    " on a position (p) or  on the most massive or xth sink (s,x) or not at all?";

std::vector<std::string> dialogue_lines() {
  return {" Enter number of input files:", " Enter names of input files:", question,
          " Undo rotating reference frame (0,1,2,3) ?",
          "    (3=1 but change velocities to rotating frame)"};
}

// The names in a folder, sorted.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The part of a dump before its header: identification and file identifier.
std::string opening_only() {
  Dump d;
  d.cut = 4 + 24 + 4 + 108;
  return dump_bytes(d);
}

}  // namespace

TEST(Run, NoDumpsOpensNothing) {
  TempDir dir;
  ToolRun r = run_tool(dir.path(), "0\nm\n0\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out_lines(), dialogue_lines());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  EXPECT_LT(r.max_rss_kb, 100 * 1024);
}

TEST(Run, ShortNameKeepsItsBlanksInTheGridFile) {
  TempDir dir;
  write_file(dir.file("abc"), opening_only());
  ToolRun r = run_tool(dir.path(), "1\nabc\nn\n0\n");
  EXPECT_EQ(r.status, 1) << "the dump ended early";
  auto lines = r.out_lines();
  std::vector<std::string> expect = dialogue_lines();
  for (const char* l : {"QGabc    01", " reading header", " have read header",
                        " END OF FILE REACHED IN RDUMP", " Units are 0 0", " Time is 0",
                        " 1.991e+33 3.086e+17 14874038434801.994", " npart= 0"})
    expect.emplace_back(l);
  EXPECT_EQ(lines, expect);
  EXPECT_EQ(dir.read("IPabc"), " 0.00000E+00  0.00000E+00 QGabc    01\n");
  const std::string grid = dir.read("QGabc    01");
  EXPECT_EQ(grid.size(), 13u + 540u * 7700u);
  EXPECT_EQ(grid.substr(0, 13), "#   700  540\n");
  EXPECT_EQ(grid.find("0.000"), std::string::npos);
}

TEST(Run, MissingDumpGoesOnAndExitsOne) {
  TempDir dir;
  const std::string good = dump_bytes(simple_dump(sample_particles(40)));
  write_file(dir.file("first"), good);
  write_file(dir.file("third"), good);
  const std::string input = "3\nfirst\nnothere\nthird\nn\n0\n";
  const ToolRun apart = run_tool(dir.path(), input);
  EXPECT_EQ(apart.status, 1);
  EXPECT_EQ(split_lines(apart.err)[0],
            "phasegrid: dump \"nothere\" could not be opened: No such file or directory; its grid and "
            "index line hold values left by earlier dumps");
  // Every dump got its files, one index line each; the missing one shows
  // what the store held from the dump before it.
  const std::string first_line = dir.read("IPfirst");
  EXPECT_EQ(dir.read("IPnothere"), first_line.substr(0, 26) + "QGnothere01\n");
  EXPECT_EQ(dir.read("IPthird"), first_line.substr(0, 26) + "QGthird  01\n");
  EXPECT_EQ(dir.read("QGnothere01"), dir.read("QGfirst  01"));
  EXPECT_EQ(dir.read("QGthird  01"), dir.read("QGfirst  01"));

  // Standard error on the same pipe as standard output: its line comes where
  // it was written, after every line printed before it.
  const ToolRun together = run_tool(dir.path(), input, {}, {}, ErrTo::stdout_too);
  EXPECT_EQ(together.status, 1);
  std::vector<std::string> expect = apart.out_lines();
  const auto at = std::find(expect.begin(), expect.end(), "QGnothere01");
  ASSERT_NE(at, expect.end()) << apart.out;
  expect.insert(at, split_lines(apart.err)[0]);
  expect.push_back(split_lines(apart.err)[1]);  // the summary closes the run
  EXPECT_EQ(together.out_lines(), expect);
}

TEST(Run, CrlfAnswersNameTheSameDumpsAndFilesAsLf) {
  // A name shorter than the seven characters of a dump name, one of exactly
  // seven, and a centre position.
  const std::string lf = "2\nab\ncloud01\np\n0.5 0.25 0\n1\n1e-13\n";
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  TempDir a, b;
  for (const TempDir* d : {&a, &b}) {
    write_file(d->file("ab"), dump_bytes(simple_dump(sample_particles(40, 2))));
    write_file(d->file("cloud01"), dump_bytes(simple_dump(sample_particles(30, 3))));
  }
  const ToolRun with_lf = run_tool(a.path(), lf), with_crlf = run_tool(b.path(), crlf);
  EXPECT_EQ(with_lf.status, 0) << with_lf.err;
  EXPECT_EQ(with_crlf.status, 0) << with_crlf.err;
  EXPECT_EQ(with_crlf.out, with_lf.out);
  EXPECT_EQ(with_crlf.err, "");
  const std::vector<std::string> names = {"IPab", "IPcloud01", "QGab     01", "QGcloud0101", "ab", "cloud01"};
  EXPECT_EQ(names_in(a.path()), names);
  EXPECT_EQ(names_in(b.path()), names);
  for (const std::string& n : names) EXPECT_EQ(b.read(n), a.read(n)) << n;
}

TEST(Run, RadiativeGroupOfAnotherLengthLeavesTheStoredDustTemperatures) {
  // A group 3 whose length is not the block's particle count is not read:
  // the dust temperatures (and so the grid) are what the store held, those
  // of the run's previous dump, or zeros before the first.
  Particles p = sample_particles(40, 4);
  Particles hotter = p;
  for (double& t : hotter.dust_t) t *= 3.0;
  Particles cold = p;
  for (double& t : cold.dust_t) t = 0.0;
  Dump odd = simple_dump(hotter);
  odd.blocks[0].groups[2].length_count = 39;
  TempDir dir;
  write_file(dir.file("first"), dump_bytes(simple_dump(p)));
  write_file(dir.file("odd"), dump_bytes(odd));
  write_file(dir.file("hotter"), dump_bytes(simple_dump(hotter)));
  write_file(dir.file("cold"), dump_bytes(simple_dump(cold)));

  const ToolRun after = run_tool(dir.path(), "3\nfirst\nodd\nhotter\nn\n0\n");
  EXPECT_EQ(after.status, 0) << after.err;
  const std::string first = dir.read("QGfirst  01");
  EXPECT_EQ(dir.read("QGodd    01"), first);
  EXPECT_NE(dir.read("QGhotter 01"), first) << "the odd dump's own temperatures would move the grid";

  const ToolRun alone = run_tool(dir.path(), "2\nodd\ncold\nn\n0\n");
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(dir.read("QGodd    01"), dir.read("QGcold   01"));
}

TEST(Run, FatalDumpFaultStopsWithStatusOne) {
  TempDir dir;
  Dump bad;
  bad.magic1 = 12345;
  bad.cut = 4 + 24 + 4 + 108;
  write_file(dir.file("bad"), dump_bytes(bad));
  write_file(dir.file("good"), opening_only());
  ToolRun r = run_tool(dir.path(), "2\nbad\ngood\nn\n0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out_lines().back(), " ERROR 1 in rdump: ENDIANNESS wrong?");
  EXPECT_EQ(split_lines(r.err).back(),
            "phasegrid: 2 of 2 dumps had problems: bad (stopped by a fault), good (not processed)");
  // The stopped dump leaves its files created but empty; no later dump ran.
  EXPECT_EQ(dir.read("IPbad"), "");
  EXPECT_EQ(dir.read("QGbad    01"), "");
  EXPECT_FALSE(dir.exists("IPgood"));
}

TEST(Run, BadAnswerExitsTwoWithAMessage) {
  TempDir dir;
  ToolRun r = run_tool(dir.path(), "1\nabc\nn\nnone\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("rotating-frame answer"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Run, UnwritableOutputExitsTwoNamingTheFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("QGabc    01"));  // in the way of the grid file
  write_file(dir.file("abc"), opening_only());
  ToolRun r = run_tool(dir.path(), "1\nabc\nn\n0\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"QGabc    01\""), std::string::npos) << r.err;
}
