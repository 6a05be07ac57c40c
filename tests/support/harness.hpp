// Test harness: console capture, in-memory dump sources, per-test temporary
// folders; spawn.hpp runs the built tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dump/byte_source.hpp"
#include "base/error.hpp"
#include "base/trace.hpp"
#include "state/store.hpp"
#include "dump/record.hpp"
#include "format/dump_writer.hpp"
#include "tests/support/sample_dumps.hpp"
#include "tests/support/spawn.hpp"  // run_tool, for the tests that run the built tool

namespace pgtest {

// Tests build dumps with the format library's writer, and the sample dumps.
using namespace pg::dumpformat;

// A trace kept in memory, for the steps a test hands it to.
struct ConsoleCapture : pg::BufferTrace {
  std::vector<std::string> lines() const;  // split at newlines
};

// A stream held in memory (for what writes to a FILE*).
class StreamCapture {
 public:
  StreamCapture();
  ~StreamCapture();
  std::FILE* stream() const { return stream_; }
  std::string text();                    // all captured so far
  std::vector<std::string> lines();      // split at newlines
 private:
  char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::FILE* stream_ = nullptr;
};

// A dump held in memory. Reads deliver at most `max_chunk` bytes each (to
// fake short reads); the read that would start at `fail_at` fails with EIO.
class MemorySource final : public pg::ByteSource {
 public:
  explicit MemorySource(std::string bytes, std::size_t max_chunk = SIZE_MAX,
                        std::int64_t fail_at = -1, bool seekable = true)
      : bytes_(std::move(bytes)), max_chunk_(max_chunk), fail_at_(fail_at), seekable_(seekable) {}
  pg::SysResult<std::size_t> read(void* dst, std::size_t n) override;
  bool skip(std::int64_t n) override;
  std::int64_t size() const override { return seekable_ ? static_cast<std::int64_t>(bytes_.size()) : -1; }
  std::size_t reads = 0;

 private:
  std::string bytes_;
  std::size_t pos_ = 0, max_chunk_;
  std::int64_t fail_at_;
  bool seekable_;
};

pg::DumpFile memory_dump(std::string bytes, std::size_t buffer = 64, std::size_t max_chunk = SIZE_MAX);

// One call of the reader on a dump held in memory, with its console lines.
struct ReadOutcome {
  std::vector<std::string> lines;
  int status = -1;       // the reader's status: 0 complete, 1 ended early
  bool stopped = false;  // a fault stopped the read; its line ends `lines`
  std::optional<pg::FaultKind> fault;
  std::int64_t end_offset = -1;  // where the reader left the file
  // The last line, where a stop leaves its ERROR line.
  const std::string& last() const { return lines.back(); }
  bool has_line(const std::string& l) const;
};
// Into `store`, or into a fresh store of the tool's capacity.
ReadOutcome read_dump_bytes(const std::string& bytes, pg::Store& store);
ReadOutcome read_dump_bytes(const std::string& bytes);

// A fresh temporary folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
 private:
  std::string path_;
};

std::string read_file(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

}  // namespace pgtest
