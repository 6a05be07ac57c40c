#include "driver/series_file.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "base/error.hpp"
#include "driver/hdf5_handle.hpp"
#include "driver/output_file.hpp"

namespace pg {

std::string_view status_text(DumpStatus status) {
  switch (status) {
    case DumpStatus::complete: return "complete";
    case DumpStatus::ended_early: return "ended early";
    case DumpStatus::could_not_be_opened: return "could not be opened";
    case DumpStatus::stopped_by_fault: return "stopped by a fault";
    case DumpStatus::out_of_memory: return "out of memory";
    case DumpStatus::not_a_dump: return "not a dump";
  }
  return "";
}

namespace {

using h5::check;

constexpr const char* format_name = "phasegrid series 1";
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

void put_text(hid_t obj, const char* name, std::string_view value) {
  const std::string text = utf8(value);
  const char* p = text.c_str();
  h5::Dataspace scalar(check(H5Screate(H5S_SCALAR), name));
  put_attribute(obj, name, text_type().get(), scalar.get(), &p);
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

// A fixed dataset of doubles, written whole.
void put_axis(hid_t file, const char* name, const std::vector<double>& values, const char* units,
              const char* description) {
  h5::Dataspace space = simple_space({values.size()});
  h5::PropertyList dcpl(check(H5Pcreate(H5P_DATASET_CREATE), name));
  check(H5Pset_obj_track_times(dcpl.get(), false), name);
  h5::Dataset d(check(H5Dcreate2(file, name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
                      name));
  check(H5Dwrite(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), name);
  put_text(d.get(), "units", units);
  put_text(d.get(), "description", description);
  d.close(name);
}

// A dataset that grows by one row per dump: shape (0, row...), unlimited
// along the first axis, chunked `chunk_rows` rows at a time.
struct Series {
  h5::Dataset set;
  std::vector<hsize_t> row;  // the shape of one row
  const char* name = "";
};

Series make_series(hid_t file, const char* name, hid_t type, std::vector<hsize_t> row, hsize_t chunk_rows,
                   bool compressed) {
  std::vector<hsize_t> dims{0}, maxdims{H5S_UNLIMITED}, chunk{chunk_rows};
  for (const hsize_t n : row) {
    dims.push_back(n);
    maxdims.push_back(n);
    chunk.push_back(n);
  }
  const int rank = static_cast<int>(dims.size());
  h5::Dataspace space(check(H5Screate_simple(rank, dims.data(), maxdims.data()), name));
  h5::PropertyList dcpl(check(H5Pcreate(H5P_DATASET_CREATE), name));
  check(H5Pset_chunk(dcpl.get(), rank, chunk.data()), name);
  check(H5Pset_obj_track_times(dcpl.get(), false), name);
  if (compressed) {
    // Every count is written: no fill values first.
    check(H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER), name);
    check(H5Pset_shuffle(dcpl.get()), name);
    check(H5Pset_deflate(dcpl.get(), counts_deflate), name);
  }
  h5::Dataset d(
      check(H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT), name));
  return Series{std::move(d), std::move(row), name};
}

// Grows `s` to `index` + 1 rows and writes row `index` from `data`.
void append_row(const Series& s, hsize_t index, hid_t mem_type, const void* data) {
  std::vector<hsize_t> dims{index + 1}, start{index}, count{1};
  for (const hsize_t n : s.row) {
    dims.push_back(n);
    start.push_back(0);
    count.push_back(n);
  }
  const int rank = static_cast<int>(dims.size());
  check(H5Dset_extent(s.set.get(), dims.data()), s.name);
  h5::Dataspace file_space(check(H5Dget_space(s.set.get()), s.name));
  check(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr),
        s.name);
  h5::Dataspace mem_space(check(H5Screate_simple(rank, count.data(), nullptr), s.name));
  check(H5Dwrite(s.set.get(), mem_type, mem_space.get(), file_space.get(), H5P_DEFAULT, data), s.name);
}

h5::Datatype outside_type(bool in_memory) {
  const hid_t i64 = in_memory ? H5T_NATIVE_INT64 : H5T_STD_I64LE;
  const std::size_t size = in_memory ? sizeof(OutsideGrid) : 3 * sizeof(std::int64_t);
  h5::Datatype t(check(H5Tcreate(H5T_COMPOUND, size), "making the outside type"));
  const std::size_t at[3] = {in_memory ? offsetof(OutsideGrid, above_columns) : 0,
                             in_memory ? offsetof(OutsideGrid, outside_rows) : 8,
                             in_memory ? offsetof(OutsideGrid, nan) : 16};
  check(H5Tinsert(t.get(), "above_columns", at[0], i64), "making the outside type");
  check(H5Tinsert(t.get(), "outside_rows", at[1], i64), "making the outside type");
  check(H5Tinsert(t.get(), "nan", at[2], i64), "making the outside type");
  return t;
}

void describe(const Series& s, const char* units, const char* description) {
  if (units != nullptr) put_text(s.set.get(), "units", units);
  if (description != nullptr) put_text(s.set.get(), "description", description);
}

// A file access list without HDF5's own locking: the unfinished file is
// locked by the run already (a second lock on it would be refused).
h5::PropertyList file_access() {
  h5::PropertyList fapl(check(H5Pcreate(H5P_FILE_ACCESS), "setting up the file"));
  // The file format of HDF5 1.8, which every current reader reads; its
  // object headers also hold attributes of any size (dump_units grows).
  check(H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V18, H5F_LIBVER_V18), "setting up the file");
  check(H5Pset_file_locking(fapl.get(), false, true), "setting up the file");
  return fapl;
}

}  // namespace

std::string series_refusal(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return fmt::format("it cannot be looked at ({})", std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  const std::string not_ours = "it exists and is not a series file phasegrid wrote";
  if (!S_ISREG(st.st_mode)) return not_ours;
  char signature[8] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fmt::format("it cannot be read ({})", std::strerror(errno));
  const bool hdf5 = ::read(fd, signature, sizeof signature) == sizeof signature &&
                    std::memcmp(signature, "\x89HDF\r\n\x1a\n", 8) == 0;
  ::close(fd);
  if (!hdf5) return not_ours;
  try {
    h5::silence_error_printing();
    h5::File f(check(H5Fopen(path.c_str(), H5F_ACC_RDONLY, file_access().get()), "opening"));
    if (check(H5Aexists(f.get(), "format"), "format") <= 0) return not_ours;
    h5::Attribute a(check(H5Aopen(f.get(), "format", H5P_DEFAULT), "format"));
    h5::Datatype stored(check(H5Aget_type(a.get()), "format"));
    if (H5Tget_class(stored.get()) != H5T_STRING || H5Tis_variable_str(stored.get()) <= 0) return not_ours;
    h5::Datatype text = text_type();
    char* value = nullptr;
    check(H5Aread(a.get(), text.get(), &value), "format");
    const bool ours = value != nullptr && std::string_view(value) == format_name;
    H5free_memory(value);
    return ours ? std::string() : not_ours;
  } catch (const h5::Error& e) {
    return not_ours + " (HDF5 cannot read it: " + e.what() + ")";
  }
}

namespace {

std::string left_as_it_was(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? "; it is left as it was" : "; it is not written";
}

}  // namespace

struct SeriesFile::Impl {
  std::string path;
  OutputFile out;  // the unfinished file: first, so removed last
  h5::File file;   // closed after the datasets
  Series counts, time, time_ff, npart, binned, outside, dump, grid_file, status, dump_units;
  h5::Datatype text, outside_memory;
  hsize_t rows = 0;                   // dumps appended
  std::vector<double> units_so_far;   // dump_units, row by row
  std::vector<std::uint32_t> cells;   // one dump's counts as written

  void create(const SeriesRun& run);
  void append(const SeriesDump& d);
  void close();
};

void SeriesFile::Impl::create(const SeriesRun& run) {
  h5::silence_error_printing();
  file = h5::File(check(H5Fcreate(out.unfinished_path().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, file_access().get()),
                        "creating the file"));
  const hid_t f = file.get();

  put_text(f, "format", format_name);
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
  put_text(f, "frequency_units", "s^-1");
  const double grid_units[3] = {run.grid_umass, run.grid_udist, run.grid_utime};
  put_doubles(f, "grid_units", {3}, grid_units);
  put_text(f, "grid_units_description",
           "the code units of the grid's density: mass (g), length (cm), time (s)");
  put_double(f, "density_to_n", run.density_to_n);
  put_text(f, "density_to_n_units", "cm^-3 per code density unit");

  // The axes: the bounds of the cells as the binning draws them.
  const PhaseBins& bins = phase_bins();
  std::vector<double> n_edges(grid_nx + 1), t_edges(grid_ny + 1);
  n_edges[0] = 0.02;
  for (int c = 2; c <= grid_nx + 1; ++c) n_edges[c - 1] = log10_number_density(bins.column_threshold(c));
  for (int r = 1; r <= grid_ny + 1; ++r) t_edges[r - 1] = std::log10(bins.row_threshold(r));
  put_axis(f, "log10_n_edges", n_edges, "log10(cm^-3)",
           "Bounds of the 700 density columns: column c (1-based) holds log10 n from element c-1 up to, "
           "not including, element c. The first column also counts every lower density, zero and "
           "negative included; a density at or above the last bound is in no column.");
  put_axis(f, "log10_T_edges", t_edges, "log10(K)",
           "Bounds of the 540 dust-temperature rows: row r (1-based) holds log10 T from element r-1 up "
           "to, not including, element r; a temperature outside them is in no row.");

  text = text_type();
  outside_memory = outside_type(true);
  const hsize_t ny = grid_ny, nx = grid_nx;
  counts = make_series(f, "counts", H5T_STD_U32LE, {ny, nx}, 1, true);
  describe(counts, "particles",
           "Particles in each cell, [dump, row, column]: row r and column c (1-based) at [k, r-1, c-1], "
           "rows by log10_T_edges, columns by log10_n_edges. A dump with no grid has zeros.");
  time = make_series(f, "time", H5T_IEEE_F64LE, {}, 256, false);
  describe(time, "code time units", "The dump's time; NaN for a dump with no grid.");
  time_ff = make_series(f, "time_ff", H5T_IEEE_F64LE, {}, 256, false);
  describe(time_ff, "free-fall times", "The dump's time over the free-fall time; NaN for a dump with no grid.");
  npart = make_series(f, "npart", H5T_STD_I64LE, {}, 256, false);
  describe(npart, "particles", "The particles the dump holds.");
  binned = make_series(f, "binned", H5T_STD_I64LE, {}, 256, false);
  describe(binned, "particles", "The particles counted in the grid's cells (the sum of the dump's counts).");
  h5::Datatype outside_file = outside_type(false);
  outside = make_series(f, "outside", outside_file.get(), {}, 256, false);
  describe(outside, "particles",
           "Active particles no cell holds, by reason: above_columns (density at or beyond the last "
           "column's end), outside_rows (dust temperature below or above the rows), nan (dust "
           "temperature not a number).");
  dump = make_series(f, "dump", text.get(), {}, 64, false);
  describe(dump, nullptr, "The dump's path as the run was given it.");
  grid_file = make_series(f, "grid_file", text.get(), {}, 64, false);
  describe(grid_file, nullptr, "The name of the dump's grid file, as its index line gives it.");
  status = make_series(f, "status", text.get(), {}, 64, false);
  describe(status, nullptr,
           "What became of the dump: complete, ended early, could not be opened, stopped by a fault.");
  dump_units = make_series(f, "dump_units", H5T_IEEE_F64LE, {3}, 64, false);
  describe(dump_units, "g, cm, s", "The units each dump records: mass, length, time (zeros when unknown).");
  const double no_units = 0;  // (HDF5 wants a buffer even for no values)
  put_doubles(f, "dump_units", {0, 3}, &no_units);
}

void SeriesFile::Impl::append(const SeriesDump& d) {
  h5::silence_error_printing();
  cells.assign(static_cast<std::size_t>(grid_nx) * grid_ny, 0);
  if (d.counts != nullptr)
    for (int r = 0; r < grid_ny; ++r)
      for (int c = 0; c < grid_nx; ++c)
        cells[static_cast<std::size_t>(r) * grid_nx + c] = static_cast<std::uint32_t>(d.counts[r][c]);
  const hsize_t k = rows;
  append_row(counts, k, H5T_NATIVE_UINT32, cells.data());
  append_row(time, k, H5T_NATIVE_DOUBLE, &d.time);
  append_row(time_ff, k, H5T_NATIVE_DOUBLE, &d.time_ff);
  append_row(npart, k, H5T_NATIVE_INT64, &d.npart);
  append_row(binned, k, H5T_NATIVE_INT64, &d.binned);
  append_row(outside, k, outside_memory.get(), &d.outside);
  const std::string dump_text = utf8(d.dump), grid_text = utf8(d.grid_file);
  const std::string status_string(status_text(d.status));
  const char* p = dump_text.c_str();
  append_row(dump, k, text.get(), &p);
  p = grid_text.c_str();
  append_row(grid_file, k, text.get(), &p);
  p = status_string.c_str();
  append_row(status, k, text.get(), &p);
  const std::array<double, 3> units{d.dump_umass, d.dump_udist, d.dump_utime};
  append_row(dump_units, k, H5T_NATIVE_DOUBLE, units.data());
  units_so_far.insert(units_so_far.end(), units.begin(), units.end());
  put_doubles(file.get(), "dump_units", {k + 1, 3}, units_so_far.data());
  rows = k + 1;
}

void SeriesFile::Impl::close() {
  h5::silence_error_printing();
  for (Series* s : {&counts, &time, &time_ff, &npart, &binned, &outside, &dump, &grid_file, &status, &dump_units})
    s->set.close(s->name);
  text.close("closing the string type");
  outside_memory.close("closing the outside type");
  file.close("closing the file");
  out.close();
}

namespace {

[[noreturn]] void stop_writing(const std::string& path, const std::string& why) {
  throw Error(FaultKind::output_failed, "cannot write the series file \"" + path + "\": " + why + left_as_it_was(path));
}

}  // namespace

SeriesFile::SeriesFile(const std::string& path, const SeriesRun& run) : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  impl_->out = OutputFile(path, false);
  try {
    impl_->create(run);
  } catch (const h5::Error& e) {
    impl_.reset();  // closes what was made, removes the unfinished file
    stop_writing(path, e.what());
  }
}

SeriesFile::~SeriesFile() = default;
SeriesFile::SeriesFile(SeriesFile&&) noexcept = default;
SeriesFile& SeriesFile::operator=(SeriesFile&&) noexcept = default;

// A failure drops the unfinished file: FILE stays as it was.
void SeriesFile::append(const SeriesDump& dump) {
  if (!impl_) throw std::logic_error("SeriesFile::append on a closed series file");
  try {
    impl_->append(dump);
  } catch (const h5::Error& e) {
    const std::string path = impl_->path;
    impl_.reset();
    stop_writing(path, e.what());
  }
}

std::size_t SeriesFile::rows() const { return impl_ ? static_cast<std::size_t>(impl_->rows) : 0; }

void SeriesFile::note_interrupted(std::string_view what) {
  if (!impl_) return;
  try {
    h5::silence_error_printing();
    put_text(impl_->file.get(), "interrupted", what);
  } catch (const h5::Error& e) {
    const std::string path = impl_->path;
    impl_.reset();
    stop_writing(path, e.what());
  }
}

void SeriesFile::close() {
  if (!impl_) return;
  const std::unique_ptr<Impl> impl = std::move(impl_);
  try {
    impl->close();
  } catch (const h5::Error& e) {
    stop_writing(impl->path, e.what());
  }
}

}  // namespace pg
