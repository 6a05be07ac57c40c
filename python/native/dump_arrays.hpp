// A dump read for Python: the tool's reader run with every value left in the
// file, so that each array a caller asks for is read once, straight from the
// file into memory the caller owns. Nothing here knows Python: module.cpp
// turns what it gives into numpy arrays and exceptions.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "analysis/diagram.hpp"
#include "analysis/quantities.hpp"
#include "dump/rdump.hpp"
#include "state/store.hpp"

namespace pg::python {

// The file could not be opened, or is not a regular file (error 0).
struct OpenFailed {
  int error = 0;
  std::string path;
};

// A named value of the dump's header.
struct HeaderValue {
  std::string name;
  double value = 0;
  bool integer = false;
};

// One column of the sinks' table: `n` values, of sinks 1 .. n.
struct SinkColumn {
  std::string name;
  std::vector<double> values;
  bool integer = false;
};

class ReadDump {
 public:
  // Reads the dump at `path`, noting where the values of `quantities` lie
  // (their arrays, and those of the derived ones). Raises OpenFailed, or
  // the reader's Error (faults of the dump; store_exhausted).
  ReadDump(const std::string& path, std::span<const Quantity> quantities);

  const ReadEnd& end() const { return end_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  // The particles of the blocks read: every array's length.
  std::int64_t particles() const { return particles_; }
  // Whether every block read supplied what q is found from.
  bool carries(Quantity q) const;
  // The quantities the dump carries, in the table's order.
  std::vector<Quantity> carried() const;

  // Copies q's values (of particles 1 .. particles()) to dst, as items of
  // q's type (quantity_type()). Safe without Python's lock; raises the
  // reader's Error when the file can no longer be read or has changed.
  void fill(Quantity q, void* dst) const;
  // The particles' phases (-1: inactive).
  void fill_phases(std::int8_t* dst) const;
  // Raises dump_changed when the file changed since it was opened.
  void check_unchanged() const;

  std::vector<HeaderValue> header() const;
  std::vector<SinkColumn> sinks() const;

  // The diagrams of the store, positions less `centre` (the tool's binning:
  // status `binned` for each diagram the dump carries the quantities of).
  void bin(Diagrams& diagrams, const std::array<double, 3>& centre, std::vector<DiagramStatus>& status) const;
  // The phase grid's counts (540 rows of 700), and its active particles left out.
  std::int64_t bin_grid(std::int32_t* cells) const;

  const Store& store() const { return *store_; }

 private:
  std::unique_ptr<Store> store_;
  std::shared_ptr<const FileAt> file_;
  ReadEnd end_;
  std::vector<std::string> warnings_;
  std::int64_t particles_ = 0;
};

// The item type of q's array: 'f' float32, 'd' float64.
char quantity_type(Quantity q);

// The diagrams, or the phase grid, of arrays a caller hands over: `arrays[q]`
// null for a quantity not given; `phases` may be null (all active). Copies
// them into a store of its own first. A diagram of a quantity not given has
// status lacks_quantity, one weighed by mass without a unit no_mass_unit.
struct GivenArrays {
  std::int64_t n = 0;
  const void* arrays[quantity_count] = {};
  const std::int8_t* phases = nullptr;
};
std::vector<DiagramStatus> bin_given(const GivenArrays& given, Diagrams& diagrams, double umass);
std::int64_t bin_grid_given(const GivenArrays& given, std::int32_t* cells);

}  // namespace pg::python
