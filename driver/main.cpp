// phasegrid: density - dust-temperature phase grids from SPH dump files.
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "driver/run.hpp"
#include "state/store.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  if (!pg::store_init()) {
    fmt::print(stderr, "phasegrid: cannot reserve the particle store: {}\n", std::strerror(errno));
    return 1;
  }
  return pg::phasegrid_main(std::cin);
}
