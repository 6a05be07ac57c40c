// What a run's diagrams need of the reader.
#pragma once

#include <span>
#include <vector>

#include "analysis/diagram.hpp"
#include "dump/wanted.hpp"

namespace pg {

// Adds to `w` the arrays the diagrams read.
void want_for_diagrams(Wanted& w, std::span<const DiagramSpec> diagrams);

// Whether a diagram reads velocities or positions.
bool diagrams_use_velocities(std::span<const DiagramSpec> diagrams);

}  // namespace pg
