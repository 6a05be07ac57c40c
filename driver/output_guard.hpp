// Before a run writes anything: none of its output files is one of its
// dumps, a name can go into the index line, and the series file replaces
// only a series file.
#pragma once

#include <string>
#include <vector>

#include "driver/run.hpp"

namespace pg {

// Throws an Error of kind output_refused (exit status 2) with one line saying which file and what to do.
void check_outputs(const std::vector<DumpJob>& jobs, const std::string& series_path, bool grid_files = true);

// `text` with its control characters written as escapes (\n, \t, \x1b), for
// a line that names it.
std::string printable(const std::string& text);

}  // namespace pg
