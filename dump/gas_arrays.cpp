// Array group 1: the gas particles of a block, integer arrays then reals.
#include <algorithm>
#include <array>

#include "base/trace.hpp"
#include "base/error.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// The block's inactive list: its count, then n - 1 entries, which are particle
// numbers within the block and become store indices.
void read_inactive_list(ReadState& st, std::string_view tag, std::int64_t n) {
  check_array_tag(st, tag);
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

// The phase of particle k as the store holds it, or the dump's file where
// the read left the phases there (0 beyond the store's room: no dump has
// written one there), a slice of phases at a time. Lists usually run in
// particle order: each slice read going forward is twice the last, up to
// 64 KiB, and one going back is short again.
class Phases {
 public:
  explicit Phases(const Store& s) : s_(s) {}
  std::int8_t operator()(std::int64_t k) {
    if (k < first_ || k >= first_ + count_) {
      size_ = k >= first_ + count_ ? std::min(2 * size_, longest) : shortest;
      first_ = (k - 1) / size_ * size_ + 1;
      count_ = std::min(size_, s_.capacity() - first_ + 1);
      s_.iphase_values(first_, count_, held_.data());
    }
    return held_[static_cast<std::size_t>(k - first_)];
  }

 private:
  static constexpr std::int64_t shortest = 256, longest = 65536;
  const Store& s_;
  std::int64_t first_ = 0, count_ = 0, size_ = shortest / 2;
  std::array<std::int8_t, longest> held_;  // (only what was read is read)
};

// Every listed particle must be marked inactive.
void check_inactive(const ReadState& st, std::int64_t n) {
  Phases phases(st.s);
  for (std::int64_t j = st.inactive_offset + 1; j <= st.inactive_offset + st.s.inactive.nlistinactive; ++j) {
    const std::int32_t k = st.s.inactive.listinactive(j);
    if (k < 1 || k > st.s.capacity()) {
      raise_fault(FaultKind::inactive_entry_outside_store, st.f.offset(), {j, k, st.s.capacity()});
    }
    const std::int8_t phase = phases(k);
    if (phase != -1)
      raise_fault(FaultKind::active_listed_inactive, st.f.offset(),
                  {j, st.inactive_offset, k, st.icount, n, phase});
  }
}

// The block's identifiers. When the run keeps them all they land in the store;
// otherwise only the ten the trace shows from the block's first particle on,
// as they stand in the store: a later dump of the run may show what this one
// left there. With no dump after this one, only those ten matter.
constexpr std::int64_t traced_identifiers = 10;

void read_identifiers(ReadState& st, const dumpformat::ArraySpec& a, std::int64_t first, std::int64_t n) {
  if (st.wanted.identifiers) {
    read_array(st, a.tag, st.s.unique.iunique.at(first), n);
    return;
  }
  check_array_tag(st, a.tag);
  st.f.begin_record();
  st.f.require_array<std::int64_t>(n);
  st.f.take_array(st.s.unique.iunique.at(first), std::min(n, traced_identifiers));
  st.f.end_record();
}

// No identifiers, or a block whose first identifier is 0: they are numbered.
void number_identifiers(ReadState& st, std::int64_t first, std::int64_t n) {
  if (slot(st.nums1, dumpformat::s_int8) > 0 && (first > st.s.capacity() || st.s.unique.iunique(first) != 0))
    return;
  const int shown =
      static_cast<int>(std::clamp<std::int64_t>(st.s.capacity() - st.icount, 0, traced_identifiers));
  st.trace.say_values("Read iunique ", st.s.unique.iunique.at(first), shown);
  if (st.wanted.identifiers)
    for (std::int64_t i = first; i < first + n; ++i) st.s.unique.iunique(i) = i;
}

// The gas arrays read by rules of their own.
bool read_own(ReadState& st, const dumpformat::ArraySpec& a, std::int64_t first, std::int64_t n) {
  switch (a.id) {
    case dumpformat::ArrayId::listinactive: read_inactive_list(st, a.tag, n); return true;
    case dumpformat::ArrayId::iunique: read_identifiers(st, a, first, n); return true;
    default: return false;
  }
}

}  // namespace

void read_gas(ReadState& st) {
  namespace df = dumpformat;
  const std::int64_t n = st.block_npart;
  const std::int64_t first = st.icount + 1;
  st.s.inactive.nlistinactive = 0;
  // Slot by slot; the phases are shown once read and checked against the
  // inactive list once their slot is passed, the identifiers numbered before
  // the rest of theirs is.
  for (int k = 1; k <= df::slot_count; ++k) {
    const std::int64_t rest = read_slot(st, df::ArrayGroup::gas, st.nums1, k, first, n, read_own);
    if (k == df::s_int1) {
      std::int8_t first_phase, last_phase;
      st.s.iphase_values(1, 1, &first_phase);
      if (n > 0) {
        st.s.iphase_values(n, 1, &last_phase);
        st.trace.say("iphases ", first_phase, last_phase, slot(st.nums1, 5), st.icount);
      } else {
        st.trace.say("iphases ", first_phase, "-", slot(st.nums1, 5), st.icount);
      }
    }
    if (k == df::s_int8) number_identifiers(st, first, n);
    skip_arrays(st, rest);
    if (k == df::s_int1) check_inactive(st, n);
  }
}

}  // namespace pg
