// Tags: the 16-character, blank-padded names of a dump's quantities.
#pragma once

#include "base/trace.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "format/tags.hpp"

namespace pg {

using dumpformat::make_tag;
using dumpformat::Tag;
using dumpformat::tag_length;
using dumpformat::tag_name;

inline constexpr int max_header_tags = 128;   // positions of the tag list
inline constexpr int max_header_values = 30;  // header reals kept by value

struct HeaderTags {
  std::array<Tag, max_header_tags> tags;  // position i at [i - 1]
  std::array<double, max_header_values> values{};
  HeaderTags() { tags.fill(make_tag("")); }
};

// The name a header real is looked up by: without leading or trailing blanks.
std::string_view header_key(std::string_view name);

// Looks up the header real `name` as extract() does, printing nothing: its
// value when found within the first 30 positions.
[[nodiscard]] std::optional<double> find_header_real(std::string_view name, const HeaderTags& header,
                                                     std::int32_t count);

// Looks up the header real `name` among the first min(count, 128) tags; the
// first match wins. Its value, or nothing when it is not found (or found
// beyond position 30), which prints " ERROR: could not find <key> in
// header". Never stops the run.
[[nodiscard]] std::optional<double> extract(Trace& trace, std::string_view name, const HeaderTags& header,
                                            std::int32_t count);

// Compares an array's tag with the expected name, trailing blanks ignored.
// A difference prints " WARNING: read tag ... but expected ..." (a warning
// only) and returns true.
bool checktag(Trace& trace, std::string_view expected, const Tag& read_tag);

}  // namespace pg
