// Array group 2: the point masses (sinks) of a block.
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

void read_sinks(ReadState& st) {
  const std::int64_t m = st.s.ptmass.nptmass;
  const int first = static_cast<int>(st.nptmass_offset) + 1;
  auto sink_array = [&](std::string_view tag, PerSink<double>& a) {
    read_array(st, tag, a.at(first), m);
  };

  read_array(st, "listpm", st.s.ptmass.listpm.at(first), m);
  skip_arrays(st, slot(st.nums2, 1) - 1);
  skip_arrays(st, arrays_in(st.nums2, 2, 5));

  sink_array("spinx", st.s.ptmass.spinx);
  sink_array("spiny", st.s.ptmass.spiny);
  sink_array("spinz", st.s.ptmass.spinz);
  sink_array("angaddx", st.s.ptmass.angaddx);
  sink_array("angaddy", st.s.ptmass.angaddy);
  sink_array("angaddz", st.s.ptmass.angaddz);
  sink_array("spinadx", st.s.ptmass.spinadx);
  sink_array("spinady", st.s.ptmass.spinady);
  sink_array("spinadz", st.s.ptmass.spinadz);
  std::int64_t optional = 0;
  switch (slot(st.nums2, 6)) {
    case 10:
      optional = 1;
      sink_array("stellarmass", st.s.ptmass.stellarmass);
      break;
    case 15:
    case 19:
      optional = slot(st.nums2, 6) - 9;
      sink_array("ptmassform", st.s.ptmass.ptmassform);
      sink_array("diskinit", st.s.ptmass.diskinit);
      sink_array("stellartime", st.s.ptmass.stellartime);
      sink_array("stellarmass", st.s.ptmass.stellarmass);
      sink_array("stellarradius", st.s.ptmass.stellarradius);
      sink_array("stellarlum", st.s.ptmass.stellarlum);
      if (slot(st.nums2, 6) == 19) {
        sink_array("lyontime", st.s.ptmass.lyontime);
        sink_array("lyonmass", st.s.ptmass.lyonmass);
        sink_array("lyonradius", st.s.ptmass.lyonradius);
        sink_array("lyonlum", st.s.ptmass.lyonlum);
      }
      break;
    default:
      break;
  }
  // Default reals beyond those the count names, and real*4 arrays: no step
  // reads them. The real*8 arrays are the group's own to pass over.
  defer_arrays(st, slot(st.nums2, 6) - 9 - optional);
  defer_arrays(st, slot(st.nums2, 7));
  skip_arrays(st, slot(st.nums2, 8));
}

}  // namespace pg
