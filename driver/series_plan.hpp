// What a run does with the series file it names when one is there: refuses
// to replace a series that holds dumps the run does not name (unless told
// to), or, told to append, carries its rows over and reads only the dumps
// it does not hold complete.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "driver/plan.hpp"
#include "series/series_file.hpp"
#include "series/series_reader.hpp"

namespace pg {

// What the series file records of the whole run: its answers and diagrams.
SeriesRun series_run(const RunPlan& plan);

struct SeriesPlan {
  bool appending = false;        // rows of an earlier series are carried over
  std::size_t kept_unreadable = 0;  // of those, dumps that cannot be read now (-k): exit status 1
  std::optional<SeriesReader> earlier;
  // For each dump the run reads, the earlier rows it replaces: put back
  // when the run stops before the dump is done.
  std::vector<std::vector<std::size_t>> replaces;
};

// Before the run's first dump, with `series` (the new file) claimed and the
// dumps looked at (look_at_dumps): at the earlier
// series at the series path. Refuses (an Error, exit status 2, one line)
// what must not go on; with --append, copies the earlier rows the run keeps
// into `series` and leaves in `plan` only the dumps to read.
SeriesPlan plan_series(RunPlan& plan, SeriesFile& series);

// The earlier rows that the dumps from `first_not_done` on were to replace,
// put back into `series`.
void put_back_rows(SeriesPlan& splan, SeriesFile& series, std::size_t first_not_done);

}  // namespace pg
