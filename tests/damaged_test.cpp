// Damaged dump files: cut short, with broken length words, written in the other
// byte order, empty, or not files at all. Each ends in an end of file or one
// ERROR line and a clean stop; none crashes, hangs or reads beyond the data.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "dump/rdump.hpp"
#include "state/store.hpp"
#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

const std::string end_of_file = " END OF FILE REACHED IN RDUMP";
const std::string dialogue = "1\nbad\nn\n0\n";
const std::size_t grid_bytes = 13u + 540u * 7700u;

struct Layout {
  std::string name;
  std::string bytes;
};

// Small dumps of every layout: header groups, arrays to pass over, one and two blocks.
std::vector<Layout> layouts() {
  std::vector<Layout> out;
  for (bool tagged : {true, false}) {
    const std::string t = tagged ? "tagged_" : "untagged_";
    const Particles p = sample_particles(3);
    {
      Dump d = simple_dump(p, tagged);  // every optional header group carries values
      d.ints.resize(44, 2);
      d.ints[6] = 1;
      d.small_counts = {2, 1, 3};
      d.n_i8 = 2;
      d.n_r4 = 2;
      d.id_extra_bytes = 8;
      for (int k = 0; k < 4; ++k) {
        d.reals.push_back(k);
        d.real_tags.push_back("more" + std::to_string(k));
      }
      out.push_back({t + "header_groups", dump_bytes(d)});
    }
    {
      Dump d = simple_dump(p, tagged);  // the short header layouts
      d.ints.resize(7);
      d.magic1 = 60769;
      d.magic2 = 60878;
      d.n_i8 = 0;
      d.reals.resize(14);
      d.real_tags.resize(14);
      out.push_back({t + "short_header", dump_bytes(d)});
    }
    {
      Particles q = sample_particles(3, 4);  // everything carried, arrays passed over
      q.gradh.assign(3, 1.5f);
      q.alpha.assign(3, 0.5f);
      for (auto& c : q.chem) c.assign(3, 0.25f);
      q.iunique = {7, 8, 9};
      Dump d = simple_dump(q, tagged);
      d.blocks = {Block{{gas_group(q, nullptr, 1, 1), sink_group({2}, 19, 1), rad_group(q, 1, 1, 1),
                         Group{3, false, {}, {array_of("g4", s_real, std::vector<double>(3, 8.0))}},
                         Group{3, false, {}, {array_of("g5", s_int2, std::vector<std::int16_t>(3, 1))}}}}};
      out.push_back({t + "all_groups", dump_bytes(d)});
    }
    {
      Particles q = sample_particles(4, 6);  // inactive list, no radiative group
      q.iphase[1] = -1;
      const std::vector<std::int32_t> list = {2};
      Dump d = simple_dump(q, tagged);
      d.blocks = {Block{{gas_group(q, &list), sink_group({1, 4}, 10)}}};
      out.push_back({t + "no_rad_group", dump_bytes(d)});
    }
    {
      Dump d = simple_dump(p, tagged);  // a radiative group of another length
      d.blocks[0].groups[2].length_count = 2;
      out.push_back({t + "rad_other_length", dump_bytes(d)});
    }
    out.push_back({t + "no_particles", dump_bytes(simple_dump(sample_particles(0), tagged))});
    {
      Particles q = sample_particles(6);  // two blocks with inactive lists and sinks
      std::vector<std::int32_t> l1 = {1}, l2 = {2};
      q.iphase[0] = q.iphase[4] = -1;
      Dump d = simple_dump(q, tagged);
      d.ints = standard_ints(6, 2);
      d.blocks = {Block{{gas_group(slice(q, 0, 3), &l1), sink_group({1}), rad_group(slice(q, 0, 3))}},
                  Block{{gas_group(slice(q, 3, 3), &l2), sink_group({2}), rad_group(slice(q, 3, 3))}}};
      out.push_back({t + "two_blocks", dump_bytes(d)});
    }
  }
  return out;
}

// Offsets of the length words: each record's leading word, then its trailing one.
std::vector<std::pair<std::size_t, std::size_t>> record_words(const std::string& bytes) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    std::int32_t len;
    std::memcpy(&len, bytes.data() + at, 4);
    out.emplace_back(at, at + 4 + static_cast<std::size_t>(len));
    at += 8 + static_cast<std::size_t>(len);
  }
  return out;
}

std::string with_word(std::string bytes, std::size_t at, std::int32_t v) {
  std::memcpy(bytes.data() + at, &v, 4);
  return bytes;
}

std::string words_reversed(std::string bytes) {
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) std::reverse(bytes.begin() + i, bytes.begin() + i + 4);
  return bytes;
}

// A fresh store for each read, so that the trace depends on the bytes alone:
// a block without identifiers shows what the store held before.
ReadOutcome read_fresh(const std::string& bytes) { return read_dump_bytes(bytes); }

// An end of file, or a stop after an ERROR line; never a complete read.
::testing::AssertionResult ends_cleanly(const ReadOutcome& o) {
  if (o.lines.empty()) return ::testing::AssertionFailure() << "no console lines";
  if (o.stopped) {
    if (o.last().rfind(" ERROR", 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "stopped without an ERROR line: " << o.last();
  }
  if (o.status == 1 && o.last() == end_of_file) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << o.status << ", last line " << o.last();
}

void PrintTo(const Layout& l, std::ostream* os) { *os << l.name; }

// Each layout's bytes up to the end of what a complete read takes: a last
// block may announce arrays that no step reads, which a complete read leaves
// where they are.
class Damaged : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const ReadOutcome whole = read_fresh(GetParam().bytes);
    read_ = GetParam().bytes.substr(0, static_cast<std::size_t>(whole.end_offset));
  }
  const std::string& bytes() const { return read_; }

 private:
  std::string read_;
};

}  // namespace

TEST_P(Damaged, EveryCutIsAnEndOfFileAfterTheSameTrace) {
  const ReadOutcome whole = read_fresh(GetParam().bytes);
  ASSERT_EQ(whole.status, 0) << whole.last();
  ASSERT_EQ(whole.last().rfind(" FINISHED READ", 0), 0u) << whole.last();
  // Unread arrays at the end of the last block may be missing or cut.
  for (std::size_t cut = bytes().size(); cut <= GetParam().bytes.size(); ++cut)
    ASSERT_EQ(read_fresh(GetParam().bytes.substr(0, cut)).lines, whole.lines) << "cut " << cut;
  for (std::size_t cut = 0; cut < bytes().size(); ++cut) {
    const ReadOutcome o = read_fresh(bytes().substr(0, cut));
    ASSERT_FALSE(o.stopped) << "cut " << cut << ": " << o.last();
    ASSERT_EQ(o.status, 1) << "cut " << cut;
    ASSERT_EQ(o.last(), end_of_file) << "cut " << cut;
    // What was read before the end is what a whole read says at that point.
    ASSERT_LE(o.lines.size(), whole.lines.size()) << "cut " << cut;
    for (std::size_t i = 0; i + 1 < o.lines.size(); ++i)
      ASSERT_EQ(o.lines[i], whole.lines[i]) << "cut " << cut << ", line " << i;
  }
}

TEST_P(Damaged, ChangedTrailingLengthWordStopsTheRun) {
  for (const auto& [lead, trail] : record_words(bytes())) {
    std::int32_t len;
    std::memcpy(&len, bytes().data() + lead, 4);
    for (std::int32_t bad : {len + 1, len - 1, len ^ 0x40000000, -1}) {
      const ReadOutcome o = read_dump_bytes(with_word(bytes(), trail, bad));
      ASSERT_TRUE(o.stopped) << "record at " << lead << ", trailing word " << bad;
      ASSERT_EQ(o.last(), fmt::format(" ERROR in rdump: the record at byte {} begins with length {} but "
                                      "ends with length {}", lead, len, bad));
    }
  }
}

TEST_P(Damaged, FlippedOrHugeLeadingLengthWordEndsCleanly) {
  for (const auto& [lead, trail] : record_words(bytes())) {
    std::int32_t len;
    std::memcpy(&len, bytes().data() + lead, 4);
    std::vector<std::int32_t> bad = {0, 0x7fffffff};
    for (int bit = 0; bit < 31; ++bit) bad.push_back(len ^ (std::int32_t{1} << bit));
    for (std::int32_t v : bad) {
      if (v == len) continue;  // an empty record stays empty
      const ReadOutcome o = read_dump_bytes(with_word(bytes(), lead, v));
      ASSERT_TRUE(ends_cleanly(o)) << "record at " << lead << ", length word " << v;
    }
    const ReadOutcome o = read_dump_bytes(with_word(bytes(), lead, len | std::int32_t(0x80000000u)));
    ASSERT_TRUE(o.stopped);
    ASSERT_EQ(o.last(), fmt::format(" ERROR in rdump: the record at byte {} has a negative length word {}",
                                    lead, len | std::int32_t(0x80000000u)));
  }
}

TEST_P(Damaged, OtherByteOrderIsNamed) {
  const ReadOutcome o = read_dump_bytes(words_reversed(bytes()));
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(o.last(), " ERROR 1 in rdump: ENDIANNESS wrong?");
}

TEST_P(Damaged, FailingReadStopsTheRun) {
  for (std::size_t at = 0; at < bytes().size(); at += 97) {
    ConsoleCapture cap;
    pg::Store store(pg::idim);
    pg::DumpFile f(std::make_unique<MemorySource>(bytes(), 200, static_cast<std::int64_t>(at)), 256);
    try {
      (void)pg::rdump(f, {store, cap});
      ADD_FAILURE() << "no fault at " << at;
    } catch (const pg::Error& fault) {
      EXPECT_EQ(fault.kind, pg::FaultKind::read_failed) << at;
      EXPECT_GE(fault.offset, static_cast<std::int64_t>(at)) << "the failure lies at or after the failing byte";
      EXPECT_EQ(fault.text, "Input/output error");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Damaged, ::testing::ValuesIn(layouts()),
                         [](const auto& p) { return p.param.name; });

// ---- the header claims more particles than the store holds ------------------

namespace {

// npart beyond the store, no blocks, and the file ends after the integers:
// the block directory that would refuse it is never reached.
std::string oversized_header_cut_short() {
  Dump d = simple_dump(sample_particles(2));
  d.ints[0] = 2000000000;
  d.ints[6] = 0;
  const std::string whole = dump_bytes(d);
  const auto words = record_words(whole);
  // Identification, file identifier, integer count, tags, integers.
  return whole.substr(0, words[4].second + 4);
}

}  // namespace

TEST(OversizedHeader, CutShortStillStopsTheRun) {
  const ReadOutcome o = read_dump_bytes(oversized_header_cut_short());
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(o.last(), " ERROR in rdump: npart>idim");
  EXPECT_FALSE(o.has_line(end_of_file));
}

// ---- end to end: the built tool on damaged files ----------------------------

TEST(DamagedFiles, OversizedHeaderCutShortExitsOne) {
  TempDir dir;
  write_file(dir.file("bad"), oversized_header_cut_short());
  const ToolRun r = run_tool(dir.path(), "1\nbad\nm\n0\n");
  EXPECT_EQ(r.status, 1) << r.err;
  ASSERT_FALSE(r.out_lines().empty());
  EXPECT_EQ(r.out_lines().back(), " ERROR in rdump: npart>idim");
  EXPECT_EQ(dir.read("QGbad    01"), "");
}

TEST(DamagedFiles, OtherByteOrderExitsOne) {
  TempDir dir;
  write_file(dir.file("bad"), words_reversed(dump_bytes(simple_dump(sample_particles(5)))));
  const ToolRun r = run_tool(dir.path(), dialogue);
  EXPECT_EQ(r.status, 1);
  ASSERT_FALSE(r.out_lines().empty());
  EXPECT_EQ(r.out_lines().back(), " ERROR 1 in rdump: ENDIANNESS wrong?");
  EXPECT_EQ(dir.read("QGbad    01"), "");
}

TEST(DamagedFiles, HugeLengthWordIsAnEndOfFile) {
  // The default-integer record claims 2 GB: the file ends inside it.
  const std::string whole = dump_bytes(simple_dump(sample_particles(5)));
  const auto words = record_words(whole);
  TempDir dir;
  write_file(dir.file("bad"), with_word(whole, words[4].first, 0x7fffffff));
  const ToolRun r = run_tool(dir.path(), dialogue);
  EXPECT_EQ(r.status, 1);
  const auto lines = r.out_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), end_of_file), lines.end());
  EXPECT_EQ(dir.read("QGbad    01").size(), grid_bytes) << "an early end still writes the grid";
}

// Its early end is said where the read stopped, as a run that reads every
// array says it: inside an array left in the file, not at its end; cut just
// before the last record's trailing word, at the file's end.
TEST(DamagedFiles, CutInsideAnArrayExitsOneAndGoesOn) {
  const std::string whole = dump_bytes(simple_dump(sample_particles(2000)));
  for (const std::size_t cut : {whole.size() / 2, whole.size() - 4}) {
    TempDir dir;
    write_file(dir.file("bad"), whole.substr(0, cut));
    write_file(dir.file("good"), whole);
    const ToolRun r = run_tool(dir.path(), "2\nbad\ngood\nn\n0\n");
    EXPECT_EQ(r.status, 1);
    const auto lines = r.out_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), end_of_file), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), " FINISHED READ 2000 0"), lines.end());
    EXPECT_EQ(dir.read("QGgood   01").size(), grid_bytes);
    EXPECT_EQ(r.err, run_tool(dir.path(), "2\nbad\ngood\nn\n0\n", {}, {"PHASEGRID_READ_ALL=1"}).err);
    EXPECT_EQ(r.err.find("at byte " + std::to_string(cut)) == std::string::npos, cut == whole.size() / 2) << r.err;
  }
}

// A dump whose values the run left in its file fails when they are read
// back: in the read (the first phase traced) or in the binning, it ends the
// same way, as a failing read, its files left empty.
TEST(DamagedFiles, FileThatFailsWhenReadBackStopsTheDump) {
  for (const char* from : {"1", "3"}) {
    SCOPED_TRACE(from);
    TempDir dir;
    write_file(dir.file("big"), dump_bytes(simple_dump(sample_particles(2000))));
    const ToolRun r = run_tool(dir.path(), "1\nbig\nn\n0\n", {},
                               {"LD_PRELOAD=" FAULT_SHIM_LIB, std::string("PHASEGRID_TEST_FAIL_PREAD=") + from,
                                "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR in rdump: reading the dump failed at byte"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Input/output error"), std::string::npos) << r.out;
    EXPECT_EQ(dir.read("QGbig    01"), "");
  }
}

// The dialogue reads it as its trace has always said; standard error names it.
TEST(DamagedFiles, EmptyFileIsAnEndOfFileAndNotADump) {
  TempDir dir;
  write_file(dir.file("bad"), "");
  const ToolRun r = run_tool(dir.path(), dialogue);
  EXPECT_EQ(r.status, 1);
  const auto lines = r.out_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), end_of_file), lines.end());
  EXPECT_NE(r.err.find("dump \"bad\" is not a dump"), std::string::npos) << r.err;
  EXPECT_EQ(dir.read("QGbad    01").size(), grid_bytes);
  EXPECT_EQ(dir.read("IPbad"), " 0.00000E+00  0.00000E+00 QGbad    01\n");
}

TEST(DamagedFiles, DirectoryIsNamedAndReadAsEmpty) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("bad"));
  const ToolRun r = run_tool(dir.path(), dialogue);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("dump \"bad\" could not be opened: Is a directory"), std::string::npos) << r.err;
  const auto lines = r.out_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), end_of_file), lines.end());
}

TEST(DamagedFiles, UnreadableFileIsNamed) {
  if (geteuid() == 0)
    GTEST_SKIP() << "running as root, which reads a file of mode 000 all the same";
  TempDir dir;
  write_file(dir.file("bad"), dump_bytes(simple_dump(sample_particles(5))));
  ASSERT_EQ(chmod(dir.file("bad").c_str(), 0), 0);
  const ToolRun r = run_tool(dir.path(), dialogue);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("dump \"bad\" could not be opened: Permission denied"), std::string::npos) << r.err;
  const auto lines = r.out_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), end_of_file), lines.end());
}
