// Sample dumps for the tests and the fuzz corpus: particles with distinct,
// deterministic values, the groups of a block that carry them, and whole
// one-block dumps, laid out with the format library's dump writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "format/dump_writer.hpp"

namespace pgtest {

using pg::dumpformat::Dump;
using pg::dumpformat::Group;

// The file identifier's text after its "FT"/"FU".
inline constexpr std::string_view sample_ident = ": a dump made by the tests";

// Values of a set of particles, as a dump carries them.
struct Particles {
  std::vector<std::int32_t> isteps;
  std::vector<std::int8_t> iphase;
  std::vector<std::int64_t> iunique;  // empty: the dump carries none
  std::vector<double> xyzmh[5];
  std::vector<double> vxyzu[4];
  std::vector<float> rho, gradh, gradsoft, alpha;  // empty extras: not carried
  std::vector<double> dust_t, dust_kappa;          // empty: not carried
  std::vector<double> rad[5];
  std::vector<float> chem[9];  // empty: not carried
  std::size_t size() const { return iphase.size(); }
};

// n particles with distinct, deterministic values; all active; dust
// temperatures and radiative values carried.
Particles sample_particles(std::size_t n, unsigned seed = 1);
// Particles [from, from + n) of p.
Particles slice(const Particles& p, std::size_t from, std::size_t n);

struct Sinks {
  std::vector<std::int32_t> listpm;  // particle index within the block
  std::vector<double> spin[9];       // spinx..spinadz
  std::vector<double> optional;      // one extra value per sink and optional array
};

// Group 1 of a block holding these particles; `inactive` the inactive list
// (block-relative particle numbers), written as a "listinactive" array.
// `extra_real_arrays` and `extra_real4_arrays` arrays more (of 77 and 55)
// follow the reals and real*4s.
Group gas_group(const Particles& p, const std::vector<std::int32_t>* inactive = nullptr,
                int extra_real_arrays = 0, int extra_real4_arrays = 0);
// Group 2 of a block: the sinks with `n_default_reals` (9, 10, 15 or 19)
// default-real arrays and `n_real8` real*8 arrays to skip. Array a of the
// widest layout holds (a + 1) * 100 + j for sink j from 1.
Group sink_group(const std::vector<std::int32_t>& listpm, int n_default_reals = 9, int n_real8 = 0);
// Group 3: five radiative arrays, the dust arrays when carried, chemistry when
// carried; `skipped_front` integer*2 arrays (of 3) in front, `extra_reals`
// and `extra_real4` arrays more (of 99 and 11) after the reals and real*4s.
Group rad_group(const Particles& p, int skipped_front = 0, int extra_reals = 0, int extra_real4 = 0);

// A complete one-block dump of p with no sinks and the radiative group.
Dump simple_dump(const Particles& p, bool tagged = true, double gt = 0.75);

}  // namespace pgtest
