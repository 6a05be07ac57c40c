// libFuzzer target: one input is one dump file, read whole into a fresh
// particle store.
//
// A clean outcome is one of: a complete read, an end of file reported as such,
// or a fault of a known kind. Anything else is a finding: a crash or a
// sanitizer report, an exception other than the reader's own, or a read that
// leaves counts the rest of the tool would use to index beyond the store.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/error.hpp"
#include "base/trace.hpp"
#include "dump/byte_source.hpp"
#include "dump/rdump.hpp"
#include "dump/record.hpp"
#include "state/store.hpp"

namespace {

// The input as a seekable file whose reads deliver at most 1000 bytes each,
// so that the refill paths of the record layer see short reads.
class InputSource final : public pg::ByteSource {
 public:
  InputSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  pg::SysResult<std::size_t> read(void* dst, std::size_t n) override {
    const std::size_t k = std::min({n, std::size_t{1000}, size_ - pos_});
    if (k > 0) std::memcpy(dst, data_ + pos_, k);
    pos_ += k;
    return k;
  }
  bool skip(std::int64_t n) override {
    // The record layer never seeks beyond the end of a file of known size.
    if (n < 0 || static_cast<std::uint64_t>(n) > size_ - pos_) std::abort();
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  std::int64_t size() const override { return static_cast<std::int64_t>(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_, pos_ = 0;
};

[[noreturn]] void finding(const char* what, std::string_view last_line) {
  std::fprintf(stderr, "read_dump_fuzzer: %s (last trace line: \"%.*s\")\n", what,
               static_cast<int>(last_line.size()), last_line.data());
  std::abort();
}

}  // namespace

namespace {
// The reader's store: small, so that inputs claiming many particles reach the
// capacity checks cheaply (the tool's holds 50,001,000).
constexpr std::int64_t capacity = 100000;
pg::Store store;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    store.reserve(capacity);
  } catch (const pg::Error& e) {
    std::fprintf(stderr, "read_dump_fuzzer: %s\n", e.what());
    std::abort();
  }
  pg::BufferTrace trace;
  int status = -1;
  bool stopped = false, ended = false;
  {
    pg::DumpFile f(std::make_unique<InputSource>(data, size), 256);
    try {
      status = pg::rdump(f, {store, trace}).ended_early ? 1 : 0;
    } catch (const pg::DumpEnded&) {
      ended = true;  // rdump reports an end of file itself; an escape is tolerated
    } catch (const pg::Error& fault) {
      if (static_cast<int>(fault.kind) < 0 || static_cast<int>(fault.kind) >= pg::fault_kinds ||
          !pg::is_dump_fault(fault.kind))
        finding("a fault of no known kind, or not a dump's", {});
      if (!pg::fault_text(fault).starts_with("ERROR")) finding("a fault whose line is no ERROR line", {});
      stopped = true;
    }
  }

  std::string_view out = trace.text();
  if (!out.empty() && out.back() == '\n') out.remove_suffix(1);
  const std::size_t nl = out.rfind('\n');
  const std::string_view last = nl == std::string_view::npos ? out : out.substr(nl + 1);
  if (ended) status = 1;
  if (!stopped && status == 0 && !last.starts_with(" FINISHED READ"))
    finding("a complete read without its FINISHED line", last);
  if (!stopped && !ended && status == 1 && last != " END OF FILE REACHED IN RDUMP")
    finding("an early end without its END OF FILE line", last);
  if (!stopped && status != 0 && status != 1) finding("a status other than 0 or 1", last);
  // What the rest of the tool indexes the store with after a read. A
  // negative count (a dump of one block may give one) indexes nothing.
  if (!stopped && !ended) {
    if (store.part.npart > store.capacity()) finding("npart beyond the store", last);
    if (store.ptmass.nptmass > pg::ptmass_dim) finding("a sink count beyond the sink list", last);
    if (store.inactive.nlistinactive > store.capacity()) finding("an inactive count beyond the store", last);
  }
  return 0;
}
