// Where the store holds each quantity that is an array of the dump, and how
// the derived ones are found from those: what the diagrams and the Python
// reader both take the values from.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "analysis/phase_grid.hpp"
#include "analysis/quantities.hpp"
#include "state/store.hpp"

namespace pg {

// Whether q is one of the dump's arrays (the others are derived).
constexpr bool is_array(Quantity q) { return q < Quantity::n; }

// Calls f(values, member, k) for quantity q, an array of the dump: the values
// dumps left in files (one of s.in_file's), the member that holds the rest
// and q's component of it. Copy them with s.member_values(values, member, k, ...).
template <class F>
void with_array(const Store& s, Quantity q, F&& f) {
  using enum Quantity;
  const Store::InFile& in = s.in_file;
  const int i = static_cast<int>(q);
  switch (q) {
    case x: case y: case z: case m: case h:
      return f(in.pos_mass_h[i - static_cast<int>(x)], s.part.pos_mass_h, i - static_cast<int>(x) + 1);
    case vx: case vy: case vz: case u:
      return f(in.vel_u[i - static_cast<int>(vx)], s.part.vel_u, i - static_cast<int>(vx) + 1);
    case rho: return f(in.rho, s.densi.rho, 1);
    case DustTemperature: return f(in.dust_temperature, s.raddust.dust_temperature, 1);
    case DustOpacity: return f(in.dust_opacity, s.raddust.dust_opacity, 1);
    case Erad: case opacity: case Cv: case lambda: case EddingtonFactor:
      return f(in.rad_values[i - static_cast<int>(Erad)], s.radtrans.rad_values, i - static_cast<int>(Erad) + 1);
    case Cplus: case AtomicC: case CO:
      return f(in.chem_abund[i - static_cast<int>(Cplus)], s.chem.chem_abund, i - static_cast<int>(Cplus) + 1);
    case HeatingISR: case Gphotoelectric: case Extinction: case H2SelfShielding:
      return f(in.extinc_values[i - static_cast<int>(HeatingISR)], s.extinc.extinc_values,
               i - static_cast<int>(HeatingISR) + 1);
    case H2Frac: return f(in.H2Frac, s.chem.H2Frac, 1);
    case dH2dt: return f(in.dH2dt, s.chem.dH2dt_pair, 1);
    default: return;  // derived
  }
}

// Quantity q (an array) of particles first .. first + n - 1 as doubles, through
// `floats` (n of them) when the store holds it as floats.
template <class T>
constexpr bool holds_doubles = std::is_same_v<typename std::remove_cvref_t<T>::value_type, double>;
inline void values_as_doubles(const Store& s, Quantity q, std::int64_t first, std::int64_t n, double* dst,
                              float* floats) {
  with_array(s, q, [&](const FileValues& values, const auto& member, int k) {
    if constexpr (holds_doubles<decltype(member)>) {
      s.member_values(values, member, k, first, n, dst);
    } else {
      s.member_values(values, member, k, first, n, floats);
      for (std::int64_t j = 0; j < n; ++j) dst[j] = static_cast<double>(floats[j]);
    }
  });
}

// The derived quantities, value by value, as the diagrams find them (n is
// the phase grid's number_density()). r and v: the length of a vector; R: of its first two components.
inline double length3(double a, double b, double c) { return std::sqrt(a * a + b * b + c * c); }
inline double length2(double a, double b) { return std::sqrt(a * a + b * b); }

}  // namespace pg
