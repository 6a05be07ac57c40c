// Every wording of the reader's faults: the console line each kind prints,
// with its numbers, offset and text in their places.
#include <gtest/gtest.h>

#include <set>

#include "base/error.hpp"

using pg::Error;
using pg::FaultKind;

TEST(Fault, EveryKindPrintsItsLine) {
  using K = FaultKind;
  struct Case {
    Error fault;
    const char* line;
  };
  const Case cases[] = {
      {{K::wrong_byte_order}, "ERROR 1 in rdump: ENDIANNESS wrong?"},
      {{K::wrong_real_size}, "ERROR 2 in rdump: default real size wrong"},
      {{K::wrong_integer_size}, "ERROR 3 in rdump: default integer size wrong"},
      {{K::too_few_integers}, "ERROR 4 in rdump: not enough default ints"},
      {{K::npart_beyond_store}, "ERROR in rdump: npart>idim"},
      {{K::too_few_reals}, "ERROR 5 in rdump: not enough default reals"},
      {{K::too_few_real8}, "ERROR 6 in rdump: nreal8 too small header"},
      {{K::header_value_missing, 9, {}, "rhozero"}, "ERROR: could not find rhozero in header"},
      {{K::too_few_array_lengths, 9, {3, 3}}, "ERROR 7 in rdump 3 3"},
      {{K::npart_wrong, 9, {9, 10, 50001000}}, "ERROR 8 in rdump: npart wrong 9 10 50001000"},
      {{K::npart_negative, 9, {-4}}, "ERROR in rdump: npart is negative -4"},
      {{K::block_particles_negative, 9, {2, -5}}, "ERROR in rdump: block 2 has a negative particle count -5"},
      {{K::store_exceeded, 9, {600, 500, 1000}}, "ERROR - idim exceeded 600 500 1000"},
      {{K::block_sinks_beyond_list, 9, {301, 300}}, "ERROR 8.5 in rdump: nptmass exceeds dimensions!! 301 300"},
      {{K::block_sinks_negative, 9, {2, -1}}, "ERROR in rdump: block 2 has a negative number of sinks -1"},
      {{K::sinks_beyond_list, 9, {2, 301, 300}},
       "ERROR in rdump: the sinks of blocks 1 to 2 number 301 more than 300"},
      {{K::iradtrans_wrong, 9, {50001001, 50001000, 7}}, "ERROR 9 in rdump: iradtrans wrong 50001001 50001000 7"},
      {{K::block_counts_differ, 9, {9, 10, 2, 2}}, "ERROR - rdump: icount.NE.npart 9 10 2 2"},
      {{K::inactive_count_wrong, 9, {1, 9, 4}},
       "ERROR in rdump: block 1 lists 9 inactive particles but carries 4 list entries"},
      {{K::inactive_positions_beyond_store, 9, {5, 60, 50}},
       "ERROR in rdump: inactive list positions 5 to 60 exceed 50"},
      {{K::inactive_entry_outside_store, 9, {2, 2000000000, 50001000}},
       "ERROR in rdump: inactive list entry 2 names particle 2000000000 outside 1 to 50001000"},
      {{K::active_listed_inactive, 9, {1, 0, 3, 0, 5, 0}}, "ERROR - Read active particle as inactive 1 0 3 0 5 0"},
      {{K::read_failed, 4096, {}, "Input/output error"},
       "ERROR in rdump: reading the dump failed at byte 4096: Input/output error"},
      {{K::dump_changed, -1, {}, "x"}, "ERROR in rdump: x"},
      {{K::negative_record_length, 120, {-8}}, "ERROR in rdump: the record at byte 120 has a negative length word -8"},
      {{K::record_too_short, 120, {8, pg::wide_count{1} << 64}},
       "ERROR in rdump: the record at byte 120 holds 8 bytes, fewer than the 18446744073709551616 bytes read from it"},
      {{K::record_lengths_differ, 120, {4, 9}},
       "ERROR in rdump: the record at byte 120 begins with length 4 but ends with length 9"},
      {{K::store_exhausted, -1, {60000000, 12345, 12}, "Cannot allocate memory"},
       "cannot reserve memory for 60000000 particles (12345 MB in all): Cannot allocate memory"},
      // The run's own errors: the line is their text.
      {{K::bad_answer, "-c p needs --position X Y Z"}, "-c p needs --position X Y Z"},
      {{K::input_refused, "x"}, "x"},
      {{K::output_refused, "x"}, "x"},
      {{K::output_failed, "x"}, "x"},
      {{K::out_of_memory, "x"}, "x"},
      {{K::no_threads, "x"}, "x"},
      {{K::interrupted, -1, {15}, "SIGTERM"}, "SIGTERM"},
  };
  std::set<FaultKind> seen;
  for (const Case& c : cases) {
    EXPECT_EQ(pg::fault_text(c.fault), c.line) << pg::fault_name(c.fault.kind);
    seen.insert(c.fault.kind);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(pg::fault_kinds)) << "a kind without its line here";
}
