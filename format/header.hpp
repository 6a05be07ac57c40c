// The header: eight groups in the order of the type slots (default integers,
// integer*1, *2, *4, *8, default reals, real*4, real*8). Each group is a
// count record, then, when the count is above 0, a tag record (tagged dumps
// only) and a data record of that many values.
#pragma once

#include <cstdint>
#include <string_view>

namespace pg::dumpformat {

// Default integers. The count selects the layout: 7 and 41 to 44 carry that
// many positions, any other count of 6 or more only the first 6.
inline constexpr int min_default_ints = 6;
inline constexpr int max_default_ints = 44;
inline int default_int_positions(std::int32_t count) {
  return (count == 7 || (count >= 41 && count <= 44)) ? count : min_default_ints;
}

// Positions of the default integers, from 0.
enum DefaultInt : int {
  di_npart = 0,
  di_nbody1,
  di_nbody2,
  di_binary1,
  di_binary2,
  di_binary3,
  di_blocks,     // layouts of 7 and more; else one block
  di_rnd_word2,  // layouts of 41 and more: the random generator's state,
  di_rnd_word1,
  di_rnd_table,  // then its table of rnd_table_words
  di_extra_option1 = di_rnd_table + 32,  // layouts of 42 and more
  di_extra_option2,                      // 43 and more
  di_dragscheme,                         // 44
};
inline constexpr int rnd_table_words = 32;
static_assert(di_dragscheme + 1 == max_default_ints);

// Integer*8: a group of exactly one value holds the largest particle
// identifier, under this tag.
inline constexpr std::string_view iunique_max_tag = "iunique_max";

// Default reals: at least 14 (the named reals are looked up among them).
inline constexpr int min_default_reals = 14;

// Real*8: at least the three units, of length, mass and time in that order.
inline constexpr int min_units = 3;

}  // namespace pg::dumpformat
