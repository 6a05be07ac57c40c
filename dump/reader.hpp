// The dump reader's working state and the stages of one read. Private to the
// reader: the driver calls rdump() only.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "dump/record.hpp"
#include "dump/tags.hpp"
#include "dump/wanted.hpp"

namespace pg {

// State of one call of rdump.
struct ReadState {
  DumpFile& f;
  Wanted wanted;
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
  std::int64_t unread_group_arrays = 0;  // arrays of groups 4 and up, passed over

  // Running totals over the blocks of this dump.
  std::int64_t icount = 0;
  std::int64_t inactive_offset = 0;
  std::int64_t nptmass_offset = 0;
};

// nums(k), 1-based.
inline std::int32_t slot(const std::array<std::int32_t, 8>& nums, int k) {
  return nums[static_cast<std::size_t>(k - 1)];
}

// In a tagged dump: reads the tag record in front of an array and compares
// it with `expected` (a difference only warns).
void check_array_tag(ReadState& st, std::string_view expected);

// Reads an array: in a tagged dump its tag record is compared with
// `expected` (a difference only warns); then the first n values of the data
// record land at dst, dst + stride, ... When the run will not look at them
// (`keep` false) they are checked to be there and passed over instead.
template <class T>
void read_array(ReadState& st, std::string_view expected, T* dst, std::int64_t n,
                std::size_t stride = 1, bool keep = true) {
  check_array_tag(st, expected);
  st.f.begin_record();
  if (keep)
    st.f.take_array(dst, n, stride);
  else
    st.f.require_array<T>(n);
  st.f.end_record();
}

// Passes over `count` arrays: tag and data record each in a tagged dump.
void skip_arrays(ReadState& st, std::int64_t count);

// Stages of the read, in file order.
void read_header(ReadState& st);
void read_blocks(ReadState& st);
void read_gas_integers(ReadState& st);
void read_gas_reals(ReadState& st);
void read_sinks(ReadState& st);
void read_radiation(ReadState& st);

}  // namespace pg
