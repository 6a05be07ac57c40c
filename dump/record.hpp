// Record layer: a dump file cut into length-framed records.
//
// Every record is a 4-byte little-endian length N, N bytes of payload and the
// same length again. The reader takes typed items from the front of a record
// and passes over the rest, or passes over the whole record. Items are stored
// in the byte order of this machine (little-endian); nothing is converted.
//
// The file is read through a large buffer: one system call brings in up to
// `default_buffer_bytes`, and a large contiguous array goes straight from the
// file into its destination. Strided destinations (one component of a member
// with several components) are filled from the buffer in one tight loop, with
// no second copy of the record.
//
// How the ends of a damaged file are reported:
// - The file ends where a record should begin, or inside the length word that
//   begins it: end of file (DumpEnded).
// - A record whose length word runs past the end of the file: the items that
//   lie inside the file can still be taken from its front (so that the
//   identification record of a file of the other byte order reaches the magic
//   number tests); taking an item, or passing over the record, beyond the
//   end of the file is end of file. Nothing beyond the file is ever read.
// - A negative length word: a damaged file; the run stops with an ERROR line.
// - A trailing length word that differs from the leading one: a damaged or
//   misread file; the run stops with an ERROR line.
// - Taking more items than the payload holds: a fatal read error; the run
//   stops with an ERROR line naming both sizes.
// - A failing read (an I/O error): the run stops with an ERROR line.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "dump/byte_source.hpp"
#include "base/error.hpp"

namespace pg {

static_assert(std::endian::native == std::endian::little,
              "dump items are read in the byte order of a little-endian machine");


// Thrown when the file ends where a record should begin or inside a record:
// the read is incomplete, not stopped (no fault). rdump() catches it, traces
// its line and returns.
struct DumpEnded : std::exception {
  static constexpr const char* line = "END OF FILE REACHED IN RDUMP";
  const char* what() const noexcept override { return line; }
};

class DumpFile {
 public:
  static constexpr std::size_t default_buffer_bytes = std::size_t{4} << 20;

  explicit DumpFile(std::unique_ptr<ByteSource> source,
                    std::size_t buffer_bytes = default_buffer_bytes);
  // Opens a dump by name. When it cannot be opened the DumpFile reads as an
  // empty file and open_error() gives the reason (an errno value).
  [[nodiscard]] static DumpFile open(const std::string& path, std::size_t buffer_bytes = default_buffer_bytes);

  DumpFile(DumpFile&&) noexcept = default;
  DumpFile& operator=(DumpFile&&) noexcept = default;

  int open_error() const { return open_error_; }
  // The file itself, read at an offset, when it is a regular file (else
  // null): where the store may leave values (see state/file_values.hpp).
  std::shared_ptr<const FileAt> file_at() const;
  // File offset of the next unread byte.
  std::int64_t offset() const { return pos_; }

  // Starts the next record: reads its leading length word.
  void begin_record();
  std::int64_t record_length() const { return rec_len_; }
  bool record_runs_past_end() const { return rec_past_end_; }

  // Takes n bytes from the front of the rest of the current record.
  void take_bytes(void* dst, std::size_t n);
  template <class T>
  T take() {
    static_assert(std::is_trivially_copyable_v<T>);
    T v;
    take_bytes(&v, sizeof v);
    return v;
  }
  // Takes n items of type T; item j lands at dst[j * stride].
  template <class T>
  void take_array(T* dst, std::int64_t n, std::size_t stride = 1);
  // Checks that the rest of the record holds n items of T, exactly as
  // take_array does, without taking them: end_record() passes over them.
  template <class T>
  void require_array(std::int64_t n) {
    require(n, sizeof(T));
  }
  // Checks n items of T exactly as take_array does, the file holding them
  // included, and returns the file offset where they start without taking
  // them: end_record() passes over them.
  template <class T>
  std::int64_t locate_array(std::int64_t n) {
    if (n > 0) {
      require(n, sizeof(T));
      claim(n * static_cast<std::int64_t>(sizeof(T)));
    }
    return pos_;
  }

  // Copies the next n bytes of the file to dst without taking them (between
  // records: the next length word and what follows it). False when the file
  // ends first.
  bool peek(void* dst, std::size_t n);
  // Copies up to n of the next bytes (n at most the buffer's size) without
  // taking them; returns how many the file had.
  std::size_t peek_up_to(void* dst, std::size_t n);

  // Passes over the rest of the payload and the trailing length word.
  void end_record();
  // begin_record() then end_record().
  void skip_record();

  // Told (bytes read or passed over so far, file size or -1) at each refill of
  // the buffer, each read straight into a destination and each seek: for a
  // progress display, which does its own throttling. Unset: nothing is told.
  using ProgressHook = std::function<void(std::int64_t offset, std::int64_t size)>;
  void set_progress_hook(ProgressHook hook) { progress_ = std::move(hook); }

 private:
  std::size_t avail() const { return tail_ - head_; }
  bool fill(std::size_t need);
  std::size_t read_into(void* dst, std::size_t n);
  std::int64_t discard(std::int64_t n);
  std::ptrdiff_t source_read(void* dst, std::size_t n);
  void require(std::int64_t n, std::size_t item_bytes);  // the record must hold n items
  void claim(std::int64_t bytes);  // checks a take of `bytes` against the record and the file
  [[noreturn]] void short_payload(wide_count wanted) const;

  std::shared_ptr<ByteSource> src_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0, head_ = 0, tail_ = 0;
  // How much one refill asks for: small after a seek, when the next record
  // may well be passed over too, growing back to the whole buffer.
  std::size_t fill_size_ = 0;
  std::int64_t pos_ = 0;    // file offset of buf_[head_]
  std::int64_t size_ = -1;  // file size, -1 when unknown
  int open_error_ = 0;
  ProgressHook progress_;
  void tell_progress() {
    if (progress_) progress_(pos_ + static_cast<std::int64_t>(avail()), size_);
  }

  bool in_record_ = false;
  bool rec_past_end_ = false;
  std::int64_t rec_start_ = 0, rec_len_ = 0, rec_left_ = 0;
};

template <class T>
void DumpFile::take_array(T* dst, std::int64_t n, std::size_t stride) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (n <= 0) return;
  require(n, sizeof(T));
  const std::int64_t bytes = n * static_cast<std::int64_t>(sizeof(T));
  claim(bytes);
  if (stride == 1) {
    if (read_into(dst, static_cast<std::size_t>(bytes)) < static_cast<std::size_t>(bytes))
      throw DumpEnded{};
    rec_left_ -= bytes;
    return;
  }
  std::int64_t left = n;
  while (left > 0) {
    if (avail() < sizeof(T) && !fill(sizeof(T))) throw DumpEnded{};
    std::int64_t k = static_cast<std::int64_t>(avail() / sizeof(T));
    if (k > left) k = left;
    const char* s = buf_.get() + head_;
    for (std::int64_t j = 0; j < k; ++j) {
      std::memcpy(dst, s, sizeof(T));
      dst += stride;
      s += sizeof(T);
    }
    const std::size_t used = static_cast<std::size_t>(k) * sizeof(T);
    head_ += used;
    pos_ += static_cast<std::int64_t>(used);
    left -= k;
  }
  rec_left_ -= bytes;
}

}  // namespace pg
