#include "series/series_schema.hpp"

#include <cmath>

namespace pg {

namespace {

// The row's member of a variable, as get() and set() reach it.
template <class T>
RowValue value(const T& v) {
  return RowValue(v);
}

}  // namespace

const std::vector<RowVariable>& row_variables() {
  using T = RowType;
  using V = const RowValue&;
  static const std::vector<RowVariable> variables = {
      {"dump", T::text, "dump", nullptr, "The dump's path as the run was given it.",
       [](const SeriesDump& d) { return value(d.dump); },
       [](SeriesDump& d, V v) { return d.dump = std::get<std::string>(v), true; }},
      {"counts", T::counts, "particles in the cell", nullptr,
       "Row r and column c (1-based) of a dump's grid file at [dump, r-1, c-1]. A dump with no grid has zeros. "
       "Only a complete dump's row is its own (see complete).",
       nullptr, nullptr},
      {"time", T::real, "time (code units)", nullptr,
       "In the dump's code units, as the index line gives it; NaN for a dump with no grid.",
       [](const SeriesDump& d) { return value(d.time); },
       [](SeriesDump& d, V v) { return d.time = std::get<double>(v), true; }, false, true},
      {"time_s", T::real, "time", "s", "time by dump_utime; NaN for a dump with no grid or no time unit.",
       [](const SeriesDump& d) { return value(d.dump_utime > 0 ? d.time * d.dump_utime : std::nan("")); }, nullptr,
       false, true, "time"},
      {"time_ff", T::real, "time / free-fall time", nullptr,
       "t/t_ff as the index line gives it; NaN for a dump with no grid.",
       [](const SeriesDump& d) { return value(d.time_ff); },
       [](SeriesDump& d, V v) { return d.time_ff = std::get<double>(v), true; }, false, true},
      {"npart", T::integer, "particles the dump holds", nullptr, nullptr,
       [](const SeriesDump& d) { return value(d.npart); },
       [](SeriesDump& d, V v) { return d.npart = std::get<std::int64_t>(v), true; }},
      {"binned", T::integer, "particles counted in the grid's cells", nullptr, "The sum of the dump's counts.",
       [](const SeriesDump& d) { return value(d.binned); },
       [](SeriesDump& d, V v) { return d.binned = std::get<std::int64_t>(v), true; }},
      {"inactive", T::integer, "particles not binned as inactive", nullptr,
       "npart = binned + inactive + the three outside counts, for a dump read to its end.",
       [](const SeriesDump& d) { return value(d.inactive); },
       [](SeriesDump& d, V v) { return d.inactive = std::get<std::int64_t>(v), true; }},
      {"outside_above_columns", T::integer, "active particles denser than the last column", nullptr,
       "Density at or beyond the last column's end.",
       [](const SeriesDump& d) { return value(d.outside.above_columns); },
       [](SeriesDump& d, V v) { return d.outside.above_columns = std::get<std::int64_t>(v), true; }},
      {"outside_rows", T::integer, "active particles outside the temperature rows", nullptr,
       "Dust temperature below or above the rows.",
       [](const SeriesDump& d) { return value(d.outside.outside_rows); },
       [](SeriesDump& d, V v) { return d.outside.outside_rows = std::get<std::int64_t>(v), true; }},
      {"outside_nan", T::integer, "active particles of no dust temperature", nullptr, "Dust temperature not a number.",
       [](const SeriesDump& d) { return value(d.outside.nan); },
       [](SeriesDump& d, V v) { return d.outside.nan = std::get<std::int64_t>(v), true; }},
      {"centre", T::xyz, "centre of the dump's positions (code units)", nullptr,
       "x, y, z in the dump's code length units: where the origin was moved from; zeros with no centring, or "
       "when the centring was skipped.",
       [](const SeriesDump& d) { return value(d.centre); },
       [](SeriesDump& d, V v) { return d.centre = std::get<std::array<double, 3>>(v), true; }},
      {"grid_file", T::text, "grid file", nullptr, "The name of the dump's grid file, as its index line gives it.",
       [](const SeriesDump& d) { return value(d.grid_file); },
       [](SeriesDump& d, V v) { return d.grid_file = std::get<std::string>(v), true; }},
      {"status", T::text, "what became of the dump", nullptr,
       "complete, ended early, could not be opened, stopped by a fault, out of memory, not a dump, changed "
       "while read, or files not written.",
       [](const SeriesDump& d) { return value(std::string(status_text(d.status))); },
       [](SeriesDump& d, V v) {
         for (const DumpStatus s : all_statuses)
           if (status_text(s) == std::get<std::string>(v)) return d.status = s, true;
         return false;
       },
       false, true},
      {"complete", T::flag, "dump complete", nullptr,
       "1 when the dump was read to its end (status complete): its row is its own grid. 0 otherwise: the row's "
       "counts hold what an earlier dump left (ended early, could not be opened) or nothing (no grid), and "
       "belong in no sum over dumps.",
       [](const SeriesDump& d) { return value(std::int64_t{d.status == DumpStatus::complete}); }, nullptr, false,
       true},
      {"dump_umass", T::real, "mass unit the dump records", "g", "0 when unknown.",
       [](const SeriesDump& d) { return value(d.dump_umass); },
       [](SeriesDump& d, V v) { return d.dump_umass = std::get<double>(v), true; }},
      {"dump_udist", T::real, "length unit the dump records", "cm", "0 when unknown.",
       [](const SeriesDump& d) { return value(d.dump_udist); },
       [](SeriesDump& d, V v) { return d.dump_udist = std::get<double>(v), true; }},
      {"dump_utime", T::real, "time unit the dump records", "s", "0 when unknown.",
       [](const SeriesDump& d) { return value(d.dump_utime); },
       [](SeriesDump& d, V v) { return d.dump_utime = std::get<double>(v), true; }},
      {"dump_path", T::text, "the dump's absolute path", nullptr,
       "Every link resolved, as the run found it before reading the dump; empty when it could not be found. With "
       "dump_size and dump_mtime, what --append knows a dump again by.",
       [](const SeriesDump& d) { return value(d.dump_path); },
       [](SeriesDump& d, V v) { return d.dump_path = std::get<std::string>(v), true; }, true},
      {"dump_size", T::integer, "the dump's size", "byte", "As the run found it before reading the dump; -1 when "
       "unknown (not a regular file).",
       [](const SeriesDump& d) { return value(d.dump_size); },
       [](SeriesDump& d, V v) { return d.dump_size = std::get<std::int64_t>(v), true; }, true},
      {"dump_mtime", T::integer, "the dump's last modification", "nanoseconds since 1970-01-01 00:00:00 UTC",
       "As the run found it before reading the dump; -1 when unknown (not a regular file).",
       [](const SeriesDump& d) { return value(d.dump_mtime); },
       [](SeriesDump& d, V v) { return d.dump_mtime = std::get<std::int64_t>(v), true; }, true},
  };
  return variables;
}

}  // namespace pg
