// The record layer: framing, typed items, ends of file and damaged framing.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "base/stop.hpp"
#include "dump/record.hpp"
#include "format/dump_writer.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
using pg::DumpEnded;
using pg::DumpFile;
using pg::Stop;

namespace {

std::string two_records() {
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(7).put<double>(2.5).put<std::int8_t>(-3).put<float>(1.25f));
  w.record(Payload().text("hello", 16));
  return w.bytes();
}

// Runs f and returns the ERROR line it printed before stopping the run.
template <class F>
std::string stop_message(F&& f) {
  ConsoleCapture cap;
  try {
    f();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, pg::exit_dump_fault);
    return cap.text();
  }
  ADD_FAILURE() << "the run was not stopped";
  return {};
}

}  // namespace

TEST(Record, TakesTypedItemsAndSkipsTheRest) {
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
    DumpFile f = memory_dump(two_records(), 16, chunk);
    f.begin_record();
    EXPECT_EQ(f.record_length(), 17);
    EXPECT_EQ(f.take<std::int32_t>(), 7);
    EXPECT_EQ(f.take<double>(), 2.5);
    f.end_record();  // the int*1 and real*4 items are passed over
    f.begin_record();
    char tag[16];
    f.take_bytes(tag, 16);
    EXPECT_EQ(std::string(tag, 5), "hello");
    f.end_record();
    EXPECT_THROW(f.begin_record(), DumpEnded) << "chunk " << chunk;
  }
}

TEST(Record, SkipRecordAndEmptyRecords) {
  RecordWriter w;
  w.record(std::string());
  w.record(std::string(1000, 'x'));
  w.record(Payload().put<std::int32_t>(42));
  DumpFile f = memory_dump(w.bytes(), 64);
  f.skip_record();
  f.skip_record();
  f.begin_record();
  EXPECT_EQ(f.take<std::int32_t>(), 42);
  f.end_record();
  EXPECT_THROW(f.skip_record(), DumpEnded);
}

TEST(Record, EndOfFileAtEveryPlace) {
  const std::string bytes = two_records();
  // Cut the file at every byte: reading both records must either succeed
  // (no cut) or end with DumpEnded, never read beyond the data.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    DumpFile f = memory_dump(bytes.substr(0, cut), 16);
    bool ended = false;
    try {
      f.begin_record();
      (void)f.take<std::int32_t>();
      (void)f.take<double>();
      f.end_record();
      f.skip_record();
    } catch (const DumpEnded&) {
      ended = true;
    }
    EXPECT_TRUE(ended) << "cut at " << cut;
  }
}

TEST(Record, LengthWordRunningPastTheEnd) {
  // A length word that claims more than the file holds: the items inside the
  // file can be taken, anything beyond is end of file.
  std::string bytes;
  const std::int32_t len = 1000;
  bytes.append(reinterpret_cast<const char*>(&len), 4);
  const std::int32_t item = 690706;
  bytes.append(reinterpret_cast<const char*>(&item), 4);
  bytes.append(8, '\0');
  DumpFile f = memory_dump(bytes, 16);
  f.begin_record();
  EXPECT_TRUE(f.record_runs_past_end());
  EXPECT_EQ(f.take<std::int32_t>(), 690706);
  std::int64_t big[4];
  EXPECT_THROW(f.take_array(big, 4), DumpEnded);
  DumpFile g = memory_dump(bytes, 16);
  g.begin_record();
  EXPECT_THROW(g.end_record(), DumpEnded);
}

TEST(Record, NegativeLengthWordStopsTheRun) {
  std::string bytes;
  const std::int32_t len = -8;
  bytes.append(reinterpret_cast<const char*>(&len), 4);
  bytes.append(16, '\0');
  const std::string msg = stop_message([&] {
    DumpFile f = memory_dump(bytes);
    f.begin_record();
  });
  EXPECT_NE(msg.find("ERROR"), std::string::npos);
  EXPECT_NE(msg.find("negative length word -8"), std::string::npos) << msg;
}

TEST(Record, ShortPayloadIsAFatalReadError) {
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(1).put<std::int32_t>(2));
  const std::string msg = stop_message([&] {
    DumpFile f = memory_dump(w.bytes());
    f.begin_record();
    (void)f.take<std::int32_t>();
    (void)f.take<double>();
  });
  EXPECT_NE(msg.find("holds 8 bytes, fewer than the 12 bytes"), std::string::npos) << msg;
  // Arrays are checked before anything is stored.
  std::vector<double> dst(10, -1.0);
  stop_message([&] {
    DumpFile f = memory_dump(w.bytes());
    f.begin_record();
    f.take_array(dst.data(), 2);
  });
  EXPECT_EQ(dst[0], -1.0);
}

TEST(Record, HugeArrayCountDoesNotOverflow) {
  RecordWriter w;
  w.record(Payload().put<std::int64_t>(1));
  const std::string msg = stop_message([&] {
    DumpFile f = memory_dump(w.bytes());
    f.begin_record();
    double d;
    f.take_array(&d, std::int64_t{1} << 61);
  });
  EXPECT_NE(msg.find("ERROR"), std::string::npos);
}

TEST(Record, TrailingLengthWordMustMatch) {
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(5));
  std::string bytes = w.bytes();
  bytes[8] = 9;  // trailing length word
  const std::string msg = stop_message([&] {
    DumpFile f = memory_dump(bytes);
    f.skip_record();
  });
  EXPECT_NE(msg.find("begins with length 4 but ends with length 9"), std::string::npos) << msg;
}

TEST(Record, ReadFailureStopsTheRun) {
  const std::string msg = stop_message([&] {
    DumpFile f(std::make_unique<MemorySource>(two_records(), SIZE_MAX, 10), 16);
    f.begin_record();
    (void)f.take<std::int32_t>();
    (void)f.take<double>();
  });
  EXPECT_NE(msg.find("ERROR in rdump: reading the dump failed"), std::string::npos) << msg;
}

TEST(Record, StridedArraysLandInPlace) {
  // One component of a 5-component member, across many buffer refills and
  // with elements split between refills.
  const std::size_t n = 1001;
  std::vector<double> v(n);
  std::iota(v.begin(), v.end(), 0.5);
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(3));
  w.array_record(v.data(), n);
  w.array_record(v.data(), n);
  for (std::size_t chunk : {std::size_t{5}, std::size_t{4096}}) {
    for (std::size_t buffer : {std::size_t{20}, std::size_t{64}, std::size_t{1} << 20}) {
      DumpFile f = memory_dump(w.bytes(), buffer, chunk);
      f.skip_record();
      std::vector<double> member(5 * n, -1.0);
      f.begin_record();
      f.take_array(member.data() + 2, static_cast<std::int64_t>(n), 5);
      f.end_record();
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(member[5 * i + 2], v[i]) << i;
        ASSERT_EQ(member[5 * i + 1], -1.0);
      }
      // Contiguous, taking part of the record only.
      std::vector<double> flat(n, 0.0);
      f.begin_record();
      f.take_array(flat.data(), 600);
      f.end_record();
      EXPECT_TRUE(std::equal(flat.begin(), flat.begin() + 600, v.begin()));
      EXPECT_EQ(flat[600], 0.0);
      EXPECT_THROW(f.begin_record(), DumpEnded);
    }
  }
}

TEST(Record, LargeReadsUseFewSystemCalls) {
  std::vector<float> v(1 << 20, 1.5f);  // 4 MiB payload
  RecordWriter w;
  w.array_record(v.data(), v.size());
  auto src = std::make_unique<MemorySource>(w.bytes());
  MemorySource* raw = src.get();
  DumpFile f(std::move(src));
  std::vector<float> out(v.size());
  f.begin_record();
  f.take_array(out.data(), static_cast<std::int64_t>(out.size()));
  f.end_record();
  EXPECT_EQ(out, v);
  EXPECT_LE(raw->reads, 4u);
}

TEST(Record, UnopenableFileReadsAsEmpty) {
  TempDir dir;
  DumpFile f = DumpFile::open(dir.file("absent"));
  EXPECT_EQ(f.open_error(), ENOENT);
  EXPECT_THROW(f.begin_record(), DumpEnded);
  DumpFile d = DumpFile::open(dir.path());
  EXPECT_EQ(d.open_error(), EISDIR);
  EXPECT_THROW(d.begin_record(), DumpEnded);
}
