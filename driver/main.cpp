// phasegrid: density - dust-temperature phase grids from SPH dump files.
#include <malloc.h>

#include "base/console.hpp"
#include "driver/command_line.hpp"

int main(int argc, char** argv) {
  // One allocation arena for every thread: the threads allocate little, and
  // an arena of each one's own would take 64 MB of address space, which a
  // limit on it (ulimit -v) counts.
  mallopt(M_ARENA_MAX, 1);
  // The series file's buffers (HDF5's, 1.5 MB a dump's counts) come and go
  // for every row: kept in the heap and used again, not mapped afresh each
  // time, whose every page then faults in (5 ms a buffer on a virtual
  // machine). Up to 16 MB; what the run frees beyond 32 MB goes back.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  return pg::run_program("phasegrid", pg::phasegrid_command, argc, argv);
}
