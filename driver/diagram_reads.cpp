#include "driver/diagram_reads.hpp"

#include <cstdint>

#include "format/array_catalogue.hpp"

namespace pg {

namespace {

using dumpformat::ArrayId;

}  // namespace

void want_for_diagrams(Wanted& w, std::span<const DiagramSpec> diagrams) {
  for (const DiagramSpec& d : diagrams) {
    const std::uint64_t a = arrays_of(d);
    auto has = [&](ArrayId id) { return (a >> static_cast<int>(id) & 1u) != 0; };
    // Positions go together: the rotating frame turns x with y.
    if (has(ArrayId::x) || has(ArrayId::y) || has(ArrayId::z)) w.positions = true;
    if (has(ArrayId::m)) w.masses = true;
    if (has(ArrayId::h)) w.smoothing = true;
    if (has(ArrayId::vx) || has(ArrayId::vy) || has(ArrayId::vz)) w.velocities = true;
    if (has(ArrayId::u)) w.energies = true;
    if (has(ArrayId::rho)) w.densities = true;
    if (has(ArrayId::DustTemperature)) w.dust_temperature = true;
    w.arrays |= a;
  }
}

bool diagrams_use_velocities(std::span<const DiagramSpec> diagrams) {
  for (const DiagramSpec& d : diagrams)
    for (const Quantity q : d.uses())
      if (uses_velocities(q)) return true;
  return false;
}

}  // namespace pg
