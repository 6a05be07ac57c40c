// The record layer: framing, typed items, ends of file and damaged framing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>

#include "dump/record.hpp"
#include "format/dump_writer.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
using pg::DumpEnded;
using pg::DumpFile;

namespace {

std::string two_records() {
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(7).put<double>(2.5).put<std::int8_t>(-3).put<float>(1.25f));
  w.record(Payload().text("hello", 16));
  return w.bytes();
}

// Runs f and returns the fault it raised.
template <class F>
pg::Error fault_of(F&& f) {
  try {
    f();
  } catch (const pg::Error& fault) {
    return fault;
  }
  ADD_FAILURE() << "no fault was raised";
  return {pg::FaultKind::read_failed};  // (whatever: the test has failed)
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

// Damaged framing: each fault names its kind, the record's offset and the
// numbers its line shows.
TEST(Record, DamagedFramingRaisesItsFault) {
  RecordWriter w;
  w.record(Payload().put<std::int32_t>(1).put<std::int32_t>(2));  // 8 bytes, at 0
  std::string negative = w.bytes();
  const std::int32_t minus8 = -8;
  std::memcpy(negative.data(), &minus8, 4);
  std::string mismatched = w.bytes();
  const std::int32_t nine = 9;
  std::memcpy(mismatched.data() + 12, &nine, 4);
  struct Case {
    const char* name;
    std::string bytes;
    std::function<void(DumpFile&)> read;
    pg::FaultKind kind;
    std::int64_t n0, n1;
  };
  const Case cases[] = {
      {"negative length word", negative, [](DumpFile& f) { f.begin_record(); },
       pg::FaultKind::negative_record_length, -8, 0},
      {"item beyond the payload", w.bytes(),
       [](DumpFile& f) {
         f.begin_record();
         (void)f.take<std::int32_t>();
         (void)f.take<double>();
       },
       pg::FaultKind::record_too_short, 8, 12},
      {"array beyond the payload", w.bytes(),
       [](DumpFile& f) {
         std::vector<double> dst(2, -1.0);
         f.begin_record();
         f.take_array(dst.data(), 2);
         EXPECT_EQ(dst[0], -1.0) << "nothing is taken from a record too short";
       },
       pg::FaultKind::record_too_short, 8, 16},
      {"count overflowing 64 bits", w.bytes(),
       [](DumpFile& f) {
         double d;
         f.begin_record();
         f.take_array(&d, std::int64_t{1} << 61);
       },
       pg::FaultKind::record_too_short, 8, 0},
      {"trailing length word", mismatched, [](DumpFile& f) { f.skip_record(); },
       pg::FaultKind::record_lengths_differ, 8, 9},
  };
  for (const Case& c : cases) {
    DumpFile f = memory_dump(c.bytes, 16);
    const pg::Error fault = fault_of([&] { c.read(f); });
    EXPECT_EQ(fault.kind, c.kind) << c.name;
    EXPECT_EQ(fault.offset, 0) << c.name;
    EXPECT_EQ(fault.numbers[0], c.n0) << c.name;
    if (c.n1 != 0) {
      EXPECT_EQ(fault.numbers[1], c.n1) << c.name;
    }
  }
  // 2^61 doubles: the wanted size is told in full, beyond 64 bits.
  DumpFile f = memory_dump(w.bytes(), 16);
  const pg::Error huge = fault_of([&] {
    double d;
    f.begin_record();
    f.take_array(&d, std::int64_t{1} << 61);
  });
  EXPECT_EQ(huge.numbers[1], (pg::wide_count{1} << 64));
}

TEST(Record, ReadFailureRaisesItsFault) {
  DumpFile f(std::make_unique<MemorySource>(two_records(), SIZE_MAX, 10), 16);
  const pg::Error fault = fault_of([&] {
    f.begin_record();
    (void)f.take<std::int32_t>();
    (void)f.take<double>();
  });
  EXPECT_EQ(fault.kind, pg::FaultKind::read_failed);
  EXPECT_EQ(fault.offset, 10);
  EXPECT_EQ(fault.text, "Input/output error");
}

// Passing over a record seeks where the source allows, never beyond the end
// of a file of known size, and reads through a source that cannot seek.
TEST(Record, PassingOverSeeksWithinTheFile) {
  RecordWriter w;
  w.record(std::string(5000, 'x'));
  w.record(Payload().put<std::int32_t>(42));
  for (bool seekable : {true, false}) {
    auto src = std::make_unique<MemorySource>(w.bytes(), SIZE_MAX, -1, seekable);
    MemorySource* raw = src.get();
    DumpFile f(std::move(src), 64);
    f.skip_record();
    EXPECT_EQ(f.offset(), 5008);
    f.begin_record();
    EXPECT_EQ(f.take<std::int32_t>(), 42);
    f.end_record();
    EXPECT_THROW(f.begin_record(), DumpEnded);
    if (seekable) {
      EXPECT_LE(raw->reads, 4u) << "the 5000 bytes are sought past, not read";
    }
  }
  // A record that claims to run past the end: passing over it is end of
  // file, and the source is never asked to seek beyond its end (MemorySource
  // refuses such a seek).
  std::string past = w.bytes().substr(0, 3000);
  DumpFile f = memory_dump(past, 64);
  EXPECT_THROW(f.skip_record(), DumpEnded);
  EXPECT_LE(f.offset(), 3000);
}

// Looking ahead takes nothing, and says when the file ends first.
TEST(Record, PeekTakesNothing) {
  const std::string bytes = two_records();
  DumpFile f = memory_dump(bytes, 16);
  std::int32_t len = 0;
  char ahead[40];
  ASSERT_TRUE(f.peek(ahead, sizeof ahead)) << "a look beyond the buffer grows it";
  ASSERT_TRUE(f.peek(&len, 4));
  EXPECT_EQ(len, 17);
  f.skip_record();
  f.skip_record();
  EXPECT_FALSE(f.peek(&len, 4));
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

// A dump rewritten in place (same length) in the clock tick of its last
// write, just after it was opened, is still found changed: the opening waits
// for that tick to pass.
TEST(FileSource, RewriteInTheTickOfTheLastWriteIsFound) {
  TempDir dir;
  const std::string path = dir.file("d");
  write_file(path, two_records());
  auto source = pg::FileSource::open(path);
  ASSERT_TRUE(source);
  EXPECT_EQ((*source)->changed(), "");
  write_file(path, std::string(two_records().size(), 'x'));
  EXPECT_NE((*source)->changed(), "");
}
