// Array group 3: radiative transfer, dust and chemistry values of a block;
// then the arrays of any further groups, which are passed over.
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

void read_radiation(ReadState& st) {
  namespace df = dumpformat;
  const std::array<std::int32_t, 8>& nums = st.nums3;
  const bool read = st.lengths_per_block >= 3 && st.block_nrad == st.block_npart &&
                    st.block_nrad <= st.s.capacity();
  // A block of particles without their dust temperatures leaves them as an
  // earlier dump left them.
  const bool dust = df::taken_at(df::catalogue_row(df::ArrayId::DustTemperature), slot(nums, df::s_real));
  if (st.block_npart > 0 && !(read && dust)) st.dust_in_every_block = false;
  if (read) {
    for (int k = 1; k <= df::slot_count; ++k) {
      const std::int64_t rest = read_slot(st, df::ArrayGroup::radiation, nums, k, st.icount + 1, st.block_nrad);
      // Only the integer*2 arrays, and the reals and real*4s after those
      // read, are the group's own to pass over; the others no step reads.
      if (k == df::s_int2 || k == df::s_real || k == df::s_real4)
        skip_arrays(st, rest);
      else
        defer_arrays(st, rest);
    }
  } else if (st.lengths_per_block >= 3) {
    // The group is there but does not match the block's particles: it is not
    // read (before a later block it is passed over when the file holds it).
    defer_arrays(st, arrays_in(nums, 1, 8));
  }
  defer_arrays(st, st.unread_group_arrays);
}

}  // namespace pg
