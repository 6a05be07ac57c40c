// Which store members a run reads after the reader. The reader still walks
// every record and checks every tag, but the values of an array that nothing
// will read are passed over without being copied into the store.
#pragma once

namespace pg {

struct Wanted {
  bool positions = true;    // x, y, z
  bool masses = true;       // m
  bool smoothing = true;    // h
  bool velocities = true;   // vx, vy, vz
  bool energies = true;     // u
  bool densities = true;    // rho
  bool gradh_alpha = true;  // gradh, gradsoft, alpha
  bool isteps = true;
  bool radiation = true;    // Erad .. EddingtonFactor
  bool dust_temperature = true;
  bool dust_opacity = true;
  bool chemistry = true;
  // Always read, whatever the run: iphase, listinactive and iunique (the
  // reader's own checks and trace lines use them) and the sink arrays.

  static Wanted everything() { return {}; }
  static Wanted nothing_optional() {
    Wanted w;
    w.positions = w.masses = w.smoothing = w.velocities = w.energies = w.densities = false;
    w.gradh_alpha = w.isteps = w.radiation = w.dust_temperature = w.dust_opacity = w.chemistry = false;
    return w;
  }
  // What a run with these answers reads: the phase grid (densities and dust
  // temperatures) and the centring. The frame rotation turns what these
  // read and nothing else: positions when a centring follows; velocities
  // are read by no step after it.
  static Wanted for_run(char centre_mode) {
    Wanted w = nothing_optional();
    w.densities = true;
    w.dust_temperature = true;
    switch (centre_mode) {
      case 'm': case 's': case 'x': w.positions = w.masses = true; break;
      case 'd': w.positions = w.smoothing = true; break;
      case 'p': w.positions = true; break;
      default: break;
    }
    return w;
  }
};

}  // namespace pg
