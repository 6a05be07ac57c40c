// End-to-end: phasegrid-dump on dumps from the dump writer, good, damaged and
// hostile, and on the bundled example dumps.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <regex>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"
#include "tests/support/spawn.hpp"

using namespace pgtest;

namespace {

ToolRun inspect(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {PHASEGRID_DUMP_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, dir);
}

ToolRun inspect_dump(const TempDir& dir, const Dump& d, const std::string& name = "dump01") {
  write_dump(d, dir.file(name));
  return inspect(dir.path(), {name});
}

bool has_line(const std::string& out, const std::string& pattern) {
  for (const std::string& line : split_lines(out))
    if (std::regex_match(line, std::regex(pattern))) return true;
  return false;
}

std::string last_line(const std::string& out) {
  const std::vector<std::string> lines = split_lines(out);
  return lines.empty() ? std::string() : lines.back();
}

// Two blocks of 60 and 40 particles, with sinks in both.
Dump two_blocks(bool tagged) {
  const Particles p = sample_particles(100);
  Dump d = simple_dump(p, tagged);
  d.ints = standard_ints(100, 2);
  const Particles a = slice(p, 0, 60), b = slice(p, 60, 40);
  d.blocks = {Block{{gas_group(a), sink_group({5, 17}, 19), rad_group(a)}},
              Block{{gas_group(b), sink_group({1, 2, 40}, 10), rad_group(b)}}};
  return d;
}

}  // namespace

TEST(Inspect, TaggedDumpShowsTagsTypesLengthsAndNamedReals) {
  TempDir dir;
  const ToolRun r = inspect_dump(dir, simple_dump(sample_particles(120), true, 0.625));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string& o = r.out;
  EXPECT_TRUE(has_line(o, R"(dump01: \d+ bytes)")) << o;
  EXPECT_TRUE(has_line(o, R"( +identification: magic numbers 690706 780806 690706, format version 1)")) << o;
  EXPECT_TRUE(has_line(o, R"( +tagged: .*)")) << o;
  EXPECT_TRUE(has_line(o, R"( +default integers +41)")) << o;
  EXPECT_TRUE(has_line(o, R"( +npart 120, nbody1 120, nbody2 0, blocks 1)")) << o;
  EXPECT_TRUE(has_line(o, R"( +iunique_max +120)")) << o;
  EXPECT_TRUE(has_line(o, R"( +reals +30)")) << o;
  EXPECT_TRUE(has_line(o, R"( +1 gt +0\.625)")) << o;
  EXPECT_TRUE(has_line(o, R"( +4 rhozero +0\.0125)")) << o;
  EXPECT_TRUE(has_line(o, R"( +1 unitvar01 +3\.086e\+17)")) << o;
  EXPECT_TRUE(has_line(o, R"( +array-length records: 3 \(1 block of 3\))")) << o;
  EXPECT_TRUE(has_line(o, R"( +group 1: length 120; arrays: integer 1, integer\*1 1, real 9, real\*4 1)")) << o;
  EXPECT_TRUE(has_line(o, R"( +group 2: length 0; arrays: integer 1, real 9)")) << o;
  for (const char* line : {R"( +isteps +slot 1 integer +120)", R"( +iphase +slot 2 integer\*1 +120)",
                           R"( +vz +slot 6 real +120)", R"( +rho +slot 7 real\*4 +120)",
                           R"( +listpm +slot 1 integer +0)",
                           R"( +DustTemperature +slot 6 real +120)"})
    EXPECT_TRUE(has_line(o, line)) << line << "\n" << o;
  EXPECT_EQ(last_line(o), "phasegrid reads it completely: 120 particles, 0 sinks");
}

TEST(Inspect, UntaggedDumpNamesArraysByPlaceAndRealsByPosition) {
  TempDir dir;
  const ToolRun r = inspect_dump(dir, simple_dump(sample_particles(80), false, 0.5));
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string& o = r.out;
  EXPECT_TRUE(has_line(o, R"( +untagged: .*)")) << o;
  EXPECT_TRUE(has_line(o, R"( +1 gt +0\.5)")) << o;
  EXPECT_TRUE(has_line(o, R"( +24 sdprof +-1\.5)")) << o;
  EXPECT_TRUE(has_line(o, R"( +iunique_max +80)")) << o;
  EXPECT_TRUE(has_line(o, R"( +integer #1 +slot 1 integer +80)")) << o;
  EXPECT_TRUE(has_line(o, R"( +real #9 +slot 6 real +80)")) << o;
  EXPECT_TRUE(has_line(o, R"( +real\*4 #1 +slot 7 real\*4 +80)")) << o;
  EXPECT_FALSE(has_line(o, R"(.* rho .*)")) << "an untagged dump has no tags to show";
  EXPECT_EQ(last_line(o), "phasegrid reads it completely: 80 particles, 0 sinks");
}

TEST(Inspect, EveryBlockOfAMultiBlockDump) {
  for (const bool tagged : {true, false}) {
    TempDir dir;
    const ToolRun r = inspect_dump(dir, two_blocks(tagged));
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string& o = r.out;
    EXPECT_TRUE(has_line(o, R"( +npart 100, nbody1 100, nbody2 0, blocks 2)")) << o;
    EXPECT_TRUE(has_line(o, R"( +array-length records: 6 \(2 blocks of 3\))")) << o;
    EXPECT_TRUE(has_line(o, R"( +block 2)")) << o;
    EXPECT_TRUE(has_line(o, R"( +group 2: length 2; arrays: integer 1, real 19)")) << o;
    EXPECT_TRUE(has_line(o, R"( +group 2: length 3; arrays: integer 1, real 10)")) << o;
    EXPECT_TRUE(has_line(o, R"( +group 1: length 40; .*)")) << o;
    if (tagged) {
      EXPECT_TRUE(has_line(o, R"( +lyonlum +slot 6 real +2)")) << o;
    }
    EXPECT_EQ(last_line(o), "phasegrid reads it completely: 100 particles, 5 sinks");
  }
}

TEST(Inspect, TruncatedDumpEndsEarly) {
  TempDir dir;
  Dump d = simple_dump(sample_particles(200));
  const std::size_t whole = dump_bytes(d).size();
  for (const std::int64_t cut : {std::int64_t{0}, std::int64_t{20}, std::int64_t(whole / 2),
                                 std::int64_t(whole - 3)}) {
    d.cut = cut;
    const ToolRun r = inspect_dump(dir, d);
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(has_line(r.out, fmt::format(R"( +the file ends at byte {}, before the dump does)", cut)))
        << cut << "\n" << r.out;
    EXPECT_EQ(last_line(r.out),
              "phasegrid reads it only in part: the file ends early (END OF FILE REACHED IN RDUMP)");
  }
}

TEST(Inspect, DamagedFramingStopsTheWalkWithTheRecordLayersError) {
  TempDir dir;
  Dump d = simple_dump(sample_particles(30));
  std::string bytes = dump_bytes(d);
  // The trailing length word of the identification record.
  bytes[4 + 24] = 99;
  write_file(dir.file("dump01"), bytes);
  const ToolRun r = inspect(dir.path(), {"dump01"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.out, R"( +the walk stops: ERROR in rdump: the record at byte 0 begins with length 24 but ends with length 99)"))
      << r.out;
  EXPECT_EQ(last_line(r.out),
            "phasegrid stops on it: ERROR in rdump: the record at byte 0 begins with length 24 but ends with length 99");
}

TEST(Inspect, AWalkTheReaderRefusesStillShowsTheWholeFile) {
  TempDir dir;
  Particles p = sample_particles(30);
  Dump d = simple_dump(p);
  const std::vector<std::int32_t> active = {3};  // listed inactive, but active
  d.blocks[0].groups[0] = gas_group(p, &active);
  d.blocks[0].groups[1] = sink_group({}, 9);
  d.blocks[0].groups[1].arrays.push_back(array_of("spare", s_real, std::vector<double>{}));
  d.blocks[0].groups[1].arrays.push_back(array_of("spare2", s_real, std::vector<double>{}));
  const ToolRun r = inspect_dump(dir, d);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.out, R"( +spare2 +slot 6 real +0)")) << r.out;
  EXPECT_TRUE(has_line(r.out, R"( +DustTemperature +slot 6 real +30)")) << r.out;
  EXPECT_EQ(last_line(r.out),
            "phasegrid stops on it: ERROR - Read active particle as inactive 1 0 3 0 30 0");
}

TEST(Inspect, GarbageAndHostileCountsStopCleanly) {
  TempDir dir;
  std::mt19937 rng(7);
  std::vector<std::string> files;
  for (int k = 0; k < 4; ++k) {
    std::string junk(3000 + 1000 * k, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    write_file(dir.file("junk" + std::to_string(k)), junk);
    files.push_back("junk" + std::to_string(k));
  }
  // Counts that promise far more than the file holds.
  Dump huge_slots = simple_dump(sample_particles(20));
  huge_slots.blocks[0].groups[0].explicit_nums = true;
  huge_slots.blocks[0].groups[0].nums = {1, 1, 0, 0, INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  Dump huge_blocks = simple_dump(sample_particles(20));
  huge_blocks.ints[6] = INT_MAX;
  huge_blocks.n_array_lengths = INT_MAX;
  Dump huge_reals = simple_dump(sample_particles(20));
  huge_reals.n_real = INT_MAX;
  Dump no_blocks = simple_dump(sample_particles(20));
  no_blocks.ints[6] = 0;
  int k = 0;
  for (const Dump* d : {&huge_slots, &huge_blocks, &huge_reals, &no_blocks}) {
    const std::string name = "hostile" + std::to_string(k++);
    write_dump(*d, dir.file(name));
    files.push_back(name);
  }
  for (const std::string& f : files) {
    const ToolRun r = inspect(dir.path(), {f});
    EXPECT_EQ(r.status, 1) << f << "\n" << r.out;
    EXPECT_TRUE(last_line(r.out).starts_with("phasegrid stops on it: ") ||
                last_line(r.out).starts_with("phasegrid reads it only in part"))
        << f << "\n" << r.out;
    EXPECT_EQ(r.err, "") << f;
    EXPECT_LT(r.out.size(), 100'000u) << f;
  }
}

TEST(Inspect, BundledExamplesAreReadCompletely) {
  TempDir dir;
  const std::string data = PHASEGRID_SOURCE_DIR "/tests/data/conformance/";
  const ToolRun r = inspect(dir.path(), {data + "01_tagged_full/full001", data + "02_untagged_nreal20/untag02",
                                            data + "06_multiblock/multi06"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has_line(r.out, "phasegrid reads it completely: 3000 particles, 3 sinks")) << r.out;
  EXPECT_TRUE(has_line(r.out, "phasegrid reads it completely: 800 particles, 2 sinks")) << r.out;
  EXPECT_TRUE(has_line(r.out, "phasegrid reads it completely: 1000 particles, 5 sinks")) << r.out;
}

TEST(Inspect, UsageAndFilesThatCannotBeOpened) {
  TempDir dir;
  ToolRun r = inspect(dir.path(), {});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.starts_with("Usage: phasegrid-dump")) << r.err;
  r = inspect(dir.path(), {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("Usage: phasegrid-dump")) << r.out;
  r = inspect(dir.path(), {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "phasegrid-dump " PHASEGRID_VERSION "\n");
  r = inspect(dir.path(), {"--all", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option \"--all\""), std::string::npos) << r.err;

  // A missing file among good ones: the others are still shown.
  write_dump(simple_dump(sample_particles(10)), dir.file("good"));
  r = inspect(dir.path(), {"missing", "good", "."});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open \"missing\": No such file or directory"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cannot open \".\": Is a directory"), std::string::npos) << r.err;
  EXPECT_TRUE(has_line(r.out, "phasegrid reads it completely: 10 particles, 0 sinks")) << r.out;
}
