// phasegrid: density - dust-temperature phase grids from SPH dump files.
#include "driver/command_line.hpp"

int main(int argc, char** argv) { return pg::phasegrid_command(argc, argv); }
