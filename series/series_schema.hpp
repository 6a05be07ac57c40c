// The per-dump variables of a series file, once: what each is called and
// holds, its type, its description, and where a dump's row keeps it.
// Creating, appending to, closing and reading a series file all walk this
// table: a new variable is a row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "series/series_file.hpp"

namespace pg {

// What a variable holds for each dump: a text, a real, an integer, the three
// reals of a position, the grid's counts, or a yes-or-no flag (0 or 1).
enum class RowType { text, real, integer, xyz, counts, flag };

// One dump's value of a variable (the counts apart: the grid itself).
using RowValue = std::variant<std::string, double, std::int64_t, std::array<double, 3>>;

struct RowVariable {
  const char* name;
  RowType type;
  // CF's long_name and units (UDUNITS' syntax; null for text and for a
  // count of particles, which is a number), and a longer comment (null for
  // none). long_name and units are what xarray's plots label an axis with.
  const char* long_name;
  const char* units;
  const char* comment;
  // The value a row gives it; and the row made to hold a value read back
  // (false: a value phasegrid does not write), null for what is derived
  // from other variables and not read back. Null both for the counts.
  RowValue (*get)(const SeriesDump&);
  bool (*set)(SeriesDump&, const RowValue&);
  // Files of an earlier phasegrid lack it: read as the row's default.
  bool optional = false;
  // A coordinate along the dump dimension, that the others name in their
  // "coordinates" (xarray plots against it); CF's standard_name, if any.
  bool coordinate = false;
  const char* standard_name = nullptr;
};

// In the order they are made in the file (netCDF numbers the dimensions and
// lists the variables by it): `dump`, the dimension the others share, first.
const std::vector<RowVariable>& row_variables();

}  // namespace pg
