#include "tests/support/sample_dumps.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <type_traits>

namespace pgtest {

namespace {

namespace df = pg::dumpformat;
using df::ArrayGroup;
using df::ArrayId;
using df::ArraySpec;

std::uint64_t next_random(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 11;
}
double uniform(std::uint64_t& state) { return static_cast<double>(next_random(state)) * 0x1.0p-53; }

// `count` arrays more of slot `slot`, tagged `<prefix>1`, `<prefix>2`, ...,
// each of n items of `value`.
template <class T>
void add_extras(Group& g, const char* prefix, int slot, int count, std::size_t n, T value) {
  for (int k = 0; k < count; ++k)
    g.arrays.push_back(df::array_of(prefix + std::to_string(k + 1), slot, std::vector<T>(n, value)));
}

// The catalogue's array `a` of group 1 or 3 with the particles' values, when
// they carry it.
bool add_particle_array(Group& g, const ArraySpec& a, const Particles& p,
                        const std::vector<std::int32_t>* inactive) {
  auto add = [&](const auto& v) {
    g.arrays.push_back(df::array_of(a, v));
    return true;
  };
  const auto c = static_cast<std::size_t>(a.component - 1);
  switch (a.id) {
    case ArrayId::isteps: return add(p.isteps);
    case ArrayId::listinactive: {
      if (inactive == nullptr) return false;
      std::vector<std::int32_t> rec = {static_cast<std::int32_t>(inactive->size())};
      rec.insert(rec.end(), inactive->begin(), inactive->end());
      rec.resize(std::max<std::size_t>(p.size(), rec.size()), 0);  // count, then n - 1 entries
      return add(rec);
    }
    case ArrayId::iphase: return add(p.iphase);
    case ArrayId::iunique: return !p.iunique.empty() && add(p.iunique);
    case ArrayId::x: case ArrayId::y: case ArrayId::z: case ArrayId::m: case ArrayId::h:
      return add(p.xyzmh[c]);
    case ArrayId::vx: case ArrayId::vy: case ArrayId::vz: case ArrayId::u: return add(p.vxyzu[c]);
    case ArrayId::rho: return add(p.rho);
    case ArrayId::gradh: return !p.gradh.empty() && add(p.gradh);
    case ArrayId::gradsoft: return !p.gradsoft.empty() && add(p.gradsoft);
    case ArrayId::alpha: return !p.alpha.empty() && add(p.alpha);
    case ArrayId::Erad: case ArrayId::opacity: case ArrayId::Cv: case ArrayId::lambda:
    case ArrayId::EddingtonFactor:
      return add(p.rad[c]);
    // The dust arrays come as a pair, the chemistry's as a set of nine.
    case ArrayId::DustTemperature: return !p.dust_t.empty() && add(p.dust_t);
    case ArrayId::DustOpacity: return !p.dust_t.empty() && add(p.dust_kappa);
    default:
      if (a.group == ArrayGroup::radiation && a.slot == df::s_real4)
        return !p.chem[0].empty() && add(p.chem[a.order - 1]);
      return false;
  }
}

// The particles' arrays of group `g`, slot by slot, with `extras(slot)`
// adding those the catalogue does not name after each slot's.
template <class Extras>
Group particle_group(ArrayGroup g, const Particles& p, const std::vector<std::int32_t>* inactive,
                     Extras extras) {
  Group r;
  r.length_count = static_cast<std::int64_t>(p.size());
  for (int k = 1; k <= df::slot_count; ++k) {
    for (const ArraySpec& a : df::catalogue_slot(g, k)) add_particle_array(r, a, p, inactive);
    extras(r, k);
  }
  return r;
}

}  // namespace

Particles sample_particles(std::size_t n, unsigned seed) {
  Particles p;
  std::uint64_t s = 0x9e3779b97f4a7c15ULL * (seed + 1);
  p.isteps.resize(n);
  p.iphase.assign(n, 0);
  for (auto& v : p.xyzmh) v.resize(n);
  for (auto& v : p.vxyzu) v.resize(n);
  p.rho.resize(n);
  p.dust_t.resize(n);
  p.dust_kappa.resize(n);
  for (auto& v : p.rad) v.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    p.isteps[i] = static_cast<std::int32_t>(1 + next_random(s) % 8);
    for (int k = 0; k < 3; ++k) p.xyzmh[k][i] = 2.0 * uniform(s) - 1.0;
    p.xyzmh[3][i] = 1e-4 * (0.5 + uniform(s));
    p.xyzmh[4][i] = 0.01 + 0.04 * uniform(s);
    for (int k = 0; k < 3; ++k) p.vxyzu[k][i] = 0.2 * uniform(s) - 0.1;
    p.vxyzu[3][i] = 1e-3 * (1.0 + uniform(s));
    // n from about 1 to 1e13 per cm3, dust temperature rising with density.
    const double lg = 13.0 * uniform(s);
    p.rho[i] = static_cast<float>(std::pow(10.0, lg) / 33873.0);
    p.dust_t[i] = 5.0 * std::pow(10.0, lg / 13.0 * 1.5) * (0.9 + 0.2 * uniform(s));
    p.dust_kappa[i] = 0.5 + uniform(s);
    for (int k = 0; k < 5; ++k) p.rad[k][i] = static_cast<double>(k + 1) + uniform(s);
  }
  return p;
}

Particles slice(const Particles& p, std::size_t from, std::size_t n) {
  auto cut = [&](const auto& v) {
    using V = std::decay_t<decltype(v)>;
    return v.empty() ? V{} : V(v.begin() + static_cast<std::ptrdiff_t>(from),
                               v.begin() + static_cast<std::ptrdiff_t>(from + n));
  };
  Particles q;
  q.isteps = cut(p.isteps);
  q.iphase = cut(p.iphase);
  q.iunique = cut(p.iunique);
  for (int k = 0; k < 5; ++k) q.xyzmh[k] = cut(p.xyzmh[k]);
  for (int k = 0; k < 4; ++k) q.vxyzu[k] = cut(p.vxyzu[k]);
  q.rho = cut(p.rho);
  q.gradh = cut(p.gradh);
  q.gradsoft = cut(p.gradsoft);
  q.alpha = cut(p.alpha);
  q.dust_t = cut(p.dust_t);
  q.dust_kappa = cut(p.dust_kappa);
  for (int k = 0; k < 5; ++k) q.rad[k] = cut(p.rad[k]);
  for (int k = 0; k < 9; ++k) q.chem[k] = cut(p.chem[k]);
  return q;
}

Group gas_group(const Particles& p, const std::vector<std::int32_t>* inactive, int extra_real_arrays,
                int extra_real4_arrays) {
  const std::size_t n = p.size();
  return particle_group(ArrayGroup::gas, p, inactive, [&](Group& g, int slot) {
    if (slot == df::s_real) add_extras(g, "gasextra_r8_", slot, extra_real_arrays, n, 77.0);
    if (slot == df::s_real4) add_extras(g, "gasextra_r4_", slot, extra_real4_arrays, n, 55.0f);
  });
}

Group sink_group(const std::vector<std::int32_t>& listpm, int n_default_reals, int n_real8) {
  Group g;
  const std::size_t n = listpm.size();
  g.length_count = static_cast<std::int64_t>(n);
  g.arrays.push_back(df::array_of(df::catalogue_row(ArrayId::listpm), listpm));
  // Array a of the widest layout (from spinx on) holds (a + 1) * 100 + j.
  auto values = [&](int a) {
    std::vector<double> v(n);
    for (std::size_t j = 0; j < n; ++j) v[j] = (a + 1) * 100.0 + static_cast<double>(j + 1);
    return v;
  };
  // The spins, then stellarmass alone (10), or the first of the widest layout's.
  const int layout = n_default_reals == 10 ? 10 : 19;
  for (const ArraySpec& a : df::catalogue_slot(ArrayGroup::sinks, df::s_real))
    if (df::taken_at(a, layout) && a.order <= std::max(n_default_reals, 9))
      g.arrays.push_back(df::array_of(a, values(static_cast<int>(a.id) - static_cast<int>(ArrayId::spinx))));
  for (int a = 0; a < n_real8; ++a)
    g.arrays.push_back(df::array_of("sinkextra_r8_" + std::to_string(a + 1), df::s_real8, values(50 + a)));
  return g;
}

Group rad_group(const Particles& p, int skipped_front, int extra_reals, int extra_real4) {
  const std::size_t n = p.size();
  return particle_group(ArrayGroup::radiation, p, nullptr, [&](Group& g, int slot) {
    if (slot == df::s_int2) add_extras(g, "radextra_i2_", slot, skipped_front, n, std::int16_t{3});
    if (slot == df::s_real) add_extras(g, "radextra_r8_", slot, extra_reals, n, 99.0);
    if (slot == df::s_real4) add_extras(g, "radextra_r4_", slot, extra_real4, n, 11.0f);
  });
}

Dump simple_dump(const Particles& p, bool tagged, double gt) {
  Dump d;
  d.tagged = tagged;
  d.file_ident = std::string(df::ident_prefix(tagged)) + std::string(sample_ident);
  const auto n = static_cast<std::int32_t>(p.size());
  d.ints = df::standard_ints(n);
  d.i8_value = n;
  df::HeaderReals h = df::standard_reals(gt);
  d.real_tags = h.tags;
  d.reals = h.values;
  d.blocks.push_back(df::Block{{gas_group(p), sink_group({}), rad_group(p)}});
  return d;
}

}  // namespace pgtest
