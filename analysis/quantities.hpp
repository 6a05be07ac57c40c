// The per-particle quantities a diagram may bin or weigh by: the arrays a
// dump may carry, by the names its tags give them, and a few derived from
// them. One table: names, what each is, its units, whether a dump carries
// it, how it is found and the axis a diagram gives it when none is asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pg {

enum class Quantity : std::uint8_t {
  // Arrays of the dump.
  x, y, z, m, h, vx, vy, vz, u, rho,
  DustTemperature, DustOpacity, Erad, opacity, Cv, lambda, EddingtonFactor,
  Cplus, AtomicC, CO, HeatingISR, Gphotoelectric, Extinction, H2SelfShielding, H2Frac, dH2dt,
  // Derived.
  n,  // number density, as the phase grid computes it
  r,  // distance from the centre
  R,  // distance from the z axis through the centre
  v,  // speed
};
inline constexpr int quantity_count = static_cast<int>(Quantity::v) + 1;

// Where a dump's quantity comes from: which of its arrays a dump must carry
// in every block of particles for it to be the dump's own.
enum class Carried : std::uint8_t {
  always,     // every block carries it
  dust,       // the radiative group with the dust arrays
  radiation,  // the radiative group
  chemistry,  // the radiative group with the chemistry arrays
};

// The axis a diagram gives a quantity when the SPEC names none: log10 or
// linear, from `lo` to `hi` (decimal logarithms for a log axis), in `bins`.
struct AxisDefault {
  bool log = true;
  double lo = 0, hi = 1;
  int bins = 100;
};

struct QuantityInfo {
  Quantity q;
  std::string_view name;       // as a SPEC names it: the dump's tag, or n, r, R, v
  std::string_view long_name;  // what it is, for labels
  std::string_view units;      // UDUNITS, "" for a number or code units
  Carried carried;
  AxisDefault axis;
  std::string_view formula;    // how it is found, for --quantities and the docs
};

std::span<const QuantityInfo> quantities();
const QuantityInfo& info(Quantity q);
std::optional<Quantity> find_quantity(std::string_view name);

// The dump's arrays a quantity is found from, a bit for each ArrayId
// (format/array_catalogue.hpp), as ReadEnd::carried tells them.
std::uint64_t arrays_of(Quantity q);

// The arrays behind a quantity: the dump arrays it is found from.
bool uses_positions(Quantity q);   // x, y, z, r, R
bool uses_velocities(Quantity q);  // vx, vy, vz, v

}  // namespace pg
