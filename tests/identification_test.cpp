// The opening of every dump: the identification record and file identifier.
#include <gtest/gtest.h>

#include "base/error.hpp"
#include "dump/rdump.hpp"
#include "state/store.hpp"
#include "format/dump_writer.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

ReadOutcome read_bytes(const std::string& bytes) { return read_dump_bytes(bytes); }

// Identification record and file identifier only.
std::string opening(const Dump& d) {
  Dump c = d;
  c.cut = 4 + 24 + static_cast<std::int64_t>(d.id_extra_bytes) + 4 + 108;
  return dump_bytes(c);
}

}  // namespace

TEST(Identification, BothMagicNumberSetsAreAccepted) {
  for (auto [m1, m2] : {std::pair{690706, 780806}, std::pair{60769, 60878}}) {
    Dump d;
    d.magic1 = m1;
    d.magic2 = m2;
    d.version = 690706;
    ReadOutcome o = read_bytes(opening(d));
    EXPECT_FALSE(o.stopped);
    EXPECT_EQ(o.lines, (std::vector<std::string>{" reading header", " have read header",
                                                 " END OF FILE REACHED IN RDUMP"}));
    EXPECT_EQ(o.status, 1);
  }
}

TEST(Identification, WrongMagicNumbersStopTheRun) {
  struct Case {
    std::int32_t m1, m2, m3;
    const char* line;
  };
  for (const Case& c : {Case{1, 780806, 690706, " ERROR 1 in rdump: ENDIANNESS wrong?"},
                        Case{690706, 780807, 690706, " ERROR 2 in rdump: default real size wrong"},
                        Case{690706, 780806, 60769, " ERROR 3 in rdump: default integer size wrong"}}) {
    Dump d;
    d.magic1 = c.m1;
    d.magic2 = c.m2;
    d.magic3 = c.m3;
    ReadOutcome o = read_bytes(opening(d));
    EXPECT_TRUE(o.stopped);
    EXPECT_EQ(o.lines, (std::vector<std::string>{" reading header", " have read header", c.line}));
  }
}

TEST(Identification, FormatVersions) {
  for (std::int32_t v : {1, -5, 690706, 0}) {
    Dump d;
    d.version = v;
    ReadOutcome o = read_bytes(opening(d));
    EXPECT_EQ(o.lines.size(), 3u) << v;
  }
  Dump d;
  d.version = 2;
  ReadOutcome o = read_bytes(opening(d));
  ASSERT_EQ(o.lines.size(), 4u);
  EXPECT_EQ(o.lines[2], " ERROR 4 in rdump: format version is 2 but this version of Veltra can only read 1");
  EXPECT_EQ(o.lines[3], " END OF FILE REACHED IN RDUMP");  // the read went on
}

TEST(Identification, LongerIdentificationRecordIsSkipped) {
  Dump d;
  d.id_extra_bytes = 12;
  ReadOutcome o = read_bytes(opening(d));
  EXPECT_FALSE(o.stopped);
  EXPECT_EQ(o.lines.back(), " END OF FILE REACHED IN RDUMP");
}

TEST(Identification, EmptyAndTruncatedFiles) {
  ReadOutcome empty = read_bytes("");
  EXPECT_EQ(empty.lines, (std::vector<std::string>{" reading header", " END OF FILE REACHED IN RDUMP"}));
  EXPECT_EQ(empty.status, 1);
  // Cut inside the first record: the file ended, nothing about magic numbers.
  ReadOutcome cut = read_bytes(opening(Dump{}).substr(0, 20));
  EXPECT_EQ(cut.lines, empty.lines);
}

TEST(Identification, OtherByteOrderIsReportedAsSuch) {
  // A dump of the other byte order: every word reversed. Its first length
  // word runs past the end of the file, but the magic number test reports it.
  std::string bytes = opening(Dump{});
  for (std::size_t i = 0; i + 4 <= 32; i += 4) std::swap(bytes[i], bytes[i + 3]), std::swap(bytes[i + 1], bytes[i + 2]);
  ReadOutcome o = read_bytes(bytes);
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(o.lines.back(), " ERROR 1 in rdump: ENDIANNESS wrong?");
}

TEST(Identification, ResetsTheExtraOptions) {
  pg::Store store(pg::idim);
  store.typef.extra_option1 = 5;
  store.typef.extra_option2 = 6;
  read_dump_bytes("", store);
  EXPECT_EQ(store.typef.extra_option1, 0);
  EXPECT_EQ(store.typef.extra_option2, 0);
}
