// Where a read puts each array of the catalogue (format/array_catalogue.hpp):
// its store member, and the member of Wanted that says whether a read fills
// it (always_read: every read does). One line per array; the catalogue's row
// gives the component. A member the compiler finds of another item type than
// the array's slot, or of too few components, fails the build (see below).
#pragma once

#include <type_traits>

#include "dump/wanted.hpp"
#include "format/array_catalogue.hpp"
#include "state/store.hpp"

namespace pg {

using dumpformat::ArrayId;
using dumpformat::ArraySpec;

inline constexpr bool Wanted::*always_read = nullptr;

// Calls f(&Store::block, &Block::member, wanted) for the array `id` and
// returns what f returns; false for an id of no array.
template <class F>
constexpr bool with_member(ArrayId id, F&& f) {
  using A = ArrayId;
  using W = Wanted;
  switch (id) {
    case A::none: break;
    case A::isteps: return f(&Store::timei, &Timei::isteps, &W::isteps);
    case A::listinactive: return f(&Store::inactive, &Inactive::listinactive, always_read);
    case A::iphase: return f(&Store::phase, &Phase::iphase, always_read);
    case A::iunique: return f(&Store::unique, &Unique::iunique, &W::identifiers);
    case A::x: return f(&Store::part, &Part::pos_mass_h, &W::positions);
    case A::y: return f(&Store::part, &Part::pos_mass_h, &W::positions);
    case A::z: return f(&Store::part, &Part::pos_mass_h, &W::positions);
    case A::m: return f(&Store::part, &Part::pos_mass_h, &W::masses);
    case A::h: return f(&Store::part, &Part::pos_mass_h, &W::smoothing);
    case A::vx: return f(&Store::part, &Part::vel_u, &W::velocities);
    case A::vy: return f(&Store::part, &Part::vel_u, &W::velocities);
    case A::vz: return f(&Store::part, &Part::vel_u, &W::velocities);
    case A::u: return f(&Store::part, &Part::vel_u, &W::energies);
    case A::rho: return f(&Store::densi, &Densi::rho, &W::densities);
    case A::gradh: return f(&Store::gradhterms, &Gradhterms::gradhterms, &W::gradh_alpha);
    case A::gradsoft: return f(&Store::gradhterms, &Gradhterms::gradhterms, &W::gradh_alpha);
    case A::alpha: return f(&Store::numpa, &Numpa::alpha, &W::gradh_alpha);
    case A::listpm: return f(&Store::ptmass, &Ptmass::listpm, always_read);
    case A::spinx: return f(&Store::ptmass, &Ptmass::spinx, always_read);
    case A::spiny: return f(&Store::ptmass, &Ptmass::spiny, always_read);
    case A::spinz: return f(&Store::ptmass, &Ptmass::spinz, always_read);
    case A::angaddx: return f(&Store::ptmass, &Ptmass::angaddx, always_read);
    case A::angaddy: return f(&Store::ptmass, &Ptmass::angaddy, always_read);
    case A::angaddz: return f(&Store::ptmass, &Ptmass::angaddz, always_read);
    case A::spinadx: return f(&Store::ptmass, &Ptmass::spinadx, always_read);
    case A::spinady: return f(&Store::ptmass, &Ptmass::spinady, always_read);
    case A::spinadz: return f(&Store::ptmass, &Ptmass::spinadz, always_read);
    case A::ptmassform: return f(&Store::ptmass, &Ptmass::ptmassform, always_read);
    case A::diskinit: return f(&Store::ptmass, &Ptmass::diskinit, always_read);
    case A::stellartime: return f(&Store::ptmass, &Ptmass::stellartime, always_read);
    case A::stellarmass: return f(&Store::ptmass, &Ptmass::stellarmass, always_read);
    case A::stellarradius: return f(&Store::ptmass, &Ptmass::stellarradius, always_read);
    case A::stellarlum: return f(&Store::ptmass, &Ptmass::stellarlum, always_read);
    case A::lyontime: return f(&Store::ptmass, &Ptmass::lyontime, always_read);
    case A::lyonmass: return f(&Store::ptmass, &Ptmass::lyonmass, always_read);
    case A::lyonradius: return f(&Store::ptmass, &Ptmass::lyonradius, always_read);
    case A::lyonlum: return f(&Store::ptmass, &Ptmass::lyonlum, always_read);
    case A::Erad: return f(&Store::radtrans, &Radtrans::rad_values, &W::radiation);
    case A::opacity: return f(&Store::radtrans, &Radtrans::rad_values, &W::radiation);
    case A::Cv: return f(&Store::radtrans, &Radtrans::rad_values, &W::radiation);
    case A::lambda: return f(&Store::radtrans, &Radtrans::rad_values, &W::radiation);
    case A::EddingtonFactor: return f(&Store::radtrans, &Radtrans::rad_values, &W::radiation);
    case A::DustTemperature: return f(&Store::raddust, &Raddust::dust_temperature, &W::dust_temperature);
    case A::DustOpacity: return f(&Store::raddust, &Raddust::dust_opacity, &W::dust_opacity);
    case A::Cplus: return f(&Store::chem, &Chem::chem_abund, &W::chemistry);
    case A::AtomicC: return f(&Store::chem, &Chem::chem_abund, &W::chemistry);
    case A::CO: return f(&Store::chem, &Chem::chem_abund, &W::chemistry);
    case A::HeatingISR: return f(&Store::extinc, &Extinc::extinc_values, &W::chemistry);
    case A::Gphotoelectric: return f(&Store::extinc, &Extinc::extinc_values, &W::chemistry);
    case A::Extinction: return f(&Store::extinc, &Extinc::extinc_values, &W::chemistry);
    case A::H2SelfShielding: return f(&Store::extinc, &Extinc::extinc_values, &W::chemistry);
    case A::H2Frac: return f(&Store::chem, &Chem::H2Frac, &W::chemistry);
    case A::dH2dt: return f(&Store::chem, &Chem::dH2dt_pair, &W::chemistry);
  }
  return false;
}

// The items of a store member: their type, how many components a particle
// has, and whether the member is one of the sinks'.
template <class M>
struct MemberItems;
template <class T, int C>
struct MemberItems<PerParticle<T, C>> {
  using type = T;
  static constexpr int components = C;
  static constexpr bool per_sink = false;
};
template <class T>
struct MemberItems<PerSink<T>> {
  using type = T;
  static constexpr int components = 1;
  static constexpr bool per_sink = true;
};

namespace detail {
// Every array lands in a member of its slot's item type that has its
// component; the sinks' in sink members, which every read fills.
constexpr bool members_fit() {
  for (const ArraySpec& a : dumpformat::array_catalogue) {
    const bool fits = with_member(a.id, [&]<class B, class M>(B Store::*, M B::*, bool Wanted::*wanted) {
      using Items = MemberItems<M>;
      const bool sinks = a.group == dumpformat::ArrayGroup::sinks;
      return dumpformat::slot_holds<typename Items::type>(a.slot) && a.component <= Items::components &&
             Items::per_sink == sinks && (!sinks || wanted == always_read);
    });
    if (!fits) return false;
  }
  return true;
}
}  // namespace detail
static_assert(detail::members_fit(), "an array's store member does not fit the array");

}  // namespace pg
