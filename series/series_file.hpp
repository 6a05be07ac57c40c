// The series file: a whole run's phase grids in one HDF5 file, exact counts
// with their axes, times, units and what became of each dump. It is written
// beside its name (`FILE.unfinished`, locked, as every output file is) and
// replaces FILE only when it is closed, synced to the disk: whatever stops
// the run, FILE is either the earlier file as it was or a whole series.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/answers.hpp"
#include "analysis/diagram.hpp"
#include "analysis/phase_grid.hpp"

namespace pg {

// The root attribute "format" of a series file this phasegrid writes; of the
// layout before (counts unsigned), which it reads as well; and of the first,
// which a run replaces but nothing reads.
inline constexpr std::string_view series_format = "phasegrid series 3";
inline constexpr std::string_view series_format_2 = "phasegrid series 2";
inline constexpr std::string_view series_format_1 = "phasegrid series 1";

// What became of a dump, as the file's "status" strings say it.
enum class DumpStatus {
  complete,
  ended_early,
  could_not_be_opened,
  stopped_by_fault,
  out_of_memory,
  not_a_dump,
  changed_while_read,  // the file changed between its read and its binning: no grid
  files_not_written,   // binned, but its grid and index files could not be written
};
inline constexpr DumpStatus all_statuses[] = {
    DumpStatus::complete,      DumpStatus::ended_early, DumpStatus::could_not_be_opened, DumpStatus::stopped_by_fault,
    DumpStatus::out_of_memory, DumpStatus::not_a_dump,  DumpStatus::changed_while_read,  DumpStatus::files_not_written};
std::string_view status_text(DumpStatus status);

// What the whole run shares: written as the file's root attributes.
struct SeriesRun {
  std::string version;  // the tool's
  Analysis answers;     // centring and rotation answers, frequency
  double grid_umass = 0, grid_udist = 0, grid_utime = 0;  // the units the grid uses (cgs)
  double density_to_n = 0;  // number density (cm^-3) per code density unit
  std::string history;      // how the file came to be, when not one run (a merge): the root "history"
  // The run's diagrams (--diagram), in order: each a variable of the file
  // with its axes (see diagram_names()), its SPEC recorded.
  std::vector<DiagramSpec> diagrams;
};

// One dump's cells of one diagram: y rows of x columns, x fastest; counts
// for a diagram of counts, values for the others. Null: no cells (zeros, or
// NaN for values), as for any status but binned.
struct SeriesDiagramCells {
  DiagramStatus status = DiagramStatus::not_binned;
  const std::int32_t* counts = nullptr;
  const double* values = nullptr;
};

// One dump of the run.
struct SeriesDump {
  std::string dump;       // the path as given
  std::string grid_file;  // the grid file's name as the index line gives it
  DumpStatus status = DumpStatus::complete;
  double time = 0, time_ff = 0;  // as in the index line
  std::int64_t npart = 0;        // particles the dump holds
  std::int64_t binned = 0;       // particles counted in the grid's cells
  std::int64_t inactive = 0;     // particles the binning passed over as not active
  OutsideGrid outside;           // active particles no cell holds, by reason
  std::array<double, 3> centre{};  // the centre the dump was moved to the origin from (code units)
  // The units the dump records (zeros when unknown); the time in seconds
  // is `time` by `dump_utime`.
  double dump_umass = 0, dump_udist = 0, dump_utime = 0;
  // The grid's counts, PhaseGrid's rows (dust temperature) of columns
  // (density); null writes zeros (a dump
  // stopped by a fault has no grid).
  const std::int32_t (*counts)[grid_nx] = nullptr;
  // Which file the dump was, and as it was before the run read it: its
  // absolute path with every link resolved ("" when it could not be found),
  // its size in bytes and its last modification (nanoseconds since the
  // epoch); -1 when unknown (not a regular file, or a file of an older
  // phasegrid). A dump held complete with the same size and modification
  // is the same dump, unchanged.
  std::string dump_path;
  std::int64_t dump_size = -1, dump_mtime = -1;
  // One per diagram of the run, in SeriesRun::diagrams' order (none: every
  // diagram not binned).
  std::vector<SeriesDiagramCells> diagrams;
};

// A dump's cells as a series file of this phasegrid stores them (the grid's
// counts, or one diagram's cells): one chunk, shuffled and deflated, and
// HDF5's mask of the filters it skipped. No bytes: not stored so.
struct StoredChunk {
  std::vector<char> bytes;
  std::uint32_t filters = 0;
};

// A row of an earlier series as stored there: the grid's chunk and each
// diagram's (none, or one per diagram). A chunk without bytes is written
// from the row's cells instead.
struct StoredRow {
  StoredChunk counts;
  std::vector<StoredChunk> diagrams;
};

// The cell bounds a series file records, the binning's own: (rows, 2) and
// (columns, 2), row-major, log10 K and log10 cm^-3.
struct SeriesAxes {
  std::vector<double> log10_T_bounds, log10_n_bounds;
};
const SeriesAxes& series_axes();

// Creates the series of a run; FILE is replaced when it is closed. A file
// that cannot be created or written throws an Error (exit status 2) naming the
// file and the reason, and leaves FILE as it was.
class SeriesFile {
 public:
  SeriesFile(const std::string& path, const SeriesRun& run);
  // Without close(): FILE stays as it was.
  ~SeriesFile();
  SeriesFile(SeriesFile&&) noexcept;
  SeriesFile& operator=(SeriesFile&&) noexcept;
  SeriesFile(const SeriesFile&) = delete;
  SeriesFile& operator=(const SeriesFile&) = delete;

  // Appends one dump. Safe to call from another thread than the rest, one
  // call at a time.
  void append(const SeriesDump& dump);
  // Appends a row of an earlier series carried over: the chunks `stored`
  // holds are copied as they are, the other cells written from `dump`.
  void append_stored(const SeriesDump& dump, const StoredRow& stored);
  std::size_t rows() const;
  // Not yet closed, and no failure dropped it.
  bool writing() const { return impl_ != nullptr; }
  // The last dump appended did not leave the files its row names: its row
  // takes `status` and names no grid file.
  void amend_last(DumpStatus status);
  // Records that a signal stopped the run (`what`: which, and where).
  void note_interrupted(std::string_view what);
  // Replaces the file's "history" (how it came to be).
  void set_history(std::string_view history);
  // close() puts the rows in time order: those without a time last, ties in
  // the order they were appended.
  void order_by_time();
  // Completes the file and puts it in FILE's place; throws as above.
  // Idempotent; nothing to do after a failure.
  void close();

  struct Impl;  // the open file (series_file.cpp)

 private:
  std::unique_ptr<Impl> impl_;  // null once closed, or after a failure
};

}  // namespace pg
