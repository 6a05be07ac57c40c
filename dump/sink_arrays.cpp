// Array group 2: the point masses (sinks) of a block.
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

void read_sinks(ReadState& st) {
  const std::int64_t first = st.nptmass_offset + 1;
  for (int k = 1; k <= dumpformat::slot_count; ++k) {
    const std::int64_t rest = read_slot(st, dumpformat::ArrayGroup::sinks, st.nums2, k, first, st.s.ptmass.nptmass);
    // Default reals beyond the layout the count names, and real*4 arrays: no
    // step reads them. The others are the group's own to pass over.
    if (k == dumpformat::s_real || k == dumpformat::s_real4)
      defer_arrays(st, rest);
    else
      skip_arrays(st, rest);
  }
}

}  // namespace pg
