// phasegrid: density - dust-temperature phase grids from SPH dump files.
#include <malloc.h>

#include "base/console.hpp"
#include "driver/command_line.hpp"

int main(int argc, char** argv) {
  // One allocation arena for every thread: the threads allocate little, and
  // an arena of each one's own would take 64 MB of address space, which a
  // limit on it (ulimit -v) counts.
  mallopt(M_ARENA_MAX, 1);
  return pg::run_program("phasegrid", pg::phasegrid_command, argc, argv);
}
