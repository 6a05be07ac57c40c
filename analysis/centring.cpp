#include "analysis/centring.hpp"

#include <algorithm>
#include <vector>

#include "base/trace.hpp"
#include "analysis/particle_loops.hpp"
#include "state/store.hpp"

namespace pg {

// The sums run serially in index order, so the centre is the same on every
// run and with any number of threads. A centre that would be a division by
// zero is not applied: the positions stay as they are and the console says so.

Centre origin(Store& s, Trace& trace, double scale, const PositionsHeld& held) {
  double mass = 0.0, mx = 0.0, my = 0.0, mz = 0.0;
  each_position_slice(s, held.turn, 4, [&](const PositionSlice& p) {
    for (std::int64_t j = 0; j < p.count; ++j) {
      const double m = p.w[j];
      mass += m;
      mx += m * p.x[j];
      my += m * p.y[j];
      mz += m * p.z[j];
    }
  });
  if (mass == 0.0) {
    trace.say("centring on the centre of mass skipped: the total mass is 0");
    return {};
  }
  s.origi(1) = mx / mass;
  s.origi(2) = my / mass;
  s.origi(3) = mz / mass;
  if (!held.in_file) shift_positions(s, s.origi(1), s.origi(2), s.origi(3), scale);
  trace.say(s.origi(1), s.origi(2), s.origi(3));
  return {s.origi(1) * scale, s.origi(2) * scale, s.origi(3) * scale};
}

Centre centre_on_density_peak(Store& s, Trace& trace, const PositionsHeld& held) {
  const std::int64_t n = s.part.npart;
  // The densities a slice at a time, from the dump's file or the store.
  constexpr std::int64_t slice = 32768;
  std::vector<float> rho(static_cast<std::size_t>(slice));
  std::int64_t irhomax = 1;
  s.rho_values(1, 1, rho.data());
  float best = rho[0];
  for (std::int64_t i0 = 1; i0 < n; i0 += slice) {  // particles i0 + 1 ..
    const std::int64_t m = std::min(slice, n - i0);
    s.rho_values(i0 + 1, m, rho.data());
    for (std::int64_t j = 0; j < m; ++j)
      if (rho[static_cast<std::size_t>(j)] > best) {
        best = rho[static_cast<std::size_t>(j)];
        irhomax = i0 + 1 + j;
      }
  }
  double x0, y0, z0, h0;
  s.pos_mass_h_values(1, irhomax, 1, &x0);
  s.pos_mass_h_values(2, irhomax, 1, &y0);
  s.pos_mass_h_values(3, irhomax, 1, &z0);
  s.pos_mass_h_values(5, irhomax, 1, &h0);
  if (held.turn) turn_about_z(x0, y0, *held.turn);
  trace.say("irhomax ", irhomax, best, x0, y0, z0);

  const double r2 = (16.0 * h0) * h0;  // (4 h0)^2
  double sx = 0.0, sy = 0.0, sz = 0.0;
  std::int32_t count = 0;
  each_position_slice(s, held.turn, 0, [&](const PositionSlice& p) {
    for (std::int64_t j = 0; j < p.count; ++j) {
      const double x = p.x[j], y = p.y[j], z = p.z[j];
      const double dx = x - x0, dy = y - y0, dz = z - z0;
      if ((dx * dx + dy * dy) + dz * dz < r2) {
        sx += x;
        sy += y;
        sz += z;
        ++count;
      }
    }
  });
  if (count == 0) {
    trace.say("centring on the density peak skipped: no particle lies within 4 h of particle", irhomax);
    return {};
  }
  const double cx = sx / count, cy = sy / count, cz = sz / count;
  trace.say("centre: ", count, cx, cy, cz);
  if (!held.in_file) shift_positions(s, cx, cy, cz, 1.0);
  return {cx, cy, cz};
}

namespace {

bool names_a_particle(const Store& s, std::int32_t ip) { return ip >= 1 && ip <= s.part.npart; }

// Position and mass of particle i, found as `held` says.
std::array<double, 4> particle(const Store& s, std::int64_t i, const PositionsHeld& held) {
  std::array<double, 4> p;
  for (int c = 0; c < 4; ++c) s.pos_mass_h_values(c + 1, i, 1, &p[static_cast<std::size_t>(c)]);
  if (held.turn) turn_about_z(p[0], p[1], *held.turn);
  return p;
}

// Centres on the particle of sink k (1..nptmass).
Centre centre_on_particle_of(Store& s, Trace& trace, std::int32_t k, const PositionsHeld& held) {
  const std::int32_t ip = s.ptmass.listpm(k);
  if (!names_a_particle(s, ip)) {
    trace.say("no sink", k, "to centre on: its particle", ip, "is outside 1 to", s.part.npart);
    return {};
  }
  const auto [cx, cy, cz, m] = particle(s, ip, held);
  trace.say("sink ", k, ip, m, cx, cy, cz);
  if (!held.in_file) shift_positions(s, cx, cy, cz, 1.0);
  return {cx, cy, cz};
}

}  // namespace

Centre centre_on_sink(Store& s, Trace& trace, std::int32_t k, const PositionsHeld& held) {
  if (k < 1 || k > s.ptmass.nptmass || k > ptmass_dim) {
    trace.say("no sink", k, "to centre on: the dump has", s.ptmass.nptmass, "sinks");
    return {};
  }
  return centre_on_particle_of(s, trace, k, held);
}

Centre centre_on_most_massive_sink(Store& s, Trace& trace, const PositionsHeld& held) {
  const std::int32_t nsinks = std::min(s.ptmass.nptmass, ptmass_dim);
  std::int32_t k = 0;
  double best = 0.0;
  for (std::int32_t j = 1; j <= nsinks; ++j) {
    const std::int32_t ip = s.ptmass.listpm(j);
    if (!names_a_particle(s, ip)) continue;
    double m;
    s.pos_mass_h_values(4, ip, 1, &m);
    if (k == 0 || m > best) {
      best = m;
      k = j;
    }
  }
  if (k == 0) {
    if (s.ptmass.nptmass <= 0)
      trace.say("no sink to centre on: the dump has", s.ptmass.nptmass, "sinks");
    else
      trace.say("no sink to centre on: no sink's particle lies within 1 to", s.part.npart);
    return {};
  }
  return centre_on_particle_of(s, trace, k, held);
}

Centre apply_centring(Store& s, Trace& trace, char centre_mode, std::int32_t sink_number,
                      const std::array<double, 3>& centre_position, const PositionsHeld& held) {
  switch (centre_mode) {
    case 'm': return origin(s, trace, 1.0, held);
    case 'd': return centre_on_density_peak(s, trace, held);
    case 'p':
      if (!held.in_file) shift_positions(s, centre_position[0], centre_position[1], centre_position[2], 1.0);
      return centre_position;
    case 's': return centre_on_most_massive_sink(s, trace, held);
    case 'x': return centre_on_sink(s, trace, sink_number, held);
    default: return {};
  }
}

}  // namespace pg
