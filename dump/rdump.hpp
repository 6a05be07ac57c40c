// The dump reader: one whole dump into the particle store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/trace.hpp"
#include "dump/record.hpp"
#include "dump/wanted.hpp"
#include "state/store.hpp"

namespace pg {

// What a read fills: the header values, sink arrays and always-read members
// of `store`, and the per-particle members `wanted` names. Arrays of members
// it leaves out are checked and passed over without being stored; the console
// trace is the same either way. The store's capacity bounds every count.
struct ReadTarget {
  Store& store;
  Trace& trace;  // where the read's trace goes
  Wanted wanted = Wanted::everything();
};

// One block of a dump as the read found it.
struct BlockRead {
  std::int64_t offset = 0;     // where its first array-length record begins
  std::int64_t first = 1;      // its first particle in the store
  std::int64_t particles = 0;  // the particles it contributes
  std::int64_t sinks = 0;      // its sinks, from sink 1 + the earlier blocks' on
  std::int64_t radiative = 0;  // the particles its radiative group counts
  // The arrays it supplied, a bit for each ArrayId (of a block the file
  // ended in, those read whole).
  std::uint64_t carried = 0;
};

// How a read ended, and what it tells beyond that.
struct ReadEnd {
  // The file ended before the dump did (END OF FILE REACHED IN RDUMP was
  // traced): the store holds a partly read dump.
  bool ended_early = false;
  std::int64_t offset = 0;  // where the read stopped
  // Every block supplied the dust temperature (a radiative group matching
  // the block, with the dust arrays); otherwise the store keeps what an
  // earlier dump left for the particles of the blocks that did not.
  bool dust_temperature = false;
  // The arrays every block of particles supplied, a bit for each ArrayId
  // (format/array_catalogue.hpp): of the others, the store keeps for some
  // particles what an earlier dump left.
  std::uint64_t carried = 0;
  // What the file says it is, and the blocks read, in file order.
  bool tagged = false;
  int format_version = 0;
  std::string file_ident{};
  std::vector<BlockRead> blocks{};
};

// Reads one dump from its first record on into its target, printing its
// trace to the target's trace, and returns how the read ended. A fault the
// read cannot go on from raises an Error of its kind and prints nothing: the
// caller prints fault_text() and decides how the run goes on. Values the
// target leaves in the file (Wanted::left_in_file) are noted in the store;
// once the read ends, however it ends, the store settles what earlier dumps
// left in their files (Store::settle_files).
[[nodiscard]] ReadEnd rdump(DumpFile& dump, const ReadTarget& target);

}  // namespace pg
