// phasegrid: density - dust-temperature phase grids from SPH dump files.
#include <fmt/format.h>

#include <cstring>
#include <iostream>
#include <string_view>

#include "base/stop.hpp"
#include "driver/run.hpp"
#include "state/store.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace {

constexpr std::string_view usage =
    "usage: phasegrid [--help | --version]\n"
    "\n"
    "Reads SPH dump files and writes, for each, a grid of particle counts over\n"
    "log10 number density and log10 dust temperature. Everything is asked on\n"
    "standard input, one answer a line:\n"
    "\n"
    "  the number of dumps\n"
    "  each dump's file name (at most 7 characters)\n"
    "  the centring: m (centre of mass), d (density peak), p (a position: x y z\n"
    "    follow), s (the most massive sink), x (sink number N follows), or\n"
    "    anything else for none\n"
    "  the rotating frame: 0 (none), 1, 2 or 3 (then the rotation frequency)\n"
    "\n"
    "For example: printf '1\\nfull001\\nn\\n0\\n' | phasegrid\n"
    "\n"
    "Writes QG<name>01 (the grid) and IP<name> (time, time in free-fall units,\n"
    "grid file name) for each dump. Exit status: 0 every dump read completely;\n"
    "1 a damaged dump stopped the run or a dump ended early; 2 a bad answer, an\n"
    "output file that could not be written, or too little memory for a dump.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv) {
  // Options only; with none the dialogue runs.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg != "--help" && arg != "--version") {
      fmt::print(stderr, "phasegrid: unknown argument \"{}\": the dumps and answers are read "
                         "from standard input (see phasegrid --help)\n", arg);
      return pg::exit_usage;
    }
  }
  if (argc > 1) {
    if (std::string_view(argv[1]) == "--help")
      fmt::print("{}", usage);
    else
      fmt::print("phasegrid {}\n", PHASEGRID_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? pg::exit_ok : pg::exit_usage;
  }

  std::ios::sync_with_stdio(false);
  // The store starts with no room: each dump makes what it needs.
  pg::store_init();
  try {
    return pg::phasegrid_main(std::cin);
  } catch (const pg::StoreExhausted& e) {
    std::fflush(stdout);
    fmt::print(stderr, "phasegrid: cannot reserve memory for {} particles ({} MB in all): {}\n", e.particles,
               (e.bytes + 999999) / 1000000, std::strerror(e.error));
    return pg::exit_usage;
  }
}
