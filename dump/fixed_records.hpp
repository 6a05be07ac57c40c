// The records of a dump whose layout is fixed, decoded the same way for the
// reader and for the inspector (tools/phasegrid_dump.cpp): the identification
// record, the file identifier, a count record, and the array-length record
// that begins each group of a block. Each takes its record through the
// record layer, so that a record that is short or cut is reported as the
// record layer words it.
#pragma once

#include <cstdint>
#include <string>

#include "dump/record.hpp"
#include "format/layout.hpp"
#include "format/slots.hpp"

namespace pg {

// The identification record: magic numbers, a real, the format version.
struct Identification {
  std::int32_t magic1 = 0, magic2 = 0, version = 0, magic3 = 0;
  std::int64_t record_bytes = 0;  // the record's length word
  bool magics_ok() const {
    return dumpformat::first_magic_ok(magic1) && dumpformat::second_magic_ok(magic2) &&
           dumpformat::third_magic_ok(magic3);
  }
};

// Whether the file, not yet read, starts as a dump does (see
// dumpformat::starts_like_a_dump); it looks without taking.
bool starts_like_a_dump(DumpFile& f);

// Begins the file's first record and takes the identification from its
// front. The record is left open for the caller: with wrong magic numbers
// (another byte order, say) its length word may run past the end of the
// file, and the caller decides what is reported first.
Identification take_identification(DumpFile& f);

// Finishes the identification record of good magic numbers: a record that
// runs past the end of the file is a dump cut short (DumpEnded).
void end_identification(DumpFile& f);

// The file identifier record: its text (file_ident_length characters).
std::string take_file_ident(DumpFile& f);

// A record of one 4-byte count.
std::int32_t take_count(DumpFile& f);

// An array-length record.
dumpformat::ArrayLengths take_array_lengths(DumpFile& f);

}  // namespace pg
