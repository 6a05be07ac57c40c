#include "state/store.hpp"

#include <sys/mman.h>

#include <cerrno>

namespace pg {

Store store;
namespace {


// Each member starts on its own 2 MiB boundary, so that huge pages can back it.
constexpr std::size_t member_align = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t n) {
  return (n + member_align - 1) / member_align * member_align;
}

}  // namespace

Store::~Store() {
  if (arena_ != nullptr) munmap(arena_, arena_bytes_);
}

bool Store::reserve(std::int64_t capacity, Members members) {
  if (arena_ != nullptr) {
    munmap(arena_, arena_bytes_);
    arena_ = nullptr;
    arena_bytes_ = 0;
    capacity_ = 0;
  }
  // Scalars and sink arrays back to zero.
  part = {}; densi = {}; phase = {}; timei = {}; inactive = {}; unique = {};
  gradhterms = {}; numpa = {}; radtrans = {}; raddust = {}; chem = {}; extinc = {};
  ptmass = {}; radsinki = {}; gtime = {}; dtmaxin = {}; cgas = {}; polyk2 = {};
  fracg = {}; ener2 = {}; binary = {}; xforce = {}; rbnd = {}; planet2 = {};
  pxpy = {}; planetesimal = {}; bodys = {}; savernd = {}; typef = {};
  unitsin = {}; units = {}; vargam = {}; physeos = {}; origi = {};

  const auto has_room = [&](const void* m) {
    return members == Members::all || m == &phase.iphase || m == &inactive.listinactive ||
           m == &unique.iunique;
  };
  std::size_t total = 0;
  each_member([&](auto& m) {
    if (has_room(&m)) total += round_up(m.bytes(capacity));
  });
  // Zero pages that cost nothing until touched: no memory is committed here,
  // and a dump of N particles touches only what it writes.
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  // Huge pages, where the system offers them on request, cut the cost of
  // the page faults that a large dump takes as it lands in the store.
  (void)madvise(p, total, MADV_HUGEPAGE);
  arena_ = p;
  arena_bytes_ = total;
  capacity_ = capacity;
  auto* next = static_cast<char*>(p);
  each_member([&](auto& m) {
    if (!has_room(&m)) {
      m.base = nullptr;
      return;
    }
    m.base = reinterpret_cast<std::remove_reference_t<decltype(*m.base)>*>(next);
    next += round_up(m.bytes(capacity));
  });
  return true;
}

bool store_init() { return store.reserve(idim); }

std::size_t store_reserved_bytes() { return store.reserved_bytes(); }

}  // namespace pg
