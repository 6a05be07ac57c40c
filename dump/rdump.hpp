// The dump reader: one whole dump into the particle store.
#pragma once

#include "dump/record.hpp"
#include "dump/wanted.hpp"

namespace pg {

// Reads one dump from its first record on into the particle store, printing
// its trace on standard output. `status` is 0 after a complete read and 1 when
// the file ended early (the store then holds a partly read dump). A fatal
// fault prints its ERROR line and stops the run through quit().
// Arrays of members that `wanted` leaves out are checked and passed over
// without being stored; the console trace is the same either way.
void rdump(DumpFile& dump, int& status, const Wanted& wanted = Wanted::everything());

}  // namespace pg
