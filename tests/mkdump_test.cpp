// tools/mkdump: its dumps must be read completely by the built tool and
// land where a collapsing cloud lies in the phase grid; the seed alone
// decides the bytes; bad arguments are refused. Also the streamed writer it
// lays dumps out with.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

std::size_t count_lines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool has_line_containing(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// The counts of a grid file: (row, column) from 1 -> particles. Each cell
// holds log10 of its count to three decimals, exact for the small counts of
// these tests.
std::map<std::pair<int, int>, long> grid_counts(const std::string& text) {
  std::istringstream in(text);
  std::string hash;
  int nx = 0, ny = 0;
  in >> hash >> nx >> ny;
  std::map<std::pair<int, int>, long> cells;
  for (int r = 1; r <= ny; ++r)
    for (int c = 1; c <= nx; ++c) {
      double v;
      if (!(in >> v)) throw std::runtime_error("grid file too short");
      if (v > -1.0) cells[{r, c}] = std::lround(std::pow(10.0, v));
    }
  return cells;
}

long total(const std::map<std::pair<int, int>, long>& cells) {
  long n = 0;
  for (const auto& [at, count] : cells) n += count;
  return n;
}

// Mean grid row (200 per decade of dust temperature) of the particles whose
// column (50 per decade of density) lies in [c0, c1).
double mean_row(const std::map<std::pair<int, int>, long>& cells, int c0, int c1) {
  double sum = 0.0, n = 0.0;
  for (const auto& [at, count] : cells)
    if (at.second >= c0 && at.second < c1) {
      sum += static_cast<double>(at.first * count);
      n += static_cast<double>(count);
    }
  return n > 0 ? sum / n : 0.0;
}

}  // namespace

TEST(MkDump, TaggedDumpIsReadCompletelyAndLooksLikeACollapsingCloud) {
  TempDir dir;
  const ToolRun m =
      run_mkdump({"--particles", "20000", "--sinks", "3", "--time", "1.25", "--seed", "7", dir.file("cloud01")});
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_EQ(m.out, fmt::format("{}: 20000 particles, 1 block, 3 sinks, {} bytes\n", dir.file("cloud01"),
                               std::filesystem::file_size(dir.file("cloud01"))));

  const ToolRun r = run_tool(dir.path(), "1\ncloud01\nn\n0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = r.out_lines();
  EXPECT_EQ(count_lines(lines, " FINISHED READ 20000 3"), 1u);
  EXPECT_EQ(count_lines(lines, " Totals at this point npart, nptmass 20000 3"), 1u);
  EXPECT_EQ(count_lines(lines, " READ nlistinactive 200"), 1u) << "1% of the particles by default";
  EXPECT_FALSE(has_line_containing(lines, "Read iunique")) << "the dump carries identifiers";
  EXPECT_FALSE(has_line_containing(lines, "WARNING")) << r.out;
  EXPECT_FALSE(has_line_containing(lines, "ERROR")) << r.out;
  EXPECT_TRUE(dir.read("IPcloud01").starts_with(" 1.25000E+00 ")) << dir.read("IPcloud01");

  const auto cells = grid_counts(dir.read("QGcloud0101"));
  // Every particle but the inactive ones lies inside the grid.
  EXPECT_EQ(total(cells), 20000 - 200);
  std::set<int> rows, columns;
  for (const auto& [at, count] : cells) {
    rows.insert(at.first);
    columns.insert(at.second);
  }
  EXPECT_GT(columns.size(), 300u);
  EXPECT_GT(rows.size(), 100u);
  EXPECT_LT(*columns.begin(), 25) << "densities from about 1 per cm3";
  EXPECT_GT(*columns.rbegin(), 600) << "to beyond 1e12 per cm3";
  // About 10 K in the diffuse gas (row 200), about 6 K around 1e4-1e6
  // (row 156), hot in the densest gas.
  EXPECT_NEAR(mean_row(cells, 1, 100), 198.0, 6.0);
  EXPECT_NEAR(mean_row(cells, 200, 300), 157.0, 6.0);
  EXPECT_GT(mean_row(cells, 600, 651), 350.0);
}

TEST(MkDump, UntaggedBlocksAreReadCompletely) {
  TempDir dir;
  const ToolRun m = run_mkdump({"--particles", "10001", "--blocks", "3", "--sinks", "5", "--untagged",
                              "--no-iunique", "--inactive", "0.05", dir.file("multi")});
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_EQ(m.out, fmt::format("{}: 10001 particles, 3 blocks, 5 sinks, {} bytes\n", dir.file("multi"),
                               std::filesystem::file_size(dir.file("multi"))));

  const ToolRun r = run_tool(dir.path(), "1\nmulti\nn\n0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = r.out_lines();
  // Blocks of 3334, 3334 and 3333 particles with 2, 2 and 1 sinks; 5% of
  // each block inactive.
  EXPECT_EQ(count_lines(lines, " Totals at this point npart, nptmass 3334 2"), 1u);
  EXPECT_EQ(count_lines(lines, " Totals at this point npart, nptmass 6668 4"), 1u);
  EXPECT_EQ(count_lines(lines, " Totals at this point npart, nptmass 10001 5"), 1u);
  EXPECT_EQ(count_lines(lines, " READ nlistinactive 167"), 3u);
  EXPECT_EQ(count_lines(lines, " FINISHED READ 10001 5"), 1u);
  EXPECT_FALSE(has_line_containing(lines, "ERROR")) << r.out;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.starts_with(" Read iunique"); }),
            3)
      << "no identifiers: numbered by the reader in every block";
  EXPECT_EQ(total(grid_counts(dir.read("QGmulti  01"))), 10001 - 3 * 167);

  // Sink lists are block-relative: the last sink's particle is in block 3
  // and carries a sink's mass, not a gas particle's 0.005.
  const ToolRun s = run_tool(dir.path(), "1\nmulti\nx\n5\n0\n");
  ASSERT_EQ(s.status, 0) << s.err;
  const auto sink_lines = s.out_lines();
  const auto sink = std::find_if(sink_lines.begin(), sink_lines.end(),
                                 [](const std::string& l) { return l.starts_with(" sink 5 "); });
  ASSERT_NE(sink, sink_lines.end()) << s.out;
  std::istringstream in(sink->substr(8));
  long particle = 0;
  double mass = 0.0;
  in >> particle >> mass;
  EXPECT_GT(particle, 6668);
  EXPECT_LE(particle, 10001);
  EXPECT_GE(mass, 0.05);
}

TEST(MkDump, ExtremeSharesAndSizesStayReadable) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> expect;  // console lines, each exactly once
  };
  const std::vector<Case> cases = {
      // All inactive: one particle stays, the list holds n - 1 entries.
      {{"--particles", "50", "--sinks", "0", "--inactive", "1"},
       {" READ nlistinactive 49", " FINISHED READ 50 0"}},
      // Sinks are never inactive.
      {{"--particles", "50", "--sinks", "4", "--inactive", "1"},
       {" READ nlistinactive 46", " FINISHED READ 50 4"}},
      {{"--particles", "1", "--sinks", "0"}, {" FINISHED READ 1 0"}},
      // One particle per block, each of them a sink.
      {{"--particles", "3", "--blocks", "3", "--sinks", "3", "--inactive", "1"},
       {" Totals at this point npart, nptmass 2 2", " FINISHED READ 3 3"}},
      // The most sinks the tool holds, spread over blocks.
      {{"--particles", "1000", "--blocks", "7", "--sinks", "300", "--untagged"}, {" FINISHED READ 1000 300"}},
      // The radiative group with its dust and no chemistry; no radiative group at all.
      {{"--particles", "50", "--no-chemistry"}, {" nums3 0 0 0 0 0 7 0 0", " FINISHED READ 50 3"}},
      {{"--particles", "50", "--no-radiation"}, {" Number of array lengths & blocks 2 1", " FINISHED READ 50 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir dir;
    std::vector<std::string> args = c.args;
    args.push_back(dir.file("edge"));
    const ToolRun m = run_mkdump(args);
    ASSERT_EQ(m.status, 0) << m.err;
    const ToolRun r = run_tool(dir.path(), "1\nedge\nn\n0\n");
    EXPECT_EQ(r.status, 0) << r.out;
    const auto lines = r.out_lines();
    for (const std::string& l : c.expect) EXPECT_EQ(count_lines(lines, l), 1u) << l << "\n" << r.out;
    EXPECT_FALSE(has_line_containing(lines, "ERROR")) << r.out;
  }
}

TEST(MkDump, SeedAloneDecidesTheBytes) {
  TempDir dir;
  const std::vector<std::string> common = {"--particles", "5000", "--blocks", "2", "--sinks", "4"};
  auto make = [&](const std::string& seed, const std::string& name) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--seed", seed, dir.file(name)});
    const ToolRun m = run_mkdump(args);
    EXPECT_EQ(m.status, 0) << m.err;
    return dir.read(name);
  };
  const std::string a = make("42", "a"), again = make("42", "again"), other = make("43", "other");
  ASSERT_GT(a.size(), 5000u * 100u);
  EXPECT_TRUE(a == again) << "the same options must give the same file";
  EXPECT_EQ(other.size(), a.size());
  EXPECT_FALSE(other == a);
}

TEST(MkDump, BadArgumentsExitTwoAndWriteNothing) {
  TempDir dir;
  const std::string out = dir.file("out");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--particles"},
      {"--particles", "0", out},
      {"--particles", "50001001", out},
      {"--particles", "12x", out},
      {"--particles", "99999999999999999999999", out},
      {"--particles=", out},
      {"--blocks", "0", out},
      {"--particles", "10", "--blocks", "11", out},
      {"--sinks", "301", out},
      {"--sinks", "-1", out},
      {"--particles", "4", "--blocks", "2", "--sinks", "6", out},  // 3 sinks, 2 particles a block
      {"--inactive", "1.5", out},
      {"--inactive", "nan", out},
      {"--time", "soon", out},
      {"--time", "inf", out},
      {"--seed", "-3", out},
      {"--frobnicate", out},
      {"-p", out},
      {"--untagged=yes", out},
      {out, dir.file("second")},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(testing::PrintToString(args));
    const ToolRun m = run_mkdump(args);
    EXPECT_EQ(m.status, 2);
    EXPECT_TRUE(m.err.starts_with("mkdump: ")) << m.err;
    EXPECT_EQ(m.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
  // Files that cannot be written: named on stderr with the reason.
  const std::string missing_folder = dir.file("no/such/folder/out");
  const ToolRun unwritable = run_mkdump({missing_folder});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_NE(unwritable.err.find("cannot create " + missing_folder + ": "), std::string::npos)
      << unwritable.err;
  if (std::filesystem::exists("/dev/full")) {
    const ToolRun full = run_mkdump({"--particles", "100000", "/dev/full"});
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("cannot write /dev/full: "), std::string::npos) << full.err;
    EXPECT_EQ(full.out, "");
    EXPECT_TRUE(std::filesystem::exists("/dev/full")) << "only a regular file is removed";
  }

  const ToolRun help = run_mkdump({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: mkdump")) << help.out;
}

// The streamed writer mkdump uses lays a dump out exactly as write_dump()
// does, whether the data records come from the arrays or from the callback.
TEST(StreamedDump, MatchesTheWholeDumpByteForByte) {
  TempDir dir;
  for (const bool tagged : {true, false}) {
    SCOPED_TRACE(tagged ? "tagged" : "untagged");
    const Particles p = sample_particles(9, 3);
    const std::vector<std::int32_t> inactive = {2};
    Dump d;
    d.tagged = tagged;
    d.ints = standard_ints(9, 2);
    d.i8_value = 9;
    const HeaderReals h = standard_reals(0.5);
    d.real_tags = h.tags;
    d.reals = h.values;
    Particles first = slice(p, 0, 5), second = slice(p, 5, 4);
    first.iphase[1] = -1;
    d.blocks.push_back(Block{{gas_group(first, &inactive), sink_group({3}, 15), rad_group(first)}});
    d.blocks.push_back(Block{{gas_group(second), sink_group({}, 15), rad_group(second, 1, 1)}});
    d.trailer = "after";
    const std::string whole = dump_bytes(d);

    write_dump_streamed(d, dir.file("own"), nullptr);
    EXPECT_TRUE(read_file(dir.file("own")) == whole);

    // The same with every data record made by the callback, in file order.
    Dump hollow = d;
    std::vector<std::string> expected_order;
    for (Block& b : hollow.blocks)
      for (Group& g : b.groups)
        for (Array& a : g.arrays) {
          expected_order.push_back(a.tag);
          a.data.clear();
        }
    std::vector<std::string> order;
    write_dump_streamed(hollow, dir.file("streamed"),
                        [&](RecordWriter& w, const Array& a, const ArrayPlace& at) {
                          order.push_back(a.tag);
                          w.record(d.blocks[at.block].groups[at.group].arrays[at.index].data);
                          return true;
                        });
    EXPECT_EQ(order, expected_order);
    EXPECT_TRUE(read_file(dir.file("streamed")) == whole);
  }
}
