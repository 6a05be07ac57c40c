// The particle store: named storage blocks of per-particle members, sink
// arrays and scalars.
//
// A store has a capacity of particles: the most a dump may hold, the number
// every check of the reader uses. Per-particle members hold room for fewer:
// each is a mapping of its own that grows, as a read needs more, up to the
// capacity, keeping what it holds (see Store::ensure). Sink members hold
// `ptmass_dim` point masses, whatever a dump holds. Indices are 1-based; a
// member with c components keeps one particle's components together, and
// member(k, i) is component k of particle i.
//
// A run owns one store of `idim` particles that starts with no room: the
// address space a run takes follows the dumps it reads. Tests, the fuzzer
// and the dump inspector make stores of their own, as small as they like.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/capacity.hpp"
#include "state/file_values.hpp"

namespace pg {

inline constexpr int NTAB = 32;

// One component of a member over its particles, from particle 1 on, indexed
// from 0: the form the hot loops take it in (the stride is the member's).
template <class T, int C>
struct Component {
  T* first = nullptr;
  T& operator[](std::int64_t i0) const { return first[i0 * C]; }
};

// A per-particle member of C components of type T, laid out (C, particles).
// Its base moves when the store grows: no pointer into it outlives a growth.
template <class T, int C>
struct PerParticle {
  using value_type = T;
  static constexpr int components = C;
  T* base = nullptr;  // component 1 of particle 1

  T& operator()(int k, std::int64_t i) const { return base[(i - 1) * C + (k - 1)]; }
  // Address of component k of particle i: the start of a strided run of
  // stride C over the following particles.
  T* at(int k, std::int64_t i) const { return base + (i - 1) * C + (k - 1); }
  Component<T, C> component(int k) const { return {base + (k - 1)}; }
  static constexpr std::size_t bytes(std::int64_t capacity) {
    return sizeof(T) * C * static_cast<std::size_t>(capacity);
  }
};

template <class T>
struct PerParticle<T, 1> {
  using value_type = T;
  static constexpr int components = 1;
  T* base = nullptr;

  T& operator()(std::int64_t i) const { return base[i - 1]; }
  T* at(std::int64_t i) const { return base + (i - 1); }
  Component<T, 1> component(int) const { return {base}; }
  static constexpr std::size_t bytes(std::int64_t capacity) {
    return sizeof(T) * static_cast<std::size_t>(capacity);
  }
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
struct Raddust {
  PerParticle<double, 1> dust_temperature;
  PerParticle<double, 1> dust_opacity;
};
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


// A whole store: every block once. Never copied: it owns its mappings.
class Store {
 public:
  Store() = default;
  // A store of `capacity` particles with room for none yet (see reserve).
  explicit Store(std::int64_t capacity) { reserve(capacity); }
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Which per-particle members get room: all, or only those every read
  // fills (iphase, listinactive, iunique), for a read that keeps no other.
  enum class Members { all, always_read };

  // Starts over: a capacity of `capacity` particles, every member back to
  // zero, room for the first `room` particles (none by default), or an
  // Error of kind store_exhausted as ensure() throws. Members without room
  // have no storage (a null base) and must not be read or written.
  void reserve(std::int64_t capacity, Members members = Members::all, std::int64_t room = 0);
  std::int64_t capacity() const { return capacity_; }

  // Makes room for particles 1 .. `particles` (never beyond the capacity) in
  // every member that has room, keeping what they hold; new room reads as
  // zero. Member bases may move. Throws an Error of kind store_exhausted
  // when the address space cannot be had.
  void ensure(std::int64_t particles) {
    if (particles > room_) grow(particles);
  }
  // Particles there is room for.
  std::int64_t reserved() const { return room_; }
  // Bytes of per-particle storage reserved (address space, not memory used).
  std::size_t reserved_bytes() const;

  Part part;
  Densi densi;
  Phase phase;
  Timei timei;
  Inactive inactive;
  Unique unique;
  Gradhterms gradhterms;
  Numpa numpa;
  Radtrans radtrans;
  Raddust raddust;
  Chem chem;
  Extinc extinc;
  Ptmass ptmass;
  Radsinki radsinki;
  Gtime gtime;
  Dtmaxin dtmaxin;
  Cgas cgas;
  Polyk2 polyk2;
  Fracg fracg;
  Ener2 ener2;
  Binary binary;
  Xforce xforce;
  Rbnd rbnd;
  Planet2 planet2;
  Pxpy pxpy;
  Planetesimal planetesimal;
  Bodys bodys;
  Savernd savernd;
  Typef typef;
  Slots<double, 4> unitsin;  // the dump's units: slot 2, 1, 3 as read
  Slots<double, 3> origi;  // last centre of mass found

  // The phases, densities and dust temperatures that dumps left in their
  // files (see FileValues), over what the members hold; and the positions,
  // masses and smoothing lengths of a run's last dump, which no later dump
  // can find in the store. Read them through the *_values() functions: the
  // members alone hold only what no file does.
  struct InFile {
    FileValues iphase{sizeof(std::int8_t)};
    FileValues rho{sizeof(float)};
    FileValues dust_temperature{sizeof(double)};
    FileValues pos_mass_h[5] = {FileValues{sizeof(double)}, FileValues{sizeof(double)},
                                FileValues{sizeof(double)}, FileValues{sizeof(double)},
                                FileValues{sizeof(double)}};
    // The radiative group's other arrays, which a run's diagrams may read.
    FileValues dust_opacity{sizeof(double)};
    FileValues rad_values[5] = {FileValues{sizeof(double)}, FileValues{sizeof(double)}, FileValues{sizeof(double)},
                                FileValues{sizeof(double)}, FileValues{sizeof(double)}};
    FileValues chem_abund[3] = {FileValues{sizeof(float)}, FileValues{sizeof(float)}, FileValues{sizeof(float)}};
    FileValues H2Frac{sizeof(float)};
    FileValues dH2dt{sizeof(float)};
    FileValues extinc_values[4] = {FileValues{sizeof(float)}, FileValues{sizeof(float)}, FileValues{sizeof(float)},
                                   FileValues{sizeof(float)}};
    // Velocities and energies, which only a read that hands out arrays
    // leaves in the file (the run's steps read them from the member).
    FileValues vel_u[4] = {FileValues{sizeof(double)}, FileValues{sizeof(double)}, FileValues{sizeof(double)},
                           FileValues{sizeof(double)}};
  } in_file;

  // Copy the values of particles first .. first + count - 1 to dst: from the
  // files that hold them, else from the member (zero beyond its room). Safe
  // from several threads. pos_mass_h_values() gives component k.
  void iphase_values(std::int64_t first, std::int64_t count, std::int8_t* dst) const {
    in_file.iphase.gather(first, count, dst, room_of(phase.iphase, 1));
  }
  void rho_values(std::int64_t first, std::int64_t count, float* dst) const {
    in_file.rho.gather(first, count, dst, room_of(densi.rho, 1));
  }
  void dust_temperature_values(std::int64_t first, std::int64_t count, double* dst) const {
    in_file.dust_temperature.gather(first, count, dst, room_of(raddust.dust_temperature, 1));
  }
  void pos_mass_h_values(int k, std::int64_t first, std::int64_t count, double* dst) const {
    in_file.pos_mass_h[k - 1].gather(first, count, dst, room_of(part.pos_mass_h, k));
  }
  // The same for component k of any member whose values lie in `values`,
  // one of in_file's.
  template <class T, int C>
  void member_values(const FileValues& values, const PerParticle<T, C>& member, int k, std::int64_t first,
                     std::int64_t count, T* dst) const {
    values.gather(first, count, dst, room_of(member, k));
  }
  // Once a dump has been read: an earlier dump's values that the latest one
  // does not supply in full are copied into their members, and the files
  // of earlier dumps let go. Throws as ensure() does, or a fault of kind
  // read_failed when an earlier dump can no longer be read.
  void settle_files();
  // The values `v` (one of in_file's) holds in files copied into its
  // member, and let go: before a read stores values in the member itself.
  void fill_from_file(FileValues& v);

  // Applies f to every per-particle member, in block order.
  template <class F>
  void each_member(F&& f) {
    f(part.pos_mass_h);
    f(part.vel_u);
    f(densi.rho);
    f(phase.iphase);
    f(timei.isteps);
    f(inactive.listinactive);
    f(unique.iunique);
    f(gradhterms.gradhterms);
    f(numpa.alpha);
    f(radtrans.rad_values);
    f(raddust.dust_temperature);
    f(raddust.dust_opacity);
    f(chem.chem_abund);
    f(chem.H2Frac);
    f(chem.dH2dt_pair);
    f(extinc.extinc_values);
  }

 private:
  static constexpr int member_count = 16;  // members each_member() visits

  template <class T, int C>
  Room room_of(const PerParticle<T, C>& member, int k) const {
    if (member.base == nullptr) return {};
    return {reinterpret_cast<char*>(member.base + (k - 1)), sizeof(T) * C, room_};
  }
  // Applies f(values, room) to every member's values left in files.
  template <class F>
  void each_in_file(F&& f) {
    f(in_file.iphase, room_of(phase.iphase, 1));
    f(in_file.rho, room_of(densi.rho, 1));
    f(in_file.dust_temperature, room_of(raddust.dust_temperature, 1));
    for (int k = 1; k <= 5; ++k) f(in_file.pos_mass_h[k - 1], room_of(part.pos_mass_h, k));
    f(in_file.dust_opacity, room_of(raddust.dust_opacity, 1));
    for (int k = 1; k <= 5; ++k) f(in_file.rad_values[k - 1], room_of(radtrans.rad_values, k));
    for (int k = 1; k <= 3; ++k) f(in_file.chem_abund[k - 1], room_of(chem.chem_abund, k));
    f(in_file.H2Frac, room_of(chem.H2Frac, 1));
    f(in_file.dH2dt, room_of(chem.dH2dt_pair, 1));
    for (int k = 1; k <= 4; ++k) f(in_file.extinc_values[k - 1], room_of(extinc.extinc_values, k));
    for (int k = 1; k <= 4; ++k) f(in_file.vel_u[k - 1], room_of(part.vel_u, k));
  }

  bool has_room(const void* member) const;
  void grow(std::int64_t particles);
  bool resize_members(std::int64_t room);
  std::size_t bytes_for(std::int64_t room);
  void release();

  std::int64_t capacity_ = 0;
  std::int64_t room_ = 0;
  Members members_ = Members::all;
  std::array<std::size_t, member_count> mapped_{};  // bytes mapped, per member
};

}  // namespace pg
