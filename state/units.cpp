#include "state/units.hpp"

#include "state/store.hpp"

namespace pg {

// The values are stored as written. They follow from umass and udist
// (unit_density = umass/udist^3, unit_time = sqrt(udist^3/(G umass)) so that
// G = 1, and so on) but are not recomputed at run time.
void unit() {
  units.umass = code_umass;
  units.udist = code_udist;
  units.unit_density = 6.774597458271153e-20;
  units.unit_time = code_unit_time;
  units.unit_spec_energy = 430461232.3720027;
  units.unit_pressure = 2.9162015707116373e-11;
  units.umagfd = 1.9143163198314308e-05;

  vargam(1) = 1.4;
  vargam(2) = 1.0;
  vargam(3) = 1.6666666666666667;

  physeos(1) = 1.6666666666666667;
  physeos(2) = 1.4;
  physeos(3) = 2.0;
  physeos(4) = 2952204.927774987;
  physeos(5) = 328022.76975277637;
  physeos(6) = 42806971.45273731;
  physeos(7) = 79709533.04992466;
  physeos(8) = 1107076847.91562;
  physeos(9) = 2952204.927774987;

  polyk2.eos(1) = 1476102.4638874936;
  polyk2.eos(2) = 1476102463.8874936;
  polyk2.eos(3) = 1.4761024638874935e+19;
}

}  // namespace pg
