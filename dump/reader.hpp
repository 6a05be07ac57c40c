// The dump reader's working state and the stages of one read. Private to the
// reader: the driver calls rdump() only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/trace.hpp"
#include "dump/rdump.hpp"
#include "dump/record.hpp"
#include "dump/tags.hpp"
#include "dump/wanted.hpp"
#include "format/array_catalogue.hpp"
#include "state/store.hpp"

namespace pg {

// State of one call of rdump.
struct ReadState {
  DumpFile& f;
  Store& s;  // the target store
  Trace& trace;
  Wanted wanted;
  // The file, where the read leaves the values the store notes instead of
  // copying (null: every value is copied).
  std::shared_ptr<const FileAt> file_at = nullptr;
  bool tagged = false;
  std::int32_t n_blocks = 1;
  bool has_dragscheme = false;  // the 44-integer header carries one
  std::int32_t dump_dragscheme = 0;

  // Array-block directory, replaced block by block.
  std::int32_t n_array_lengths = 0;
  std::int32_t lengths_per_block = 0;
  std::int32_t iblock = 0;
  std::int64_t block_npart = 0;  // particles this block contributes
  std::int64_t block_nrad = 0;
  std::array<std::int32_t, 8> nums1{}, nums2{}, nums3{}, nums4{};
  std::int64_t unread_group_arrays = 0;  // arrays of groups 4 and up
  bool last_block = false;
  bool dust_in_every_block = true;  // see ReadEnd
  // The arrays read so far in this block, and in every block of particles
  // before it (ReadEnd::carried).
  std::uint64_t block_carried = 0, carried = ~std::uint64_t{0};
  // Arrays the reader does not use that lie after the last array it reads in
  // the block so far (see defer_arrays).
  std::int64_t deferred = 0;

  // The blocks so far (ReadEnd::blocks), the last one the block being read.
  std::vector<BlockRead> blocks{};
  int format_version = 0;
  std::string file_ident{};

  // Running totals over the blocks of this dump.
  std::int64_t icount = 0;
  std::int64_t inactive_offset = 0;
  std::int64_t nptmass_offset = 0;
};

// nums(k), 1-based.
inline std::int64_t slot(const std::array<std::int32_t, 8>& nums, int k) {
  return nums[static_cast<std::size_t>(k - 1)];
}

// The arrays that slots `from` .. `to` of a group announce; a count below
// zero announces none.
inline std::int64_t arrays_in(const std::array<std::int32_t, 8>& nums, int from, int to) {
  std::int64_t all = 0;
  for (int k = from; k <= to; ++k) all += slot(nums, k) > 0 ? slot(nums, k) : 0;
  return all;
}

// In a tagged dump: reads the tag record in front of an array and compares
// it with `expected` (a difference only warns).
void check_array_tag(ReadState& st, std::string_view expected);

// Reads an array: in a tagged dump its tag record is compared with
// `expected` (a difference only warns); then the first n values of the data
// record land at dst, dst + stride, ... With no destination (null) they are
// checked to be there and passed over instead.
template <class T>
void read_array(ReadState& st, std::string_view expected, T* dst, std::int64_t n,
                std::size_t stride = 1) {
  check_array_tag(st, expected);
  st.f.begin_record();
  if (dst != nullptr)
    st.f.take_array(dst, n, stride);
  else
    st.f.require_array<T>(n);
  st.f.end_record();
}

// Reads an array the reader reads by a rule of its own (see read_slot); false
// for any other array.
using OwnRead = bool (*)(ReadState& st, const dumpformat::ArraySpec& a, std::int64_t first, std::int64_t n);

// Reads, in order, the arrays the catalogue places in slot `slot` of group `g`
// that a read takes at the count `nums` gives the slot: each straight into
// its store member from particle (or sink) `first` on, n values, or passed
// over when the target does not fill that member; through `own` where it
// reads the array. Returns how many arrays of the slot follow them: the
// slot's count less those read (none when 0 or below).
std::int64_t read_slot(ReadState& st, dumpformat::ArrayGroup g, const std::array<std::int32_t, 8>& nums,
                       int slot, std::int64_t first, std::int64_t n, OwnRead own = nullptr);

// Passes over `count` arrays: tag and data record each in a tagged dump.
// None when `count` is 0 or below.
void skip_arrays(ReadState& st, std::int64_t count);

// Arrays the layout announces that no step reads and that the dump's own
// rules do not pass over (slots the reader has no use for, a group 3 that
// does not match its block, groups 4 and up). They are passed over when
// another array follows them in the block. At the end of the last block they
// are not required at all: the read is complete without them. At the end of
// an earlier block they are passed over only when the file holds them, which
// resolve_deferred() tells from the next record (see there).
void defer_arrays(ReadState& st, std::int64_t count);
void resolve_deferred(ReadState& st);

// Stages of the read, in file order.
void read_header(ReadState& st);
void read_blocks(ReadState& st);
void read_gas(ReadState& st);
void read_sinks(ReadState& st);
void read_radiation(ReadState& st);

}  // namespace pg
