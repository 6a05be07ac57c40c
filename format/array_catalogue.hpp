// The arrays a dump may carry, once: which group of a block holds each, in
// which type slot and at which place among that slot's arrays, under which
// tag, and at which counts of its slot a reader takes it.
//
// A group holds its arrays slot by slot (slots 1 to 8, see slots.hpp); within
// a slot, first the arrays named here, in their order, then any number that
// nothing here names. Most arrays are held once their slot's count reaches
// their place (gradh, the second real*4 of the gas, from a count of 2). Some
// are taken whatever the count says: a block's particles always carry their
// step, phase, position, velocity, energy and density. Some come in layouts
// of their slot: the sinks' default reals are 9 spins, then nothing more, or
// stellarmass alone (a count of 10), or 6 (15) or 10 (19) more of which
// stellarmass is the fourth. An array of two layouts has a row for each.
//
// The reader (dump/), the dump writer and the tools all read this table; a new
// array is one row here (and, for the reader, a store member and the line that
// names it in dump/array_members.hpp). The checks at the end keep the table
// consistent at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <string_view>

#include "format/slots.hpp"
#include "format/tags.hpp"

namespace pg::dumpformat {

// The groups of a block, numbered as its array-length records come.
enum class ArrayGroup : int { gas = 1, sinks, radiation };
inline constexpr int catalogued_groups = 3;

// Every array the table names. The sinks' come in the order of their widest
// layout.
enum class ArrayId : std::uint8_t {
  none,  // an array the table does not name
  // Gas particles.
  isteps, listinactive, iphase, iunique, x, y, z, m, h, vx, vy, vz, u, rho, gradh, gradsoft, alpha,
  // Sinks.
  listpm, spinx, spiny, spinz, angaddx, angaddy, angaddz, spinadx, spinady, spinadz, ptmassform,
  diskinit, stellartime, stellarmass, stellarradius, stellarlum, lyontime, lyonmass, lyonradius, lyonlum,
  // Radiative transfer, dust and chemistry.
  Erad, opacity, Cv, lambda, EddingtonFactor, DustTemperature, DustOpacity, Cplus, AtomicC, CO,
  HeatingISR, Gphotoelectric, Extinction, H2SelfShielding, H2Frac, dH2dt,
};
inline constexpr int array_ids = static_cast<int>(ArrayId::dH2dt) + 1;
static_assert(array_ids <= 64, "a read tells the arrays it found as bits of 64");

// At which counts of its slot a reader takes an array.
struct Presence {
  std::int64_t from = 0;   // the least count; any_count: whatever the count says
  std::uint32_t only = 0;  // not 0: at these counts alone (bit c for count c), a layout
};
inline constexpr std::int64_t any_count = std::numeric_limits<std::int64_t>::min();
inline constexpr Presence always{any_count, 0};
constexpr Presence from_count(std::int64_t count) { return {count, 0}; }
constexpr Presence layouts(std::initializer_list<int> counts) {
  Presence p{any_count, 0};
  for (int c : counts) p.only |= std::uint32_t{1} << c;
  return p;
}

struct ArraySpec {
  ArrayId id;
  ArrayGroup group;
  Slot slot;
  std::int32_t order;  // place among the arrays of its slot, from 1
  std::string_view tag;
  // Of a quantity carried as several arrays, the one this is (x, y, z, m and
  // h are 1 to 5 of the particles' positions, masses and smoothing lengths);
  // 1 otherwise.
  int component;
  Presence read;
};

// A reader takes the array when its slot counts `count` arrays.
constexpr bool taken_at(const ArraySpec& a, std::int64_t count) {
  if (a.read.only != 0) return count >= 0 && count < 32 && (a.read.only >> count & 1u) != 0;
  return count >= a.read.from;
}
// A group whose slot counts `count` arrays holds the array at its place: what
// a writer lays out for that count.
constexpr bool held_at(const ArraySpec& a, std::int64_t count) { return taken_at(a, count) && a.order <= count; }

namespace catalogue_rows {
using enum ArrayId;
constexpr ArrayGroup gas = ArrayGroup::gas, sinks = ArrayGroup::sinks, rad = ArrayGroup::radiation;
constexpr Presence sink_extras = layouts({15, 19}), sink_lyon = layouts({19});

// In file order: by group, then slot, then place.
inline constexpr ArraySpec table[] = {
    {isteps, gas, s_int, 1, "isteps", 1, always},
    {listinactive, gas, s_int, 2, "listinactive", 1, from_count(2)},
    {iphase, gas, s_int1, 1, "iphase", 1, always},
    {iunique, gas, s_int8, 1, "iunique", 1, from_count(1)},
    {x, gas, s_real, 1, "x", 1, always},
    {y, gas, s_real, 2, "y", 2, always},
    {z, gas, s_real, 3, "z", 3, always},
    {m, gas, s_real, 4, "m", 4, always},
    {h, gas, s_real, 5, "h", 5, always},
    {vx, gas, s_real, 6, "vx", 1, always},
    {vy, gas, s_real, 7, "vy", 2, always},
    {vz, gas, s_real, 8, "vz", 3, always},
    {u, gas, s_real, 9, "u", 4, always},
    {rho, gas, s_real4, 1, "rho", 1, always},
    {gradh, gas, s_real4, 2, "gradh", 1, from_count(2)},
    {gradsoft, gas, s_real4, 3, "gradsoft", 2, from_count(3)},
    {alpha, gas, s_real4, 4, "alpha", 1, from_count(4)},

    {listpm, sinks, s_int, 1, "listpm", 1, always},
    {spinx, sinks, s_real, 1, "spinx", 1, always},
    {spiny, sinks, s_real, 2, "spiny", 1, always},
    {spinz, sinks, s_real, 3, "spinz", 1, always},
    {angaddx, sinks, s_real, 4, "angaddx", 1, always},
    {angaddy, sinks, s_real, 5, "angaddy", 1, always},
    {angaddz, sinks, s_real, 6, "angaddz", 1, always},
    {spinadx, sinks, s_real, 7, "spinadx", 1, always},
    {spinady, sinks, s_real, 8, "spinady", 1, always},
    {spinadz, sinks, s_real, 9, "spinadz", 1, always},
    {stellarmass, sinks, s_real, 10, "stellarmass", 1, layouts({10})},
    {ptmassform, sinks, s_real, 10, "ptmassform", 1, sink_extras},
    {diskinit, sinks, s_real, 11, "diskinit", 1, sink_extras},
    {stellartime, sinks, s_real, 12, "stellartime", 1, sink_extras},
    {stellarmass, sinks, s_real, 13, "stellarmass", 1, sink_extras},
    {stellarradius, sinks, s_real, 14, "stellarradius", 1, sink_extras},
    {stellarlum, sinks, s_real, 15, "stellarlum", 1, sink_extras},
    {lyontime, sinks, s_real, 16, "lyontime", 1, sink_lyon},
    {lyonmass, sinks, s_real, 17, "lyonmass", 1, sink_lyon},
    {lyonradius, sinks, s_real, 18, "lyonradius", 1, sink_lyon},
    {lyonlum, sinks, s_real, 19, "lyonlum", 1, sink_lyon},

    {Erad, rad, s_real, 1, "Erad", 1, always},
    {opacity, rad, s_real, 2, "opacity", 2, always},
    {Cv, rad, s_real, 3, "Cv", 3, always},
    {lambda, rad, s_real, 4, "lambda", 4, always},
    {EddingtonFactor, rad, s_real, 5, "EddingtonFactor", 5, always},
    {DustTemperature, rad, s_real, 6, "DustTemperature", 1, from_count(7)},  // the two together
    {DustOpacity, rad, s_real, 7, "DustOpacity", 1, from_count(7)},
    {Cplus, rad, s_real4, 1, "Cplus", 1, from_count(9)},  // all nine or none
    {AtomicC, rad, s_real4, 2, "AtomicC", 2, from_count(9)},
    {CO, rad, s_real4, 3, "CO", 3, from_count(9)},
    {HeatingISR, rad, s_real4, 4, "HeatingISR", 1, from_count(9)},
    {Gphotoelectric, rad, s_real4, 5, "Gphotoelectric", 2, from_count(9)},
    {Extinction, rad, s_real4, 6, "Extinction", 3, from_count(9)},
    {H2SelfShielding, rad, s_real4, 7, "H2SelfShielding", 4, from_count(9)},
    {H2Frac, rad, s_real4, 8, "H2Frac", 1, from_count(9)},
    {dH2dt, rad, s_real4, 9, "dH2dt", 1, from_count(9)},
};
}  // namespace catalogue_rows

inline constexpr std::span<const ArraySpec> array_catalogue = catalogue_rows::table;

namespace detail {
constexpr int group_index(ArrayGroup g) { return static_cast<int>(g) - 1; }

// Where each group's slot begins and ends in the table.
struct SlotRange {
  std::size_t begin = 0, end = 0;
};
using SlotRanges = std::array<std::array<SlotRange, slot_count>, catalogued_groups>;
constexpr SlotRanges slot_ranges() {
  SlotRanges r{};
  for (std::size_t i = array_catalogue.size(); i-- > 0;) {
    SlotRange& s = r[static_cast<std::size_t>(group_index(array_catalogue[i].group))]
                    [static_cast<std::size_t>(array_catalogue[i].slot - 1)];
    if (s.end == 0) s.end = i + 1;
    s.begin = i;
  }
  return r;
}
inline constexpr SlotRanges ranges = slot_ranges();
}  // namespace detail

// The rows of slot `slot` of group `g`, in order.
constexpr std::span<const ArraySpec> catalogue_slot(ArrayGroup g, int slot) {
  const detail::SlotRange r = detail::ranges[static_cast<std::size_t>(detail::group_index(g))]
                                            [static_cast<std::size_t>(slot - 1)];
  return array_catalogue.subspan(r.begin, r.end - r.begin);
}

// The first row of an array.
constexpr const ArraySpec& catalogue_row(ArrayId id) {
  for (const ArraySpec& a : array_catalogue)
    if (a.id == id) return a;
  return array_catalogue.front();  // not reached: every id has a row (see below)
}

// ---- consistency, checked when compiled ------------------------------------

namespace detail {
constexpr bool in_file_order() {
  for (std::size_t i = 1; i < array_catalogue.size(); ++i) {
    const ArraySpec &a = array_catalogue[i - 1], &b = array_catalogue[i];
    if (a.group != b.group ? a.group > b.group : a.slot != b.slot ? a.slot > b.slot : a.order > b.order)
      return false;
  }
  return true;
}

constexpr bool rows_sound() {
  for (const ArraySpec& a : array_catalogue) {
    if (a.id == ArrayId::none || a.slot < 1 || a.slot > slot_count || a.order < 1 || a.component < 1)
      return false;
    if (a.tag.empty() || a.tag.size() > static_cast<std::size_t>(tag_length) || a.tag.back() == ' ') return false;
  }
  return true;
}

// At every count, the arrays a slot holds are at places 1, 2, ... without a
// gap, and no two arrays a reader takes share a place.
constexpr bool places_without_gaps() {
  for (int g = 1; g <= catalogued_groups; ++g)
    for (int k = 1; k <= slot_count; ++k)
      for (int count = -1; count <= 32; ++count) {
        std::uint64_t held = 0, taken = 0;
        for (const ArraySpec& a : catalogue_slot(static_cast<ArrayGroup>(g), k)) {
          if (!taken_at(a, count)) continue;
          const std::uint64_t bit = std::uint64_t{1} << (a.order - 1);
          if ((taken & bit) != 0) return false;
          taken |= bit;
          if (held_at(a, count)) held |= bit;
        }
        if ((held & (held + 1)) != 0) return false;  // not 1..m
      }
  return true;
}

// Every id has a row; the rows of one id name one array.
constexpr bool ids_named_once() {
  for (int id = 1; id < array_ids; ++id) {
    const ArraySpec& first = catalogue_row(static_cast<ArrayId>(id));
    if (first.id != static_cast<ArrayId>(id)) return false;
    for (const ArraySpec& a : array_catalogue)
      if (a.id == first.id && (a.tag != first.tag || a.group != first.group || a.slot != first.slot ||
                               a.component != first.component))
        return false;
  }
  return true;
}
}  // namespace detail

static_assert(detail::in_file_order(), "catalogue rows out of file order");
static_assert(detail::rows_sound(), "a catalogue row with no id, a slot of no type or a tag of no length");
static_assert(detail::places_without_gaps(), "a slot's catalogued arrays leave a gap or share a place");
static_assert(detail::ids_named_once(), "an array id without a row, or rows of one id that differ");

}  // namespace pg::dumpformat
