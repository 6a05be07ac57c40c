#include "driver/diagram_reads.hpp"

#include <cmath>
#include <cstdint>

#include "format/array_catalogue.hpp"

namespace pg {

namespace {

using dumpformat::ArrayId;

// The dump's arrays a quantity is found from, a bit for each.
std::uint64_t arrays_of(Quantity q) {
  auto bit = [](ArrayId id) { return std::uint64_t{1} << static_cast<int>(id); };
  switch (q) {
    case Quantity::x: return bit(ArrayId::x);
    case Quantity::y: return bit(ArrayId::y);
    case Quantity::z: return bit(ArrayId::z);
    case Quantity::m: return bit(ArrayId::m);
    case Quantity::h: return bit(ArrayId::h);
    case Quantity::vx: return bit(ArrayId::vx);
    case Quantity::vy: return bit(ArrayId::vy);
    case Quantity::vz: return bit(ArrayId::vz);
    case Quantity::u: return bit(ArrayId::u);
    case Quantity::rho: return bit(ArrayId::rho);
    case Quantity::DustTemperature: return bit(ArrayId::DustTemperature);
    case Quantity::DustOpacity: return bit(ArrayId::DustOpacity);
    case Quantity::Erad: return bit(ArrayId::Erad);
    case Quantity::opacity: return bit(ArrayId::opacity);
    case Quantity::Cv: return bit(ArrayId::Cv);
    case Quantity::lambda: return bit(ArrayId::lambda);
    case Quantity::EddingtonFactor: return bit(ArrayId::EddingtonFactor);
    case Quantity::Cplus: return bit(ArrayId::Cplus);
    case Quantity::AtomicC: return bit(ArrayId::AtomicC);
    case Quantity::CO: return bit(ArrayId::CO);
    case Quantity::HeatingISR: return bit(ArrayId::HeatingISR);
    case Quantity::Gphotoelectric: return bit(ArrayId::Gphotoelectric);
    case Quantity::Extinction: return bit(ArrayId::Extinction);
    case Quantity::H2SelfShielding: return bit(ArrayId::H2SelfShielding);
    case Quantity::H2Frac: return bit(ArrayId::H2Frac);
    case Quantity::dH2dt: return bit(ArrayId::dH2dt);
    case Quantity::n: return bit(ArrayId::rho);
    case Quantity::r: return bit(ArrayId::x) | bit(ArrayId::y) | bit(ArrayId::z);
    case Quantity::R: return bit(ArrayId::x) | bit(ArrayId::y);
    case Quantity::v: return bit(ArrayId::vx) | bit(ArrayId::vy) | bit(ArrayId::vz);
  }
  return 0;
}

std::uint64_t arrays_of(const DiagramSpec& d) {
  std::uint64_t all = 0;
  for (const Quantity q : d.uses()) all |= arrays_of(q);
  return all;
}

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

std::vector<DiagramStatus> diagram_statuses(std::span<const DiagramSpec> diagrams, const ReadEnd& end,
                                            double umass) {
  std::vector<DiagramStatus> status;
  for (const DiagramSpec& d : diagrams) {
    const std::uint64_t a = arrays_of(d);
    if ((end.carried & a) != a)
      status.push_back(DiagramStatus::lacks_quantity);
    else if (d.weight == Weight::mass && !(umass > 0 && std::isfinite(umass)))
      status.push_back(DiagramStatus::no_mass_unit);
    else
      status.push_back(DiagramStatus::binned);
  }
  return status;
}

}  // namespace pg
