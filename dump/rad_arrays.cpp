// Array group 3: radiative transfer, dust and chemistry values of a block;
// then the arrays of any further groups, which are passed over.
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

void read_radiation(ReadState& st) {
  const std::array<std::int32_t, 8>& nums = st.nums3;
  const bool read = st.lengths_per_block >= 3 && st.block_nrad == st.block_npart &&
                    st.block_nrad <= st.s.capacity();
  // A block of particles without their dust temperatures leaves them as an
  // earlier dump left them.
  if (st.block_npart > 0 && !(read && slot(nums, 6) >= 7)) st.dust_in_every_block = false;
  if (read) {
    const std::int64_t n = st.block_nrad;
    const std::int64_t first = st.icount + 1;
    // Arrays of slots 1 to 5 come first; only slot 3's are the group's own
    // to pass over, the others no step reads.
    defer_arrays(st, arrays_in(nums, 1, 2));
    skip_arrays(st, slot(nums, 3));
    defer_arrays(st, arrays_in(nums, 4, 5));

    static constexpr std::string_view rad[5] = {"Erad", "opacity", "Cv", "lambda", "EddingtonFactor"};
    const Wanted& w = st.wanted;
    for (int c = 1; c <= 5; ++c)
      read_array(st, rad[c - 1], fill_at(st.s.radtrans.rad_values, c, first, w.radiation), n, 5);
    if (slot(nums, 6) >= 7) {
      read_array(st, "DustTemperature", fill_at(st.s.raddust.dust_values, 1, first, w.dust_temperature), n, 2);
      read_array(st, "DustOpacity", fill_at(st.s.raddust.dust_values, 2, first, w.dust_opacity), n, 2);
      skip_arrays(st, slot(nums, 6) - 7);
    } else {
      skip_arrays(st, slot(nums, 6) - 5);
    }

    if (slot(nums, 7) >= 9) {
      static constexpr std::string_view abund[3] = {"Cplus", "AtomicC", "CO"};
      static constexpr std::string_view ext[4] = {"HeatingISR", "Gphotoelectric", "Extinction",
                                                  "H2SelfShielding"};
      const bool k = w.chemistry;
      for (int c = 1; c <= 3; ++c) read_array(st, abund[c - 1], fill_at(st.s.chem.chem_abund, c, first, k), n, 3);
      for (int c = 1; c <= 4; ++c) read_array(st, ext[c - 1], fill_at(st.s.extinc.extinc_values, c, first, k), n, 4);
      read_array(st, "H2Frac", fill_at(st.s.chem.H2Frac, first, k), n, 1);
      read_array(st, "dH2dt", fill_at(st.s.chem.dH2dt_pair, 1, first, k), n, 2);
      skip_arrays(st, slot(nums, 7) - 9);
    } else {
      skip_arrays(st, slot(nums, 7));
    }
    defer_arrays(st, slot(nums, 8));
  } else if (st.lengths_per_block >= 3) {
    // The group is there but does not match the block's particles: it is not
    // read (before a later block it is passed over when the file holds it).
    defer_arrays(st, arrays_in(nums, 1, 8));
  }
  defer_arrays(st, st.unread_group_arrays);
}

}  // namespace pg
