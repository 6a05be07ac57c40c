// How much a run holds: constants of the program, for the store, the reader
// and mkdump alike.
#pragma once

#include <cstdint>

namespace pg {

inline constexpr std::int64_t idim = 50001000;  // the tool's particle capacity
inline constexpr int ptmass_dim = 300;           // sinks, over all blocks

}  // namespace pg
