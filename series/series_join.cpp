#include "series/series_join.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string_view>
#include <utility>

#include "base/printable.hpp"
#include "base/units.hpp"

namespace pg {

namespace {

// Equal, a NaN equal to a NaN.
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); });
}

std::string reals(const std::vector<double>& v) {
  return v.size() == 1 ? fmt::format("{}", v[0]) : fmt::format("({})", fmt::join(v, ", "));
}

// A run's diagrams as a line shows them: their SPECs, quoted, or none.
std::string diagrams_text(const std::vector<DiagramSpec>& specs) {
  if (specs.empty()) return "none";
  std::vector<std::string> texts;
  for (const DiagramSpec& d : specs) texts.push_back(d.text());
  return quoted(fmt::format("{}", fmt::join(texts, "; ")));
}

std::optional<Difference> reals_difference(const char* what, const std::vector<double>& a,
                                           const std::vector<double>& b) {
  if (same(a, b)) return std::nullopt;
  return Difference{what, reals(a), reals(b)};
}

}  // namespace

std::optional<Difference> run_difference(const SeriesRun& a, const SeriesRun& b) {
  const Analysis &x = a.answers, &y = b.answers;
  // Any answer but these means no centring: "n" is the same as a blank.
  auto none = [](char c) { return std::string_view("mdpsx").find(c) == std::string_view::npos; };
  if (x.centre_mode != y.centre_mode && !(none(x.centre_mode) && none(y.centre_mode)))
    return Difference{"centre", quoted(std::string(1, x.centre_mode)), quoted(std::string(1, y.centre_mode))};
  const auto& px = x.centre_position;
  const auto& py = y.centre_position;
  if (auto d = reals_difference("centre_position", {px.begin(), px.end()}, {py.begin(), py.end()})) return d;
  if (x.sink_number != y.sink_number)
    return Difference{"sink_number", std::to_string(x.sink_number), std::to_string(y.sink_number)};
  if (x.rotate_mode != y.rotate_mode)
    return Difference{"rotate", std::to_string(x.rotate_mode), std::to_string(y.rotate_mode)};
  if (auto d = reals_difference("frequency", {x.rotation_frequency}, {y.rotation_frequency})) return d;
  // As the files record them: two SPECs of one diagram read the same.
  if (const std::string one = diagrams_text(a.diagrams), other = diagrams_text(b.diagrams); one != other)
    return Difference{"diagrams", one, other};
  if (auto d = reals_difference("grid_units", {a.grid_umass, a.grid_udist, a.grid_utime},
                                {b.grid_umass, b.grid_udist, b.grid_utime}))
    return d;
  return reals_difference("density_to_n", {a.density_to_n}, {b.density_to_n});
}

bool is_answer(const Difference& d) { return d.what != "grid_units" && d.what != "density_to_n"; }

const char* bounds_difference(const SeriesAxes& axes) {
  const SeriesAxes& mine = series_axes();
  if (!same(axes.log10_T_bounds, mine.log10_T_bounds)) return "log10_T_bounds";
  if (!same(axes.log10_n_bounds, mine.log10_n_bounds)) return "log10_n_bounds";
  return nullptr;
}

std::vector<std::size_t> time_order(const std::vector<double>& times) {
  std::vector<std::size_t> order(times.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  auto key = [&](std::size_t r) { return std::pair(std::isnan(times[r]), std::isnan(times[r]) ? 0.0 : times[r]); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  return order;
}

}  // namespace pg
