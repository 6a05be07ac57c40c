// The catalogued arrays of one slot of a group, each read straight from the
// file into its store member.
#include <cstddef>

#include "dump/array_members.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// Where component k of particle i of a member lies: the start of a strided
// run over the following particles.
template <class T, int C>
T* component_at(const PerParticle<T, C>& m, int k, std::int64_t i) {
  if constexpr (C == 1)
    return m.at(i);
  else
    return m.at(k, i);
}

// The values of an array that the store may hold in files (null for the
// others).
FileValues* files_of(Store& s, const ArraySpec& a) {
  using dumpformat::ArrayId;
  switch (a.id) {
    case ArrayId::iphase: return &s.in_file.iphase;
    case ArrayId::rho: return &s.in_file.rho;
    case ArrayId::DustTemperature: return &s.in_file.dust_temperature;
    case ArrayId::x: case ArrayId::y: case ArrayId::z: case ArrayId::m: case ArrayId::h:
      return &s.in_file.pos_mass_h[a.component - 1];
    case ArrayId::DustOpacity: return &s.in_file.dust_opacity;
    case ArrayId::Erad: case ArrayId::opacity: case ArrayId::Cv: case ArrayId::lambda:
    case ArrayId::EddingtonFactor:
      return &s.in_file.rad_values[a.component - 1];
    case ArrayId::Cplus: case ArrayId::AtomicC: case ArrayId::CO: return &s.in_file.chem_abund[a.component - 1];
    case ArrayId::H2Frac: return &s.in_file.H2Frac;
    case ArrayId::dH2dt: return &s.in_file.dH2dt;
    case ArrayId::HeatingISR: case ArrayId::Gphotoelectric: case ArrayId::Extinction:
    case ArrayId::H2SelfShielding:
      return &s.in_file.extinc_values[a.component - 1];
    case ArrayId::vx: case ArrayId::vy: case ArrayId::vz: case ArrayId::u: return &s.in_file.vel_u[a.component - 1];
    default: return nullptr;
  }
}

// Blocks of fewer particles are copied all the same: their values are in
// the read's buffer already, and reading them back one small block at a
// time would cost more than the copy.
constexpr std::int64_t least_left_in_file = 1024;

// Whether the read leaves n of these values in the file.
bool leaves_in_file(const ReadState& st, const FileValues& values, std::int64_t n) {
  if (st.file_at == nullptr || n < least_left_in_file) return false;
  const FileValues* positions = st.s.in_file.pos_mass_h;
  const FileValues* velocities = st.s.in_file.vel_u;
  if (&values >= positions && &values < positions + 5) return st.wanted.positions_left_in_file;
  if (&values >= velocities && &values < velocities + 4) return st.wanted.velocities_left_in_file;
  return st.wanted.left_in_file;
}

// An array read as any other, its values noted where they lie in the file
// instead of copied.
template <class T>
void note_in_file(ReadState& st, const ArraySpec& a, FileValues& values, std::int64_t first, std::int64_t n) {
  check_array_tag(st, a.tag);
  st.f.begin_record();
  const std::int64_t offset = st.f.locate_array<T>(n);
  values.note(st.file_at, first, n, offset);
  st.f.end_record();
}

void read_into_member(ReadState& st, const ArraySpec& a, std::int64_t first, std::int64_t n) {
  with_member(a.id, [&]<class B, class M>(B Store::*block, M B::*member, bool Wanted::*wanted) {
    M& m = st.s.*block.*member;
    if constexpr (MemberItems<M>::per_sink) {
      read_array(st, a.tag, m.at(static_cast<int>(first)), n);
    } else {
      // The address of a member the read does not fill is never formed: such
      // a member may have no storage.
      const bool keep = wanted == always_read || st.wanted.*wanted ||
                        (st.wanted.arrays >> static_cast<int>(a.id) & 1u) != 0;
      FileValues* values = keep ? files_of(st.s, a) : nullptr;
      if (values != nullptr && leaves_in_file(st, *values, n)) {
        note_in_file<typename MemberItems<M>::type>(st, a, *values, first, n);
        return true;
      }
      // Values copied into the member go over what earlier dumps, or earlier
      // blocks, left in files: those are copied in first.
      if (values != nullptr && !values->empty()) st.s.fill_from_file(*values);
      read_array(st, a.tag, keep ? component_at(m, a.component, first) : nullptr, n,
                 static_cast<std::size_t>(M::components));
    }
    return true;
  });
}

}  // namespace

std::int64_t read_slot(ReadState& st, dumpformat::ArrayGroup g, const std::array<std::int32_t, 8>& nums,
                       int k, std::int64_t first, std::int64_t n, OwnRead own) {
  const std::int64_t count = slot(nums, k);
  std::int64_t read = 0;
  for (const ArraySpec& a : dumpformat::catalogue_slot(g, k)) {
    if (!dumpformat::taken_at(a, count)) continue;
    if (own == nullptr || !own(st, a, first, n)) read_into_member(st, a, first, n);
    st.block_carried |= std::uint64_t{1} << static_cast<int>(a.id);
    ++read;
  }
  return count - read;
}

}  // namespace pg
