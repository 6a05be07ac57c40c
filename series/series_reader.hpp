// A series file read back: the run's root attributes, each dump's row, and
// one dump's counts at a time (never all of them at once).
//
// The file is someone else's until checked: every variable's shape and type
// is checked before it is read, and anything that is not a series file this
// phasegrid writes, or is damaged, throws an Error (exit status 2) whose line
// names the file and what is wrong with it. HDF5's own error printing is off.
//
// The file is open only while it is read: the rows are read when the reader
// is made, and the counts of a row reopen the file (after checking it is
// still the same file), so that a merge of thousands of files holds at most
// one of them open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/phase_grid.hpp"
#include "series/series_file.hpp"

namespace pg {

// One dump's counts as read, in PhaseGrid's layout.
using SeriesCounts = PhaseGrid::Rows;

// A row's cells as read to be carried into another series: the grid's
// counts, each diagram's cells (counts for a diagram of counts, values for
// the others; the other vector empty), and the chunks the file stores as
// this phasegrid does, to be copied as they are. Reused row after row.
struct SeriesCells {
  PhaseGrid grid;
  std::vector<std::vector<std::int32_t>> counts;
  std::vector<std::vector<double>> values;
  StoredRow stored;
};

// Why the file at `path` must not be replaced by a series: empty when it may
// be (there is none, or it is a series file phasegrid wrote, of this layout
// or the one before).
[[nodiscard]] std::string series_refusal(const std::string& path);

// The dumps a series file of this layout or the one before holds, its rows
// with the dump's path as given and, where the file records it, the dump's
// absolute path; nothing else. Throws an Error as SeriesReader does.
[[nodiscard]] std::vector<SeriesDump> held_dumps(const std::string& path);

class SeriesReader {
 public:
  // Opens `path`, checks it and reads its attributes and rows.
  explicit SeriesReader(std::string path);
  ~SeriesReader();
  SeriesReader(SeriesReader&&) noexcept;
  SeriesReader& operator=(SeriesReader&&) noexcept;
  SeriesReader(const SeriesReader&) = delete;
  SeriesReader& operator=(const SeriesReader&) = delete;

  const std::string& path() const;
  // The run's attributes: SeriesRun::version is the version that wrote it.
  const SeriesRun& run() const;
  const SeriesAxes& axes() const;
  // Which signal stopped the run, and where; empty when none did.
  const std::string& interrupted() const;
  // The dumps in the file's order, each diagram's status with them (none
  // in a file without diagrams); their cells are null.
  const std::vector<SeriesDump>& rows() const;
  // Row k's counts into `cells` (a count below 0 or above INT32_MAX is
  // refused as damage). The file stays open for the next row until close().
  void read_counts(std::size_t k, SeriesCounts& cells);
  // Row k with all its cells, to be carried into another series
  // (SeriesFile::append_stored(row, cells.stored)): its counts and its
  // diagrams' cells read into `cells` and checked as read_counts() checks
  // the counts, the row pointing to them; and, where the file stores them
  // as this phasegrid does (one chunk a dump, shuffled and deflated), each
  // one's chunk as stored, to be copied as it is (no bytes where not).
  [[nodiscard]] SeriesDump read_row(std::size_t k, SeriesCells& cells);
  // Closes the file, when a row's counts left it open.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pg
