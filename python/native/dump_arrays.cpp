#include "dump_arrays.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "analysis/phase_grid.hpp"
#include "analysis/quantity_values.hpp"
#include "base/capacity.hpp"
#include "base/error.hpp"
#include "base/system.hpp"
#include "base/trace.hpp"
#include "dump/array_members.hpp"
#include "dump/record.hpp"
#include "format/array_catalogue.hpp"

namespace pg::python {

namespace {

using dumpformat::ArrayGroup;

// Particles a derived quantity is found for at a time.
constexpr std::int64_t slice = 65536;

// While it lives, the store's particles are those of the blocks read: a
// dump the file ended in has no values for the rest.
class OnlyRead {
 public:
  OnlyRead(Store& s, std::int64_t particles) : s_(s), npart_(s.part.npart) {
    s.part.npart = static_cast<std::int32_t>(particles);
  }
  ~OnlyRead() { s_.part.npart = npart_; }
  OnlyRead(const OnlyRead&) = delete;
  OnlyRead& operator=(const OnlyRead&) = delete;

 private:
  Store& s_;
  std::int32_t npart_;
};

class NullTrace : public Trace {
 public:
  void line(std::string_view) override {}
};

// The phase grid's counts of particles 1 .. npart of `s` into cells; the
// active particles it leaves out.
std::int64_t grid_of(const Store& s, std::int32_t* cells) {
  PhaseGrid grid;
  NullTrace trace;
  const OutsideGrid outside = grid.bin(s, trace);
  std::memcpy(cells, &grid.rows()[0][0], sizeof(PhaseGrid::Rows));
  return outside.total();
}

}  // namespace

char quantity_type(Quantity q) {
  char type = 'd';
  static const Store none;
  with_array(none, q, [&](const FileValues&, const auto& member, int) { type = holds_doubles<decltype(member)> ? 'd' : 'f'; });
  return type;
}

ReadDump::ReadDump(const std::string& path, std::span<const Quantity> quantities) {
  // Values are read from the file again later, at their offsets: a regular
  // file only (and no named pipe is opened, to wait on it).
  const auto status = file_status(path);
  if (status && !S_ISREG(status->st_mode)) throw OpenFailed{0, path};
  // A read that leaves its values in the file takes little from its buffer:
  // a small one, whose fresh pages cost little to fault in.
  DumpFile f = DumpFile::open(path, std::size_t{256} << 10);
  if (f.open_error() != 0) throw OpenFailed{f.open_error(), path};
  Wanted w = Wanted::nothing_optional();
  w.left_in_file = w.positions_left_in_file = w.velocities_left_in_file = true;
  for (const Quantity q : quantities) w.arrays |= arrays_of(q);
  store_ = std::make_unique<Store>(idim);
  BufferTrace trace;
  end_ = rdump(f, {*store_, trace, w});
  file_ = f.file_at();
  for (const Warning& warning : trace.warnings()) {
    std::string_view line = warning.line;
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    warnings_.emplace_back(line);
  }
  for (const BlockRead& b : end_.blocks) particles_ = std::max(particles_, b.first - 1 + b.particles);
}

bool ReadDump::carries(Quantity q) const {
  const std::uint64_t a = arrays_of(q);
  return particles_ > 0 && (end_.carried & a) == a;
}

std::vector<Quantity> ReadDump::carried() const {
  std::vector<Quantity> all;
  for (const QuantityInfo& i : quantities())
    if (carries(i.q)) all.push_back(i.q);
  return all;
}

void ReadDump::fill(Quantity q, void* dst) const {
  const Store& s = *store_;
  if (is_array(q)) {
    with_array(s, q, [&](const FileValues& values, const auto& member, int k) {
      using T = typename std::remove_cvref_t<decltype(member)>::value_type;
      s.member_values(values, member, k, 1, particles_, static_cast<T*>(dst));
    });
    return;
  }
  using enum Quantity;
  std::vector<double> a(slice), b(slice), c(slice);
  std::vector<float> floats(slice);
  double* out = static_cast<double*>(dst);
  for (std::int64_t first = 1; first <= particles_; first += slice) {
    const std::int64_t n = std::min(slice, particles_ - first + 1);
    double* o = out + (first - 1);
    switch (q) {
      case Quantity::n:
        values_as_doubles(s, rho, first, n, a.data(), floats.data());
        for (std::int64_t j = 0; j < n; ++j) o[j] = number_density(a[j]);
        break;
      case r: case R: case v: {
        const Quantity from = q == v ? vx : x;
        values_as_doubles(s, from, first, n, a.data(), floats.data());
        values_as_doubles(s, static_cast<Quantity>(static_cast<int>(from) + 1), first, n, b.data(), floats.data());
        if (q == R) {
          for (std::int64_t j = 0; j < n; ++j) o[j] = length2(a[j], b[j]);
          break;
        }
        values_as_doubles(s, static_cast<Quantity>(static_cast<int>(from) + 2), first, n, c.data(), floats.data());
        for (std::int64_t j = 0; j < n; ++j) o[j] = length3(a[j], b[j], c[j]);
        break;
      }
      default: break;
    }
  }
}

void ReadDump::fill_phases(std::int8_t* dst) const { store_->iphase_values(1, particles_, dst); }

void ReadDump::check_unchanged() const {
  if (file_ != nullptr) pg::check_unchanged(*file_);
}

std::vector<HeaderValue> ReadDump::header() const {
  const Store& s = *store_;
  auto real = [](std::string name, double v) { return HeaderValue{std::move(name), v, false}; };
  auto integer = [](std::string name, double v) { return HeaderValue{std::move(name), v, true}; };
  return {
      real("time", s.gtime.gt),
      real("umass", s.unitsin(1)),
      real("udist", s.unitsin(2)),
      real("utime", s.unitsin(3)),
      integer("npart", s.part.npart),
      integer("nptmass", s.ptmass.nptmass),
      integer("nbody1", s.bodys.nbody1),
      integer("nbody2", s.bodys.nbody2),
      integer("nlistinactive", s.inactive.nlistinactive),
      integer("blocks", static_cast<double>(end_.blocks.size())),
      integer("format_version", end_.format_version),
      real("dtmax", s.dtmaxin.dtmax),
      real("gamma", s.cgas.gamma),
      real("rhozero", s.polyk2.rhozero),
      real("RK2", s.polyk2.RK2),
      real("escap", s.fracg.escap),
      real("tkin", s.ener2.tkin),
      real("tgrav", s.ener2.tgrav),
      real("tterm", s.ener2.tterm),
      real("anglostx", s.binary.anglostx),
      real("anglosty", s.binary.anglosty),
      real("anglostz", s.binary.anglostz),
      real("specang", s.binary.specang),
      real("ptmassin", s.binary.ptmassin),
      real("hzero", s.xforce.hzero),
      real("uzero_n2", s.polyk2.uzero_n2),
      real("hmass", s.rbnd.hmass),
      real("gapfac", s.planet2.gapfac),
      real("sdprof", s.planet2.sdprof),
      real("rorbit_orig", s.pxpy.rorbit_orig),
      real("min_rplan", s.planetesimal.min_rplan),
      real("max_rplan", s.planetesimal.max_rplan),
  };
}

std::vector<SinkColumn> ReadDump::sinks() const {
  const Store& s = *store_;
  const std::int64_t n = std::clamp<std::int64_t>(s.ptmass.nptmass, 0, ptmass_dim);
  // The sink arrays every block with sinks supplied.
  std::uint64_t carried = ~std::uint64_t{0};
  for (const BlockRead& b : end_.blocks)
    if (b.sinks > 0) carried &= b.carried;
  std::vector<SinkColumn> table;
  if (n == 0) return table;
  for (const dumpformat::ArraySpec& a : dumpformat::array_catalogue) {
    if (a.group != ArrayGroup::sinks || (carried >> static_cast<int>(a.id) & 1u) == 0) continue;
    bool seen = false;  // an array of two layouts has two rows
    for (const SinkColumn& c : table) seen = seen || c.name == a.tag;
    if (seen) continue;
    SinkColumn column{std::string(a.tag), {}, false};
    with_member(a.id, [&]<class B, class M>(B Store::*block, M B::*member, bool Wanted::*) {
      if constexpr (MemberItems<M>::per_sink) {
        const M& m = s.*block.*member;
        column.integer = !std::is_floating_point_v<typename MemberItems<M>::type>;
        for (std::int64_t k = 1; k <= n; ++k) column.values.push_back(static_cast<double>(m(static_cast<int>(k))));
      }
      return true;
    });
    table.push_back(std::move(column));
  }
  // Where each sink's particle is and what it weighs, from the particles'
  // arrays: NaN for a sink whose index lies outside them.
  const SinkColumn* listpm = table.empty() || table.front().name != "listpm" ? nullptr : &table.front();
  if (listpm == nullptr) return table;
  const std::vector<double> index = listpm->values;
  for (const Quantity q : {Quantity::x, Quantity::y, Quantity::z, Quantity::m, Quantity::h, Quantity::vx,
                           Quantity::vy, Quantity::vz}) {
    if (!carries(q)) continue;
    SinkColumn column{std::string(info(q).name), {}, false};
    for (const double i : index) {
      double value = std::numeric_limits<double>::quiet_NaN();
      float f = 0;
      if (i >= 1 && i <= static_cast<double>(particles_))
        values_as_doubles(s, q, static_cast<std::int64_t>(i), 1, &value, &f);
      column.values.push_back(value);
    }
    table.push_back(std::move(column));
  }
  return table;
}

void ReadDump::bin(Diagrams& diagrams, const std::array<double, 3>& centre,
                   std::vector<DiagramStatus>& status) const {
  status = diagram_statuses(diagrams.specs(), particles_ > 0 ? end_.carried : 0, store_->unitsin(1));
  const OnlyRead only(*store_, particles_);
  diagrams.bin(*store_, {true, std::nullopt, centre}, store_->unitsin(1), status);
}

std::int64_t ReadDump::bin_grid(std::int32_t* cells) const {
  const OnlyRead only(*store_, particles_);
  return grid_of(*store_, cells);
}

namespace {

// A store holding the given arrays.
std::unique_ptr<Store> store_of(const GivenArrays& given) {
  if (given.n > idim) throw Error(FaultKind::bad_answer, "more particles than the tool's capacity");
  auto s = std::make_unique<Store>(std::max<std::int64_t>(given.n, 1));
  s->ensure(given.n);
  s->part.npart = static_cast<std::int32_t>(given.n);
  for (int i = 0; i < static_cast<int>(Quantity::n); ++i) {
    if (given.arrays[i] == nullptr) continue;
    with_array(*s, static_cast<Quantity>(i), [&](const FileValues&, const auto& member, int k) {
      using T = typename std::remove_cvref_t<decltype(member)>::value_type;
      const T* from = static_cast<const T*>(given.arrays[i]);
      const auto to = member.component(k);
      for (std::int64_t j = 0; j < given.n; ++j) to[j] = from[j];
    });
  }
  if (given.phases != nullptr) std::copy_n(given.phases, given.n, s->phase.iphase.at(1));
  return s;
}

}  // namespace

std::vector<DiagramStatus> bin_given(const GivenArrays& given, Diagrams& diagrams, double umass) {
  const std::unique_ptr<Store> s = store_of(given);
  std::uint64_t carried = 0;
  for (int i = 0; i < quantity_count; ++i)
    if (given.arrays[i] != nullptr) carried |= arrays_of(static_cast<Quantity>(i));
  const std::vector<DiagramStatus> status = diagram_statuses(diagrams.specs(), carried, umass);
  diagrams.bin(*s, {}, umass, status);
  return status;
}

std::int64_t bin_grid_given(const GivenArrays& given, std::int32_t* cells) {
  return grid_of(*store_of(given), cells);
}

}  // namespace pg::python
