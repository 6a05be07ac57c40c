#include "series/series_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/error.hpp"
#include "base/printable.hpp"
#include "base/system.hpp"
#include "series/hdf5_handle.hpp"
#include "series/series_schema.hpp"

namespace pg {

namespace {

using h5::check;

// The most fixed-length text read at once (the paths of a variable, a
// history): more is damage.
constexpr std::size_t max_text = std::size_t{1} << 28;

// What makes the file unfit, as the end of its line.
struct Unfit : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void damaged(const std::string& why) { throw Unfit("it is damaged: " + why); }

// A series file of any layout phasegrid wrote: what a run may replace.
bool any_series_format(std::string_view format) {
  return format == series_format || format == series_format_2 || format == series_format_1;
}

// What the file at `path` is, as far as a series file goes: its status, and
// for a regular file whether it starts with HDF5's signature (or why that
// cannot be read).
struct Look {
  SysResult<struct stat> status;
  SysResult<bool> hdf5 = false;
};

Look look_at(const std::string& path) {
  Look look{file_status(path)};
  if (!look.status || !S_ISREG(look.status->st_mode)) return look;
  const auto head = file_start(path, 8);
  look.hdf5 = head ? SysResult<bool>(*head == std::string_view("\x89HDF\r\n\x1a\n", 8))
                   : SysResult<bool>::failed(head.error());
  return look;
}

// What identifies the file on the disk, to find it replaced between reads.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const Identity&) const = default;
};

// Checks that `path` is an HDF5 file that can be read; returns its identity.
Identity check_file(const std::string& path) {
  const Look look = look_at(path);
  if (!look.status) throw Unfit(std::strerror(look.status.error()));
  const struct stat& st = *look.status;
  if (S_ISDIR(st.st_mode)) throw Unfit("it is a folder");
  if (!S_ISREG(st.st_mode)) throw Unfit("it is not a regular file");
  if (!look.hdf5) throw Unfit(std::strerror(look.hdf5.error()));
  if (!*look.hdf5) throw Unfit("it is not a series file phasegrid wrote (not an HDF5 file)");
  return {st.st_dev, st.st_ino, st.st_size, std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::vector<hsize_t> dims_of(hid_t space) {
  const int rank = check(H5Sget_simple_extent_ndims(space), "reading a shape");
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  check(H5Sget_simple_extent_dims(space, dims.data(), nullptr), "reading a shape");
  return dims;
}

hssize_t points(hid_t space, const char* what) {
  const hssize_t n = H5Sget_simple_extent_npoints(space);
  if (n < 0) h5::fail(what);
  return n;
}

std::string shape_text(const std::vector<hsize_t>& dims) {
  return dims.size() == 1 ? fmt::format("({},)", dims[0]) : fmt::format("({})", fmt::join(dims, ", "));
}

// Text of a string type, stored with variable or fixed length, of `n`
// elements read by `read(memory type, buffer)`.
template <class Read>
std::vector<std::string> read_texts(hid_t stored, hid_t space, std::size_t n, const char* name, Read read) {
  if (H5Tget_class(stored) != H5T_STRING) damaged(fmt::format("\"{}\" is not text", name));
  h5::Datatype memory(check(H5Tcopy(H5T_C_S1), name));
  check(H5Tset_cset(memory.get(), H5Tget_cset(stored)), name);
  std::vector<std::string> out;
  out.reserve(n);
  if (check(H5Tis_variable_str(stored), name) > 0) {
    check(H5Tset_size(memory.get(), H5T_VARIABLE), name);
    std::vector<char*> raw(n, nullptr);
    check(read(memory.get(), raw.data()), name);
    for (const char* s : raw) out.emplace_back(s != nullptr ? s : "");
    H5Dvlen_reclaim(memory.get(), space, H5P_DEFAULT, raw.data());
    return out;
  }
  const std::size_t size = H5Tget_size(stored);
  if (size == 0 || size > max_text / std::max<std::size_t>(n, 1))
    damaged(fmt::format("\"{}\" is text of {} bytes each", name, size));
  check(H5Tset_size(memory.get(), size), name);
  check(H5Tset_strpad(memory.get(), H5T_STR_NULLPAD), name);
  std::vector<char> raw(n * size);
  check(read(memory.get(), raw.data()), name);
  for (std::size_t k = 0; k < n; ++k) {
    const std::string_view s(raw.data() + k * size, size);
    out.emplace_back(s.substr(0, s.find('\0')));
  }
  return out;
}

// Root attributes.
class Attributes {
 public:
  explicit Attributes(hid_t file) : file_(file) {}

  bool has(const char* name) const { return check(H5Aexists(file_, name), name) > 0; }

  std::string text(const char* name) const {
    h5::Attribute a = open(name);
    h5::Datatype stored(check(H5Aget_type(a.get()), name));
    h5::Dataspace space(check(H5Aget_space(a.get()), name));
    if (check(H5Sget_simple_extent_type(space.get()), name) == H5S_NULL) return {};  // netCDF's empty text
    if (points(space.get(), name) != 1)
      damaged(fmt::format("the attribute \"{}\" is not one text", name));
    return read_texts(stored.get(), space.get(), 1, name,
                      [&](hid_t memory, void* buffer) { return H5Aread(a.get(), memory, buffer); })
        .at(0);
  }

  std::vector<double> reals(const char* name, std::size_t n) const { return numbers<double>(name, n, true); }
  std::int32_t integer(const char* name) const { return numbers<std::int32_t>(name, 1, false).at(0); }

 private:
  h5::Attribute open(const char* name) const {
    if (!has(name)) damaged(fmt::format("the attribute \"{}\" is missing", name));
    return h5::Attribute(check(H5Aopen(file_, name, H5P_DEFAULT), name));
  }

  template <class T>
  std::vector<T> numbers(const char* name, std::size_t n, bool real) const {
    h5::Attribute a = open(name);
    h5::Datatype stored(check(H5Aget_type(a.get()), name));
    h5::Dataspace space(check(H5Aget_space(a.get()), name));
    const H5T_class_t cls = H5Tget_class(stored.get());
    const bool fits = real ? cls == H5T_FLOAT
                           : cls == H5T_INTEGER && H5Tget_size(stored.get()) <= 4 &&
                                 (H5Tget_size(stored.get()) < 4 || H5Tget_sign(stored.get()) == H5T_SGN_2);
    if (!fits) damaged(fmt::format("the attribute \"{}\" is not {}", name, real ? "real" : "a 32-bit integer"));
    if (points(space.get(), name) != static_cast<hssize_t>(n))
      damaged(fmt::format("the attribute \"{}\" does not hold {} value{}", name, n, n == 1 ? "" : "s"));
    std::vector<T> out(n);
    check(H5Aread(a.get(), real ? H5T_NATIVE_DOUBLE : H5T_NATIVE_INT32, out.data()), name);
    return out;
  }

  hid_t file_;
};

// The kinds of values a variable may hold.
enum class Holds { reals, integers, counts, text };

// Opens the variable `name`, checking its type and shape.
h5::Dataset open_variable(hid_t file, const char* name, Holds holds, const std::vector<hsize_t>& shape) {
  if (check(H5Lexists(file, name, H5P_DEFAULT), name) <= 0) damaged(fmt::format("\"{}\" is missing", name));
  h5::Dataset d(check(H5Dopen2(file, name, H5P_DEFAULT), name));
  h5::Datatype t(check(H5Dget_type(d.get()), name));
  const H5T_class_t cls = H5Tget_class(t.get());
  const std::size_t size = H5Tget_size(t.get());
  const bool is_signed = H5Tget_sign(t.get()) == H5T_SGN_2;
  bool fits = false;
  const char* wanted = "";
  switch (holds) {
    case Holds::reals: fits = cls == H5T_FLOAT, wanted = "real"; break;
    case Holds::integers: fits = cls == H5T_INTEGER && (is_signed ? size <= 8 : size < 8), wanted = "int64"; break;
    case Holds::counts: fits = cls == H5T_INTEGER && size <= 4, wanted = "int32"; break;
    case Holds::text: fits = cls == H5T_STRING, wanted = "text"; break;
  }
  if (!fits) damaged(fmt::format("\"{}\" is not {}", name, wanted));
  h5::Dataspace space(check(H5Dget_space(d.get()), name));
  if (const std::vector<hsize_t> dims = dims_of(space.get()); dims != shape)
    damaged(fmt::format("\"{}\" has the shape {}, not {}", name, shape_text(dims), shape_text(shape)));
  return d;
}

std::vector<double> read_reals(hid_t file, const char* name, const std::vector<hsize_t>& shape) {
  h5::Dataset d = open_variable(file, name, Holds::reals, shape);
  std::size_t n = 1;
  for (const hsize_t k : shape) n *= k;
  std::vector<double> out(n);
  if (n > 0) check(H5Dread(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()), name);
  return out;
}

std::vector<std::int64_t> read_integers(hid_t file, const char* name, hsize_t rows) {
  h5::Dataset d = open_variable(file, name, Holds::integers, {rows});
  std::vector<std::int64_t> out(rows);
  if (rows > 0) check(H5Dread(d.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()), name);
  return out;
}

std::vector<std::string> read_strings(hid_t file, const char* name, hsize_t rows) {
  h5::Dataset d = open_variable(file, name, Holds::text, {rows});
  if (rows == 0) return {};
  h5::Datatype stored(check(H5Dget_type(d.get()), name));
  h5::Dataspace space(check(H5Dget_space(d.get()), name));
  return read_texts(stored.get(), space.get(), rows, name, [&](hid_t memory, void* buffer) {
    return H5Dread(d.get(), memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer);
  });
}

// The length of the dump dimension: that of "dump", its coordinate.
hsize_t dump_rows(hid_t file) {
  if (check(H5Lexists(file, "dump", H5P_DEFAULT), "dump") <= 0) damaged("\"dump\" is missing");
  h5::Dataset d(check(H5Dopen2(file, "dump", H5P_DEFAULT), "dump"));
  h5::Dataspace space(check(H5Dget_space(d.get()), "dump"));
  const std::vector<hsize_t> dims = dims_of(space.get());
  if (dims.size() != 1) damaged(fmt::format("\"dump\" has the shape {}, not (dumps,)", shape_text(dims)));
  return dims[0];
}

// Opens the file and checks that it is a series file of this format.
h5::File open_series(const std::string& path) {
  h5::File f(check(H5Fopen(path.c_str(), H5F_ACC_RDONLY, h5::unlocked_access().get()), "opening it"));
  const Attributes attributes(f.get());
  const std::string not_ours = "it is not a series file phasegrid wrote";
  if (!attributes.has("format")) throw Unfit(not_ours + " (it has no \"format\" attribute)");
  std::string format;
  try {
    format = attributes.text("format");
  } catch (const Unfit&) {
    throw Unfit(not_ours + " (its \"format\" attribute is not text)");
  }
  if (format == series_format_1)
    throw Unfit(fmt::format("it was written by an older phasegrid (\"{}\"); run phasegrid again on its dumps "
                            "to rewrite it",
                            series_format_1));
  if (format != series_format && format != series_format_2)
    throw Unfit(fmt::format("{} (its format is {}, not \"{}\")", not_ours, quoted(format), series_format));
  return f;
}

}  // namespace

std::string series_refusal(const std::string& path) {
  const Look look = look_at(path);
  if (!look.status) {
    if (look.status.error() == ENOENT) return {};
    return fmt::format("it cannot be looked at ({})", std::strerror(look.status.error()));
  }
  if (S_ISDIR(look.status->st_mode)) return "it is a folder";
  const std::string not_ours = "it exists and is not a series file phasegrid wrote";
  if (!S_ISREG(look.status->st_mode)) return not_ours;
  if (!look.hdf5) return fmt::format("it cannot be read ({})", std::strerror(look.hdf5.error()));
  if (!*look.hdf5) return not_ours;
  try {
    h5::prepare_calls();
    h5::File f(check(H5Fopen(path.c_str(), H5F_ACC_RDONLY, h5::unlocked_access().get()), "opening"));
    // This format, or the one before it (a run replaces either).
    const Attributes attributes(f.get());
    if (!attributes.has("format")) return not_ours;
    const std::string format = attributes.text("format");
    return any_series_format(format) ? std::string() : not_ours;
  } catch (const Unfit&) {
    return not_ours;
  } catch (const h5::Error& e) {
    return not_ours + " (HDF5 cannot read it: " + e.what() + ")";
  }
}

namespace {

// Runs `step` on the series file at `path`, turning what makes it unfit into
// its Error.
template <class Step>
void checked_read(const std::string& path, Step step) {
  try {
    h5::prepare_calls();
    step();
  } catch (const Unfit& e) {
    throw Error(FaultKind::input_refused, fmt::format("cannot use the series file {}: {}", quoted(path), e.what()));
  } catch (const h5::Error& e) {
    throw Error(FaultKind::input_refused,
                fmt::format("cannot read the series file {}: HDF5 cannot read it ({})", quoted(path), e.what()));
  }
}

}  // namespace

std::vector<SeriesDump> held_dumps(const std::string& path) {
  std::vector<SeriesDump> rows;
  checked_read(path, [&] {
    check_file(path);
    h5::File f(check(H5Fopen(path.c_str(), H5F_ACC_RDONLY, h5::unlocked_access().get()), "opening it"));
    const Attributes attributes(f.get());
    const std::string format = attributes.has("format") ? attributes.text("format") : "";
    if (!any_series_format(format)) throw Unfit("it is not a series file phasegrid wrote");
    const hsize_t n = dump_rows(f.get());
    for (std::string& dump : read_strings(f.get(), "dump", n)) rows.emplace_back().dump = std::move(dump);
    if (check(H5Lexists(f.get(), "dump_path", H5P_DEFAULT), "dump_path") > 0) {
      std::vector<std::string> paths = read_strings(f.get(), "dump_path", n);
      for (std::size_t k = 0; k < n; ++k) rows[k].dump_path = std::move(paths[k]);
    }
  });
  return rows;
}

namespace {

// A variable of the dumps' cells, (rows, y, x), open to be read.
struct CellSet {
  explicit CellSet(std::string variable) : name(std::move(variable)) {}
  std::string name;
  h5::Dataset set;  // checked, while open
  int ours = -1;    // stored as this phasegrid stores it (-1: not yet looked at)
};

}  // namespace

struct SeriesReader::Impl {
  std::string path;
  Identity identity;
  SeriesRun run;
  SeriesAxes axes;
  std::string interrupted;
  std::vector<SeriesDump> rows;
  h5::File file;   // open while cells are read
  CellSet counts{"counts"};  // checked (rows, grid_ny, grid_nx)
  std::vector<CellSet> diagrams;  // run.diagrams' cells, in order

  void read();
  void read_diagrams(hid_t file, const std::string& listed);
  void drop() {
    counts.set = h5::Dataset(), counts.ours = -1;
    for (CellSet& c : diagrams) c.set = h5::Dataset(), c.ours = -1;
    file = h5::File();
  }
  void open_cells();
  void read_counts(std::size_t k, SeriesCounts& cells);
  SeriesDump read_row(std::size_t k, SeriesCells& cells);

  // Runs `step`, turning what makes the file unfit into the file's Error.
  template <class Step>
  void checked(Step step) {
    try {
      checked_read(path, step);
    } catch (const Error&) {
      drop();
      throw;
    }
  }
};

void SeriesReader::Impl::read() {
  identity = check_file(path);
  h5::File f = open_series(path);
  const hid_t id = f.get();
  const Attributes a(id);
  run.version = a.text("version");
  const std::string centre = a.text("centre");
  if (centre.size() != 1) damaged("the attribute \"centre\" is not one character");
  run.answers.centre_mode = centre[0];
  const std::vector<double> position = a.reals("centre_position", 3);
  std::copy(position.begin(), position.end(), run.answers.centre_position.begin());
  run.answers.sink_number = a.integer("sink_number");
  run.answers.rotate_mode = a.integer("rotate");
  run.answers.rotation_frequency = a.reals("frequency", 1)[0];
  const std::vector<double> units = a.reals("grid_units", 3);
  run.grid_umass = units[0], run.grid_udist = units[1], run.grid_utime = units[2];
  run.density_to_n = a.reals("density_to_n", 1)[0];
  if (a.has("history")) run.history = a.text("history");
  if (a.has("interrupted")) interrupted = a.text("interrupted");

  const hsize_t ny = grid_ny, nx = grid_nx;
  axes.log10_T_bounds = read_reals(id, "log10_T_bounds", {ny, 2});
  axes.log10_n_bounds = read_reals(id, "log10_n_bounds", {nx, 2});

  const hsize_t n = dump_rows(id);
  rows.resize(n);
  for (const RowVariable& v : row_variables()) {
    if (v.set == nullptr) continue;
    if (v.optional && check(H5Lexists(id, v.name, H5P_DEFAULT), v.name) <= 0) continue;
    // The variable's values, one a row.
    std::vector<RowValue> column;
    switch (v.type) {
      case RowType::text:
        for (std::string& t : read_strings(id, v.name, n)) column.emplace_back(std::move(t));
        break;
      case RowType::real:
        for (const double x : read_reals(id, v.name, {n})) column.emplace_back(x);
        break;
      case RowType::integer:
        for (const std::int64_t i : read_integers(id, v.name, n)) column.emplace_back(i);
        break;
      case RowType::xyz: {
        const std::vector<double> xyz = read_reals(id, v.name, {n, 3});
        for (std::size_t k = 0; k < n; ++k) column.emplace_back(std::array<double, 3>{xyz[3 * k], xyz[3 * k + 1], xyz[3 * k + 2]});
        break;
      }
      case RowType::counts:
      case RowType::flag: break;  // (derived, not read back)
    }
    for (std::size_t k = 0; k < n; ++k)
      if (!v.set(rows[k], column[k]))
        damaged(fmt::format("dump {} has the {} {}, which phasegrid does not write", k + 1, v.name,
                            quoted(std::get<std::string>(column[k]))));
  }
  if (a.has("diagrams")) read_diagrams(id, a.text("diagrams"));
  file = std::move(f);
  open_cells();  // their shapes, before any row is taken as read
}

// The diagrams the file lists: their specs, names, axes and statuses.
void SeriesReader::Impl::read_diagrams(hid_t id, const std::string& listed) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at < listed.size();) {
    const std::size_t end = std::min(listed.find(' ', at), listed.size());
    if (end > at) names.push_back(listed.substr(at, end - at));
    at = end + 1;
  }
  for (const std::string& name : names) {
    if (check(H5Lexists(id, name.c_str(), H5P_DEFAULT), name.c_str()) <= 0)
      damaged(fmt::format("\"{}\", a diagram it lists, is missing", name));
    h5::Dataset d(check(H5Dopen2(id, name.c_str(), H5P_DEFAULT), name.c_str()));
    const Attributes attributes(d.get());
    if (!attributes.has("spec")) damaged(fmt::format("the diagram \"{}\" has no \"spec\"", name));
    const std::string spec = attributes.text("spec");
    try {
      run.diagrams.push_back(parse_diagram(spec));
    } catch (const Error& e) {
      damaged(fmt::format("the spec of \"{}\", {}, is not a diagram's ({})", name, quoted(spec), e.what()));
    }
  }
  const std::vector<DiagramNames> expected = diagram_names(run.diagrams);
  const hsize_t n = rows.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const DiagramSpec& spec = run.diagrams[i];
    const DiagramNames& want = expected[i];
    if (names[i] != want.variable)
      damaged(fmt::format("the diagram \"{}\" is of the spec {}, whose variable is \"{}\"", names[i],
                          quoted(spec.text()), want.variable));
    for (const auto& [axis, name] : {std::pair{&spec.x, &want.x}, std::pair{&spec.y, &want.y}}) {
      const auto bins = static_cast<hsize_t>(axis->bins);
      open_variable(id, name->c_str(), Holds::reals, {bins});
      open_variable(id, (*name + "_bounds").c_str(), Holds::reals, {bins, 2});
    }
    const std::string status = names[i] + "_status";
    const std::vector<std::int64_t> statuses = read_integers(id, status.c_str(), n);
    for (std::size_t k = 0; k < n; ++k) {
      if (statuses[k] < 0 || statuses[k] > static_cast<std::int64_t>(DiagramStatus::not_binned))
        damaged(fmt::format("dump {} has the {} {}, which phasegrid does not write", k + 1, status, statuses[k]));
      rows[k].diagrams.push_back({static_cast<DiagramStatus>(statuses[k])});
    }
    diagrams.emplace_back(names[i]);
  }
}

void SeriesReader::Impl::open_cells() {
  if (counts.set) return;
  if (!file) {
    if (check_file(path) != identity) throw Unfit("it has changed since it was first read");
    file = open_series(path);
  }
  counts.set = open_variable(file.get(), "counts", Holds::counts, {rows.size(), grid_ny, grid_nx});
  for (std::size_t i = 0; i < diagrams.size(); ++i) {
    const DiagramSpec& spec = run.diagrams[i];
    const std::vector<hsize_t> shape{rows.size(), static_cast<hsize_t>(spec.y.bins), static_cast<hsize_t>(spec.x.bins)};
    diagrams[i].set =
        open_variable(file.get(), diagrams[i].name.c_str(), spec.counts() ? Holds::counts : Holds::reals, shape);
  }
}

namespace {

// Row k of `c`, (rows, y, x), into `out` as `memory` (a native type).
void read_plane(const CellSet& c, std::size_t k, hid_t memory, void* out) {
  const char* name = c.name.c_str();
  h5::Dataspace space(check(H5Dget_space(c.set.get()), name));
  std::vector<hsize_t> count = dims_of(space.get());
  const hsize_t start[3] = {k, 0, 0};
  count[0] = 1;
  check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count.data(), nullptr), name);
  h5::Dataspace mem(check(H5Screate_simple(3, count.data(), nullptr), name));
  check(H5Dread(c.set.get(), memory, mem.get(), space.get(), H5P_DEFAULT, out), name);
}

// Row k of `c`, counts of particles, into `cells` (`size` of them), checked:
// no count below 0 or above INT32_MAX. `dump` names the row, `of` the
// variable after a cell in a line (empty for the grid's counts).
void read_count_plane(const CellSet& c, std::size_t k, std::int32_t* cells, std::size_t size,
                      const std::string& dump, std::string_view of) {
  // Read as stored, signed (this layout) or unsigned (the one before), into
  // the same cells (the signed and unsigned types of one size may name the
  // same storage), then checked.
  h5::Datatype stored(check(H5Dget_type(c.set.get()), c.name.c_str()));
  const bool is_signed = H5Tget_sign(stored.get()) == H5T_SGN_2;
  auto* as_unsigned = reinterpret_cast<std::uint32_t*>(cells);
  read_plane(c, k, is_signed ? H5T_NATIVE_INT32 : H5T_NATIVE_UINT32, cells);
  h5::Dataspace space(check(H5Dget_space(c.set.get()), c.name.c_str()));
  const std::size_t columns = dims_of(space.get())[2];
  for (std::size_t i = 0; i < size; ++i) {
    const std::int64_t n = is_signed ? std::int64_t{cells[i]} : std::int64_t{as_unsigned[i]};
    if (n < 0 || n > INT32_MAX)
      damaged(fmt::format("dump {} ({}) counts {} particles in row {}, column {}{}, {}", k + 1, quoted(dump), n,
                          i / columns + 1, i % columns + 1, of, n < 0 ? "fewer than none" : "more than a run counts"));
  }
}

// Whether `c` is stored as this phasegrid stores a dump's cells: of `type`,
// a chunk a dump, shuffled then deflated.
bool stored_as_ours(const CellSet& c, hid_t type) {
  const hid_t set = c.set.get();
  const char* name = c.name.c_str();
  h5::Datatype stored(check(H5Dget_type(set), name));
  if (check(H5Tequal(stored.get(), type), name) <= 0) return false;
  h5::Dataspace space(check(H5Dget_space(set), name));
  const std::vector<hsize_t> dims = dims_of(space.get());
  h5::PropertyList dcpl(check(H5Dget_create_plist(set), name));
  hsize_t chunk[3] = {};
  if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || check(H5Pget_chunk(dcpl.get(), 3, chunk), name) != 3 ||
      chunk[0] != 1 || chunk[1] != dims[1] || chunk[2] != dims[2])
    return false;
  if (check(H5Pget_nfilters(dcpl.get()), name) != 2) return false;
  unsigned flags = 0;
  std::size_t n = 0;
  const H5Z_filter_t first = H5Pget_filter2(dcpl.get(), 0, &flags, &n, nullptr, 0, nullptr, nullptr);
  n = 0;
  const H5Z_filter_t second = H5Pget_filter2(dcpl.get(), 1, &flags, &n, nullptr, 0, nullptr, nullptr);
  return first == H5Z_FILTER_SHUFFLE && second == H5Z_FILTER_DEFLATE;
}

// Row k of `c` as stored into `chunk`, when `c` is stored as this phasegrid
// stores it, as `type` (one of `bytes` a row, uncompressed); no bytes
// otherwise.
void read_stored(CellSet& c, std::size_t k, hid_t type, std::size_t bytes, StoredChunk& chunk) {
  chunk.bytes.clear();
  if (c.ours < 0) c.ours = stored_as_ours(c, type) ? 1 : 0;
  if (c.ours == 0) return;
  const hsize_t at[3] = {k, 0, 0};
  hsize_t size = 0;
  check(H5Dget_chunk_storage_size(c.set.get(), at, &size), c.name.c_str());
  // (None stored, or more than deflate makes of a dump's cells: read them.)
  if (size == 0 || size > 2 * bytes) return;
  chunk.bytes.resize(size);
  check(H5Dread_chunk(c.set.get(), H5P_DEFAULT, at, &chunk.filters, chunk.bytes.data()), c.name.c_str());
}

}  // namespace

void SeriesReader::Impl::read_counts(std::size_t k, SeriesCounts& cells) {
  open_cells();
  read_count_plane(counts, k, &cells[0][0], std::size_t{grid_ny} * grid_nx, rows[k].dump, "");
}

SeriesDump SeriesReader::Impl::read_row(std::size_t k, SeriesCells& cells) {
  read_counts(k, cells.grid.rows());
  read_stored(counts, k, H5T_STD_I32LE, sizeof(SeriesCounts), cells.stored.counts);
  SeriesDump row = rows[k];
  row.counts = cells.grid.rows();
  const std::size_t n = diagrams.size();
  cells.counts.resize(n);
  cells.values.resize(n);
  cells.stored.diagrams.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const DiagramSpec& spec = run.diagrams[i];
    const std::size_t size = static_cast<std::size_t>(spec.x.bins) * static_cast<std::size_t>(spec.y.bins);
    // The cells read, whatever the row's status: the carried row holds
    // what the file holds.
    if (spec.counts()) {
      std::vector<std::int32_t>& c = cells.counts[i];
      c.resize(size);
      read_count_plane(diagrams[i], k, c.data(), size, rows[k].dump, fmt::format(" of {}", diagrams[i].name));
      row.diagrams[i].counts = c.data();
      read_stored(diagrams[i], k, H5T_STD_I32LE, size * sizeof(std::int32_t), cells.stored.diagrams[i]);
    } else {
      std::vector<double>& v = cells.values[i];
      v.resize(size);
      read_plane(diagrams[i], k, H5T_NATIVE_DOUBLE, v.data());
      row.diagrams[i].values = v.data();
      read_stored(diagrams[i], k, H5T_IEEE_F64LE, size * sizeof(double), cells.stored.diagrams[i]);
    }
  }
  return row;
}

SeriesReader::SeriesReader(std::string path) : impl_(std::make_unique<Impl>()) {
  impl_->path = std::move(path);
  impl_->checked([&] {
    impl_->read();
    impl_->drop();
  });
}

SeriesReader::~SeriesReader() = default;
SeriesReader::SeriesReader(SeriesReader&&) noexcept = default;
SeriesReader& SeriesReader::operator=(SeriesReader&&) noexcept = default;

const std::string& SeriesReader::path() const { return impl_->path; }
const SeriesRun& SeriesReader::run() const { return impl_->run; }
const SeriesAxes& SeriesReader::axes() const { return impl_->axes; }
const std::string& SeriesReader::interrupted() const { return impl_->interrupted; }
const std::vector<SeriesDump>& SeriesReader::rows() const { return impl_->rows; }

void SeriesReader::read_counts(std::size_t k, SeriesCounts& cells) {
  if (k >= impl_->rows.size()) throw std::out_of_range("SeriesReader::read_counts: no such row");
  impl_->checked([&] { impl_->read_counts(k, cells); });
}

SeriesDump SeriesReader::read_row(std::size_t k, SeriesCells& cells) {
  if (k >= impl_->rows.size()) throw std::out_of_range("SeriesReader::read_row: no such row");
  SeriesDump row;
  impl_->checked([&] { row = impl_->read_row(k, cells); });
  return row;
}

void SeriesReader::close() { impl_->drop(); }

}  // namespace pg
