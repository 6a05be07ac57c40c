// phasegrid: density - dust-temperature phase grids from SPH dump files.
//
// The program's one handler: whatever stops it is one line on standard error
// ("phasegrid: " and what went wrong) and the exit status of its kind. (A run
// handles its own dumps' errors first, so that it still writes its summary
// and the series file's rows.)
#include <malloc.h>

#include <new>

#include "base/console.hpp"
#include "base/error.hpp"
#include "driver/command_line.hpp"

int main(int argc, char** argv) {
  pg::open_standard_streams();
  // One allocation arena for every thread: the threads allocate little, and
  // an arena of each one's own would take 64 MB of address space, which a
  // limit on it (ulimit -v) counts.
  mallopt(M_ARENA_MAX, 1);
  try {
    return pg::phasegrid_command(argc, argv);
  } catch (const pg::Error& e) {
    pg::tell(e.what());
    return pg::exit_status(e);
  } catch (const std::bad_alloc&) {
    pg::tell("cannot allocate memory");
    return pg::exit_usage;
  } catch (const std::exception& e) {
    pg::tell(e.what());
    return pg::exit_usage;
  }
}
