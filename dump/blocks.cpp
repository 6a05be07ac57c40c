// The array-block directory: the array-length records of each block, the
// checks that keep every block inside the store, and the end-of-block totals.
#include <algorithm>
#include <limits>
#include <cstring>
#include <utility>

#include "base/trace.hpp"
#include "base/error.hpp"
#include "format/slots.hpp"
#include "dump/fixed_records.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

using dumpformat::ArrayLengths;

// The record length of a tag record, and of an array-length record.
constexpr std::int32_t tag_record_bytes = dumpformat::tag_length;
constexpr std::int32_t lengths_record_bytes = dumpformat::array_lengths_record_bytes;

// Does the record ahead look like a block's array-length record: 40 bytes
// that end with their length, a count within the store and eight counts of
// arrays that are neither negative nor absurd?
bool lengths_record_ahead(DumpFile& f, std::int64_t capacity) {
  char ahead[4 + lengths_record_bytes + 4];
  if (!f.peek(ahead, sizeof ahead)) return false;
  std::int32_t lead, trail;
  std::int64_t count;
  std::array<std::int32_t, 8> nums;
  std::memcpy(&lead, ahead, 4);
  std::memcpy(&count, ahead + 4, 8);
  std::memcpy(nums.data(), ahead + 12, 32);
  std::memcpy(&trail, ahead + 44, 4);
  if (lead != lengths_record_bytes || trail != lengths_record_bytes) return false;
  if (count < 0 || count > capacity) return false;
  for (std::int32_t k : nums)
    if (k < 0 || k > (1 << 20)) return false;
  return true;
}

void end_block(ReadState& st) {
  // The block's sink list becomes indices into the whole store.
  if (st.n_blocks != 1) {
    for (std::int64_t j = st.nptmass_offset + 1; j <= st.nptmass_offset + st.s.ptmass.nptmass; ++j) {
      auto& entry = st.s.ptmass.listpm(static_cast<int>(j));
      // Wraps like the processor's addition instead of overflowing.
      entry = static_cast<std::int32_t>(static_cast<std::uint32_t>(entry) +
                                        static_cast<std::uint32_t>(st.icount));
    }
  }
  st.nptmass_offset += st.s.ptmass.nptmass;
  st.inactive_offset += st.s.inactive.nlistinactive;
  st.icount += st.block_npart;
  st.trace.say("Totals at this point npart, nptmass ", st.icount, st.nptmass_offset);
  if (st.n_blocks != 1 && st.iblock == st.n_blocks) {
    if (st.s.part.npart != st.icount) {
      raise_fault(FaultKind::block_counts_differ, st.f.offset(),
                  {st.icount, st.s.part.npart, st.n_blocks, st.iblock});
    }
    st.s.ptmass.nptmass = static_cast<std::int32_t>(st.nptmass_offset);
    st.s.inactive.nlistinactive = static_cast<std::int32_t>(st.inactive_offset);
  }
}

// Passes over `count` arrays: tag and data record each in a tagged dump.
void pass_over(ReadState& st, std::int64_t count) {
  for (std::int64_t k = 0; k < count; ++k) {
    if (st.tagged) st.f.skip_record();
    st.f.skip_record();
  }
}

// Passes over the arrays put off so far.
void flush_deferred(ReadState& st) { pass_over(st, std::exchange(st.deferred, 0)); }

}  // namespace

void defer_arrays(ReadState& st, std::int64_t count) {
  if (count > 0) st.deferred += count;
}

// At the end of a block, arrays put off are not part of the read when no
// array follows them: the last block ends without them. Before a later
// block they are passed over when the file holds them. The next block begins
// with a 40-byte array-length record; in a tagged dump an array begins with
// a 16-byte tag record, so the length word ahead tells which. In an untagged
// dump an array's data record can be 40 bytes long too: there the record
// ahead is taken for the next block's when it reads as a sound array-length
// record (see lengths_record_ahead), and for the put-off arrays otherwise.
void resolve_deferred(ReadState& st) {
  if (st.deferred == 0) return;
  bool held = false;
  if (!st.last_block) {
    std::int32_t len;
    if (st.f.peek(&len, 4))
      held = st.tagged ? len == tag_record_bytes : !lengths_record_ahead(st.f, st.s.capacity());
  }
  if (held)
    flush_deferred(st);
  else
    st.deferred = 0;
}

void check_array_tag(ReadState& st, std::string_view expected) {
  flush_deferred(st);  // an array follows them: this one
  if (!st.tagged) return;
  Tag tag;
  st.f.begin_record();
  st.f.take_bytes(tag.data(), tag.size());
  st.f.end_record();
  checktag(st.trace, expected, tag);  // a warning only
}

void skip_arrays(ReadState& st, std::int64_t count) {
  if (count <= 0) return;
  flush_deferred(st);
  pass_over(st, count);
}

void read_blocks(ReadState& st) {
  st.n_array_lengths = take_count(st.f);
  st.trace.say("Number of array lengths & blocks ", st.n_array_lengths, st.n_blocks);
  // No blocks at all cannot be divided into: the same stop as too few lengths.
  if (st.n_array_lengths < 2 || st.n_blocks <= 0 || st.n_array_lengths / st.n_blocks < 2) {
    raise_fault(FaultKind::too_few_array_lengths, st.f.offset(), {st.n_array_lengths, 3});
  }
  // A dump of one block with a negative particle count reads as no
  // particles; over several blocks the count would move later blocks'
  // particles below the first store index.
  const bool several = st.n_blocks != 1;
  if (st.s.part.npart < 0 && several) {
    raise_fault(FaultKind::npart_negative, st.f.offset(), {st.s.part.npart});
  }
  st.lengths_per_block = st.n_array_lengths / st.n_blocks;
  const std::int64_t npart = st.s.part.npart;

  for (st.iblock = 1; st.iblock <= st.n_blocks; ++st.iblock) {
    st.last_block = st.iblock == st.n_blocks;
    st.trace.say("Doing block ", st.iblock);
    const std::int64_t block_offset = st.f.offset();
    const ArrayLengths g1 = take_array_lengths(st.f);
    st.nums1 = g1.nums;
    if ((g1.length_count < npart && st.n_blocks == 1) || g1.length_count > st.s.capacity()) {
      raise_fault(FaultKind::npart_wrong, st.f.offset(), {g1.length_count, st.s.part.npart, st.s.capacity()});
    }
    if (g1.length_count < 0 && several) {
      raise_fault(FaultKind::block_particles_negative, st.f.offset(), {st.iblock, g1.length_count});
    }
    st.block_npart = std::min(npart, g1.length_count);
    if (st.icount + st.block_npart > st.s.capacity()) {
      raise_fault(FaultKind::store_exceeded, st.f.offset(), {st.icount, st.block_npart, st.s.capacity()});
    }
    // Room for the block's particles, and for the ten identifiers the trace
    // shows from its first particle on.
    st.s.ensure(st.icount + std::max<std::int64_t>(st.block_npart, 10));

    const ArrayLengths g2 = take_array_lengths(st.f);
    st.nums2 = g2.nums;
    if (g2.length_count > ptmass_dim) {
      raise_fault(FaultKind::block_sinks_beyond_list, st.f.offset(), {g2.length_count, ptmass_dim});
    }
    // A dump of one block may count its sinks below zero (none are read),
    // but not below what the store's 4-byte count holds.
    if (g2.length_count < 0 && (several || g2.length_count < std::numeric_limits<std::int32_t>::min())) {
      raise_fault(FaultKind::block_sinks_negative, st.f.offset(), {st.iblock, g2.length_count});
    }
    // Each block may hold up to 300 sinks, but they all share one list.
    if (st.nptmass_offset + g2.length_count > ptmass_dim) {
      raise_fault(FaultKind::sinks_beyond_list, st.f.offset(),
                  {st.iblock, st.nptmass_offset + g2.length_count, ptmass_dim});
    }
    st.s.ptmass.nptmass = static_cast<std::int32_t>(g2.length_count);

    st.block_nrad = 0;
    st.nums3 = {};
    st.nums4 = {};
    if (st.lengths_per_block >= 3) {
      const ArrayLengths g3 = take_array_lengths(st.f);
      st.nums3 = g3.nums;
      st.trace.say_values("nums3 ", st.nums3.data(), 8);
      if (g3.length_count > st.s.capacity()) {
        raise_fault(FaultKind::iradtrans_wrong, st.f.offset(), {g3.length_count, st.s.capacity(), st.s.part.npart});
      }
      st.block_nrad = std::min(npart, g3.length_count);
    }
    st.unread_group_arrays = 0;
    if (st.lengths_per_block >= 4) {
      const ArrayLengths g4 = take_array_lengths(st.f);
      st.nums4 = g4.nums;
      st.trace.say_values("nums4 ", st.nums4.data(), 8);
      st.unread_group_arrays = arrays_in(st.nums4, 1, 8);
    }
    // Groups beyond the fourth: their arrays are not read either.
    for (std::int32_t g = 5; g <= st.lengths_per_block; ++g)
      st.unread_group_arrays += arrays_in(take_array_lengths(st.f).nums, 1, 8);

    st.blocks.push_back({block_offset, st.icount + 1, std::max<std::int64_t>(st.block_npart, 0),
                         std::max<std::int64_t>(st.s.ptmass.nptmass, 0), std::max<std::int64_t>(st.block_nrad, 0), 0});
    read_gas(st);
    read_sinks(st);
    read_radiation(st);
    resolve_deferred(st);
    end_block(st);
    if (st.block_npart > 0) st.carried &= st.block_carried;
    st.blocks.back().carried = std::exchange(st.block_carried, 0);
  }
}

}  // namespace pg
