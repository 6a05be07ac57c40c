// Type slots and the array-length record.
//
// Every value of a dump has one of eight types, numbered 1 to 8. The header's
// groups come in this order, and so do the arrays of an array group: each
// block begins with one array-length record per group, which gives the
// group's length (the items of each of its arrays) and how many arrays of
// each slot it holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace pg::dumpformat {

enum Slot : int { s_int = 1, s_int1, s_int2, s_int4, s_int8, s_real, s_real4, s_real8 };
inline constexpr int slot_count = 8;

struct SlotType {
  std::string_view name;
  int bytes;  // per item
};
// Slot k at [k - 1].
inline constexpr std::array<SlotType, slot_count> slot_types = {{{"integer", 4},
                                                                 {"integer*1", 1},
                                                                 {"integer*2", 2},
                                                                 {"integer*4", 4},
                                                                 {"integer*8", 8},
                                                                 {"real", 8},
                                                                 {"real*4", 4},
                                                                 {"real*8", 8}}};

// Bytes per item of slot `slot`; 0 for a number that is no slot.
inline constexpr std::size_t slot_bytes(int slot) {
  if (slot < 1 || slot > slot_count) return 0;
  return static_cast<std::size_t>(slot_types[static_cast<std::size_t>(slot - 1)].bytes);
}

// Whether T is the type of an item of slot `slot` (as this machine holds it).
template <class T>
constexpr bool slot_holds(int slot) {
  switch (slot) {
    case s_int: case s_int4: return std::is_same_v<T, std::int32_t>;
    case s_int1: return std::is_same_v<T, std::int8_t>;
    case s_int2: return std::is_same_v<T, std::int16_t>;
    case s_int8: return std::is_same_v<T, std::int64_t>;
    case s_real: case s_real8: return std::is_same_v<T, double>;
    case s_real4: return std::is_same_v<T, float>;
    default: return false;
  }
}

// Every slot's bytes are those of the one type that holds its items; no
// other number is a slot.
template <class... T>
constexpr bool slot_sizes_agree() {
  for (int k = 0; k <= slot_count + 1; ++k) {
    const bool no_slot = k < 1 || k > slot_count;
    if ((slot_holds<T>(k) + ...) != (no_slot ? 0 : 1)) return false;
    if (((slot_holds<T>(k) && slot_bytes(k) != sizeof(T)) || ...) || (no_slot && slot_bytes(k) != 0)) return false;
  }
  return true;
}
static_assert(slot_sizes_agree<std::int8_t, std::int16_t, std::int32_t, std::int64_t, float, double>());

// The array-length record: the group's length (int64), then the number of
// arrays of slots 1 to 8 (int32 each).
struct ArrayLengths {
  std::int64_t length_count = 0;
  std::array<std::int32_t, slot_count> nums{};  // slot k at [k - 1]
};
inline constexpr std::int32_t array_lengths_record_bytes = 8 + 4 * slot_count;

}  // namespace pg::dumpformat
