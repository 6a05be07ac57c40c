// Before a run writes anything: none of its output files is one of its
// dumps, nor is the name its new text is written under until it is
// complete; a dump's name can go into its index line; and the series file
// replaces only a series file.
#pragma once

#include <string>
#include <vector>

namespace pg {

// A dump of a run and the files it writes (none when the series is written
// alone).
struct DumpOutputs {
  std::string dump;                // its path
  std::string grid_name;           // its grid file's name, as its index line gives it
  std::vector<std::string> files;  // where its grid and index files are written
};

// Throws an Error of kind output_refused (exit status 2) with one line
// saying which file and what to do.
void check_outputs(const std::vector<DumpOutputs>& dumps, const std::string& series_path);

}  // namespace pg
