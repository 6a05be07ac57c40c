// The index line: the dump's time, its time in free-fall units and its grid
// file's name, each real in Fortran's scientific form.
#pragma once

#include <string>

namespace pg {

// The line, 37 characters and a line end.
std::string index_line(double time, double ratio, const std::string& grid_name);
// A real in the index line's scientific form, 12 characters (" 1.23457E+00").
std::string scientific12(double x);

}  // namespace pg
