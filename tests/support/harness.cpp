#include "tests/support/harness.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/error.hpp"
#include "dump/rdump.hpp"
#include "state/store.hpp"

namespace pgtest {

std::vector<std::string> ConsoleCapture::lines() const { return split_lines(text()); }

StreamCapture::StreamCapture() : stream_(open_memstream(&buf_, &len_)) {}

StreamCapture::~StreamCapture() {
  std::fclose(stream_);
  std::free(buf_);
}

std::string StreamCapture::text() {
  std::fflush(stream_);
  return std::string(buf_, len_);
}

std::vector<std::string> StreamCapture::lines() { return split_lines(text()); }

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

pg::SysResult<std::size_t> MemorySource::read(void* dst, std::size_t n) {
  ++reads;
  if (fail_at_ >= 0 && static_cast<std::int64_t>(pos_) >= fail_at_) return pg::SysResult<std::size_t>::failed(EIO);
  std::size_t k = std::min({n, max_chunk_, bytes_.size() - std::min(pos_, bytes_.size())});
  if (fail_at_ >= 0) k = std::min(k, static_cast<std::size_t>(fail_at_) - pos_);
  std::memcpy(dst, bytes_.data() + pos_, k);
  pos_ += k;
  return k;
}

bool MemorySource::skip(std::int64_t n) {
  if (!seekable_) return false;
  // The record layer never seeks beyond the end of a file of known size.
  if (n < 0 || static_cast<std::size_t>(n) > bytes_.size() - pos_)
    throw std::logic_error("a seek beyond the end of the data");
  pos_ += static_cast<std::size_t>(n);
  return true;
}

pg::DumpFile memory_dump(std::string bytes, std::size_t buffer, std::size_t max_chunk) {
  return pg::DumpFile(std::make_unique<MemorySource>(std::move(bytes), max_chunk), buffer);
}

bool ReadOutcome::has_line(const std::string& l) const {
  return std::find(lines.begin(), lines.end(), l) != lines.end();
}

ReadOutcome read_dump_bytes(const std::string& bytes) {
  pg::Store store(pg::idim);
  return read_dump_bytes(bytes, store);
}

ReadOutcome read_dump_bytes(const std::string& bytes, pg::Store& store) {
  ReadOutcome o;
  ConsoleCapture cap;
  pg::DumpFile f = memory_dump(bytes, 256);
  try {
    o.status = pg::rdump(f, {store, cap}).ended_early;
  } catch (const pg::Error& fault) {
    o.stopped = true;
    o.fault = fault.kind;
    cap.line(" " + pg::fault_text(fault));  // where the tool prints it
  }
  o.end_offset = f.offset();
  o.lines = cap.lines();
  return o;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "phasegrid-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TempDir::read(const std::string& name) const { return read_file(file(name)); }
bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

}  // namespace pgtest
