#include "driver/index_line.hpp"

#include <fmt/format.h>

#include <cmath>

namespace pg {

std::string scientific12(double x) {
  if (std::isnan(x)) return fmt::format("{:>12}", "NaN");
  if (std::isinf(x)) return fmt::format("{:>12}", x > 0 ? "Infinity" : "-Infinity");
  std::string s = fmt::format("{:.5E}", x);  // d.dddddE+xx, correctly rounded
  // A three-digit exponent leaves out the letter E, as Fortran output does.
  const std::size_t e = s.find('E');
  if (s.size() - e > 4) s.erase(e, 1);
  return fmt::format("{:>12}", s);
}

std::string index_line(double time, double ratio, const std::string& grid_name) {
  return scientific12(time) + " " + scientific12(ratio) + " " + grid_name + "\n";
}

}  // namespace pg
