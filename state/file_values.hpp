// Values a dump supplied that the store leaves in the dump's file.
//
// A run that only bins an array need not copy it into memory: the reader
// notes where each block's values lie in the file, and whoever reads them
// takes them from there, a slice at a time, into a buffer of its own. The
// store still keeps its promise that values a later dump does not supply
// remain those of the earlier dump. It holds the notes of the latest dump to
// supply a member over what the member's room holds; once a later dump has
// been read, an earlier dump's notes that the later one covers in full are
// dropped, and the values of any other are copied into the room first. A
// run whose dumps all carry the member never copies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/system.hpp"

namespace pg {

// A file read at an offset: the store's seam to the dumps it leaves values in.
class FileAt {
 public:
  virtual ~FileAt() = default;
  // Reads up to n bytes at `offset`: the number read, fewer only at the end
  // of the file, or the errno of the read that failed.
  virtual SysResult<std::size_t> read_at(void* dst, std::size_t n, std::int64_t offset) const = 0;
  // What has changed in the file since it was opened ("" when nothing has):
  // what is read from it now may then not be what its read found there.
  [[nodiscard]] virtual std::string changed() const { return {}; }
  // The name the run gives the file, for the line that says it changed.
  virtual std::string name() const { return {}; }
};

// Raises a fault of kind dump_changed when `file` has changed since it was
// opened. Made after the last read of what is used: whatever was read before
// it is then known to be what the file held when it was opened.
void check_unchanged(const FileAt& file);

// Where the store holds one component of a member: the first particle's
// item, `stride` bytes from one particle's to the next, room for `particles`.
struct Room {
  char* first = nullptr;
  std::size_t stride = 0;
  std::int64_t particles = 0;
};

// One member's values that lie in files, by the particles they belong to:
// items of `item_bytes` each, packed in the file.
class FileValues {
 public:
  explicit FileValues(std::size_t item_bytes) : item_(item_bytes) {}

  // The values of particles first .. first + count - 1 lie in `file` from
  // `offset` on. A file noted after another takes precedence over it.
  void note(std::shared_ptr<const FileAt> file, std::int64_t first, std::int64_t count, std::int64_t offset);
  bool empty() const { return layers_.empty(); }

  // Copies the values of particles first .. first + count - 1 to dst,
  // packed: from the files that hold them, the rest from `room` (zero
  // beyond it). Safe to call from several threads at once. A file that
  // fails raises a fault of kind read_failed; one that has become shorter,
  // of kind dump_changed.
  void gather(std::int64_t first, std::int64_t count, void* dst, const Room& room) const;

  // Once a dump has been read: the last particle that the earlier files'
  // notes still in force reach (0 when none are), which the room must hold
  // before settle().
  std::int64_t settle_reach() const;
  // Drops the notes of every file but the latest, copying into `room` first
  // those a later file does not cover in full. A file copied from that has
  // changed since it was opened raises dump_changed (its notes are dropped
  // all the same).
  void settle(const Room& room);
  // The last particle any note reaches; fill() copies them all into the
  // room and drops them.
  std::int64_t reach() const;
  void fill(const Room& room);
  void clear() { layers_.clear(); }

 private:
  struct Span {
    std::int64_t first = 0, count = 0, offset = 0;
  };
  struct Layer {
    std::shared_ptr<const FileAt> file;
    std::vector<Span> spans;  // in particle order, disjoint
  };
  void gather_below(std::size_t layers, std::int64_t first, std::int64_t count, char* dst,
                    const Room& room) const;
  void read_span(const Layer& layer, const Span& span, std::int64_t first, std::int64_t count,
                 char* dst) const;
  bool covered(std::size_t layer) const;
  void copy_into(const Layer& layer, const Room& room) const;
  void copy_spans(const Layer& layer, const Room& room) const;

  std::vector<Layer> layers_;  // oldest first
  std::size_t item_;
};

}  // namespace pg
