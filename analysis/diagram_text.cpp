// A diagram's SPEC read and written, its axes' edges, and its names in a
// series file.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "analysis/diagram.hpp"
#include "base/error.hpp"

namespace pg {

namespace {

std::vector<std::string_view> split(std::string_view s, char by) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = s.find(by);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

[[noreturn]] void refuse(std::string_view spec, std::string_view part, const std::string& why) {
  throw Error(FaultKind::bad_answer, fmt::format("--diagram \"{}\": {}{}", spec, part, why));
}

template <class T>
bool number(std::string_view text, T& value) {
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && at == end && !text.empty();
}

// The default axis of q on the scale asked for.
DiagramAxis default_axis(Quantity q, std::optional<bool> log) {
  const AxisDefault d = info(q).axis;
  DiagramAxis a{q, d.log, d.lo, d.hi, d.bins};
  if (!log || *log == d.log) return a;
  a.log = *log;
  if (d.log) {  // a linear axis over the default's range
    a.lo = std::pow(10.0, d.lo);
    a.hi = std::pow(10.0, d.hi);
  } else {      // four decades below the default's top
    a.hi = d.hi > 0 ? std::log10(d.hi) : 0.0;
    a.lo = d.lo > 0 ? std::log10(d.lo) : a.hi - 4.0;
  }
  return a;
}

DiagramAxis parse_axis(std::string_view spec, std::string_view text, const char* which) {
  const std::string part = fmt::format("the {} axis \"{}\"", which, text);
  std::vector<std::string_view> p = split(text, ':');
  const std::optional<Quantity> q = find_quantity(p[0]);
  if (!q) refuse(spec, part, fmt::format(": no quantity is named \"{}\" (phasegrid --quantities lists them)", p[0]));
  std::optional<bool> log;
  std::size_t k = 1;
  if (k < p.size() && (p[k] == "log" || p[k] == "lin")) log = p[k++] == "log";
  DiagramAxis a = default_axis(*q, log);
  if (p.size() - k == 0) return a;
  if (p.size() - k != 3) refuse(spec, part, ": an axis is NAME[:log|:lin][:MIN:MAX:BINS]");
  if (!number(p[k], a.lo) || !std::isfinite(a.lo)) refuse(spec, part, ": MIN is not a finite number");
  if (!number(p[k + 1], a.hi) || !std::isfinite(a.hi)) refuse(spec, part, ": MAX is not a finite number");
  if (!(a.lo < a.hi)) refuse(spec, part, ": MIN is not below MAX");
  if (!number(p[k + 2], a.bins) || a.bins < 1 || a.bins > 100000)
    refuse(spec, part, ": BINS is not a whole number from 1 to 100000");
  if (!std::isfinite(a.hi - a.lo)) refuse(spec, part, ": MAX - MIN is not a finite number");
  return a;
}

}  // namespace

std::vector<double> DiagramAxis::edges() const {
  std::vector<double> e(static_cast<std::size_t>(bins) + 1);
  const double width = (hi - lo) / bins;
  for (int i = 0; i < bins; ++i) e[static_cast<std::size_t>(i)] = lo + i * width;
  e.back() = hi;
  return e;
}

std::string DiagramAxis::name() const { return (log ? "log10_" : "") + std::string(info(q).name); }

std::string DiagramAxis::long_name() const {
  return (log ? "log10 " : "") + std::string(info(q).long_name);
}

std::string DiagramAxis::units() const {
  const std::string_view u = info(q).units;
  if (u.empty()) return {};
  return log ? fmt::format("lg(re 1 {})", u) : std::string(u);
}

std::string DiagramSpec::text() const {
  auto axis = [](const DiagramAxis& a) {
    return fmt::format("{}:{}:{}:{}:{}", info(a.q).name, a.log ? "log" : "lin", a.lo, a.hi, a.bins);
  };
  const std::string_view of_name = info(of).name;
  const std::string w = weight == Weight::count  ? "count"
                        : weight == Weight::mass ? "mass"
                        : weight == Weight::sum  ? std::string(of_name)
                                                 : fmt::format("mean:{}", of_name);
  return fmt::format("{},{},{}", axis(x), axis(y), w);
}

std::string DiagramSpec::long_name() const {
  switch (weight) {
    case Weight::count: return "particles in the cell";
    case Weight::mass: return "mass in the cell";
    case Weight::sum: return fmt::format("sum of {} in the cell", info(of).long_name);
    case Weight::mean: return fmt::format("mean {} in the cell, by mass", info(of).long_name);
  }
  return {};
}

std::string DiagramSpec::units() const {
  if (weight == Weight::count) return {};
  if (weight == Weight::mass) return "g";
  return std::string(info(of).units);
}

std::vector<Quantity> DiagramSpec::uses() const {
  std::vector<Quantity> q{x.q, y.q};
  if (weight == Weight::mass || weight == Weight::mean) q.push_back(Quantity::m);
  if (weight == Weight::sum || weight == Weight::mean) q.push_back(of);
  return q;
}

DiagramSpec parse_diagram(std::string_view spec) {
  const std::vector<std::string_view> p = split(spec, ',');
  if (p.size() < 2 || p.size() > 3) refuse(spec, "", "a SPEC is AXIS,AXIS[,WEIGHT]");
  DiagramSpec d;
  d.x = parse_axis(spec, p[0], "first");
  d.y = parse_axis(spec, p[1], "second");
  if (static_cast<std::int64_t>(d.x.bins) * d.y.bins > most_diagram_cells)
    refuse(spec, "", fmt::format("{} x {} cells are more than a diagram may have ({})", d.x.bins, d.y.bins,
                                 most_diagram_cells));
  if (p.size() == 3) {
    const std::string_view w = p[2];
    std::string_view name = w;
    if (w == "count") {
      d.weight = Weight::count;
    } else if (w == "mass") {
      d.weight = Weight::mass;
    } else {
      d.weight = Weight::sum;
      if (w.starts_with("mean:")) {
        d.weight = Weight::mean;
        name = w.substr(5);
      }
      const std::optional<Quantity> q = find_quantity(name);
      if (!q)
        refuse(spec, fmt::format("the weight \"{}\"", w),
               ": a weight is count, mass, a quantity's name or mean:NAME (phasegrid --quantities lists the names)");
      d.of = *q;
    }
  }
  return d;
}

std::string_view diagram_status_meanings() { return "binned lacks_quantity no_mass_unit not_binned"; }

std::vector<DiagramNames> diagram_names(std::span<const DiagramSpec> specs) {
  // The phase grid's axes are named already.
  std::set<std::string> taken{"log10_n", "log10_T"};
  std::vector<std::pair<DiagramAxis, std::string>> axes;
  auto unique = [&](const std::string& base) {
    std::string name = base;
    for (int k = 2; taken.count(name) != 0; ++k) name = fmt::format("{}_{}", base, k);
    taken.insert(name);
    return name;
  };
  auto axis_name = [&](const DiagramAxis& a) {
    for (const auto& [seen, name] : axes)
      if (seen == a) return name;
    axes.emplace_back(a, unique(a.name()));
    return axes.back().second;
  };
  std::vector<DiagramNames> names;
  for (const DiagramSpec& d : specs) {
    DiagramNames n;
    n.x = axis_name(d.x);
    // A diagram's two axes are two dimensions of its variable, never one
    // coordinate: netCDF allows a dimension twice, xarray does not.
    n.y = d.y == d.x ? unique(d.y.name()) : axis_name(d.y);
    const std::string_view of_name = info(d.of).name;
    const std::string w = d.weight == Weight::count  ? "count"
                          : d.weight == Weight::mass ? "mass"
                          : d.weight == Weight::sum  ? fmt::format("sum_{}", of_name)
                                                     : fmt::format("mean_{}", of_name);
    n.variable = fmt::format("{}_{}_{}", w, d.x.name(), d.y.name());
    names.push_back(std::move(n));
  }
  // Variables after the axes: a variable's name may not be an axis's.
  for (DiagramNames& n : names) n.variable = unique(n.variable);
  return names;
}

}  // namespace pg
