// Which per-particle members a read may fill. The reader still walks every
// record and checks every tag, but the values of an array whose member is
// left out are passed over without being copied into the store. Which members
// a run needs is the run's business (driver/).
#pragma once

#include <cstdint>

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
  // iunique in full. The reader's trace shows the first ten identifiers of
  // each block as the store holds them, so a later dump of the same run can
  // show what an earlier one stored; the last dump of a run needs only those.
  bool identifiers = true;
  // Inactive-list entries beyond the list's count, which nothing reads.
  bool unused_list_entries = true;
  // Phases, densities and dust temperatures of a regular file are left in
  // it, block by block from 1,024 particles: the store notes where they lie
  // instead of copying them (see state/file_values.hpp), for a run that
  // reads them through the store's *_values() functions.
  bool left_in_file = false;
  // The same for positions, masses and smoothing lengths, for the last dump
  // of a run: its steps take them from the file turned and shifted as they
  // read them, and the store's own stay as they were.
  bool positions_left_in_file = false;
  // The same for velocities and energies: for a read whose values are all
  // taken through the store's *_values() functions.
  bool velocities_left_in_file = false;
  // Arrays kept besides those the flags above name, a bit for each ArrayId
  // (format/array_catalogue.hpp): one chemistry array without the others.
  std::uint64_t arrays = 0;
  // Always read, whatever the run: iphase, the inactive list up to its count,
  // the first identifiers of each block and the sink arrays.

  static Wanted everything() { return {}; }
  static Wanted nothing_optional() {
    Wanted w;
    w.positions = w.masses = w.smoothing = w.velocities = w.energies = w.densities = false;
    w.gradh_alpha = w.isteps = w.radiation = w.dust_temperature = w.dust_opacity = w.chemistry = false;
    w.identifiers = w.unused_list_entries = false;
    return w;
  }
};

}  // namespace pg
