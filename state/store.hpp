// The particle store: the one shared state of the run.
//
// Named storage blocks hold fixed-size arrays and scalars that exist once for
// the whole run. Per-particle members have room for `idim` particles and sink
// members for `ptmass_dim` point masses, whatever a dump holds. Indices are
// 1-based; a member with c components keeps one particle's components
// together, and member(k, i) is component k of particle i.
//
// The per-particle storage (about 10 GB at full capacity) is reserved once as
// anonymous zero pages that cost nothing until touched; a dump of N particles
// only ever touches the first N entries of each member it supplies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#ifndef PHASEGRID_IDIM
#define PHASEGRID_IDIM 50001000
#endif

namespace pg {

inline constexpr std::int64_t idim = PHASEGRID_IDIM;
inline constexpr int ptmass_dim = 300;
inline constexpr int NTAB = 32;

// A per-particle member of C components of type T, laid out (C, idim).
template <class T, int C>
struct PerParticle {
  static constexpr int components = C;
  T* base = nullptr;  // component 1 of particle 1

  T& operator()(int k, std::int64_t i) const { return base[(i - 1) * C + (k - 1)]; }
  // Address of component k of particle i: the start of a strided run of
  // stride C over the following particles.
  T* at(int k, std::int64_t i) const { return base + (i - 1) * C + (k - 1); }
  static constexpr std::size_t bytes() { return sizeof(T) * C * static_cast<std::size_t>(idim); }
};

template <class T>
struct PerParticle<T, 1> {
  static constexpr int components = 1;
  T* base = nullptr;

  T& operator()(std::int64_t i) const { return base[i - 1]; }
  T* at(std::int64_t i) const { return base + (i - 1); }
  static constexpr std::size_t bytes() { return sizeof(T) * static_cast<std::size_t>(idim); }
};

// A sink member: ptmass_dim entries, 1-based.
template <class T>
struct PerSink {
  std::array<T, ptmass_dim> v{};
  T& operator()(int k) { return v[static_cast<std::size_t>(k - 1)]; }
  const T& operator()(int k) const { return v[static_cast<std::size_t>(k - 1)]; }
  T* at(int k) { return v.data() + (k - 1); }
};

// A small fixed block of n reals addressed 1..n.
template <class T, int N>
struct Slots {
  std::array<T, N> v{};
  T& operator()(int k) { return v[static_cast<std::size_t>(k - 1)]; }
  const T& operator()(int k) const { return v[static_cast<std::size_t>(k - 1)]; }
};

// ---- per-particle blocks -------------------------------------------------

struct Part {
  PerParticle<double, 5> pos_mass_h;  // x, y, z, m, h
  PerParticle<double, 4> vel_u;       // vx, vy, vz, u
  std::int32_t npart = 0;
};
struct Densi { PerParticle<float, 1> rho; };
struct Phase { PerParticle<std::int8_t, 1> iphase; };  // -1: inactive
struct Timei { PerParticle<std::int32_t, 1> isteps; };
struct Inactive {
  PerParticle<std::int32_t, 1> listinactive;
  std::int32_t nlistinactive = 0;
};
struct Unique {
  PerParticle<std::int64_t, 1> iunique;
  std::int64_t iunique_max = 0;
};
struct Gradhterms { PerParticle<float, 2> gradhterms; };  // gradh, gradsoft
struct Numpa { PerParticle<float, 1> alpha; };
struct Radtrans { PerParticle<double, 5> rad_values; };   // Erad, opacity, Cv, lambda, EddingtonFactor
struct Raddust { PerParticle<double, 2> dust_values; };   // DustTemperature, DustOpacity
struct Chem {
  PerParticle<float, 3> chem_abund;  // Cplus, AtomicC, CO
  PerParticle<float, 1> H2Frac;
  PerParticle<float, 2> dH2dt_pair;  // dH2dt; component 2 unused
};
struct Extinc { PerParticle<float, 4> extinc_values; };  // HeatingISR, Gphotoelectric, Extinction, H2SelfShielding

// ---- sinks ---------------------------------------------------------------

struct Ptmass {
  PerSink<double> stellarmass, stellarradius, stellarlum, stellartime;
  PerSink<double> diskinit;
  PerSink<double> lyontime, lyonmass, lyonradius, lyonlum;
  PerSink<double> ptmassform;
  PerSink<double> spinx, spiny, spinz;
  PerSink<double> angaddx, angaddy, angaddz;
  PerSink<double> spinadx, spinady, spinadz;
  PerSink<std::int32_t> listpm;  // particle index of each sink
  std::int32_t nptmass = 0;
  std::int32_t nptmass_read = 0;
};
struct Radsinki {
  PerSink<std::int32_t> table;  // kept with the block, not used
  std::int32_t nradsink = 0;
};

// ---- header and run values -----------------------------------------------

struct Gtime { double gt = 0; };
struct Dtmaxin { double dtmax = 0; };
struct Cgas { double gamma = 0; };
struct Polyk2 {
  double rhozero = 0, RK2 = 0;
  Slots<double, 3> eos;  // set by unit()
  double uzero_n2 = 0;
};
struct Fracg { double escap = 0; };
struct Ener2 { double tkin = 0, tgrav = 0, tterm = 0; };
struct Binary {
  double specang = 0, anglostx = 0, anglosty = 0, anglostz = 0, ptmassin = 0;
  std::int32_t binary_int1 = 0, binary_int2 = 0, binary_int3 = 0;
};
struct Xforce { double hzero = 0; };
struct Rbnd { double hmass = 0; };
struct Planet2 { double gapfac = 0, sdprof = 0, coremass_orig = 0, coremass = 0; };
struct Pxpy { double rorbit_orig = 0; };
struct Planetesimal { double min_rplan = 0, max_rplan = 0, planetesimalmass = 0; };
struct Bodys { std::int32_t nbody1 = 0, nbody2 = 0; };
struct Savernd {
  std::int32_t rnd_word1 = 0, rnd_word2 = 0;
  std::array<std::int32_t, NTAB> rnd_table{};
};
struct Typef { std::int32_t extra_option1 = 0, extra_option2 = 0, dragscheme = 0; };

// ---- unit system and analysis results -------------------------------------

struct Units {
  double umass = 0, udist = 0, unit_density = 0, unit_time = 0;
  double unit_spec_energy = 0, unit_pressure = 0, umagfd = 0;
};

// The blocks, one instance each for the whole run.
extern Part part;
extern Densi densi;
extern Phase phase;
extern Timei timei;
extern Inactive inactive;
extern Unique unique;
extern Gradhterms gradhterms;
extern Numpa numpa;
extern Radtrans radtrans;
extern Raddust raddust;
extern Chem chem;
extern Extinc extinc;
extern Ptmass ptmass;
extern Radsinki radsinki;
extern Gtime gtime;
extern Dtmaxin dtmaxin;
extern Cgas cgas;
extern Polyk2 polyk2;
extern Fracg fracg;
extern Ener2 ener2;
extern Binary binary;
extern Xforce xforce;
extern Rbnd rbnd;
extern Planet2 planet2;
extern Pxpy pxpy;
extern Planetesimal planetesimal;
extern Bodys bodys;
extern Savernd savernd;
extern Typef typef;
extern Slots<double, 4> unitsin;  // the dump's units: slot 2, 1, 3 as read
extern Units units;
extern Slots<double, 3> vargam;
extern Slots<double, 9> physeos;
extern Slots<double, 3> origi;  // last centre of mass found

// Reserves the per-particle storage as fresh zero pages and zeroes every other
// member. Called once at start-up; calling it again (tests) starts over.
// Returns false (errno set) only when the address space cannot be reserved.
bool store_init();

// Bytes of per-particle storage reserved (address space, not memory used).
std::size_t store_reserved_bytes();

}  // namespace pg
