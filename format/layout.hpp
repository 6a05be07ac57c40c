// Fixed facts of the dump layout shared by the reader and the inspector.
#pragma once

#include <cstdint>
#include <string_view>

namespace pg {

// Magic numbers of the identification record.
inline constexpr std::int32_t magic_int = 690706;  // also "version 0" in the version slot
inline constexpr std::int32_t magic_int_alt = 60769;
inline constexpr std::int32_t magic_real = 780806;
inline constexpr std::int32_t magic_real_alt = 60878;
inline constexpr std::int32_t newest_format = 1;

inline bool first_magic_ok(std::int32_t m) { return m == magic_int || m == magic_int_alt; }
inline bool second_magic_ok(std::int32_t m) { return m == magic_real || m == magic_real_alt; }
inline bool third_magic_ok(std::int32_t m) { return m == magic_int; }

// The meaning of the header reals of an untagged dump, by position; position
// 23 is blank.
inline constexpr std::string_view default_tag_table[30] = {
    "gt",          "dtmax",     "gamma",     "rhozero",          "RK2",           "escap",
    "tkin",        "tgrav",     "tterm",     "anglostx",         "anglosty",      "anglostz",
    "specang",     "ptmassin",  "tmag",      "Bextx",            "Bexty",         "Bextz",
    "hzero",       "uzero_n2",  "hmass",     "gapfac",           "",              "sdprof",
    "rorbit_orig", "min_rplan", "max_rplan", "planetesimalmass", "coremass_orig", "coremass"};

}  // namespace pg
