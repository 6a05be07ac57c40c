#include "state/store.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <type_traits>

#include "base/error.hpp"

namespace pg {

namespace {

// Each member's mapping is a whole number of 2 MiB steps, so that huge pages
// can back it.
constexpr std::size_t member_align = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t n) {
  return (n + member_align - 1) / member_align * member_align;
}

// The least room a store grows to: small dumps share one size.
constexpr std::int64_t least_room = std::int64_t{1} << 16;

}  // namespace

Store::~Store() { release(); }

void Store::release() {
  int k = 0;
  each_member([&](auto& m) {
    if (m.base != nullptr) munmap(m.base, mapped_[static_cast<std::size_t>(k)]);
    m.base = nullptr;
    mapped_[static_cast<std::size_t>(k)] = 0;
    ++k;
  });
  room_ = 0;
}

void Store::reserve(std::int64_t capacity, Members members, std::int64_t room) {
  release();
  // Scalars and sink arrays back to zero.
  part = {}; densi = {}; phase = {}; timei = {}; inactive = {}; unique = {};
  gradhterms = {}; numpa = {}; radtrans = {}; raddust = {}; chem = {}; extinc = {};
  ptmass = {}; radsinki = {}; gtime = {}; dtmaxin = {}; cgas = {}; polyk2 = {};
  fracg = {}; ener2 = {}; binary = {}; xforce = {}; rbnd = {}; planet2 = {};
  pxpy = {}; planetesimal = {}; bodys = {}; savernd = {}; typef = {};
  unitsin = {}; origi = {};
  each_in_file([](FileValues& v, const Room&) { v.clear(); });
  capacity_ = capacity;
  members_ = members;
  ensure(room);
}

// (Rooms are taken after ensure(): the members may move as they grow.)
void Store::settle_files() {
  std::int64_t reach = 0;
  each_in_file([&](FileValues& v, const Room&) { reach = std::max(reach, v.settle_reach()); });
  if (reach > 0) ensure(reach);
  each_in_file([](FileValues& v, const Room& room) { v.settle(room); });
}

void Store::fill_from_file(FileValues& v) {
  ensure(v.reach());
  each_in_file([&](FileValues& w, const Room& room) {
    if (&w == &v) v.fill(room);
  });
}

bool Store::has_room(const void* member) const {
  return members_ == Members::all || member == &phase.iphase || member == &inactive.listinactive ||
         member == &unique.iunique;
}

std::size_t Store::reserved_bytes() const {
  std::size_t total = 0;
  for (std::size_t b : mapped_) total += b;
  return total;
}

// Bytes of the members that have room, each holding `room` particles.
std::size_t Store::bytes_for(std::int64_t room) {
  std::size_t total = 0;
  each_member([&](auto& m) {
    if (has_room(&m)) total += round_up(m.bytes(room));
  });
  return total;
}

// Maps, grows or shrinks every member that has room to hold `room`
// particles, keeping what each holds up to its new end; new pages are zero.
// False (errno set) when a mapping cannot be had: the members done so far
// keep their new size, the rest their old one.
bool Store::resize_members(std::int64_t room) {
  bool ok = true;
  int k = 0;
  each_member([&](auto& m) {
    std::size_t& have = mapped_[static_cast<std::size_t>(k++)];
    const std::size_t want = round_up(m.bytes(room));
    if (!ok || !has_room(&m) || want == have) return;
    // Zero pages that cost nothing until touched: address space only, and a
    // dump of N particles touches only what it writes.
    void* p = have == 0 ? mmap(nullptr, want, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                        : mremap(m.base, have, want, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
      ok = false;
      return;
    }
    // Huge pages, where the system offers them on request, cut the cost of
    // the page faults that a large dump takes as it lands in the store.
    (void)madvise(p, want, MADV_HUGEPAGE);
    m.base = static_cast<std::remove_reference_t<decltype(*m.base)>*>(p);
    have = want;
  });
  return ok;
}

// Room grows to the next power of two of particles (at least least_room,
// at most the capacity), so that a run of growing dumps remaps only a few
// times; when that much cannot be had, to exactly what is asked.
void Store::grow(std::int64_t particles) {
  particles = std::min(particles, capacity_);
  if (particles <= room_) return;
  const std::int64_t generous = std::min(
      capacity_, std::max(least_room, static_cast<std::int64_t>(std::bit_ceil(static_cast<std::uint64_t>(particles)))));
  if (resize_members(generous)) {
    room_ = generous;
    return;
  }
  if (generous > particles && resize_members(particles)) {
    room_ = particles;
    return;
  }
  const int error = errno;
  throw store_exhausted(particles, bytes_for(particles), error);
}

}  // namespace pg
