#include "series/series_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <map>
#include <new>
#include <stdexcept>
#include <vector>

#include <hdf5_hl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/system.hpp"
#include "base/error.hpp"
#include "series/hdf5_handle.hpp"
#include "series/output_file.hpp"
#include "series/series_join.hpp"
#include "series/series_schema.hpp"

namespace pg {

std::string_view status_text(DumpStatus status) {
  switch (status) {
    case DumpStatus::complete: return "complete";
    case DumpStatus::ended_early: return "ended early";
    case DumpStatus::could_not_be_opened: return "could not be opened";
    case DumpStatus::stopped_by_fault: return "stopped by a fault";
    case DumpStatus::out_of_memory: return "out of memory";
    case DumpStatus::not_a_dump: return "not a dump";
    case DumpStatus::changed_while_read: return "changed while read";
    case DumpStatus::files_not_written: return "files not written";
  }
  return "";
}

namespace {

using h5::check;

// Deflate level of the counts: with the shuffle filter, level 1 keeps a
// dump's counts to tens of KB (level 9 saves a fifth more) at half the time
// of level 4: about 4 ms a dump, the most of what the series costs a run.
constexpr unsigned counts_deflate = 1;

// The number density of a code density, as the binning computes it.
double log10_number_density(float rho) { return std::log10(number_density(rho)); }

// Text as valid UTF-8 (the file's strings say they are): a byte that starts
// no valid sequence becomes U+FFFD.
std::string utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) >> 6) == 0x2;
    if (ok && len > 1) {  // no overlong forms, surrogates or values past U+10FFFF
      std::uint32_t cp = b & (0x7Fu >> len);
      for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
      static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= least[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

h5::Datatype text_type() {
  h5::Datatype t(check(H5Tcopy(H5T_C_S1), "making the string type"));
  check(H5Tset_size(t.get(), H5T_VARIABLE), "making the string type");
  check(H5Tset_cset(t.get(), H5T_CSET_UTF8), "making the string type");
  return t;
}

h5::Dataspace simple_space(std::initializer_list<hsize_t> dims) {
  const std::vector<hsize_t> d(dims);
  return h5::Dataspace(check(H5Screate_simple(static_cast<int>(d.size()), d.data(), nullptr),
                             "making a dataspace"));
}

// Attributes, each created (replacing one of the same name) and written.
void put_attribute(hid_t obj, const char* name, hid_t type, hid_t space, const void* data) {
  if (check(H5Aexists(obj, name), name) > 0) check(H5Adelete(obj, name), name);
  h5::Attribute a(check(H5Acreate2(obj, name, type, space, H5P_DEFAULT, H5P_DEFAULT), name));
  check(H5Awrite(a.get(), type, data), name);
  a.close(name);
}

// Text attributes are fixed-length strings: netCDF's text (NC_CHAR), which
// every netCDF and HDF5 reader takes.
void put_text(hid_t obj, const char* name, std::string_view value) {
  const std::string text = utf8(value);
  h5::Datatype type(check(H5Tcopy(H5T_C_S1), name));
  check(H5Tset_size(type.get(), std::max<std::size_t>(text.size(), 1)), name);
  check(H5Tset_cset(type.get(), H5T_CSET_UTF8), name);
  h5::Dataspace scalar(check(H5Screate(H5S_SCALAR), name));
  const std::string padded = text.empty() ? std::string(1, '\0') : text;
  put_attribute(obj, name, type.get(), scalar.get(), padded.data());
}

void put_doubles(hid_t obj, const char* name, std::initializer_list<hsize_t> dims, const double* values) {
  put_attribute(obj, name, H5T_IEEE_F64LE, simple_space(dims).get(), values);
}

void put_double(hid_t obj, const char* name, double value) {
  h5::Dataspace scalar(check(H5Screate(H5S_SCALAR), name));
  put_attribute(obj, name, H5T_IEEE_F64LE, scalar.get(), &value);
}

void put_int(hid_t obj, const char* name, std::int32_t value) {
  h5::Dataspace scalar(check(H5Screate(H5S_SCALAR), name));
  put_attribute(obj, name, H5T_STD_I32LE, scalar.get(), &value);
}

// How a variable is described: CF's long_name and units (UDUNITS' syntax;
// null for text), and a longer comment.
struct About {
  const char* long_name;
  const char* units;
  const char* comment = nullptr;
};

void describe(hid_t set, const About& about) {
  put_text(set, "long_name", about.long_name);
  if (about.units != nullptr) put_text(set, "units", about.units);
  if (about.comment != nullptr) put_text(set, "comment", about.comment);
}

h5::PropertyList creation_list(const char* name) {
  h5::PropertyList dcpl(check(H5Pcreate(H5P_DATASET_CREATE), name));
  check(H5Pset_obj_track_times(dcpl.get(), false), name);
  // Attributes listed in the order they are written, as netCDF lists them.
  check(H5Pset_attr_creation_order(dcpl.get(), H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED), name);
  return dcpl;
}

// A fixed variable of doubles, written whole: `dims` its shape.
h5::Dataset put_fixed(hid_t file, const char* name, std::initializer_list<hsize_t> dims,
                      const std::vector<double>& values) {
  h5::PropertyList dcpl = creation_list(name);
  h5::Dataset d(check(H5Dcreate2(file, name, H5T_IEEE_F64LE, simple_space(dims).get(), H5P_DEFAULT, dcpl.get(),
                                 H5P_DEFAULT),
                      name));
  check(H5Dwrite(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), name);
  return d;
}

// A dimension with no variable of its own, as netCDF-4 stores one: an
// empty dimension scale whose name says so.
h5::Dataset put_bare_dimension(hid_t file, const char* name, hsize_t size) {
  h5::PropertyList dcpl = creation_list(name);
  check(H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER), name);
  h5::Dataset d(check(H5Dcreate2(file, name, H5T_IEEE_F32LE, simple_space({size}).get(), H5P_DEFAULT, dcpl.get(),
                                 H5P_DEFAULT),
                      name));
  const std::string label = fmt::format("This is a netCDF dimension but not a netCDF variable.{:10d}", size);
  check(H5DSset_scale(d.get(), label.c_str()), name);
  return d;
}

// A variable that grows by one row per dump: shape (0, row...), unlimited
// along the first axis (the dump dimension), chunked `chunk_rows` rows at a
// time.
struct Series {
  h5::Dataset set;
  std::vector<hsize_t> row;  // the shape of one row
  std::string name;
};

Series make_series(hid_t file, const std::string& name_text, hid_t type, std::vector<hsize_t> row,
                   hsize_t chunk_rows, bool compressed) {
  const char* name = name_text.c_str();
  std::vector<hsize_t> dims{0}, maxdims{H5S_UNLIMITED}, chunk{chunk_rows};
  for (const hsize_t n : row) {
    dims.push_back(n);
    maxdims.push_back(n);
    chunk.push_back(n);
  }
  const int rank = static_cast<int>(dims.size());
  h5::Dataspace space(check(H5Screate_simple(rank, dims.data(), maxdims.data()), name));
  h5::PropertyList dcpl = creation_list(name);
  check(H5Pset_chunk(dcpl.get(), rank, chunk.data()), name);
  if (compressed) {
    // Every count is written: no fill values first.
    check(H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER), name);
    check(H5Pset_shuffle(dcpl.get()), name);
    check(H5Pset_deflate(dcpl.get(), counts_deflate), name);
  }
  h5::Dataset d(
      check(H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT), name));
  return Series{std::move(d), std::move(row), name_text};
}

// Names the dimensions of `set`, one scale for each axis.
void attach(hid_t set, std::initializer_list<hid_t> scales, const char* name) {
  unsigned axis = 0;
  for (const hid_t scale : scales) check(H5DSattach_scale(set, scale, axis++), name);
}

// Writes row `index` of `s` from `data`; with `grow`, first grows `s` to
// `index` + 1 rows.
void write_row(const Series& s, hsize_t index, hid_t mem_type, const void* data, bool grow = false) {
  std::vector<hsize_t> dims{index + 1}, start{index}, count{1};
  for (const hsize_t n : s.row) {
    dims.push_back(n);
    start.push_back(0);
    count.push_back(n);
  }
  const int rank = static_cast<int>(dims.size());
  const char* name = s.name.c_str();
  if (grow) check(H5Dset_extent(s.set.get(), dims.data()), name);
  h5::Dataspace file_space(check(H5Dget_space(s.set.get()), name));
  check(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr), name);
  h5::Dataspace mem_space(check(H5Screate_simple(rank, count.data(), nullptr), name));
  check(H5Dwrite(s.set.get(), mem_type, mem_space.get(), file_space.get(), H5P_DEFAULT, data), name);
}

void append_row(const Series& s, hsize_t index, hid_t mem_type, const void* data) {
  write_row(s, index, mem_type, data, true);
}

// Where row `index` of a variable chunked a row at a time begins.
std::vector<hsize_t> chunk_start(const Series& s, hsize_t index) {
  std::vector<hsize_t> at(s.row.size() + 1, 0);
  at[0] = index;
  return at;
}

// Appends row `index` of `s` as the chunk `stored` (copied as it is).
void append_chunk(const Series& s, hsize_t index, const StoredChunk& stored) {
  std::vector<hsize_t> dims{index + 1};
  dims.insert(dims.end(), s.row.begin(), s.row.end());
  check(H5Dset_extent(s.set.get(), dims.data()), s.name.c_str());
  check(H5Dwrite_chunk(s.set.get(), H5P_DEFAULT, stored.filters, chunk_start(s, index).data(), stored.bytes.size(),
                       stored.bytes.data()),
        s.name.c_str());
}

// Moves the rows of `s`, chunked a row at a time, as they are stored
// (compressed) to the places of `order` (order[j]: the row that goes to j),
// one chunk held at a time beside the one being placed.
void move_chunks(const Series& s, const std::vector<std::size_t>& order) {
  const hid_t set = s.set.get();
  const char* name = s.name.c_str();
  auto take = [&](std::size_t row, StoredChunk& chunk) {
    hsize_t bytes = 0;
    check(H5Dget_chunk_storage_size(set, chunk_start(s, row).data(), &bytes), name);
    chunk.bytes.resize(bytes);
    check(H5Dread_chunk(set, H5P_DEFAULT, chunk_start(s, row).data(), &chunk.filters, chunk.bytes.data()), name);
  };
  auto put = [&](std::size_t row, const StoredChunk& chunk) {
    check(H5Dwrite_chunk(set, H5P_DEFAULT, chunk.filters, chunk_start(s, row).data(), chunk.bytes.size(),
                         chunk.bytes.data()),
          name);
  };
  // Each cycle of the order: its first chunk held, the others moved along.
  std::vector<bool> done(order.size(), false);
  StoredChunk first, next;
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (done[start] || order[start] == start) continue;
    take(start, first);
    std::size_t j = start;
    while (order[j] != start) {
      take(order[j], next);
      put(j, next);
      done[j] = true;
      j = order[j];
    }
    put(j, first);
    done[j] = true;
  }
}

// The file's access list: without HDF5's own locking (the unfinished file is
// locked by the run already, and a second lock on it would be refused), in
// the file format of HDF5 1.8, which every current reader reads.
h5::PropertyList file_access() {
  h5::PropertyList fapl = h5::unlocked_access();
  check(H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V18, H5F_LIBVER_V18), "setting up the file");
  return fapl;
}

// The root group keeps the order its variables and attributes were made in:
// netCDF numbers the dimensions and lists the variables by it.
h5::PropertyList file_creation() {
  h5::PropertyList fcpl(check(H5Pcreate(H5P_FILE_CREATE), "setting up the file"));
  const unsigned order = H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED;
  check(H5Pset_link_creation_order(fcpl.get(), order), "setting up the file");
  check(H5Pset_attr_creation_order(fcpl.get(), order), "setting up the file");
  return fcpl;
}

// What a diagram's cells hold, for its comment.
std::string cells_comment(const DiagramSpec& spec, const DiagramNames& names) {
  const std::string where = fmt::format("[dump, i, j] is bin i of {} and bin j of {}", names.y, names.x);
  const std::string status = names.variable + "_status";
  switch (spec.weight) {
    case Weight::count:
      return fmt::format("The dump's particles in each cell: {}. Zeros where {} is not 0 (binned).", where, status);
    case Weight::mass:
      return fmt::format("The mass of the dump's particles in each cell: {}. NaN where {} is not 0 (binned).", where,
                         status);
    case Weight::sum:
      return fmt::format("The sum of {} over the dump's particles in each cell: {}. NaN where {} is not 0 (binned).",
                         info(spec.of).name, where, status);
    case Weight::mean:
      return fmt::format("The mean of {} over the dump's particles in each cell, weighed by their mass (NaN in a "
                         "cell of no mass): {}. NaN where {} is not 0 (binned).",
                         info(spec.of).name, where, status);
  }
  return {};
}

std::string left_as_it_was(const std::string& path) {
  return file_status(path, false) ? "; it is left as it was" : "; it is not written";
}

}  // namespace

struct SeriesFile::Impl {
  std::string path;
  OutputFile out;  // the unfinished file: first, so removed last
  h5::File file;   // closed after the variables
  // The dimensions without variables of their own, and the axes.
  h5::Dataset bounds_dim, xyz_dim, log10_T, log10_n, log10_T_bounds, log10_n_bounds;
  std::vector<Series> sets;  // row_variables()' datasets, in its order
  // A diagram's variables: its cells, (dump, y, x), and what became of it.
  struct Diagram {
    Series cells, status;
    bool counts = true;  // int32 counts, or float64 values
    std::size_t size = 0;  // cells a dump
  };
  std::vector<Diagram> diagrams;
  std::vector<h5::Dataset> diagram_axes;  // their coordinates and bounds
  h5::Datatype text;
  hsize_t rows = 0;                   // dumps appended
  std::vector<std::int32_t> zeros;    // the cells of a dump with no grid, or a diagram of counts with none
  std::vector<double> nans;           // those of a diagram of values with none
  std::vector<SeriesDump> written;    // the rows as written, without their cells
  bool by_time = false;               // close() puts them in time order

  void create(const SeriesRun& run);
  void make_axes();
  void make_diagrams(const std::vector<DiagramSpec>& specs, const std::vector<DiagramNames>& names,
                     const std::string& coordinates);
  void append(const SeriesDump& d, const StoredRow* stored = nullptr);
  void write_value(std::size_t variable, hsize_t row, const SeriesDump& d, bool grow);
  void write_status(std::size_t diagram, hsize_t row, const SeriesDump& d, bool grow);
  const std::int32_t* no_counts(std::size_t n);
  const double* no_values(std::size_t n);
  void amend_last(DumpStatus s);
  void put_in_time_order();
  void close();
};

const SeriesAxes& series_axes() {
  static const SeriesAxes axes = [] {
    const PhaseBins& bins = phase_bins();
    std::vector<double> n_edges(grid_nx + 1), t_edges(grid_ny + 1);
    n_edges[0] = 0.02;
    for (int c = 2; c <= grid_nx + 1; ++c) n_edges[c - 1] = log10_number_density(bins.column_threshold(c));
    for (int r = 1; r <= grid_ny + 1; ++r) t_edges[r - 1] = std::log10(bins.row_threshold(r));
    auto bounds = [](const std::vector<double>& edges) {
      std::vector<double> v;
      for (std::size_t i = 0; i + 1 < edges.size(); ++i) v.insert(v.end(), {edges[i], edges[i + 1]});
      return v;
    };
    return SeriesAxes{bounds(t_edges), bounds(n_edges)};
  }();
  return axes;
}

// The axes: each cell's centre, and its bounds as the binning draws them.
void SeriesFile::Impl::make_axes() {
  const hid_t f = file.get();
  const SeriesAxes& axes = series_axes();
  auto centres = [](const std::vector<double>& bounds) {
    std::vector<double> v(bounds.size() / 2);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 0.5 * (bounds[2 * i] + bounds[2 * i + 1]);
    return v;
  };
  log10_T = put_fixed(f, "log10_T", {grid_ny}, centres(axes.log10_T_bounds));
  check(H5DSset_scale(log10_T.get(), "log10_T"), "log10_T");
  describe(log10_T.get(), {"log10 dust temperature", "lg(re 1 K)",
                           "The centre of each row of the grid; its bounds are those the binning uses. A "
                           "temperature outside them is in no row."});
  put_text(log10_T.get(), "axis", "Y");
  put_text(log10_T.get(), "bounds", "log10_T_bounds");
  log10_n = put_fixed(f, "log10_n", {grid_nx}, centres(axes.log10_n_bounds));
  check(H5DSset_scale(log10_n.get(), "log10_n"), "log10_n");
  describe(log10_n.get(), {"log10 number density", "lg(re 1 cm-3)",
                           "The centre of each column of the grid; its bounds are those the binning uses. The "
                           "first column also counts every lower density, zero and negative included; a density "
                           "at or above the last bound is in no column."});
  put_text(log10_n.get(), "axis", "X");
  put_text(log10_n.get(), "bounds", "log10_n_bounds");
  bounds_dim = put_bare_dimension(f, "bounds", 2);
  xyz_dim = put_bare_dimension(f, "xyz", 3);
  log10_T_bounds = put_fixed(f, "log10_T_bounds", {grid_ny, 2}, axes.log10_T_bounds);
  attach(log10_T_bounds.get(), {log10_T.get(), bounds_dim.get()}, "log10_T_bounds");
  log10_n_bounds = put_fixed(f, "log10_n_bounds", {grid_nx, 2}, axes.log10_n_bounds);
  attach(log10_n_bounds.get(), {log10_n.get(), bounds_dim.get()}, "log10_n_bounds");
}

void SeriesFile::Impl::create(const SeriesRun& run) {
  h5::prepare_calls();
  // HDF5 opens the file it is given by a name: the name of the claimed
  // descriptor itself, which is the unfinished file whatever its own name
  // has become meanwhile (a link swapped in is never followed).
  const std::string own = fmt::format("/proc/self/fd/{}", out.descriptor());
  if (::access(own.c_str(), F_OK) != 0)
    throw h5::Error(fmt::format("creating the file: it is written through {}, which cannot be used here ({})", own,
                                std::strerror(errno)));
  file = h5::File(check(H5Fcreate(own.c_str(), H5F_ACC_TRUNC, file_creation().get(), file_access().get()),
                        "creating the file"));
  void* handle = nullptr;
  check(H5Fget_vfd_handle(file.get(), H5P_DEFAULT, &handle), "creating the file");
  const auto theirs =
      handle == nullptr ? SysResult<struct stat>::failed(EBADF) : file_status(*static_cast<int*>(handle));
  const auto mine = file_status(out.descriptor());
  if (!theirs || !mine || !same_file(*theirs, *mine))
    throw h5::Error("creating the file: HDF5 opened another file than the unfinished one");
  const hid_t f = file.get();

  put_text(f, "Conventions", "CF-1.10");
  put_text(f, "title", "Phase grids of SPH dumps: particles by number density and dust temperature");
  put_text(f, "source", fmt::format("phasegrid {}", run.version));
  if (!run.history.empty()) put_text(f, "history", run.history);
  put_text(f, "format", series_format);
  put_text(f, "description",
           "Phase grids of a run over SPH dumps: for each dump, the particles counted in each cell of "
           "log10 number density (700 columns) by log10 dust temperature (540 rows), with the dump's "
           "time, units and what became of it.");
  put_text(f, "version", run.version);
  put_text(f, "centre", std::string_view(&run.answers.centre_mode, 1));
  put_doubles(f, "centre_position", {3}, run.answers.centre_position.data());
  put_int(f, "sink_number", run.answers.sink_number);
  put_int(f, "rotate", run.answers.rotate_mode);
  put_double(f, "frequency", run.answers.rotation_frequency);
  put_text(f, "frequency_units", "s-1");
  const double grid_units[3] = {run.grid_umass, run.grid_udist, run.grid_utime};
  put_doubles(f, "grid_units", {3}, grid_units);
  put_text(f, "grid_units_description",
           "the code units of the grid's density: mass (g), length (cm), time (s)");
  put_double(f, "density_to_n", run.density_to_n);
  put_text(f, "density_to_n_units", "cm-3 per code density unit");
  const std::vector<DiagramNames> names = diagram_names(run.diagrams);
  if (!names.empty()) {
    std::vector<std::string_view> variables;
    for (const DiagramNames& n : names) variables.push_back(n.variable);
    put_text(f, "diagrams", fmt::format("{}", fmt::join(variables, " ")));
  }

  // The dump dimension is named by its variable, the dumps' paths; the
  // axes follow it, then the rest.
  text = text_type();
  // The coordinates along `dump` the other variables name, as CF lists
  // them: what xarray plots against and selects by.
  std::string coordinates;
  for (const RowVariable& v : row_variables())
    if (v.coordinate) coordinates += (coordinates.empty() ? "" : " ") + std::string(v.name);
  for (const RowVariable& v : row_variables()) {
    const hsize_t ny = grid_ny, nx = grid_nx;
    const bool counts = v.type == RowType::counts, first = sets.empty();
    const hid_t type = v.type == RowType::text      ? text.get()
                       : v.type == RowType::integer ? H5T_STD_I64LE
                       : v.type == RowType::flag    ? H5T_STD_I8LE
                       : counts                     ? H5T_STD_I32LE
                                                    : H5T_IEEE_F64LE;
    const std::vector<hsize_t> row = counts ? std::vector<hsize_t>{ny, nx}
                                     : v.type == RowType::xyz ? std::vector<hsize_t>{3}
                                                              : std::vector<hsize_t>{};
    sets.push_back(make_series(f, v.name, type, row, first ? 64 : counts ? 1 : 256, counts));
    const hid_t set = sets.back().set.get(), dump = sets.front().set.get();
    if (first) {
      check(H5DSset_scale(set, v.name), v.name);
    } else if (counts) {
      attach(set, {dump, log10_T.get(), log10_n.get()}, v.name);
    } else if (v.type == RowType::xyz) {
      attach(set, {dump, xyz_dim.get()}, v.name);
    } else {
      attach(set, {dump}, v.name);
    }
    describe(set, {v.long_name, v.units, v.comment});
    if (v.standard_name != nullptr) put_text(set, "standard_name", v.standard_name);
    if (v.type == RowType::flag) {
      const std::int8_t values[2] = {0, 1};
      put_attribute(set, "flag_values", H5T_STD_I8LE, simple_space({2}).get(), values);
      put_text(set, "flag_meanings", "no yes");
    }
    if (!first && !v.coordinate) put_text(set, "coordinates", coordinates);
    if (first) make_axes();
  }
  // The diagrams after the grid's variables, whose order (and so the
  // numbers netCDF gives their dimensions) stays as it was.
  make_diagrams(run.diagrams, names, coordinates);
}

// The diagrams' variables: first the coordinates of their axes, each made
// once however many diagrams share it, then each diagram's cells and status.
void SeriesFile::Impl::make_diagrams(const std::vector<DiagramSpec>& specs, const std::vector<DiagramNames>& names,
                                     const std::string& coordinates) {
  const hid_t f = file.get();
  std::map<std::string, hid_t> axes;  // the coordinates made, by name
  auto make_axis = [&](const DiagramAxis& a, const std::string& name) {
    if (axes.count(name) != 0) return;
    const std::vector<double> edges = a.edges();
    std::vector<double> centres, bounds;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
      centres.push_back(0.5 * (edges[i] + edges[i + 1]));
      bounds.insert(bounds.end(), {edges[i], edges[i + 1]});
    }
    const hsize_t bins = centres.size();
    const std::string bounds_name = name + "_bounds", units = a.units(), long_name = a.long_name();
    const hid_t c = diagram_axes.emplace_back(put_fixed(f, name.c_str(), {bins}, centres)).get();
    check(H5DSset_scale(c, name.c_str()), name.c_str());
    describe(c, {long_name.c_str(), units.empty() ? nullptr : units.c_str(),
                 a.log ? "The centre of each bin, a decimal logarithm. A value whose logarithm v has lower <= v < "
                         "upper of a bin's bounds is in that bin, the last bin holding its upper bound too; any "
                         "other (zero, negative, not a number, beyond the bounds) is in none."
                       : "The centre of each bin. A value v with lower <= v < upper of a bin's bounds is in that "
                         "bin, the last bin holding its upper bound too; any other (not a number, beyond the "
                         "bounds) is in none."});
    put_text(c, "bounds", bounds_name);
    put_text(c, "quantity", info(a.q).name);
    put_text(c, "scale", a.log ? "log" : "lin");
    const hid_t b = diagram_axes.emplace_back(put_fixed(f, bounds_name.c_str(), {bins, 2}, bounds)).get();
    attach(b, {c, bounds_dim.get()}, bounds_name.c_str());
    axes.emplace(name, c);
  };
  for (std::size_t k = 0; k < specs.size(); ++k) {
    make_axis(specs[k].x, names[k].x);
    make_axis(specs[k].y, names[k].y);
  }
  const hid_t dump = sets.front().set.get();
  for (std::size_t k = 0; k < specs.size(); ++k) {
    const DiagramSpec& spec = specs[k];
    const std::string& name = names[k].variable;
    const std::string status = name + "_status", units = spec.units(), long_name = spec.long_name();
    Diagram& d = diagrams.emplace_back();
    d.counts = spec.counts();
    d.size = static_cast<std::size_t>(spec.x.bins) * static_cast<std::size_t>(spec.y.bins);
    const auto nx = static_cast<hsize_t>(spec.x.bins), ny = static_cast<hsize_t>(spec.y.bins);
    // Stored as the grid's counts are: a chunk a dump, compressed.
    d.cells = make_series(f, name, d.counts ? H5T_STD_I32LE : H5T_IEEE_F64LE, {ny, nx}, 1, true);
    const hid_t cells = d.cells.set.get();
    attach(cells, {dump, axes.at(names[k].y), axes.at(names[k].x)}, name.c_str());
    const std::string comment = cells_comment(spec, names[k]);
    describe(cells, {long_name.c_str(), units.empty() ? nullptr : units.c_str(), comment.c_str()});
    put_text(cells, "spec", spec.text());
    put_text(cells, "coordinates", coordinates + " " + status);

    d.status = make_series(f, status, H5T_STD_I8LE, {}, 256, false);
    const hid_t flags = d.status.set.get();
    attach(flags, {dump}, status.c_str());
    describe(flags, {"what became of the diagram", nullptr,
                     "0: binned, the cells are the dump's; 1: a block of the dump does not carry a quantity the "
                     "diagram reads; 2: weighed by mass, and the dump records no mass unit; 3: the dump was not "
                     "binned. Only 0 has cells."});
    const std::int8_t values[4] = {0, 1, 2, 3};
    put_attribute(flags, "flag_values", H5T_STD_I8LE, simple_space({4}).get(), values);
    put_text(flags, "flag_meanings", diagram_status_meanings());
  }
}

const std::int32_t* SeriesFile::Impl::no_counts(std::size_t n) {
  zeros.assign(std::max(n, zeros.size()), 0);
  return zeros.data();
}

const double* SeriesFile::Impl::no_values(std::size_t n) {
  nans.assign(std::max(n, nans.size()), std::nan(""));
  return nans.data();
}

void SeriesFile::Impl::append(const SeriesDump& d, const StoredRow* stored) {
  h5::prepare_calls();
  const hsize_t k = rows;
  written.push_back(d);
  written.back().counts = nullptr;
  for (SeriesDiagramCells& c : written.back().diagrams) c.counts = nullptr, c.values = nullptr;
  // The chunk of a row given as stored, or none.
  auto chunk = [](const StoredChunk* c) { return c != nullptr && !c->bytes.empty() ? c : nullptr; };
  const std::size_t given = stored != nullptr ? stored->diagrams.size() : 0;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const RowVariable& v = row_variables()[i];
    if (v.type != RowType::counts) {
      write_value(i, k, d, true);
    } else if (const StoredChunk* c = chunk(stored != nullptr ? &stored->counts : nullptr)) {
      append_chunk(sets[i], k, *c);
    } else {
      append_row(sets[i], k, H5T_NATIVE_INT32,
                 d.counts != nullptr ? &d.counts[0][0] : no_counts(std::size_t{grid_nx} * grid_ny));
    }
  }
  for (std::size_t i = 0; i < diagrams.size(); ++i) {
    const Diagram& g = diagrams[i];
    write_status(i, k, d, true);
    if (const StoredChunk* c = chunk(i < given ? &stored->diagrams[i] : nullptr)) {
      append_chunk(g.cells, k, *c);
      continue;
    }
    // Cells only for a diagram binned.
    const bool binned = i < d.diagrams.size() && d.diagrams[i].status == DiagramStatus::binned;
    const std::int32_t* counts = binned ? d.diagrams[i].counts : nullptr;
    const double* values = binned ? d.diagrams[i].values : nullptr;
    if (g.counts) append_row(g.cells, k, H5T_NATIVE_INT32, counts != nullptr ? counts : no_counts(g.size));
    else append_row(g.cells, k, H5T_NATIVE_DOUBLE, values != nullptr ? values : no_values(g.size));
  }
  rows = k + 1;
}

// Diagram i's status of row `row`, from `d` (none given: not binned).
void SeriesFile::Impl::write_status(std::size_t i, hsize_t row, const SeriesDump& d, bool grow) {
  const auto status =
      static_cast<std::int8_t>(i < d.diagrams.size() ? d.diagrams[i].status : DiagramStatus::not_binned);
  write_row(diagrams[i].status, row, H5T_NATIVE_INT8, &status, grow);
}

// Variable i's value of row `row` (not the counts), from `d`.
void SeriesFile::Impl::write_value(std::size_t i, hsize_t row, const SeriesDump& d, bool grow) {
  const RowValue value = row_variables()[i].get(d);
  if (const auto* t = std::get_if<std::string>(&value)) {
    const std::string valid = utf8(*t);
    const char* p = valid.c_str();
    write_row(sets[i], row, text.get(), &p, grow);
  } else if (const auto* x = std::get_if<double>(&value)) {
    write_row(sets[i], row, H5T_NATIVE_DOUBLE, x, grow);
  } else if (const auto* n = std::get_if<std::int64_t>(&value)) {
    write_row(sets[i], row, H5T_NATIVE_INT64, n, grow);
  } else {
    write_row(sets[i], row, H5T_NATIVE_DOUBLE, std::get<std::array<double, 3>>(value).data(), grow);
  }
}

void SeriesFile::Impl::amend_last(DumpStatus s) {
  h5::prepare_calls();
  if (rows == 0) return;
  SeriesDump& last = written.back();
  last.status = s;
  last.grid_file.clear();
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const std::string_view name = row_variables()[i].name;
    if (name == "status" || name == "grid_file") write_value(i, rows - 1, last, false);
  }
}

// The rows in time order: every variable's values are written again in
// their new places, and each dump's counts and diagrams moved as they are
// stored (compressed).
void SeriesFile::Impl::put_in_time_order() {
  std::vector<double> times;
  for (const SeriesDump& d : written) times.push_back(d.time);
  const std::vector<std::size_t> order = time_order(times);  // order[j]: the row that goes to j
  bool moved = false;
  for (std::size_t j = 0; j < order.size(); ++j) moved = moved || order[j] != j;
  if (!moved) return;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    if (row_variables()[i].type == RowType::counts) {
      move_chunks(sets[i], order);
      continue;
    }
    for (std::size_t j = 0; j < order.size(); ++j)
      if (order[j] != j) write_value(i, j, written[order[j]], false);
  }
  for (std::size_t i = 0; i < diagrams.size(); ++i) {
    move_chunks(diagrams[i].cells, order);
    for (std::size_t j = 0; j < order.size(); ++j)
      if (order[j] != j) write_status(i, j, written[order[j]], false);
  }
  std::vector<SeriesDump> sorted;
  for (const std::size_t r : order) sorted.push_back(std::move(written[r]));
  written = std::move(sorted);
}

void SeriesFile::Impl::close() {
  h5::prepare_calls();
  if (by_time) put_in_time_order();
  for (Series& s : sets) s.set.close(s.name.c_str());
  for (Diagram& d : diagrams)
    for (Series* s : {&d.cells, &d.status}) s->set.close(s->name.c_str());
  for (h5::Dataset& d : diagram_axes) d.close("closing a diagram's axis");
  for (h5::Dataset* d : {&bounds_dim, &xyz_dim, &log10_T, &log10_n, &log10_T_bounds, &log10_n_bounds})
    d->close("closing an axis");
  text.close("closing the string type");
  file.close("closing the file");
  out.close();
}

namespace {

[[noreturn]] void stop_writing(const std::string& path, const std::string& why,
                               FaultKind kind = FaultKind::output_failed) {
  throw Error(kind, "cannot write the series file \"" + path + "\": " + why + left_as_it_was(path));
}

// Runs `step` on the file; a failure (HDF5's, or memory) drops the
// unfinished file, leaving FILE as it was, and throws.
template <class Step>
void guarded(std::unique_ptr<SeriesFile::Impl>& impl, Step step) {
  try {
    step(*impl);
  } catch (const h5::Error& e) {
    const std::string path = impl->path;
    impl.reset();
    stop_writing(path, e.what());
  } catch (const std::bad_alloc&) {
    const std::string path = impl->path;
    impl.reset();
    stop_writing(path, "cannot allocate memory", FaultKind::out_of_memory);
  }
}

}  // namespace

SeriesFile::SeriesFile(const std::string& path, const SeriesRun& run) : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  impl_->out = OutputFile(path);
  guarded(impl_, [&](Impl& impl) { impl.create(run); });  // (a failure closes what was made)
}

SeriesFile::~SeriesFile() = default;
SeriesFile::SeriesFile(SeriesFile&&) noexcept = default;
SeriesFile& SeriesFile::operator=(SeriesFile&&) noexcept = default;

namespace {

// A row must have every diagram of the run, or none.
void check_row(const SeriesFile::Impl* impl, const SeriesDump& dump, const char* call) {
  if (impl == nullptr) throw std::logic_error(fmt::format("SeriesFile::{} on a closed series file", call));
  if (!dump.diagrams.empty() && dump.diagrams.size() != impl->diagrams.size())
    throw std::logic_error(fmt::format("SeriesFile::{}: a row of {} diagrams in a series of {}", call,
                                       dump.diagrams.size(), impl->diagrams.size()));
}

}  // namespace

// A failure drops the unfinished file: FILE stays as it was.
void SeriesFile::append(const SeriesDump& dump) {
  check_row(impl_.get(), dump, "append");
  guarded(impl_, [&](Impl& impl) { impl.append(dump); });
}

void SeriesFile::append_stored(const SeriesDump& dump, const StoredRow& stored) {
  check_row(impl_.get(), dump, "append_stored");
  guarded(impl_, [&](Impl& impl) { impl.append(dump, &stored); });
}

void SeriesFile::amend_last(DumpStatus status) {
  if (impl_) guarded(impl_, [&](Impl& impl) { impl.amend_last(status); });
}

std::size_t SeriesFile::rows() const { return impl_ ? static_cast<std::size_t>(impl_->rows) : 0; }

void SeriesFile::note_interrupted(std::string_view what) {
  if (!impl_) return;
  guarded(impl_, [&](Impl& impl) {
    h5::prepare_calls();
    put_text(impl.file.get(), "interrupted", what);
  });
}

void SeriesFile::set_history(std::string_view history) {
  if (!impl_) return;
  guarded(impl_, [&](Impl& impl) {
    h5::prepare_calls();
    put_text(impl.file.get(), "history", history);
  });
}

void SeriesFile::order_by_time() {
  if (impl_) impl_->by_time = true;
}

void SeriesFile::close() {
  if (!impl_) return;
  guarded(impl_, [](Impl& impl) { impl.close(); });
  impl_.reset();
}

}  // namespace pg
