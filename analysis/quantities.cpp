#include "analysis/quantities.hpp"

#include "format/array_catalogue.hpp"

namespace pg {

namespace {

using enum Quantity;
constexpr Carried always = Carried::always, dust = Carried::dust, rad = Carried::radiation,
                  chem = Carried::chemistry;
constexpr AxisDefault lin(double lo, double hi, int bins) { return {false, lo, hi, bins}; }
constexpr AxisDefault lg(double lo, double hi, int bins) { return {true, lo, hi, bins}; }

// In the order --quantities lists them.
constexpr QuantityInfo table[] = {
    {x, "x", "x position (code units)", "", always, lin(-1, 1, 200), "the dump's x, turned and centred as asked"},
    {y, "y", "y position (code units)", "", always, lin(-1, 1, 200), "the dump's y, turned and centred as asked"},
    {z, "z", "z position (code units)", "", always, lin(-1, 1, 200), "the dump's z, centred as asked"},
    {r, "r", "distance from the centre (code units)", "", always, lg(-5, 1, 300), "sqrt(x*x + y*y + z*z)"},
    {R, "R", "distance from the z axis (code units)", "", always, lg(-5, 1, 300), "sqrt(x*x + y*y)"},
    {m, "m", "particle mass (code units)", "", always, lg(-12, 0, 240), "the dump's m"},
    {h, "h", "smoothing length (code units)", "", always, lg(-6, 1, 350), "the dump's h"},
    {vx, "vx", "x velocity (code units)", "", always, lin(-10, 10, 200), "the dump's vx, turned as asked"},
    {vy, "vy", "y velocity (code units)", "", always, lin(-10, 10, 200), "the dump's vy, turned as asked"},
    {vz, "vz", "z velocity (code units)", "", always, lin(-10, 10, 200), "the dump's vz"},
    {v, "v", "speed (code units)", "", always, lg(-4, 2, 300), "sqrt(vx*vx + vy*vy + vz*vz)"},
    {u, "u", "specific internal energy (code units)", "", always, lg(-4, 6, 500), "the dump's u"},
    {rho, "rho", "density (code units)", "", always, lg(-5, 10, 750), "the dump's rho"},
    {n, "n", "number density", "cm-3", always, lg(0.02, 14.02, 700),
     "rho * 6.7746e-20 / 4e-24 * 2, as the phase grid's columns"},
    {DustTemperature, "DustTemperature", "dust temperature", "K", dust, lg(0.005, 2.705, 540),
     "the dump's DustTemperature, as the phase grid's rows"},
    {DustOpacity, "DustOpacity", "dust opacity (code units)", "", dust, lg(-4, 6, 500), "the dump's DustOpacity"},
    {Erad, "Erad", "radiation energy (code units)", "", rad, lg(-15, 5, 400), "the dump's Erad"},
    {opacity, "opacity", "opacity (code units)", "", rad, lg(-4, 6, 500), "the dump's opacity"},
    {Cv, "Cv", "specific heat (code units)", "", rad, lg(-5, 5, 500), "the dump's Cv"},
    {lambda, "lambda", "flux limiter", "", rad, lin(0, 1.0 / 3.0, 100), "the dump's lambda"},
    {EddingtonFactor, "EddingtonFactor", "Eddington factor", "", rad, lin(0, 1, 100), "the dump's EddingtonFactor"},
    {Cplus, "Cplus", "C+ abundance", "", chem, lg(-12, -3, 450), "the dump's Cplus"},
    {AtomicC, "AtomicC", "atomic carbon abundance", "", chem, lg(-12, -3, 450), "the dump's AtomicC"},
    {CO, "CO", "CO abundance", "", chem, lg(-12, -3, 450), "the dump's CO"},
    {HeatingISR, "HeatingISR", "interstellar radiation heating (code units)", "", chem, lg(-10, 4, 700),
     "the dump's HeatingISR"},
    {Gphotoelectric, "Gphotoelectric", "photoelectric heating (code units)", "", chem, lg(-10, 4, 700),
     "the dump's Gphotoelectric"},
    {Extinction, "Extinction", "extinction (code units)", "", chem, lg(-4, 4, 400), "the dump's Extinction"},
    {H2SelfShielding, "H2SelfShielding", "H2 self-shielding factor", "", chem, lin(0, 1, 100),
     "the dump's H2SelfShielding"},
    {H2Frac, "H2Frac", "H2 fraction", "", chem, lin(0, 1, 100), "the dump's H2Frac"},
    {dH2dt, "dH2dt", "H2 fraction rate (code units)", "", chem, lin(-1, 1, 200), "the dump's dH2dt"},
};

constexpr bool every_quantity_once() {
  bool seen[quantity_count] = {};
  for (const QuantityInfo& i : table) {
    if (seen[static_cast<int>(i.q)]) return false;
    seen[static_cast<int>(i.q)] = true;
  }
  for (const bool s : seen)
    if (!s) return false;
  return true;
}
static_assert(every_quantity_once(), "a quantity without a row, or with two");

}  // namespace

std::span<const QuantityInfo> quantities() { return table; }

const QuantityInfo& info(Quantity q) {
  for (const QuantityInfo& i : table)
    if (i.q == q) return i;
  return table[0];  // not reached: every quantity has a row
}

std::optional<Quantity> find_quantity(std::string_view name) {
  for (const QuantityInfo& i : table)
    if (i.name == name) return i.q;
  return std::nullopt;
}

std::uint64_t arrays_of(Quantity q) {
  switch (q) {
    case n: return arrays_of(rho);
    case r: return arrays_of(x) | arrays_of(y) | arrays_of(z);
    case R: return arrays_of(x) | arrays_of(y);
    case v: return arrays_of(vx) | arrays_of(vy) | arrays_of(vz);
    default:  // an array of the dump: the one of its tag
      for (const dumpformat::ArraySpec& a : dumpformat::array_catalogue)
        if (a.tag == info(q).name) return std::uint64_t{1} << static_cast<int>(a.id);
  }
  return 0;
}

bool uses_positions(Quantity q) { return q == x || q == y || q == z || q == r || q == R; }
bool uses_velocities(Quantity q) { return q == vx || q == vy || q == vz || q == v; }

}  // namespace pg
