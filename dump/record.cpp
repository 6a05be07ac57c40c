#include "dump/record.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/interrupt.hpp"


namespace pg {

namespace {

// A refill right after a seek brings in this much: enough for the trailing
// length word, a tag record and the next length word.
constexpr std::size_t after_seek_fill = std::size_t{16} << 10;

// Reads nothing: the stand-in for a dump that could not be opened, which the
// reader then meets as a file that ends at once.
class EmptySource final : public ByteSource {
 public:
  SysResult<std::size_t> read(void*, std::size_t) override { return std::size_t{0}; }
  bool skip(std::int64_t) override { return false; }
  std::int64_t size() const override { return 0; }
};

}  // namespace

DumpFile::DumpFile(std::unique_ptr<ByteSource> source, std::size_t buffer_bytes)
    : src_(std::move(source)),
      buf_(new char[std::max<std::size_t>(buffer_bytes, 16)]),
      cap_(std::max<std::size_t>(buffer_bytes, 16)),
      fill_size_(cap_),
      size_(src_->size()) {}

DumpFile DumpFile::open(const std::string& path, std::size_t buffer_bytes) {
  auto opened = FileSource::open(path);
  if (!opened) {
    DumpFile f(std::make_unique<EmptySource>());
    f.open_error_ = opened.error();
    return f;
  }
  return DumpFile(std::move(*opened), buffer_bytes);
}

std::shared_ptr<const FileAt> DumpFile::file_at() const {
  const auto* file = dynamic_cast<const FileSource*>(src_.get());
  if (file == nullptr || !file->regular()) return nullptr;
  return std::shared_ptr<const FileAt>(src_, file);
}

std::ptrdiff_t DumpFile::source_read(void* dst, std::size_t n) {
  throw_if_stopped();  // a signal stops the run between two reads
  const auto got = src_->read(dst, n);
  if (!got)
    raise_fault(FaultKind::read_failed, pos_ + static_cast<std::int64_t>(avail()), {}, std::strerror(got.error()));
  return static_cast<std::ptrdiff_t>(*got);
}

// Makes at least `need` bytes available in the buffer (need <= capacity),
// reading as much as fits. False when the data end first.
bool DumpFile::fill(std::size_t need) {
  if (avail() >= need) return true;
  if (head_ > 0) {
    std::memmove(buf_.get(), buf_.get() + head_, avail());
    tail_ -= head_;
    head_ = 0;
  }
  while (tail_ < need) {
    const std::size_t ask = std::min(cap_ - tail_, std::max(fill_size_, need - tail_));
    std::ptrdiff_t got = source_read(buf_.get() + tail_, ask);
    if (got == 0) return false;
    tail_ += static_cast<std::size_t>(got);
    tell_progress();
    fill_size_ = std::min(cap_, fill_size_ * 2);
  }
  return true;
}

// Delivers up to n bytes; fewer only at the end of the data.
std::size_t DumpFile::read_into(void* dst, std::size_t n) {
  char* out = static_cast<char*>(dst);
  std::size_t done = std::min(n, avail());
  std::memcpy(out, buf_.get() + head_, done);
  head_ += done;
  pos_ += static_cast<std::int64_t>(done);
  while (done < n) {
    const std::size_t rest = n - done;
    if (rest >= cap_ / 2) {
      // Large payloads go straight from the file into place.
      std::ptrdiff_t got = source_read(out + done, rest);
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
      pos_ += got;
      tell_progress();
    } else {
      if (!fill(1)) break;
      const std::size_t k = std::min(rest, avail());
      std::memcpy(out + done, buf_.get() + head_, k);
      head_ += k;
      pos_ += static_cast<std::int64_t>(k);
      done += k;
    }
  }
  return done;
}

// Passes over up to n bytes, seeking where the source allows; returns the
// number passed over (fewer only at the end of the data). A file known to
// end first is not moved in: its read ends where it stands, as a take of
// those bytes would.
std::int64_t DumpFile::discard(std::int64_t n) {
  if (size_ >= 0 && pos_ + n > size_) return 0;
  std::int64_t done = std::min<std::int64_t>(n, static_cast<std::int64_t>(avail()));
  head_ += static_cast<std::size_t>(done);
  pos_ += done;
  if (done == n) return n;
  head_ = tail_ = 0;
  std::int64_t rest = n - done;
  if (size_ >= 0) {
    // Never seek beyond the end of the file.
    const std::int64_t can = std::min(rest, std::max<std::int64_t>(size_ - pos_, 0));
    if (can > 0 && src_->skip(can)) {
      pos_ += can;
      tell_progress();
      fill_size_ = std::min<std::size_t>(cap_, after_seek_fill);
      return done + can;
    }
    if (can <= 0) return done;
  }
  while (rest > 0 && fill(1)) {
    const std::int64_t k = std::min(rest, static_cast<std::int64_t>(avail()));
    head_ += static_cast<std::size_t>(k);
    pos_ += k;
    rest -= k;
    done += k;
  }
  return done;
}

bool DumpFile::peek(void* dst, std::size_t n) {
  if (n > cap_) {
    std::unique_ptr<char[]> bigger(new char[n]);
    std::memcpy(bigger.get(), buf_.get() + head_, avail());
    tail_ = avail();
    head_ = 0;
    buf_ = std::move(bigger);
    cap_ = n;
  }
  if (!fill(n)) return false;
  std::memcpy(dst, buf_.get() + head_, n);
  return true;
}

std::size_t DumpFile::peek_up_to(void* dst, std::size_t n) {
  n = std::min(n, cap_);
  fill(n);
  n = std::min(n, avail());
  std::memcpy(dst, buf_.get() + head_, n);
  return n;
}

void DumpFile::begin_record() {
  rec_start_ = pos_;
  in_record_ = false;
  rec_len_ = rec_left_ = 0;
  rec_past_end_ = false;
  // No length word, or only part of one: the file ended where a record
  // should begin.
  if (!fill(4)) throw DumpEnded{};
  std::int32_t len;
  std::memcpy(&len, buf_.get() + head_, 4);
  head_ += 4;
  pos_ += 4;
  if (len < 0) {
    raise_fault(FaultKind::negative_record_length, rec_start_, {len});
  }
  rec_len_ = rec_left_ = len;
  rec_past_end_ = size_ >= 0 && pos_ + len + 4 > size_;
  in_record_ = true;
}

[[noreturn]] void DumpFile::short_payload(wide_count wanted) const {
  raise_fault(FaultKind::record_too_short, rec_start_, {rec_len_, wanted});
}

void DumpFile::require(std::int64_t n, std::size_t item_bytes) {
  const auto size = static_cast<std::int64_t>(item_bytes);
  if (n > 0 && n > rec_left_ / size)
    short_payload(static_cast<wide_count>(rec_len_ - rec_left_) + static_cast<wide_count>(n) * size);
}

void DumpFile::claim(std::int64_t bytes) {
  if (bytes > rec_left_) short_payload(static_cast<wide_count>(rec_len_ - rec_left_) + bytes);
  // The record runs past the end of the file and these bytes are not there.
  if (rec_past_end_ && pos_ + bytes > size_) throw DumpEnded{};
}

void DumpFile::take_bytes(void* dst, std::size_t n) {
  const auto bytes = static_cast<std::int64_t>(n);
  claim(bytes);
  if (read_into(dst, n) < n) throw DumpEnded{};
  rec_left_ -= bytes;
}

void DumpFile::end_record() {
  if (discard(rec_left_) < rec_left_) throw DumpEnded{};
  rec_left_ = 0;
  std::int32_t trail;
  if (!fill(4)) throw DumpEnded{};  // (where the trailing word begins)
  read_into(&trail, 4);
  if (trail != rec_len_) {
    raise_fault(FaultKind::record_lengths_differ, rec_start_, {rec_len_, trail});
  }
  in_record_ = false;
}

void DumpFile::skip_record() {
  begin_record();
  end_record();
}

}  // namespace pg
