// mkdump: writes a dump of a collapsing molecular cloud for phasegrid to read.
//
// Equal-mass gas particles span number densities of about 1 to 1e13 cm^-3:
// most sit in a lognormal cloud around a few hundred per cm^3, a tail of
// collapsing gas reaches the densest cores. Dust is ~10 K in the diffuse gas,
// cools to ~6 K in the shielded gas of 1e4-1e6 cm^-3 and heats up steeply
// once the cores turn optically thick above ~1e10 cm^-3. Sinks sit at the
// cores, a share of particles is inactive (accreted), and the radiative group
// carries dust temperatures and chemistry (or no chemistry, or is left out).
//
// Every value of particle g is a function of the seed and g alone, so each
// array is generated on its own (in parallel) right when it is written, and
// the same options give the same file.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <new>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/capacity.hpp"
#include "base/console.hpp"
#include "base/error.hpp"
#include "base/units.hpp"
#include "format/dump_writer.hpp"

namespace {

using pg::dumpformat::Array;
using pg::dumpformat::ArrayId;
using pg::dumpformat::ArrayPlace;
using pg::dumpformat::RecordWriter;
using pg::dumpformat::slot_bytes;

constexpr std::int64_t max_particles = pg::idim;  // what phasegrid can hold
constexpr std::int64_t max_sinks = pg::ptmass_dim;  // likewise, over all blocks

// Code units: 0.1 pc, one solar mass, and the time that makes G = 1.
constexpr double udist = pg::code_udist;
constexpr double umass = pg::code_umass;
constexpr double utime = pg::code_unit_time;
constexpr double unit_spec_energy = 430461232.3720027;  // erg/g
// phasegrid's conversion of a density to a number density.
constexpr double n_per_rho = pg::density_to_number_density;
// Blocks smaller than this are generated on one thread: starting the others
// costs more than it saves.
constexpr std::int64_t parallel_from = 1 << 16;

// ---- options ---------------------------------------------------------------

struct Options {
  std::int64_t particles = 200'000;
  std::int64_t blocks = 1;
  std::int64_t sinks = 3;
  bool tagged = true;
  std::uint64_t seed = 1;
  double inactive = 0.01;
  bool iunique = true;
  bool radiation = true, chemistry = true;  // the radiative group; its nine chemistry arrays
  double time = 0.75;
  bool help = false, version = false;
  std::string output;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

// The name the program was run by: mkdump in the build, phasegrid-mkdump
// once installed.
std::string program = "mkdump";

constexpr const char* usage_text =
    "Usage: {} [OPTIONS] OUTPUT\n"
    "Writes a dump of a collapsing cloud to OUTPUT: gas from about 1 to 1e13\n"
    "particles per cm3, dust from 10 K down to 6 K and up to 300 K, sinks at the\n"
    "densest cores. The same options write the same file.\n"
    "  --particles N     gas particles (1 to 50001000; default 200000)\n"
    "  --blocks K        blocks the particles are split over (1 to N; default 1)\n"
    "  --sinks S         sinks over all blocks (0 to 300; default 3)\n"
    "  --inactive F      share of particles that are inactive (0 to 1; default 0.01)\n"
    "  --untagged        write no tag records\n"
    "  --no-iunique      write no particle identifiers\n"
    "  --no-chemistry    write the dust temperatures and opacities but no chemistry\n"
    "  --no-radiation    write no radiative group: no dust temperatures, no chemistry\n"
    "  --time T          the dump's time, in code units (default 0.75)\n"
    "  --seed N          random seed; the same options write the same file (default 1)\n"
    "  -h, --help        show this text\n"
    "  --version         show the version\n";

template <class T>
T parse_integer(std::string_view opt, std::string_view text, T lo, T hi) {
  T v{};
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(text.data(), last, v);
  if (text.empty() || end != last || (ec != std::errc() && ec != std::errc::result_out_of_range))
    throw UsageError(fmt::format("{} {}: not a whole number", opt, text));
  if (ec == std::errc::result_out_of_range || v < lo || v > hi)
    throw UsageError(fmt::format("{} {}: must be {} to {}", opt, text, lo, hi));
  return v;
}

double parse_real(std::string_view opt, std::string_view text) {
  double v = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(v))
    throw UsageError(fmt::format("{} {}: not a finite number", opt, text));
  return v;
}

Options parse_options(int argc, char** argv) {
  Options o;
  bool have_output = false, options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg == "-h") {
      o.help = true;
      continue;
    }
    if (options_done || !arg.starts_with("--")) {
      if (!options_done && arg.starts_with("-"))
        throw UsageError(fmt::format("unknown option {}", arg));
      if (have_output) throw UsageError(fmt::format("more than one output file ({} and {})", o.output, arg));
      o.output = std::string(arg);
      have_output = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    // --name VALUE or --name=VALUE
    std::string_view name = arg, value;
    bool inline_value = false;
    if (const auto eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    auto flag = [&] {
      if (inline_value) throw UsageError(fmt::format("{} takes no value", name));
    };
    auto take_value = [&]() -> std::string_view {
      if (inline_value) return value;
      if (i + 1 >= argc) throw UsageError(fmt::format("{} needs a value", name));
      return argv[++i];
    };
    if (name == "--help") {
      flag();
      o.help = true;
    } else if (name == "--version") {
      flag();
      o.version = true;
    } else if (name == "--untagged") {
      flag();
      o.tagged = false;
    } else if (name == "--no-iunique") {
      flag();
      o.iunique = false;
    } else if (name == "--no-chemistry") {
      flag();
      o.chemistry = false;
    } else if (name == "--no-radiation") {
      flag();
      o.radiation = false;
    } else if (name == "--particles") {
      o.particles = parse_integer<std::int64_t>(name, take_value(), 1, max_particles);
    } else if (name == "--blocks") {
      o.blocks = parse_integer<std::int64_t>(name, take_value(), 1, max_particles);
    } else if (name == "--sinks") {
      o.sinks = parse_integer<std::int64_t>(name, take_value(), 0, max_sinks);
    } else if (name == "--seed") {
      o.seed = parse_integer<std::uint64_t>(name, take_value(), 0, UINT64_MAX);
    } else if (name == "--inactive") {
      const std::string_view text = take_value();
      o.inactive = parse_real(name, text);
      if (o.inactive < 0.0 || o.inactive > 1.0)
        throw UsageError(fmt::format("{} {}: must be 0 to 1", name, text));
    } else if (name == "--time") {
      o.time = parse_real(name, take_value());
    } else {
      throw UsageError(fmt::format("unknown option {}", name));
    }
  }
  if (o.help || o.version) return o;
  if (!have_output) throw UsageError("no output file given");
  if (o.output.empty()) throw UsageError("the output file name is empty");
  if (o.blocks > o.particles)
    throw UsageError(fmt::format("--blocks {}: more blocks than the {} particles", o.blocks, o.particles));
  return o;
}

// ---- random numbers --------------------------------------------------------

// The splitmix64 finaliser: a bijection on 64 bits that mixes well.
constexpr std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Independent random words per particle (or sink) and purpose.
enum Stream : std::uint64_t {
  s_population,
  s_density,
  s_temperature,
  s_gas_temperature,
  s_direction,
  s_radius,
  s_core,
  s_vx,
  s_vy,
  s_vz,
  s_steps,
  s_opacity,
  s_extinction,
  s_inactive,
  s_sink_place,
  s_sink_mass,
  s_sink_spin,
  s_sink_velocity,
  s_core_place,
  n_streams
};
static_assert(n_streams <= 32);

// In [0, 1), from the top 53 bits.
inline double uniform(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }
// Two uniforms in (0, 1) from one word.
inline double uniform_hi(std::uint64_t h) { return (static_cast<double>(h >> 32) + 0.5) * 0x1.0p-32; }
inline double uniform_lo(std::uint64_t h) {
  return (static_cast<double>(h & 0xffffffffULL) + 0.5) * 0x1.0p-32;
}
// Roughly normal, mean 0 and variance 1, within +-3.46: the sum of the four
// 16-bit quarters of a word.
inline double gauss(std::uint64_t h) {
  const double s = static_cast<double>(h & 0xffff) + static_cast<double>((h >> 16) & 0xffff) +
                   static_cast<double>((h >> 32) & 0xffff) + static_cast<double>(h >> 48);
  return ((s + 2.0) * 0x1.0p-16 - 2.0) * 1.7320508075688772;
}

// 2^t to about 2e-10 relative: the libm calls would take most of the run
// time. Results below ~1e-300 are 0, above ~1e300 infinite.
inline double exp2_fast(double t) {
  if (!(t > -1000.0)) return 0.0;
  if (t > 1000.0) return HUGE_VAL;
  const double n = (t + 0x1.8p52) - 0x1.8p52;     // t rounded to the nearest integer
  const double f = (t - n) * 0.6931471805599453;  // e^f with |f| <= ln2 / 2
  double p = 1.0 / 40320;                         // the Taylor series of e^f to f^8
  for (const double c : {1.0 / 5040, 1.0 / 720, 1.0 / 120, 1.0 / 24, 1.0 / 6, 1.0 / 2, 1.0, 1.0})
    p = p * f + c;
  const double two_n =
      std::bit_cast<double>(static_cast<std::uint64_t>(static_cast<std::int64_t>(n) + 1023) << 52);
  return p * two_n;
}
inline double pow10(double x) { return exp2_fast(x * 3.321928094887362); }
inline double exp_fast(double x) { return exp2_fast(x * 1.4426950408889634); }

// A smooth function sampled once, read by linear interpolation.
class Table {
 public:
  template <class F>
  Table(double x0, double x1, int n, F f)
      : x0_(x0), x1_(x1), scale_(n / (x1 - x0)), y_(static_cast<std::size_t>(n) + 1) {
    for (int i = 0; i <= n; ++i) y_[static_cast<std::size_t>(i)] = f(x0 + (x1 - x0) * i / n);
  }
  double operator()(double x) const {
    const double t = (std::clamp(x, x0_, x1_) - x0_) * scale_;
    const auto i = std::min(static_cast<std::size_t>(t), y_.size() - 2);
    const double f = t - static_cast<double>(i);
    return y_[i] + f * (y_[i + 1] - y_[i]);
  }

 private:
  double x0_, x1_, scale_;
  std::vector<double> y_;
};

// ---- the cloud -------------------------------------------------------------

struct Vec3 {
  double x = 0, y = 0, z = 0;
};

class Cloud {
 public:
  explicit Cloud(const Options& o)
      : key_(mix(o.seed ^ 0x6d6b64756d70ULL)),
        npart_(o.particles),
        mass_(cloud_mass / static_cast<double>(o.particles)),
        radius_(std::cbrt(3.0 * cloud_mass / (4.0 * std::numbers::pi * rhozero))),
        h_scale_(hfact * std::cbrt(mass_ / n_per_rho)),
        log_t_(-0.5, 13.5, 4096, dust_temperature_curve),
        tail_(0.0, 1.0, 8192, tail_curve) {
    // A core for each sink, near the middle of the cloud; one at the centre
    // when there are no sinks.
    const std::int64_t ncores = std::max<std::int64_t>(o.sinks, 1);
    for (std::int64_t j = 0; j < ncores; ++j) {
      if (o.sinks == 0) {
        cores_.push_back({});
        break;
      }
      const std::uint64_t h = bits(j, s_core_place);
      const double r = 0.15 * radius_ * std::cbrt(uniform(mix(h)));
      const Vec3 d = direction(h);
      cores_.push_back({r * d.x, r * d.y, r * d.z});
    }
    // Identifiers: an affine shuffle of 1..N, a bijection when the step is
    // coprime with N.
    id_step_ = static_cast<std::uint64_t>(npart_) > 1 ? mix(key_) % static_cast<std::uint64_t>(npart_) : 1;
    while (std::gcd(id_step_, static_cast<std::uint64_t>(npart_)) != 1) ++id_step_;
    id_shift_ = mix(key_ + 1) % static_cast<std::uint64_t>(npart_);
  }

  std::uint64_t bits(std::int64_t g, Stream s) const {
    return mix(key_ ^ ((static_cast<std::uint64_t>(g) * 32 + s) * 0x9e3779b97f4a7c15ULL));
  }

  double particle_mass() const { return mass_; }
  const Vec3& core(std::size_t j) const { return cores_[j]; }

  // Collapsing gas, gathered around a core; the rest is the cloud itself.
  bool in_tail(std::int64_t g) const { return uniform_hi(bits(g, s_population)) >= cloud_share; }

  // log10 of the number density per cm^3.
  double log_density(std::int64_t g) const {
    const std::uint64_t h = bits(g, s_population);
    if (uniform_hi(h) >= cloud_share) return tail_(uniform_lo(h));
    const double lg = cloud_lg + cloud_width * gauss(bits(g, s_density));
    return lg >= floor_lg ? lg : floor_lg + 0.5 * (floor_lg - lg);  // a thin diffuse edge
  }

  double log_dust_temperature(std::int64_t g, double lg) const {
    return log_t_(lg) + 0.035 * gauss(bits(g, s_temperature));
  }

  // The gas is warmer than the dust where it is thin.
  double gas_temperature(std::int64_t g, double lg, double log_td) const {
    return pow10(log_td) + 25.0 / (1.0 + pow10(lg - 2.5)) * (1.0 + 0.1 * gauss(bits(g, s_gas_temperature)));
  }

  // Distance from the particle's centre: an isothermal sphere, n ~ r^-2.
  double radius(std::int64_t g, double lg) const {
    const double r = std::min(pow10(-0.5 * (lg - edge_lg)), 2.0);
    return radius_ * r * (0.85 + 0.3 * uniform(bits(g, s_radius)));
  }

  Vec3 centre(std::int64_t g) const {
    if (!in_tail(g)) return {};
    return cores_[bits(g, s_core) % cores_.size()];
  }

  // A random unit vector (Marsaglia's method, no trigonometry): a point of
  // the unit disc, drawn again from the mixed word until it lies inside.
  static Vec3 direction(std::uint64_t h) {
    for (;; h = mix(h)) {
      const double u = 2.0 * uniform_hi(h) - 1.0, v = 2.0 * uniform_lo(h) - 1.0;
      const double q = u * u + v * v;
      if (q >= 1.0) continue;
      const double f = 2.0 * std::sqrt(1.0 - q);
      return {u * f, v * f, 1.0 - 2.0 * q};
    }
  }

  static double component(const Vec3& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

  // One coordinate (0, 1, 2) of the position.
  double position(std::int64_t g, double lg, int axis) const {
    const Vec3 c = centre(g);
    const double r = radius(g, lg);
    return component(c, axis) + r * component(direction(bits(g, s_direction)), axis);
  }

  // Infall towards the particle's centre, faster further in, and turbulence.
  double velocity(std::int64_t g, double lg, int axis) const {
    const double r = radius(g, lg);
    const double infall = 0.03 * std::sqrt(radius_ / std::max(r, 0.01 * radius_));
    const double d = component(direction(bits(g, s_direction)), axis);
    return -infall * d + 0.05 * gauss(bits(g, static_cast<Stream>(s_vx + axis)));
  }

  double smoothing_length(double lg) const { return h_scale_ * pow10(-lg / 3.0); }

  std::int32_t timestep(std::int64_t g, double lg) const {
    const int k = std::clamp(27 - static_cast<int>(1.5 * lg) - static_cast<int>(bits(g, s_steps) & 1), 6, 27);
    return std::int32_t{1} << k;
  }

  std::int64_t identifier(std::int64_t g) const {
    return static_cast<std::int64_t>((id_step_ * static_cast<std::uint64_t>(g) + id_shift_) %
                                     static_cast<std::uint64_t>(npart_)) +
           1;
  }

  double log_opacity(std::int64_t g, double log_td) const {
    // ~0.1 cm^2/g at 10 K, growing as T^2 until the ices are gone.
    static const double base = std::log10(0.1 * umass / (udist * udist));
    return base + 2.0 * (std::min(log_td, 2.18) - 1.0) + 0.03 * gauss(bits(g, s_opacity));
  }

  double extinction(std::int64_t g, double lg) const {
    return pow10(0.5 * (lg - 3.2) + 0.08 * gauss(bits(g, s_extinction)));
  }

  static constexpr double cloud_mass = 50.0;  // solar masses
  static constexpr double rhozero = 0.0125;   // the header's reference density

 private:
  static double dust_temperature_curve(double lg) {
    const double cold = 6.0 + 4.0 / (1.0 + pow10(lg - 3.0));
    return std::log10(cold * (1.0 + pow10(0.68 * (lg - 10.5))));
  }

  // The tail's log density for a uniform u: exponential, cut at the top.
  static double tail_curve(double u) {
    const double norm = -std::expm1(-(top_lg - tail_lg) / tail_scale);
    return tail_lg - tail_scale * std::log1p(-u * norm);
  }

  static constexpr double hfact = 1.2;
  static constexpr double cloud_share = 0.78, cloud_lg = 2.2, cloud_width = 0.75, floor_lg = 0.05;
  static constexpr double tail_lg = 2.5, tail_scale = 2.3, top_lg = 13.0;
  static constexpr double edge_lg = 1.3;

  std::uint64_t key_;
  std::int64_t npart_;
  double mass_, radius_, h_scale_;
  Table log_t_, tail_;
  std::vector<Vec3> cores_;
  std::uint64_t id_step_ = 1, id_shift_ = 0;
};

// ---- blocks ----------------------------------------------------------------

struct BlockPlan {
  std::int64_t first = 0;            // the block's first particle in the dump, from 0
  std::int64_t n = 0;                // its particles
  std::vector<std::int64_t> sinks;   // the sinks it holds, numbered over the dump
  std::vector<std::int32_t> listpm;  // their particles, within the block from 1
};

std::vector<BlockPlan> plan_blocks(const Options& o, const Cloud& cloud) {
  std::vector<BlockPlan> plans(static_cast<std::size_t>(o.blocks));
  std::int64_t first = 0, sink = 0;
  for (std::int64_t b = 0; b < o.blocks; ++b) {
    BlockPlan& p = plans[static_cast<std::size_t>(b)];
    p.first = first;
    p.n = o.particles / o.blocks + (b < o.particles % o.blocks ? 1 : 0);
    first += p.n;
    const std::int64_t ns = o.sinks / o.blocks + (b < o.sinks % o.blocks ? 1 : 0);
    if (ns > p.n)
      throw UsageError(fmt::format("--sinks {}: block {} would hold {} sinks but only {} particles", o.sinks,
                                   b + 1, ns, p.n));
    for (std::int64_t j = 0; j < ns; ++j, ++sink) {
      // A particle of its own, anywhere in the block.
      auto at =
          static_cast<std::int32_t>(cloud.bits(sink, s_sink_place) % static_cast<std::uint64_t>(p.n)) + 1;
      while (std::find(p.listpm.begin(), p.listpm.end(), at) != p.listpm.end())
        at = at % static_cast<std::int32_t>(p.n) + 1;
      p.sinks.push_back(sink);
      p.listpm.push_back(at);
    }
  }
  return plans;
}

// The block's inactive particles, within the block from 1, ascending: an
// exact share of the particles that are not sinks, chosen by selection
// sampling. The list record holds at most n - 1 entries.
std::vector<std::int32_t> inactive_list(const Options& o, const Cloud& cloud, const BlockPlan& b) {
  std::vector<std::int32_t> sinks = b.listpm;
  std::sort(sinks.begin(), sinks.end());
  const auto candidates = b.n - static_cast<std::int64_t>(sinks.size());
  const std::int64_t want =
      std::min<std::int64_t>({std::llround(o.inactive * static_cast<double>(b.n)), candidates, b.n - 1});
  std::vector<std::int32_t> list;
  if (want <= 0) return list;
  list.reserve(static_cast<std::size_t>(want));
  std::int64_t left = candidates;
  auto next_sink = sinks.begin();
  for (std::int64_t i = 1; i <= b.n && static_cast<std::int64_t>(list.size()) < want; ++i) {
    if (next_sink != sinks.end() && *next_sink == i) {
      ++next_sink;
      continue;
    }
    const auto need = static_cast<double>(want - static_cast<std::int64_t>(list.size()));
    if (uniform(cloud.bits(b.first + i - 1, s_inactive)) * static_cast<double>(left) < need)
      list.push_back(static_cast<std::int32_t>(i));
    --left;
  }
  return list;
}

// ---- writing ---------------------------------------------------------------

// Produces the particle arrays of the dump as they are written.
class ArrayMaker {
 public:
  ArrayMaker(const Options& o, const Cloud& cloud, const std::vector<BlockPlan>& plans)
      : o_(o), cloud_(cloud), plans_(plans) {
    std::int64_t most = 1;
    for (const BlockPlan& b : plans) most = std::max(most, b.n);
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(static_cast<std::size_t>(most) * 8);
    log_density_ = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(most));
  }

  bool operator()(RecordWriter& w, const Array& a, const ArrayPlace& at) {
    if (at.group == 1) return false;  // the sinks: made in memory with the dump
    const BlockPlan& b = plans_[at.block];
    if (block_ != static_cast<std::int64_t>(at.block)) start_block(b);
    block_ = static_cast<std::int64_t>(at.block);
    if (at.group == 0)
      gas_array(w, a, b);
    else
      rad_array(w, a, b);
    return true;
  }

 private:
  // What all arrays of a block draw on: the densities (most values follow
  // from them) and the inactive list.
  void start_block(const BlockPlan& b) {
    inactive_ = inactive_list(o_, cloud_, b);
    first_ = b.first;
    float* lg = log_density_.get();
    const Cloud& c = cloud_;
    const std::int64_t n = b.n;
#pragma omp parallel for schedule(static) if (n >= parallel_from)
    for (std::int64_t i = 0; i < n; ++i) lg[i] = static_cast<float>(c.log_density(b.first + i));
  }

  // Particle g of the current block.
  double log_n(std::int64_t g) const { return log_density_[g - first_]; }

  // Fills the buffer with value(g) for the block's particles, in parallel.
  template <class T, class F>
  T* fill(const Array& a, const BlockPlan& b, F value) {
    if (sizeof(T) != slot_bytes(a.slot))
      throw std::logic_error(
          fmt::format("array {}: {}-byte values in a {}-byte slot", a.tag, sizeof(T), slot_bytes(a.slot)));
    T* out = reinterpret_cast<T*>(buffer_.get());
    const std::int64_t first = b.first, n = b.n;
#pragma omp parallel for schedule(static) if (n >= parallel_from)
    for (std::int64_t i = 0; i < n; ++i) out[i] = value(first + i);
    return out;
  }

  template <class T>
  void write(RecordWriter& w, const T* data, const BlockPlan& b) {
    w.array_record(data, static_cast<std::size_t>(b.n));
  }

  template <class T, class F>
  void put(RecordWriter& w, const Array& a, const BlockPlan& b, F value) {
    write(w, fill<T>(a, b, value), b);
  }

  void gas_array(RecordWriter& w, const Array& a, const BlockPlan& b) {
    const Cloud& c = cloud_;
    const ArrayId t = a.id;
    if (t == ArrayId::isteps) {
      std::int32_t* v = fill<std::int32_t>(a, b, [&](std::int64_t g) { return c.timestep(g, log_n(g)); });
      for (std::int32_t k : b.listpm) v[k - 1] = 1 << 6;
      write(w, v, b);
    } else if (t == ArrayId::listinactive) {
      // The count, then n - 1 entries of which the first `count` are used.
      if (sizeof(std::int32_t) != slot_bytes(a.slot))
        throw std::logic_error("listinactive: not 4-byte integers");
      auto* v = reinterpret_cast<std::int32_t*>(buffer_.get());
      const std::size_t n = static_cast<std::size_t>(std::max<std::int64_t>(b.n, 1));
      v[0] = static_cast<std::int32_t>(inactive_.size());
      std::copy(inactive_.begin(), inactive_.end(), v + 1);
      std::fill(v + 1 + inactive_.size(), v + n, 0);
      w.array_record(v, n);
    } else if (t == ArrayId::iphase) {
      std::int8_t* v = fill<std::int8_t>(a, b, [](std::int64_t) { return std::int8_t{0}; });
      for (std::int32_t k : inactive_) v[k - 1] = -1;
      for (std::int32_t k : b.listpm) v[k - 1] = 1;
      write(w, v, b);
    } else if (t == ArrayId::iunique) {
      put<std::int64_t>(w, a, b, [&](std::int64_t g) { return c.identifier(g); });
    } else if (t == ArrayId::x || t == ArrayId::y || t == ArrayId::z) {
      const int axis = pg::dumpformat::catalogue_row(t).component - 1;
      double* v = fill<double>(a, b, [&](std::int64_t g) { return c.position(g, log_n(g), axis); });
      for (std::size_t j = 0; j < b.listpm.size(); ++j) {
        v[b.listpm[j] - 1] = Cloud::component(c.core(static_cast<std::size_t>(b.sinks[j])), axis);
      }
      write(w, v, b);
    } else if (t == ArrayId::m) {
      const double m = c.particle_mass();
      double* v = fill<double>(a, b, [m](std::int64_t) { return m; });
      for (std::size_t j = 0; j < b.listpm.size(); ++j)
        v[b.listpm[j] - 1] = 0.05 + 1.2 * std::pow(uniform(c.bits(b.sinks[j], s_sink_mass)), 2.0);
      write(w, v, b);
    } else if (t == ArrayId::h) {
      double* v = fill<double>(a, b, [&](std::int64_t g) { return c.smoothing_length(log_n(g)); });
      for (std::int32_t k : b.listpm) v[k - 1] = accretion_radius;
      write(w, v, b);
    } else if (t == ArrayId::vx || t == ArrayId::vy || t == ArrayId::vz) {
      const int axis = pg::dumpformat::catalogue_row(t).component - 1;
      double* v = fill<double>(a, b, [&](std::int64_t g) { return c.velocity(g, log_n(g), axis); });
      for (std::size_t j = 0; j < b.listpm.size(); ++j)
        v[b.listpm[j] - 1] = 0.05 * gauss(c.bits(b.sinks[j] * 3 + axis, s_sink_velocity));
      write(w, v, b);
    } else if (t == ArrayId::u) {
      double* v = fill<double>(a, b, [&](std::int64_t g) {
        const double lg = log_n(g);
        return energy_per_kelvin * c.gas_temperature(g, lg, c.log_dust_temperature(g, lg));
      });
      for (std::int32_t k : b.listpm) v[k - 1] = 0.0;
      write(w, v, b);
    } else if (t == ArrayId::rho) {
      put<float>(w, a, b, [&](std::int64_t g) { return static_cast<float>(pow10(log_n(g)) / n_per_rho); });
    } else {
      throw std::logic_error("no values for gas array " + a.tag);
    }
  }

  void rad_array(RecordWriter& w, const Array& a, const BlockPlan& b) {
    const Cloud& c = cloud_;
    const ArrayId t = a.id;
    // Density and dust temperature, the inputs of most of the group.
    auto state = [&](std::int64_t g) {
      const double lg = log_n(g);
      return std::pair{lg, c.log_dust_temperature(g, lg)};
    };
    // Flux-limiter ratio: large where the gas is optically thin.
    auto limiter_r = [](double lg) { return pow10(-0.5 * (lg - 9.0)); };
    auto lambda_of = [](double r) { return (2.0 + r) / (6.0 + 3.0 * r + r * r); };
    if (t == ArrayId::Erad) {
      // a T^4 per unit mass of gas, in code units.
      put<double>(w, a, b, [&](std::int64_t g) {
        const auto [lg, lt] = state(g);
        return pow10(erad_log_constant + 4.0 * lt - lg);
      });
    } else if (t == ArrayId::opacity) {
      put<double>(w, a, b, [&](std::int64_t g) { return 1.02 * pow10(c.log_opacity(g, state(g).second)); });
    } else if (t == ArrayId::DustOpacity) {
      put<double>(w, a, b, [&](std::int64_t g) { return pow10(c.log_opacity(g, state(g).second)); });
    } else if (t == ArrayId::Cv) {
      // Rotational levels of H2 add to the heat capacity above ~100 K.
      put<double>(w, a, b, [&](std::int64_t g) {
        return energy_per_kelvin * (1.0 + 0.67 / (1.0 + pow10(3.0 * (2.0 - state(g).second))));
      });
    } else if (t == ArrayId::lambda) {
      put<double>(w, a, b, [&](std::int64_t g) { return lambda_of(limiter_r(log_n(g))); });
    } else if (t == ArrayId::EddingtonFactor) {
      put<double>(w, a, b, [&](std::int64_t g) {
        const double r = limiter_r(log_n(g)), l = lambda_of(r);
        return l + l * l * r * r;
      });
    } else if (t == ArrayId::DustTemperature) {
      put<double>(w, a, b, [&](std::int64_t g) { return pow10(state(g).second); });
    } else {
      chem_array(w, a, b);
    }
  }

  // Carbon goes from C+ through C to CO as the extinction builds up, and
  // hydrogen turns molecular.
  void chem_array(RecordWriter& w, const Array& a, const BlockPlan& b) {
    const Cloud& c = cloud_;
    const ArrayId t = a.id;
    constexpr double carbon = 1.4e-4, g0 = 1.7;
    auto av = [&](std::int64_t g) { return c.extinction(g, log_n(g)); };
    auto co = [](double x) { return carbon / (1.0 + exp_fast(-3.0 * (x - 1.5))); };
    auto atomic = [](double x) { return 0.35 * carbon * exp_fast(-((x - 1.0) / 0.7) * ((x - 1.0) / 0.7)); };
    auto h2 = [](double lg) { return 0.5 / (1.0 + pow10(1.3 - lg)); };
    auto f = [](double x) { return static_cast<float>(x); };
    if (t == ArrayId::Cplus) {
      put<float>(w, a, b, [&](std::int64_t g) {
        const double x = av(g);
        return f(std::max(carbon - co(x) - atomic(x), 1e-10));
      });
    } else if (t == ArrayId::AtomicC) {
      put<float>(w, a, b, [&](std::int64_t g) { return f(atomic(av(g))); });
    } else if (t == ArrayId::CO) {
      put<float>(w, a, b, [&](std::int64_t g) { return f(co(av(g))); });
    } else if (t == ArrayId::HeatingISR) {
      put<float>(w, a, b, [&](std::int64_t g) { return f(g0 * exp_fast(-2.5 * av(g))); });
    } else if (t == ArrayId::Gphotoelectric) {
      put<float>(w, a, b, [&](std::int64_t g) {
        const double lg = log_n(g);
        return f(1.3e-24 * pow10(lg) * g0 * exp_fast(-2.5 * c.extinction(g, lg)));
      });
    } else if (t == ArrayId::Extinction) {
      put<float>(w, a, b, [&](std::int64_t g) { return f(av(g)); });
    } else if (t == ArrayId::H2SelfShielding) {
      put<float>(w, a, b,
                 [&](std::int64_t g) { return f(exp_fast(-0.75 * std::log1p(pow10(log_n(g) - 1.5)))); });
    } else if (t == ArrayId::H2Frac) {
      put<float>(w, a, b, [&](std::int64_t g) { return f(h2(log_n(g))); });
    } else if (t == ArrayId::dH2dt) {
      put<float>(w, a, b, [&](std::int64_t g) {
        const double lg = log_n(g);
        return f(3e-17 * pow10(lg) * (0.5 - h2(lg)) * utime);
      });
    } else {
      throw std::logic_error("no values for radiative array " + a.tag);
    }
  }

  // 1.5 k / (mu m_H) in code units per kelvin, mu = 2.38.
  static constexpr double energy_per_kelvin = 1.5 * 1.380649e-16 / (2.38 * 1.6726e-24) / unit_spec_energy;
  static constexpr double accretion_radius = 7.48e13 / udist;  // 5 au
  // log10 of a_rad / (rho per n) / unit_spec_energy: Erad = a T^4 / rho.
  static inline const double erad_log_constant =
      std::log10(7.5657e-15) - std::log10(2.0e-24) - std::log10(unit_spec_energy);

  const Options& o_;
  const Cloud& cloud_;
  const std::vector<BlockPlan>& plans_;
  std::unique_ptr<std::byte[]> buffer_;
  std::unique_ptr<float[]> log_density_;
  std::int64_t block_ = -1, first_ = 0;
  std::vector<std::int32_t> inactive_;
};

// The dump's description: the header, and per block the three groups with
// their arrays' tags and slots, from the array catalogue. The sinks' values
// are made here; the gas and radiative values are made while writing.
pg::dumpformat::Dump describe_dump(const Options& o, const Cloud& cloud, const std::vector<BlockPlan>& plans) {
  pg::dumpformat::Dump d;
  d.tagged = o.tagged;
  d.file_ident =
      fmt::format("{}: collapsing cloud by mkdump, seed {}", pg::dumpformat::ident_prefix(o.tagged), o.seed);
  d.ints = pg::dumpformat::standard_ints(static_cast<std::int32_t>(o.particles), static_cast<std::int32_t>(o.blocks));
  d.i8_value = o.particles;  // the largest identifier
  const pg::dumpformat::HeaderReals reals = pg::dumpformat::standard_reals(o.time, Cloud::rhozero);
  d.real_tags = reals.tags;
  d.reals = reals.values;
  d.units = {udist, umass, utime};

  // The arrays of each group, as its array-length record counts them: the
  // gas's steps and inactive list, phases, identifiers (unless --no-iunique),
  // positions to energies and densities; the sinks' particles and spins; the
  // radiative values with the dust and the chemistry (unless --no-chemistry),
  // a group left out with --no-radiation.
  using Counts = std::array<std::int32_t, pg::dumpformat::slot_count>;
  const Counts gas_counts = {2, 1, 0, 0, o.iunique ? 1 : 0, 9, 1, 0};
  const Counts sink_counts = {1, 0, 0, 0, 0, 9, 0, 0};
  const Counts rad_counts = {0, 0, 0, 0, 0, 7, o.chemistry ? 9 : 0, 0};

  for (const BlockPlan& b : plans) {
    using pg::dumpformat::ArrayGroup;
    pg::dumpformat::Group gas = pg::dumpformat::catalogue_group(ArrayGroup::gas, b.n, gas_counts);
    pg::dumpformat::Group rad = pg::dumpformat::catalogue_group(ArrayGroup::radiation, b.n, rad_counts);

    // Sinks: spins of young protostars, some angular momentum still to add.
    pg::dumpformat::Group sinks = pg::dumpformat::catalogue_group(
        ArrayGroup::sinks, static_cast<std::int64_t>(b.listpm.size()), sink_counts);
    auto put = [](Array& a, const auto& v) {
      a.data.assign(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0]));
    };
    put(sinks.arrays[0], b.listpm);
    for (int k = 0; k < 9; ++k) {
      std::vector<double> v(b.sinks.size());
      for (std::size_t j = 0; j < v.size(); ++j) {
        const double scale = k < 3 ? 1e-6 : k < 6 ? 1e-8 : 1e-9;
        v[j] = scale * gauss(cloud.bits(b.sinks[j] * 9 + k, s_sink_spin));
      }
      put(sinks.arrays[static_cast<std::size_t>(k) + 1], v);
    }
    pg::dumpformat::Block block{{std::move(gas), std::move(sinks)}};
    if (o.radiation) block.groups.push_back(std::move(rad));
    d.blocks.push_back(std::move(block));
  }
  return d;
}

int mkdump_command(int argc, char** argv) {
  Options o;
  try {
    o = parse_options(argc, argv);
  } catch (const UsageError& e) {
    pg::tell(e.what());
    fmt::print(stderr, fmt::runtime(usage_text), program);
    return pg::exit_usage;
  }
  if (o.help || o.version) {
    if (o.help)
      fmt::print(fmt::runtime(usage_text), program);
    else
      fmt::print("{} {}\n", program, PHASEGRID_VERSION);
    return pg::exit_ok;
  }

  const Cloud cloud(o);
  std::vector<BlockPlan> plans;
  try {
    plans = plan_blocks(o, cloud);
  } catch (const UsageError& e) {
    pg::tell(e.what());
    return pg::exit_usage;
  }

  // A dump that could not be finished is removed, so that no truncated file
  // is mistaken for one; only a regular file mkdump itself was writing.
  bool writing = false;
  auto discard_partial = [&] {
    std::error_code ec;
    if (writing && std::filesystem::is_regular_file(o.output, ec)) std::filesystem::remove(o.output, ec);
  };
  try {
    ArrayMaker maker(o, cloud, plans);
    pg::dumpformat::write_dump_streamed(describe_dump(o, cloud, plans), o.output,
                                [&](RecordWriter& w, const Array& a, const ArrayPlace& at) {
                                  writing = true;
                                  return maker(w, a, at);
                                });
  } catch (const std::bad_alloc&) {
    discard_partial();
    throw pg::Error(pg::FaultKind::out_of_memory, fmt::format("not enough memory for {} particles", o.particles));
  } catch (const pg::SystemError&) {  // creating, writing or closing the dump
    discard_partial();
    throw;
  }

  std::error_code ec;
  const auto bytes = std::filesystem::file_size(o.output, ec);
  fmt::print("{}: {} particles, {} block{}, {} sink{}, {} bytes\n", o.output, o.particles, o.blocks,
             o.blocks == 1 ? "" : "s", o.sinks, o.sinks == 1 ? "" : "s",
             ec ? std::string("?") : std::to_string(bytes));
  return pg::exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0][0] != '\0') program = std::filesystem::path(argv[0]).filename().string();
  return pg::run_program(program, mkdump_command, argc, argv);
}
