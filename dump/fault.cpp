// Every wording of the reader's faults, in one table.
#include "dump/fault.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace pg {

namespace {

struct Wording {
  FaultKind kind;
  std::string_view name;
  // {0} .. {5}: the fault's numbers; {6}: its byte offset; {7}: its text.
  std::string_view line;
};

constexpr Wording wordings[] = {
    {FaultKind::wrong_byte_order, "wrong_byte_order", "ERROR 1 in rdump: ENDIANNESS wrong?"},
    {FaultKind::wrong_real_size, "wrong_real_size", "ERROR 2 in rdump: default real size wrong"},
    {FaultKind::wrong_integer_size, "wrong_integer_size", "ERROR 3 in rdump: default integer size wrong"},
    {FaultKind::too_few_integers, "too_few_integers", "ERROR 4 in rdump: not enough default ints"},
    {FaultKind::npart_beyond_store, "npart_beyond_store", "ERROR in rdump: npart>idim"},
    {FaultKind::too_few_reals, "too_few_reals", "ERROR 5 in rdump: not enough default reals"},
    {FaultKind::too_few_real8, "too_few_real8", "ERROR 6 in rdump: nreal8 too small header"},
    {FaultKind::header_value_missing, "header_value_missing", "ERROR: could not find {7} in header"},
    {FaultKind::too_few_array_lengths, "too_few_array_lengths", "ERROR 7 in rdump {0} {1}"},
    {FaultKind::npart_wrong, "npart_wrong", "ERROR 8 in rdump: npart wrong {0} {1} {2}"},
    {FaultKind::npart_negative, "npart_negative", "ERROR in rdump: npart is negative {0}"},
    {FaultKind::block_particles_negative, "block_particles_negative",
     "ERROR in rdump: block {0} has a negative particle count {1}"},
    {FaultKind::store_exceeded, "store_exceeded", "ERROR - idim exceeded {0} {1} {2}"},
    {FaultKind::block_sinks_beyond_list, "block_sinks_beyond_list",
     "ERROR 8.5 in rdump: nptmass exceeds dimensions!! {0} {1}"},
    {FaultKind::block_sinks_negative, "block_sinks_negative",
     "ERROR in rdump: block {0} has a negative number of sinks {1}"},
    {FaultKind::sinks_beyond_list, "sinks_beyond_list",
     "ERROR in rdump: the sinks of blocks 1 to {0} number {1} more than {2}"},
    {FaultKind::iradtrans_wrong, "iradtrans_wrong", "ERROR 9 in rdump: iradtrans wrong {0} {1} {2}"},
    {FaultKind::block_counts_differ, "block_counts_differ",
     "ERROR - rdump: icount.NE.npart {0} {1} {2} {3}"},
    {FaultKind::inactive_count_wrong, "inactive_count_wrong",
     "ERROR in rdump: block {0} lists {1} inactive particles but carries {2} list entries"},
    {FaultKind::inactive_positions_beyond_store, "inactive_positions_beyond_store",
     "ERROR in rdump: inactive list positions {0} to {1} exceed {2}"},
    {FaultKind::inactive_entry_outside_store, "inactive_entry_outside_store",
     "ERROR in rdump: inactive list entry {0} names particle {1} outside 1 to {2}"},
    {FaultKind::active_listed_inactive, "active_listed_inactive",
     "ERROR - Read active particle as inactive {0} {1} {2} {3} {4} {5}"},
    {FaultKind::read_failed, "read_failed", "ERROR in rdump: reading the dump failed at byte {6}: {7}"},
    {FaultKind::negative_record_length, "negative_record_length",
     "ERROR in rdump: the record at byte {6} has a negative length word {0}"},
    {FaultKind::record_too_short, "record_too_short",
     "ERROR in rdump: the record at byte {6} holds {0} bytes, fewer than the {1} bytes read from it"},
    {FaultKind::record_lengths_differ, "record_lengths_differ",
     "ERROR in rdump: the record at byte {6} begins with length {0} but ends with length {1}"},
    {FaultKind::newer_format_version, "newer_format_version",
     "ERROR 4 in rdump: format version is {0} but this version of Veltra can only read {1}"},
};

static_assert(std::size(wordings) == fault_kinds, "one wording for every kind of fault");

constexpr bool in_kind_order() {
  for (int k = 0; k < fault_kinds; ++k)
    if (static_cast<int>(wordings[k].kind) != k) return false;
  return true;
}
static_assert(in_kind_order(), "the wordings stand in the order of the kinds");

const Wording& wording(FaultKind kind) { return wordings[static_cast<int>(kind)]; }

}  // namespace

void raise_fault(FaultKind kind, std::int64_t offset, std::initializer_list<wide_count> numbers,
                 std::string text) {
  DumpFault f{kind, offset, {}, std::move(text)};
  std::size_t k = 0;
  for (wide_count n : numbers) {
    if (k == f.numbers.size()) throw std::logic_error("a fault shows at most six numbers");
    f.numbers[k++] = n;
  }
  throw f;
}

std::string fault_text(const DumpFault& f) {
  const auto& n = f.numbers;
  return fmt::format(fmt::runtime(wording(f.kind).line), n[0], n[1], n[2], n[3], n[4], n[5],
                     f.offset, f.text);
}

std::string_view fault_name(FaultKind kind) { return wording(kind).name; }

}  // namespace pg
