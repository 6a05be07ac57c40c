// Tags: the 16-character, blank-padded names a tagged dump gives every
// header value and array, and the names an untagged dump's header reals are
// known by, by position.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace pg::dumpformat {

inline constexpr int tag_length = 16;

// A tag record holds one tag per value of its group; an array's tag record
// holds one.
using Tag = std::array<char, tag_length>;

// Text blank-padded (or cut) to `width` characters: a tag, the file identifier.
inline std::string padded(std::string_view s, std::size_t width) {
  std::string t(s.substr(0, std::min(s.size(), width)));
  t.resize(width, ' ');
  return t;
}

inline Tag make_tag(std::string_view name) {
  Tag t;
  t.fill(' ');
  std::copy_n(name.begin(), std::min<std::size_t>(name.size(), tag_length), t.begin());
  return t;
}

// The text without its trailing blanks: what a tag names.
inline std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

inline std::string_view tag_name(const Tag& t) { return trim_blanks(std::string_view(t.data(), t.size())); }

// The text without its trailing blanks and NULs: some writers pad with NULs.
inline std::string_view trim_padding(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

// The meaning of the header reals of an untagged dump, by position; position
// 23 is blank.
inline constexpr int default_reals = 30;
inline constexpr std::string_view default_tag_table[default_reals] = {
    "gt",          "dtmax",     "gamma",     "rhozero",          "RK2",           "escap",
    "tkin",        "tgrav",     "tterm",     "anglostx",         "anglosty",      "anglostz",
    "specang",     "ptmassin",  "tmag",      "Bextx",            "Bexty",         "Bextz",
    "hzero",       "uzero_n2",  "hmass",     "gapfac",           "",              "sdprof",
    "rorbit_orig", "min_rplan", "max_rplan", "planetesimalmass", "coremass_orig", "coremass"};

}  // namespace pg::dumpformat
