// The start of a dump: the identification record (magic numbers and format
// version) and the file identifier, which says whether the dump is tagged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/tags.hpp"

namespace pg::dumpformat {

// Magic numbers of the identification record.
inline constexpr std::int32_t magic_int = 690706;  // also "version 0" in the version slot
inline constexpr std::int32_t magic_int_alt = 60769;
inline constexpr std::int32_t magic_real = 780806;
inline constexpr std::int32_t magic_real_alt = 60878;
inline constexpr std::int32_t newest_format = 1;

inline bool first_magic_ok(std::int32_t m) { return m == magic_int || m == magic_int_alt; }
inline bool second_magic_ok(std::int32_t m) { return m == magic_real || m == magic_real_alt; }
inline bool third_magic_ok(std::int32_t m) { return m == magic_int; }

// Whether a file that starts with `head` (its first n bytes) can be a dump:
// one of the magic numbers, in either byte order, in a word of the first
// record, where a dump of any byte order or word size has them. A text file,
// an empty file or a grid file has none.
inline constexpr std::size_t dump_start_bytes = 48;
inline bool starts_like_a_dump(const unsigned char* head, std::size_t n) {
  for (std::size_t at = 4; at + 4 <= n && at < dump_start_bytes; at += 4) {
    const std::uint32_t le = head[at] | head[at + 1] << 8 | head[at + 2] << 16 | std::uint32_t{head[at + 3]} << 24;
    const std::uint32_t be = head[at + 3] | head[at + 2] << 8 | head[at + 1] << 16 | std::uint32_t{head[at]} << 24;
    for (const std::int32_t m : {magic_int, magic_int_alt, magic_real, magic_real_alt})
      if (le == static_cast<std::uint32_t>(m) || be == static_cast<std::uint32_t>(m)) return true;
  }
  return false;
}

// The identification record: integer magic, a real, real magic, format
// version, integer magic; 24 bytes (a longer record is read up to them).
inline constexpr std::int64_t id_record_bytes = 4 + 8 + 4 + 4 + 4;

// The format version the version slot holds: the integer magic there means 0.
inline std::int32_t format_version(std::int32_t version) { return version == magic_int ? 0 : version; }

// The file identifier: 100 characters, blank-padded. Its second character
// is 'T' in a tagged dump ("FT..."), anything else in an untagged one ("FU...").
inline constexpr std::size_t file_ident_length = 100;

inline bool ident_says_tagged(std::string_view ident) { return ident.size() > 1 && ident[1] == 'T'; }
// How a writer begins the identifier of a tagged or untagged dump.
inline constexpr std::string_view ident_prefix(bool tagged) { return tagged ? "FT" : "FU"; }

}  // namespace pg::dumpformat

// The names the reader knows these facts by.
namespace pg {
using dumpformat::default_tag_table;
using dumpformat::first_magic_ok;
using dumpformat::magic_int;
using dumpformat::magic_int_alt;
using dumpformat::magic_real;
using dumpformat::magic_real_alt;
using dumpformat::newest_format;
using dumpformat::second_magic_ok;
using dumpformat::third_magic_ok;
}  // namespace pg
