#include "state/store.hpp"

#include <sys/mman.h>

#include <cerrno>

namespace pg {

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
Slots<double, 4> unitsin;
Units units;
Slots<double, 3> vargam;
Slots<double, 9> physeos;
Slots<double, 3> origi;

namespace {

void* arena = nullptr;
std::size_t arena_bytes = 0;

// Each member starts on its own 2 MiB boundary, so that huge pages can back it.
constexpr std::size_t member_align = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t n) {
  return (n + member_align - 1) / member_align * member_align;
}

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
  f(raddust.dust_values);
  f(chem.chem_abund);
  f(chem.H2Frac);
  f(chem.dH2dt_pair);
  f(extinc.extinc_values);
}

}  // namespace

bool store_init() {
  if (arena != nullptr) {
    munmap(arena, arena_bytes);
    arena = nullptr;
  }
  // Scalars and sink arrays back to zero.
  part = {}; densi = {}; phase = {}; timei = {}; inactive = {}; unique = {};
  gradhterms = {}; numpa = {}; radtrans = {}; raddust = {}; chem = {}; extinc = {};
  ptmass = {}; radsinki = {}; gtime = {}; dtmaxin = {}; cgas = {}; polyk2 = {};
  fracg = {}; ener2 = {}; binary = {}; xforce = {}; rbnd = {}; planet2 = {};
  pxpy = {}; planetesimal = {}; bodys = {}; savernd = {}; typef = {};
  unitsin = {}; units = {}; vargam = {}; physeos = {}; origi = {};

  std::size_t total = 0;
  each_member([&](auto& m) { total += round_up(m.bytes()); });
  // Zero pages that cost nothing until touched: no memory is committed here,
  // and a dump of N particles touches only what it writes.
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  // Huge pages, where the system offers them on request, cut the cost of
  // the page faults that a large dump takes as it lands in the store.
  (void)madvise(p, total, MADV_HUGEPAGE);
  arena = p;
  arena_bytes = total;
  auto* next = static_cast<char*>(p);
  each_member([&](auto& m) {
    m.base = reinterpret_cast<std::remove_reference_t<decltype(*m.base)>*>(next);
    next += round_up(m.bytes());
  });
  return true;
}

std::size_t store_reserved_bytes() { return arena_bytes; }

}  // namespace pg
