// What can go wrong while a dump is read: one fault type, raised by the
// record layer and the reader, carrying its kind, its numbers and the byte
// offset where it was found. The reader prints nothing for a fault; the
// caller decides what to print (fault_text gives the console line) and how the
// run goes on.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace pg {

// A count of bytes or items that may exceed 64 bits: a damaged record may
// ask for more items than any file holds.
__extension__ typedef __int128 wide_count;

enum class FaultKind {
  // Identification and header.
  wrong_byte_order,         // ERROR 1
  wrong_real_size,          // ERROR 2
  wrong_integer_size,       // ERROR 3
  too_few_integers,         // ERROR 4
  npart_beyond_store,
  too_few_reals,            // ERROR 5
  too_few_real8,            // ERROR 6
  header_value_missing,     // a header real every run needs
  // Block directory.
  too_few_array_lengths,    // ERROR 7
  npart_wrong,              // ERROR 8
  npart_negative,
  block_particles_negative,
  store_exceeded,           // idim exceeded
  block_sinks_beyond_list,  // ERROR 8.5
  block_sinks_negative,
  sinks_beyond_list,
  iradtrans_wrong,          // ERROR 9
  block_counts_differ,      // icount.NE.npart
  // Inactive lists.
  inactive_count_wrong,
  inactive_positions_beyond_store,
  inactive_entry_outside_store,
  active_listed_inactive,
  // Records.
  read_failed,
  negative_record_length,
  record_too_short,
  record_lengths_differ,
  // Not a fault: a line the reader prints and reads on.
  newer_format_version,     // ERROR 4 (a version line)
};

struct DumpFault {
  FaultKind kind;
  std::int64_t offset = -1;            // byte offset in the file, -1 when not known
  std::array<wide_count, 6> numbers{}; // the numbers its line shows, in order
  std::string text;                    // a name or a reason its line shows
};

// Raises a fault.
[[noreturn]] void raise_fault(FaultKind kind, std::int64_t offset,
                              std::initializer_list<wide_count> numbers = {},
                              std::string text = {});

// The console line of a fault, without the leading blank of a console line.
std::string fault_text(const DumpFault& fault);

// Every kind, in declaration order (for tests and tools).
std::string_view fault_name(FaultKind kind);
inline constexpr int fault_kinds = static_cast<int>(FaultKind::newer_format_version) + 1;

}  // namespace pg
