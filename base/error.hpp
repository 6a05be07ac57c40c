// What can go wrong: one error type for the whole program.
//
// An Error carries its kind, the numbers and text its line shows and, for a
// fault found in a dump, the byte offset where it was found. Its what() is
// its line, made from one table of wordings; exit_status() maps its kind to
// the program's exit status. Whoever throws prints nothing: the caller
// decides what to print and how the run goes on.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pg {

// Exit statuses of the tool.
inline constexpr int exit_ok = 0;          // every dump read completely
inline constexpr int exit_dump_fault = 1;  // a damaged dump stopped the run, or a dump ended early
inline constexpr int exit_usage = 2;       // a bad answer or option, an output that failed, no memory

// A count of bytes or items that may exceed 64 bits: a damaged record may
// ask for more items than any file holds.
__extension__ typedef __int128 wide_count;

enum class FaultKind {
  // Faults of a dump. Identification and header.
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
  dump_changed,             // the file changed between its read and the last use of what was read
  negative_record_length,
  record_too_short,
  record_lengths_differ,
  // Errors of the run: the text is the whole line.
  bad_answer,        // a dialogue answer or a command-line option
  input_refused,     // an input file that cannot be read, or is not what it must be (a series file to merge)
  output_refused,    // an output that must not be written (a dump of the run, a file not ours)
  output_failed,     // an output file or standard output that cannot be written
  out_of_memory,     // memory besides the store's
  store_exhausted,   // the store's room: numbers particles, MB, errno
  no_threads,        // the particle loops' threads
  interrupted,       // a stop signal: numbers[0] is the signal
};
inline constexpr int fault_kinds = static_cast<int>(FaultKind::interrupted) + 1;

// What a kind is, as the table of wordings says: a fault found in a dump
// (the dump is damaged, or changed), an error of the run, or a stop signal.
enum class Category { dump_fault, run_error, stop_signal };
[[nodiscard]] Category category(FaultKind kind);
inline bool is_dump_fault(FaultKind kind) { return category(kind) == Category::dump_fault; }

class Error : public std::runtime_error {
 public:
  Error(FaultKind k, std::int64_t at = -1, std::initializer_list<wide_count> numbers_shown = {},
        std::string t = {});
  // An error of the run whose line is `text`.
  Error(FaultKind k, std::string line) : Error(k, -1, {}, std::move(line)) {}

  FaultKind kind;
  std::int64_t offset = -1;             // byte offset in the dump, -1 when not known
  std::array<wide_count, 6> numbers{};  // the numbers its line shows, in order
  std::string text;                     // a name or a reason its line shows

 private:
  Error(FaultKind k, std::int64_t at, const std::array<wide_count, 6>& numbers_shown, std::string t);
};

// Raises a fault of a dump.
[[noreturn]] void raise_fault(FaultKind kind, std::int64_t offset,
                              std::initializer_list<wide_count> numbers = {}, std::string text = {});

// The store could not grow to `particles` particles (`bytes` in all); `error`
// is the errno of the failed mapping.
Error store_exhausted(std::int64_t particles, std::size_t bytes, int error);

// The line of an error, without the leading blank of a console line.
inline std::string fault_text(const Error& e) { return e.what(); }
// The line an error of this kind, offset, numbers and text would have (for
// the warnings that share a fault's wording).
std::string error_line(FaultKind kind, std::int64_t offset, std::initializer_list<wide_count> numbers = {},
                       const std::string& text = {});

// The name of a kind (for tests and tools).
std::string_view fault_name(FaultKind kind);

// The exit status a run stopped by `e` ends with.
[[nodiscard]] int exit_status(const Error& e);

}  // namespace pg
