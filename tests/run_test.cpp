// End-to-end: the built tool with a canned dialogue, checking its console,
// its files and its exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "format/dump_writer.hpp"
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
  write_file(dir.file("second"), opening_only());
  ToolRun r = run_tool(dir.path(), "2\nnothere\nsecond\nn\n0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open dump \"nothere\": No such file or directory"), std::string::npos)
      << r.err;
  // Both dumps got their files, one index line each.
  EXPECT_EQ(dir.read("IPnothere"), " 0.00000E+00  0.00000E+00 QGnothere01\n");
  EXPECT_EQ(dir.read("IPsecond"), " 0.00000E+00  0.00000E+00 QGsecond 01\n");
  EXPECT_TRUE(dir.exists("QGsecond 01"));
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
  EXPECT_TRUE(r.err.empty()) << r.err;
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
