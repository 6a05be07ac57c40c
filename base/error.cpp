// Every wording of the program's errors, in one table.
#include "base/error.hpp"

#include <fmt/format.h>

#include <cstring>

namespace pg {

namespace {

struct Wording {
  FaultKind kind;
  Category category;
  std::string_view name;
  // {0} .. {5}: the error's numbers; {6}: its byte offset; {7}: its text.
  std::string_view line;
};

constexpr Wording wordings[] = {
    {FaultKind::wrong_byte_order, Category::dump_fault, "wrong_byte_order", "ERROR 1 in rdump: ENDIANNESS wrong?"},
    {FaultKind::wrong_real_size, Category::dump_fault, "wrong_real_size", "ERROR 2 in rdump: default real size wrong"},
    {FaultKind::wrong_integer_size, Category::dump_fault, "wrong_integer_size", "ERROR 3 in rdump: default integer size wrong"},
    {FaultKind::too_few_integers, Category::dump_fault, "too_few_integers", "ERROR 4 in rdump: not enough default ints"},
    {FaultKind::npart_beyond_store, Category::dump_fault, "npart_beyond_store", "ERROR in rdump: npart>idim"},
    {FaultKind::too_few_reals, Category::dump_fault, "too_few_reals", "ERROR 5 in rdump: not enough default reals"},
    {FaultKind::too_few_real8, Category::dump_fault, "too_few_real8", "ERROR 6 in rdump: nreal8 too small header"},
    {FaultKind::header_value_missing, Category::dump_fault, "header_value_missing", "ERROR: could not find {7} in header"},
    {FaultKind::too_few_array_lengths, Category::dump_fault, "too_few_array_lengths", "ERROR 7 in rdump {0} {1}"},
    {FaultKind::npart_wrong, Category::dump_fault, "npart_wrong", "ERROR 8 in rdump: npart wrong {0} {1} {2}"},
    {FaultKind::npart_negative, Category::dump_fault, "npart_negative", "ERROR in rdump: npart is negative {0}"},
    {FaultKind::block_particles_negative, Category::dump_fault, "block_particles_negative",
     "ERROR in rdump: block {0} has a negative particle count {1}"},
    {FaultKind::store_exceeded, Category::dump_fault, "store_exceeded", "ERROR - idim exceeded {0} {1} {2}"},
    {FaultKind::block_sinks_beyond_list, Category::dump_fault, "block_sinks_beyond_list",
     "ERROR 8.5 in rdump: nptmass exceeds dimensions!! {0} {1}"},
    {FaultKind::block_sinks_negative, Category::dump_fault, "block_sinks_negative",
     "ERROR in rdump: block {0} has a negative number of sinks {1}"},
    {FaultKind::sinks_beyond_list, Category::dump_fault, "sinks_beyond_list",
     "ERROR in rdump: the sinks of blocks 1 to {0} number {1} more than {2}"},
    {FaultKind::iradtrans_wrong, Category::dump_fault, "iradtrans_wrong", "ERROR 9 in rdump: iradtrans wrong {0} {1} {2}"},
    {FaultKind::block_counts_differ, Category::dump_fault, "block_counts_differ",
     "ERROR - rdump: icount.NE.npart {0} {1} {2} {3}"},
    {FaultKind::inactive_count_wrong, Category::dump_fault, "inactive_count_wrong",
     "ERROR in rdump: block {0} lists {1} inactive particles but carries {2} list entries"},
    {FaultKind::inactive_positions_beyond_store, Category::dump_fault, "inactive_positions_beyond_store",
     "ERROR in rdump: inactive list positions {0} to {1} exceed {2}"},
    {FaultKind::inactive_entry_outside_store, Category::dump_fault, "inactive_entry_outside_store",
     "ERROR in rdump: inactive list entry {0} names particle {1} outside 1 to {2}"},
    {FaultKind::active_listed_inactive, Category::dump_fault, "active_listed_inactive",
     "ERROR - Read active particle as inactive {0} {1} {2} {3} {4} {5}"},
    {FaultKind::read_failed, Category::dump_fault, "read_failed", "ERROR in rdump: reading the dump failed at byte {6}: {7}"},
    {FaultKind::dump_changed, Category::dump_fault, "dump_changed", "ERROR in rdump: {7}"},
    {FaultKind::negative_record_length, Category::dump_fault, "negative_record_length",
     "ERROR in rdump: the record at byte {6} has a negative length word {0}"},
    {FaultKind::record_too_short, Category::dump_fault, "record_too_short",
     "ERROR in rdump: the record at byte {6} holds {0} bytes, fewer than the {1} bytes read from it"},
    {FaultKind::record_lengths_differ, Category::dump_fault, "record_lengths_differ",
     "ERROR in rdump: the record at byte {6} begins with length {0} but ends with length {1}"},
    {FaultKind::bad_answer, Category::run_error, "bad_answer", "{7}"},
    {FaultKind::input_refused, Category::run_error, "input_refused", "{7}"},
    {FaultKind::output_refused, Category::run_error, "output_refused", "{7}"},
    {FaultKind::output_failed, Category::run_error, "output_failed", "{7}"},
    {FaultKind::out_of_memory, Category::run_error, "out_of_memory", "{7}"},
    {FaultKind::store_exhausted, Category::run_error, "store_exhausted",
     "cannot reserve memory for {0} particles ({1} MB in all): {7}"},
    {FaultKind::no_threads, Category::run_error, "no_threads", "{7}"},
    {FaultKind::interrupted, Category::stop_signal, "interrupted", "{7}"},
};

static_assert(std::size(wordings) == fault_kinds, "one wording for every kind");

constexpr bool in_kind_order() {
  for (int k = 0; k < fault_kinds; ++k)
    if (static_cast<int>(wordings[k].kind) != k) return false;
  return true;
}
static_assert(in_kind_order(), "the wordings stand in the order of the kinds");

const Wording& wording(FaultKind kind) { return wordings[static_cast<int>(kind)]; }

std::array<wide_count, 6> numbers_of(std::initializer_list<wide_count> numbers) {
  std::array<wide_count, 6> n{};
  if (numbers.size() > n.size()) throw std::logic_error("an error shows at most six numbers");
  std::copy(numbers.begin(), numbers.end(), n.begin());
  return n;
}

std::string line_of(FaultKind kind, std::int64_t offset, const std::array<wide_count, 6>& n,
                    const std::string& text) {
  return fmt::format(fmt::runtime(wording(kind).line), n[0], n[1], n[2], n[3], n[4], n[5], offset, text);
}

}  // namespace

Error::Error(FaultKind k, std::int64_t at, std::initializer_list<wide_count> numbers_shown, std::string t)
    : Error(k, at, numbers_of(numbers_shown), std::move(t)) {}

Error::Error(FaultKind k, std::int64_t at, const std::array<wide_count, 6>& numbers_shown, std::string t)
    : std::runtime_error(line_of(k, at, numbers_shown, t)), kind(k), offset(at), numbers(numbers_shown),
      text(std::move(t)) {}

std::string error_line(FaultKind kind, std::int64_t offset, std::initializer_list<wide_count> numbers,
                       const std::string& text) {
  return line_of(kind, offset, numbers_of(numbers), text);
}

void raise_fault(FaultKind kind, std::int64_t offset, std::initializer_list<wide_count> numbers,
                 std::string text) {
  throw Error(kind, offset, numbers, std::move(text));
}

Error store_exhausted(std::int64_t particles, std::size_t bytes, int error) {
  return Error(FaultKind::store_exhausted, -1,
               {particles, static_cast<wide_count>((bytes + 999999) / 1000000), error}, std::strerror(error));
}

std::string_view fault_name(FaultKind kind) { return wording(kind).name; }

Category category(FaultKind kind) { return wording(kind).category; }

int exit_status(const Error& e) {
  switch (category(e.kind)) {
    case Category::dump_fault: return exit_dump_fault;
    case Category::stop_signal: return 128 + static_cast<int>(e.numbers[0]);
    case Category::run_error: break;
  }
  return exit_usage;
}

}  // namespace pg
