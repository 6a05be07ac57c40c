// Array group 1: the gas particles of a block, integer arrays then reals.
#include <algorithm>

#include "base/trace.hpp"
#include "base/error.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// The block's inactive list: its count, then n - 1 entries, which are particle
// numbers within the block and become store indices.
void read_inactive_list(ReadState& st, std::int64_t n) {
  check_array_tag(st, "listinactive");
  st.f.begin_record();
  const auto count = st.f.take<std::int32_t>();
  const std::int64_t entries = std::max<std::int64_t>(0, n - 1);
  // The count decides which list positions are checked and, over several
  // blocks, where the next block's list starts: there it must lie within the
  // entries the record carries. In a dump of one block a count beyond them
  // checks what the store holds at those positions.
  if (st.n_blocks != 1 && (count < 0 || count > entries)) {
    raise_fault(FaultKind::inactive_count_wrong, st.f.offset(), {st.iblock, count, entries});
  }
  const std::int64_t positions = std::max<std::int64_t>(entries, count);
  if (st.inactive_offset + positions > st.s.capacity()) {
    raise_fault(FaultKind::inactive_positions_beyond_store, st.f.offset(),
                {st.inactive_offset + 1, st.inactive_offset + positions, st.s.capacity()});
  }
  st.s.ensure(st.inactive_offset + positions);
  st.s.inactive.nlistinactive = count;
  std::int32_t* list = st.s.inactive.listinactive.at(st.inactive_offset + 1);
  // Only the first `count` entries are ever read again (by the check below);
  // the rest of the record is stored only when every array is wanted.
  st.f.require_array<std::int32_t>(entries);
  st.f.take_array(list, st.wanted.unused_list_entries
                            ? entries
                            : std::clamp<std::int64_t>(count, 0, entries));
  st.f.end_record();
  if (st.icount > 0)
    for (std::int32_t j = 0; j < count; ++j)
      list[j] = static_cast<std::int32_t>(static_cast<std::uint32_t>(list[j]) +
                                          static_cast<std::uint32_t>(st.icount));
  st.trace.say("READ nlistinactive ", count);
}

// Every listed particle must be marked inactive.
void check_inactive(const ReadState& st, std::int64_t n) {
  for (std::int64_t j = st.inactive_offset + 1; j <= st.inactive_offset + st.s.inactive.nlistinactive; ++j) {
    const std::int32_t k = st.s.inactive.listinactive(j);
    if (k < 1 || k > st.s.capacity()) {
      raise_fault(FaultKind::inactive_entry_outside_store, st.f.offset(), {j, k, st.s.capacity()});
    }
    // Beyond the room the store has made, no dump has written a phase: it
    // is 0 there, and the store need not grow to tell.
    const std::int8_t phase = k <= st.s.reserved() ? st.s.phase.iphase(k) : std::int8_t{0};
    if (phase != -1)
      raise_fault(FaultKind::active_listed_inactive, st.f.offset(),
                  {j, st.inactive_offset, k, st.icount, n, phase});
  }
}

}  // namespace

void read_gas_integers(ReadState& st) {
  const std::int64_t n = st.block_npart;
  const std::int64_t first = st.icount + 1;
  st.s.inactive.nlistinactive = 0;

  read_array(st, "isteps", fill_at(st.s.timei.isteps, first, st.wanted.isteps), n, 1);
  if (slot(st.nums1, 1) >= 2) read_inactive_list(st, n);
  skip_arrays(st, slot(st.nums1, 1) - 2);

  read_array(st, "iphase", st.s.phase.iphase.at(first), n);
  if (n > 0)
    st.trace.say("iphases ", st.s.phase.iphase(1), st.s.phase.iphase(n), slot(st.nums1, 5), st.icount);
  else
    st.trace.say("iphases ", st.s.phase.iphase(1), "-", slot(st.nums1, 5), st.icount);
  skip_arrays(st, slot(st.nums1, 2) - 1);
  check_inactive(st, n);

  skip_arrays(st, arrays_in(st.nums1, 3, 4));
  // The trace shows the ten identifiers from the block's first particle on,
  // as they stand in the store: a later dump of the run may show what this
  // one left there. With no dump after this one, only those ten matter.
  constexpr std::int64_t traced = 10;
  const bool keep_all = st.wanted.identifiers;
  if (slot(st.nums1, 5) >= 1) {
    if (keep_all) {
      read_array(st, "iunique", st.s.unique.iunique.at(first), n);
    } else {
      check_array_tag(st, "iunique");
      st.f.begin_record();
      st.f.require_array<std::int64_t>(n);
      st.f.take_array(st.s.unique.iunique.at(first), std::min(n, traced));
      st.f.end_record();
    }
  }
  // No identifiers, or a block whose first identifier is 0: number them.
  if (slot(st.nums1, 5) <= 0 || (first <= st.s.capacity() && st.s.unique.iunique(first) == 0)) {
    const int shown = static_cast<int>(std::clamp<std::int64_t>(st.s.capacity() - st.icount, 0, traced));
    st.trace.say_values("Read iunique ", st.s.unique.iunique.at(first), shown);
    if (keep_all)
      for (std::int64_t i = first; i < first + n; ++i) st.s.unique.iunique(i) = i;
  }
  skip_arrays(st, slot(st.nums1, 5) - 1);
}

void read_gas_reals(ReadState& st) {
  const std::int64_t n = st.block_npart;
  const std::int64_t first = st.icount + 1;
  static constexpr std::string_view xyzmh[5] = {"x", "y", "z", "m", "h"};
  static constexpr std::string_view vxyzu[4] = {"vx", "vy", "vz", "u"};
  const Wanted& w = st.wanted;
  const bool keep_pos[5] = {w.positions, w.positions, w.positions, w.masses, w.smoothing};
  const bool keep_vel[4] = {w.velocities, w.velocities, w.velocities, w.energies};
  for (int c = 1; c <= 5; ++c)
    read_array(st, xyzmh[c - 1], fill_at(st.s.part.pos_mass_h, c, first, keep_pos[c - 1]), n, 5);
  for (int c = 1; c <= 4; ++c)
    read_array(st, vxyzu[c - 1], fill_at(st.s.part.vel_u, c, first, keep_vel[c - 1]), n, 4);
  skip_arrays(st, slot(st.nums1, 6) - 9);

  const std::int64_t n_real4 = slot(st.nums1, 7);
  read_array(st, "rho", fill_at(st.s.densi.rho, first, w.densities), n, 1);
  if (n_real4 >= 2) read_array(st, "gradh", fill_at(st.s.gradhterms.gradhterms, 1, first, w.gradh_alpha), n, 2);
  if (n_real4 >= 3) read_array(st, "gradsoft", fill_at(st.s.gradhterms.gradhterms, 2, first, w.gradh_alpha), n, 2);
  if (n_real4 >= 4) read_array(st, "alpha", fill_at(st.s.numpa.alpha, first, w.gradh_alpha), n, 1);
  skip_arrays(st, n_real4 - 4);
  skip_arrays(st, slot(st.nums1, 8));
}

}  // namespace pg
