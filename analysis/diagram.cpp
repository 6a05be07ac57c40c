// The binning of a run's diagrams.
//
// The particles go in blocks of a fixed size, in order. For each block, the
// threads first find every particle's cell and weight in each diagram (a
// share of the block each), then add them up, each thread the cells of its
// own share of every diagram, walking the block in particle order. Every
// cell's sum is thus added in particle order whatever the number of
// threads: the same bits on every run, and a numpy.bincount's.
#include "analysis/diagram.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>

#include "analysis/particle_loops.hpp"
#include "analysis/phase_grid.hpp"
#include "analysis/quantity_values.hpp"

namespace pg {

namespace {

// An axis's bins found from the value itself: on a log axis, by comparing
// it with the smallest value whose log10 reaches each edge, so that no
// logarithm is taken per particle and the bin is the one log10 gives.
class AxisBins {
 public:
  explicit AxisBins(const DiagramAxis& a) : log_(a.log), bins_(a.bins), lo_(a.lo) {
    const std::vector<double> e = a.edges();
    inv_ = a.bins / (a.hi - a.lo);
    limit_.resize(e.size() + 1);
    if (!log_) {
      std::copy(e.begin(), e.end(), limit_.begin());
      return;
    }
    for (std::size_t i = 0; i < e.size(); ++i)
      limit_[i] = smallest_positive([&](double v) { return std::log10(v) >= e[i]; });
    // The top edge belongs to the last bin: what lies above it is out.
    limit_.back() = smallest_positive([&](double v) { return std::log10(v) > e.back(); });
    // The bin of the least value of each run of values that share their
    // leading bits, from the first edge to the top.
    if (!(limit_[0] > 0 && limit_.back() < std::numeric_limits<double>::infinity())) return;
    key0_ = key(limit_[0]);
    const std::uint64_t keys = key(limit_.back()) - key0_ + 1;
    if (keys > (std::uint64_t{1} << 20)) return;  // (a guess and the edges instead)
    start_.resize(keys);
    int i = 0;
    for (std::uint64_t k = 0; k < keys; ++k) {
      const double least = std::max(limit_[0], std::bit_cast<double>((key0_ + k) << key_shift));
      while (i < bins_ - 1 && least >= limit_[static_cast<std::size_t>(i) + 1]) ++i;
      start_[k] = i;
    }
  }

  // The bin of v, 0-based; -1 when it is in none.
  int bin(double v) const {
    const double* t = limit_.data();
    if (log_) {
      if (!(v >= t[0] && v < t[bins_ + 1])) return -1;  // also NaN
    } else if (!(v >= t[0] && v <= t[bins_])) {
      return -1;
    }
    int i;
    if (!start_.empty()) {
      i = start_[key(v) - key0_];
    } else {
      // A first guess, then the edges decide.
      const double at = log_ ? fast_log10(v) : v;
      double guess = (at - lo_) * inv_;
      guess = guess < 0 ? 0 : guess > bins_ - 1 ? bins_ - 1 : guess;
      i = static_cast<int>(guess);
      while (i > 0 && v < t[i]) --i;
    }
    while (i < bins_ - 1 && v >= t[i + 1]) ++i;
    return i;
  }

 private:
  // The smallest positive double (a finite one, or infinity) for which
  // reaches() holds, reaches() being monotonic: positive doubles order as
  // their bit patterns.
  template <class F>
  static double smallest_positive(F reaches) {
    std::uint64_t lo = 1, hi = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::infinity());
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (reaches(std::bit_cast<double>(mid)))
        hi = mid;
      else
        lo = mid + 1;
    }
    return std::bit_cast<double>(lo);
  }
  // log10 of a positive finite v to a few 1e-3: the exponent, and the
  // mantissa's logarithm from a quadratic. Only a guess.
  static double fast_log10(double v) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(v);
    const int e = static_cast<int>(b >> 52) - 1023;
    const double m = std::bit_cast<double>((b & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull) - 1.0;
    const double log2m = m * (1.3465553 - 0.3465553 * m);
    return (e + log2m) * 0.30102999566398120;
  }

  // The leading bits of a positive double: its exponent and 8 bits of its
  // mantissa (a run of values 0.4 % wide).
  static constexpr int key_shift = 44;
  static std::uint64_t key(double v) { return std::bit_cast<std::uint64_t>(v) >> key_shift; }

  std::uint64_t key0_ = 0;
  std::vector<std::int32_t> start_;  // a log axis's bin of each key from key0_ on
  bool log_;
  int bins_;
  double lo_, inv_ = 0;
  std::vector<double> limit_;  // the edges (a log axis: the least value reaching each), and the top
};

constexpr std::int64_t block = 65536;  // particles added up at a time
constexpr std::int64_t share = 4096;   // particles a thread gathers at a time

// The quantities a run's diagrams read, gathered for a share of particles.
struct Gathered {
  double* q[quantity_count] = {};
};

}  // namespace

Diagrams::Diagrams(std::vector<DiagramSpec> specs) : specs_(std::move(specs)) {
  for (const DiagramSpec& d : specs_) {
    const std::size_t cells = static_cast<std::size_t>(d.x.bins) * static_cast<std::size_t>(d.y.bins);
    counts_.emplace_back(d.counts() ? cells : 0);
    values_.emplace_back(d.counts() ? 0 : cells);
    masses_.emplace_back(d.weight == Weight::mean ? cells : 0);
  }
}

const std::int32_t* Diagrams::counts(std::size_t k) const { return counts_[k].data(); }
const double* Diagrams::values(std::size_t k) const { return values_[k].data(); }

std::uint64_t arrays_of(const DiagramSpec& d) {
  std::uint64_t all = 0;
  for (const Quantity q : d.uses()) all |= arrays_of(q);
  return all;
}

std::vector<DiagramStatus> diagram_statuses(std::span<const DiagramSpec> diagrams, std::uint64_t carried,
                                            double umass) {
  std::vector<DiagramStatus> status;
  for (const DiagramSpec& d : diagrams) {
    const std::uint64_t a = arrays_of(d);
    if ((carried & a) != a)
      status.push_back(DiagramStatus::lacks_quantity);
    else if (d.weight == Weight::mass && !(umass > 0 && std::isfinite(umass)))
      status.push_back(DiagramStatus::no_mass_unit);
    else
      status.push_back(DiagramStatus::binned);
  }
  return status;
}

void Diagrams::bin(const Store& s, const DiagramPositions& where, double umass,
                   std::span<const DiagramStatus> status) {
  const std::size_t nd = specs_.size();
  std::vector<std::size_t> live;  // the diagrams binned
  bool wanted[quantity_count] = {};
  for (std::size_t k = 0; k < nd; ++k) {
    std::fill(counts_[k].begin(), counts_[k].end(), 0);
    std::fill(values_[k].begin(), values_[k].end(), 0.0);
    std::fill(masses_[k].begin(), masses_[k].end(), 0.0);
    if (status[k] != DiagramStatus::binned) continue;
    live.push_back(k);
    for (const Quantity q : specs_[k].uses()) wanted[static_cast<int>(q)] = true;
  }
  using enum Quantity;
  auto want = [&](Quantity q) { return wanted[static_cast<int>(q)]; };
  const bool positions = want(x) || want(y) || want(z) || want(r) || want(R);
  const bool velocities = want(vx) || want(vy) || want(vz) || want(v);
  if (positions) wanted[static_cast<int>(x)] = wanted[static_cast<int>(y)] = wanted[static_cast<int>(z)] = true;
  if (velocities) wanted[static_cast<int>(vx)] = wanted[static_cast<int>(vy)] = wanted[static_cast<int>(vz)] = true;
  if (want(n)) wanted[static_cast<int>(rho)] = true;

  // The live diagrams' axes, each found once for a particle however many
  // diagrams share it.
  std::vector<DiagramAxis> axes;
  std::vector<AxisBins> bins;
  std::vector<std::size_t> x_axis(nd), y_axis(nd);
  auto axis_of = [&](const DiagramAxis& a) {
    for (std::size_t k = 0; k < axes.size(); ++k)
      if (axes[k] == a) return k;
    axes.push_back(a);
    bins.emplace_back(a);
    return axes.size() - 1;
  };
  for (const std::size_t d : live) {
    x_axis[d] = axis_of(specs_[d].x);
    y_axis[d] = axis_of(specs_[d].y);
  }
  const std::size_t na = axes.size();
  const std::int64_t npart = s.part.npart;
  const int threads = omp_get_max_threads();
  // Taken before the threads start (memory that cannot be had must not end
  // a parallel region): each live diagram's cells and weights for a block,
  // and each thread's gathered quantities for a share.
  const std::size_t nl = live.size();
  std::vector<std::int32_t> cell(nl * block);
  std::vector<double> weight(nl * block), mass(nl * block);
  int nq = 0;
  for (const bool w : wanted) nq += w;
  std::vector<double> gathered(static_cast<std::size_t>(threads) * static_cast<std::size_t>(nq + 1) * share);
  std::vector<float> floats(static_cast<std::size_t>(threads) * share);
  std::vector<std::int8_t> phases(static_cast<std::size_t>(threads) * share);
  std::vector<std::int32_t> axis_bins(static_cast<std::size_t>(threads) * na * share);
  // Counts need no order: each thread counts its particles into cells of its
  // own, added up at the end, where that room is small (it is for most
  // diagrams); the other counts are added cell by cell, as the sums are.
  constexpr std::size_t own_cells_at_most = std::size_t{8} << 20;  // over all threads and diagrams
  constexpr std::size_t none = ~std::size_t{0};
  std::vector<std::size_t> own_at(nd, none);
  std::size_t own_cells = 0;
  for (const std::size_t d : live) {
    const std::size_t cells = static_cast<std::size_t>(specs_[d].x.bins) * static_cast<std::size_t>(specs_[d].y.bins);
    if (specs_[d].counts() && own_cells + cells * static_cast<std::size_t>(threads) <= own_cells_at_most) {
      own_at[d] = own_cells;
      own_cells += cells * static_cast<std::size_t>(threads);
    }
  }
  std::vector<std::int32_t> own(own_cells);
  std::atomic<bool> failing = false;
  std::exception_ptr failed;

#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), nt = omp_get_num_threads();
    Gathered g;
    double* next = gathered.data() + static_cast<std::size_t>(t) * static_cast<std::size_t>(nq + 1) * share;
    for (int q = 0; q < quantity_count; ++q)
      if (wanted[q]) g.q[q] = next, next += share;
    float* const f = floats.data() + static_cast<std::size_t>(t) * share;
    std::int8_t* const phase = phases.data() + static_cast<std::size_t>(t) * share;
    std::int32_t* const bin_of = axis_bins.data() + static_cast<std::size_t>(t) * na * share;

    // Quantity q of particles first .. first + m - 1 into g.q[q].
    auto gather = [&](std::int64_t first, std::int64_t cnt) {
      for (int i = 0; i < static_cast<int>(n); ++i)
        if (wanted[i]) values_as_doubles(s, static_cast<Quantity>(i), first, cnt, g.q[i], f);
      double *px = g.q[static_cast<int>(x)], *py = g.q[static_cast<int>(y)], *pz = g.q[static_cast<int>(z)];
      if (positions && where.in_file) {
        for (std::int64_t j = 0; j < cnt; ++j) {
          if (where.turn) turn_about_z(px[j], py[j], *where.turn);
          px[j] -= where.centre[0];
          py[j] -= where.centre[1];
          pz[j] -= where.centre[2];
        }
      }
      // The derived ones, from what was gathered.
      // (Each value alone, as the formula has it: the same bits in vectors.)
      if (want(n)) {
        const double* from = g.q[static_cast<int>(rho)];
        double* to = g.q[static_cast<int>(n)];
#pragma omp simd
        for (std::int64_t j = 0; j < cnt; ++j) to[j] = number_density(from[j]);
      }
      if (want(r)) {
        double* to = g.q[static_cast<int>(r)];
#pragma omp simd
        for (std::int64_t j = 0; j < cnt; ++j) to[j] = length3(px[j], py[j], pz[j]);
      }
      if (want(R)) {
        double* to = g.q[static_cast<int>(R)];
#pragma omp simd
        for (std::int64_t j = 0; j < cnt; ++j) to[j] = length2(px[j], py[j]);
      }
      if (want(v)) {
        const double *a = g.q[static_cast<int>(vx)], *b = g.q[static_cast<int>(vy)], *c = g.q[static_cast<int>(vz)];
        double* to = g.q[static_cast<int>(v)];
#pragma omp simd
        for (std::int64_t j = 0; j < cnt; ++j) to[j] = length3(a[j], b[j], c[j]);
      }
      s.iphase_values(first, cnt, phase);
    };

    for (std::int64_t b0 = 0; b0 < npart; b0 += block) {
      const std::int64_t in_block = std::min(block, npart - b0);
      const std::int64_t shares = (in_block + share - 1) / share;
#pragma omp for schedule(static)
      for (std::int64_t k = 0; k < shares; ++k) {
        if (failing) continue;
        const std::int64_t j0 = k * share, m = std::min(share, in_block - j0);
        try {
          gather(b0 + j0 + 1, m);
        } catch (...) {
#pragma omp critical(diagram_failed)
          if (!failed) failed = std::current_exception();
          failing = true;
          continue;
        }
        for (std::size_t a = 0; a < na; ++a) {
          const double* q = g.q[static_cast<int>(axes[a].q)];
          std::int32_t* out = bin_of + a * share;
          for (std::int64_t j = 0; j < m; ++j) out[j] = phase[j] == -1 ? -1 : bins[a].bin(q[j]);
        }
        for (std::size_t l = 0; l < nl; ++l) {
          const std::size_t d = live[l];
          const DiagramSpec& spec = specs_[d];
          const std::int32_t* bx = bin_of + x_axis[d] * share;
          const std::int32_t* by = bin_of + y_axis[d] * share;
          const double* qw = spec.weight == Weight::sum || spec.weight == Weight::mean
                                 ? g.q[static_cast<int>(spec.of)]
                                 : nullptr;
          const double* qm = g.q[static_cast<int>(Quantity::m)];
          std::int32_t* c = cell.data() + l * block + j0;
          double* w = weight.data() + l * block + j0;
          double* wm = mass.data() + l * block + j0;
          const int nx = spec.x.bins;
          if (own_at[d] != none) {
            std::int32_t* mine = own.data() + own_at[d] + static_cast<std::size_t>(t) * counts_[d].size();
            for (std::int64_t j = 0; j < m; ++j)
              if (bx[j] >= 0 && by[j] >= 0) ++mine[by[j] * nx + bx[j]];
            continue;
          }
          for (std::int64_t j = 0; j < m; ++j) c[j] = bx[j] < 0 || by[j] < 0 ? -1 : by[j] * nx + bx[j];
          switch (spec.weight) {
            case Weight::count: break;
            case Weight::mass:
              for (std::int64_t j = 0; j < m; ++j) w[j] = qm[j] * umass;
              break;
            case Weight::sum: std::copy(qw, qw + m, w); break;
            case Weight::mean:
              for (std::int64_t j = 0; j < m; ++j) w[j] = qm[j] * qw[j];
              std::copy(qm, qm + m, wm);
              break;
          }
        }
      }
      // (The loop's barrier: every cell of the block is found.)
      if (!failing) {
        for (std::size_t l = 0; l < nl; ++l) {
          const std::size_t d = live[l];
          const std::int64_t cells = static_cast<std::int64_t>(specs_[d].x.bins) * specs_[d].y.bins;
          const std::int32_t lo = static_cast<std::int32_t>(cells * t / nt);
          const std::int32_t hi = static_cast<std::int32_t>(cells * (t + 1) / nt);
          const std::int32_t* c = cell.data() + l * block;
          const double* w = weight.data() + l * block;
          const double* wm = mass.data() + l * block;
          switch (specs_[d].weight) {
            case Weight::count: {
              if (own_at[d] != none) break;  // counted already
              std::int32_t* out = counts_[d].data();
              for (std::int64_t j = 0; j < in_block; ++j)
                if (c[j] >= lo && c[j] < hi) ++out[c[j]];
              break;
            }
            case Weight::mean: {
              double* out = values_[d].data();
              double* outm = masses_[d].data();
              for (std::int64_t j = 0; j < in_block; ++j)
                if (c[j] >= lo && c[j] < hi) out[c[j]] += w[j], outm[c[j]] += wm[j];
              break;
            }
            default: {
              double* out = values_[d].data();
              for (std::int64_t j = 0; j < in_block; ++j)
                if (c[j] >= lo && c[j] < hi) out[c[j]] += w[j];
            }
          }
        }
      }
#pragma omp barrier
    }
  }
  if (failed) std::rethrow_exception(failed);
  for (const std::size_t d : live) {
    if (own_at[d] == none) continue;
    std::int32_t* out = counts_[d].data();
    const std::size_t cells = counts_[d].size();
    for (int t = 0; t < threads; ++t) {
      const std::int32_t* mine = own.data() + own_at[d] + static_cast<std::size_t>(t) * cells;
      for (std::size_t c = 0; c < cells; ++c) out[c] += mine[c];
    }
  }
  for (const std::size_t d : live)
    if (specs_[d].weight == Weight::mean)
      for (std::size_t c = 0; c < values_[d].size(); ++c)
        values_[d][c] = masses_[d][c] > 0 || masses_[d][c] < 0 ? values_[d][c] / masses_[d][c]
                                                                 : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace pg
