// Centring: the origin of the positions moved to a chosen point.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "base/trace.hpp"
#include "state/store.hpp"

namespace pg {

// The point a centring moved to the origin (zeros when none moved).
using Centre = std::array<double, 3>;

// Where a centring finds the dump's positions and masses:
// in the store, turned already, where they are shifted; or left in the
// dump's file (the run's last dump), turned by `turn` as they are read and
// never shifted, since no later step reads them.
struct PositionsHeld {
  bool in_file = false;
  std::optional<double> turn;
};

// Centre of mass of particles 1..npart; prints it, stores it in origi and
// shifts the positions by it times `scale`.
Centre origin(Store& s, Trace& trace, double scale, const PositionsHeld& held = {});
// Mean position of the particles within 4 h of the densest particle.
Centre centre_on_density_peak(Store& s, Trace& trace, const PositionsHeld& held = {});
// The position of the particle of sink k (1..nptmass). A sink that does not
// exist, or whose particle lies outside 1..npart, is reported and nothing moves.
Centre centre_on_sink(Store& s, Trace& trace, std::int32_t k, const PositionsHeld& held = {});
// The same for the sink whose particle has the largest mass (the first of
// equal maxima); sinks whose particle lies outside 1..npart are left out.
Centre centre_on_most_massive_sink(Store& s, Trace& trace, const PositionsHeld& held = {});

// The centring chosen by its letter: m, d, p, s, x; any other does nothing.
// Returns the point moved to the origin.
Centre apply_centring(Store& s, Trace& trace, char centre_mode, std::int32_t sink_number,
                      const std::array<double, 3>& centre_position, const PositionsHeld& held = {});

}  // namespace pg
