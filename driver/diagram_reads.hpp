// What a run's diagrams need of the reader, and whether a dump gave it:
// each quantity's arrays in the dump's catalogue.
#pragma once

#include <span>
#include <vector>

#include "analysis/diagram.hpp"
#include "dump/rdump.hpp"
#include "dump/wanted.hpp"

namespace pg {

// Adds to `w` the arrays the diagrams read.
void want_for_diagrams(Wanted& w, std::span<const DiagramSpec> diagrams);

// Whether a diagram reads velocities or positions.
bool diagrams_use_velocities(std::span<const DiagramSpec> diagrams);

// Each diagram's status for a dump read as `end` says, whose mass unit is
// `umass` grams: lacks_quantity when a block of particles did not carry an
// array it reads, no_mass_unit when it weighs by mass and the dump records
// no mass unit, binned otherwise.
std::vector<DiagramStatus> diagram_statuses(std::span<const DiagramSpec> diagrams, const ReadEnd& end,
                                            double umass);

}  // namespace pg
