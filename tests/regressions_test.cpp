// Inputs that once made the reader misbehave (found by fuzzing the reader),
// kept in tests/data/regressions. Each must now end cleanly: a complete read,
// an end of file, or one ERROR line and a stop; and a read that was not
// stopped leaves no count that reaches beyond the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "state/store.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
namespace fs = std::filesystem;

namespace {

const std::string folder = PHASEGRID_SOURCE_DIR "/tests/data/regressions";

// What each input gives with the tool's store: its last console line.
const std::map<std::string, std::string> expected_last_line = {
    // Counts of arrays to pass over, added up in 32 bits and overflowing:
    // the arrays are now passed over until the records run out of step.
    {"gas_skip_count_sum_overflow_1",
     " ERROR in rdump: the record at byte 2239 begins with length 24 but ends with length 538976288"},
    {"gas_skip_count_sum_overflow_2",
     " ERROR in rdump: the record at byte 4560 begins with length 16 but ends with length 808677985"},
    {"sink_skip_count_sum_overflow_1",
     " ERROR in rdump: the record at byte 3380 begins with length 7 but ends with length 2112"},
    {"sink_skip_count_sum_overflow_2",
     " ERROR in rdump: the record at byte 3458 begins with length 40 but ends with length 16"},
    {"sink_skip_count_sum_overflow_3",
     " ERROR in rdump: the record at byte 4480 begins with length 8 but ends with length 538976367"},
    {"rad_skip_count_sum_overflow",
     " END OF FILE REACHED IN RDUMP"},
    // A one-block dump whose 64-bit sink count is negative beyond 32 bits:
    // narrowed, it became hundreds or billions of sinks.
    {"negative_sink_length_1", " ERROR in rdump: block 1 has a negative number of sinks -1030792150530"},
    {"negative_sink_length_2", " ERROR in rdump: block 1 has a negative number of sinks -38173474100543490"},
    // A header of more particles than the store holds, without blocks, and a
    // file that ends before the block directory: the count stayed in the
    // store for the rest of the run to walk over.
    {"npart_beyond_store_then_end_of_file_1", " ERROR in rdump: npart>idim"},
    // The same with 16384005 particles: beyond the fuzzer's small store only.
    {"npart_beyond_store_then_end_of_file_2", " END OF FILE REACHED IN RDUMP"},
};

std::vector<std::string> inputs() {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class Regression : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Regression, EndsCleanly) {
  pg::Store store(pg::idim);
  const ReadOutcome o = read_dump_bytes(read_file(folder + "/" + GetParam()), store);
  ASSERT_FALSE(o.lines.empty());
  if (o.stopped) {
    EXPECT_EQ(o.last().rfind(" ERROR", 0), 0u) << o.last();
  } else {
    EXPECT_TRUE(o.status == 0 || o.status == 1) << o.status;
    if (o.status == 1) {
      EXPECT_EQ(o.last(), " END OF FILE REACHED IN RDUMP");
    }
    EXPECT_LE(store.part.npart, pg::idim);
    EXPECT_GE(store.ptmass.nptmass, 0);
    EXPECT_LE(store.ptmass.nptmass, pg::ptmass_dim);
    EXPECT_GE(store.inactive.nlistinactive, 0);
    EXPECT_LE(store.inactive.nlistinactive, pg::idim);
  }
  const auto known = expected_last_line.find(GetParam());
  ASSERT_NE(known, expected_last_line.end()) << "add the expected outcome of this input";
  EXPECT_EQ(o.last(), known->second);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Regression, ::testing::ValuesIn(inputs()),
                         [](const auto& p) { return p.param; });
