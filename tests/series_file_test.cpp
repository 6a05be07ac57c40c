// The series file's layout, read back through HDF5's C library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include <hdf5_hl.h>

#include "base/error.hpp"
#include "series/hdf5_handle.hpp"
#include "series/series_file.hpp"
#include "series/series_reader.hpp"
#include "tests/support/harness.hpp"

namespace {

using namespace pg;

std::int32_t grid[grid_ny][grid_nx];

std::vector<hsize_t> dims_of(hid_t obj, bool max = false) {
  const bool attr = H5Iget_type(obj) == H5I_ATTR;
  h5::Dataspace s(attr ? H5Aget_space(obj) : H5Dget_space(obj));
  std::vector<hsize_t> d(static_cast<std::size_t>(H5Sget_simple_extent_ndims(s.get()))), m(d.size());
  H5Sget_simple_extent_dims(s.get(), d.data(), m.data());
  return max ? m : d;
}

template <class T>
std::vector<T> read_all(hid_t d, hid_t mem_type) {
  std::size_t n = 1;
  for (hsize_t k : dims_of(d)) n *= k;
  std::vector<T> v(n);
  EXPECT_GE(H5Dread(d, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()), 0);
  return v;
}

std::vector<std::string> read_strings(hid_t obj) {
  const bool attr = H5Iget_type(obj) == H5I_ATTR;
  h5::Datatype t(attr ? H5Aget_type(obj) : H5Dget_type(obj));
  EXPECT_EQ(H5Tget_cset(t.get()), H5T_CSET_UTF8);
  EXPECT_GT(H5Tis_variable_str(t.get()), 0);
  std::size_t n = 1;
  for (hsize_t k : dims_of(obj)) n *= k;
  std::vector<char*> p(n);
  EXPECT_GE(attr ? H5Aread(obj, t.get(), p.data()) : H5Dread(obj, t.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data()), 0);
  std::vector<std::string> out(p.begin(), p.end());
  for (char* s : p) H5free_memory(s);
  return out;
}

// A text attribute: a fixed-length string, as netCDF keeps its text.
std::string text_attr(hid_t obj, const char* name) {
  h5::Attribute a(H5Aopen(obj, name, H5P_DEFAULT));
  h5::Datatype t(H5Aget_type(a.get()));
  EXPECT_EQ(H5Tis_variable_str(t.get()), 0) << name;
  std::string v(H5Tget_size(t.get()), '\0');
  EXPECT_GE(H5Aread(a.get(), t.get(), v.data()), 0);
  return v.c_str();
}

std::vector<double> doubles_attr(hid_t obj, const char* name) {
  h5::Attribute a(H5Aopen(obj, name, H5P_DEFAULT));
  std::size_t n = 1;
  for (hsize_t k : dims_of(a.get())) n *= k;
  std::vector<double> v(n);
  EXPECT_GE(H5Aread(a.get(), H5T_NATIVE_DOUBLE, v.data()), 0);
  return v;
}

template <class T>
T scalar_attr(hid_t obj, const char* name, hid_t mem_type) {
  h5::Attribute a(H5Aopen(obj, name, H5P_DEFAULT));
  T v{};
  EXPECT_GE(H5Aread(a.get(), mem_type, &v), 0);
  return v;
}

TEST(SeriesFile, LayoutReadsBack) {
  pgtest::TempDir dir;
  grid[0][0] = 5;
  grid[100][200] = 3;
  grid[grid_ny - 1][grid_nx - 1] = 7;
  SeriesRun run{"0.1.0", {}, 1.99e33, 3.08e18, 2.2e12, 33.87, "", {}};
  run.answers.centre_mode = 'p';
  run.answers.centre_position = {1, 2, 3};
  run.answers.rotate_mode = 1;
  run.answers.rotation_frequency = 2.5e-13;
  const std::string path = dir.file("run.h5");
  {
    SeriesFile f(path, run);
    f.append({"QG001", "QG001.grid", DumpStatus::complete, 0.5, 0.25, 100, 15, 79, {1, 2, 3}, {4, 5, 6}, 1.99e33, 3.08e18, 2.2e12, grid, {}, -1, -1, {}});
    f.append({"d\xC3\xA9\xF0\x9F\x8C\x8Cj\xE0", "g2", DumpStatus::ended_early, 0.75, 0.5, 90, 15, 0, {}, {}, 1, 2, 0, grid, {}, -1, -1, {}});
    f.append({"QG003", "QG003.grid", DumpStatus::stopped_by_fault, NAN, NAN, 0, 0, 0, {}, {}, 0, 0, 0, nullptr, {}, -1, -1, {}});
    f.close();
    f.close();  // idempotent
  }
  h5::File file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  ASSERT_TRUE(file);
  const hid_t f = file.get();

  h5::Dataset counts(H5Dopen2(f, "counts", H5P_DEFAULT));
  h5::Datatype counts_type(H5Dget_type(counts.get()));
  EXPECT_GT(H5Tequal(counts_type.get(), H5T_STD_I32LE), 0);
  EXPECT_EQ(dims_of(counts.get()), (std::vector<hsize_t>{3, grid_ny, grid_nx}));
  EXPECT_EQ(dims_of(counts.get(), true), (std::vector<hsize_t>{H5S_UNLIMITED, grid_ny, grid_nx}));
  h5::PropertyList dcpl(H5Dget_create_plist(counts.get()));
  hsize_t chunk[3];
  ASSERT_EQ(H5Pget_chunk(dcpl.get(), 3, chunk), 3);
  EXPECT_EQ(std::vector<hsize_t>(chunk, chunk + 3), (std::vector<hsize_t>{1, grid_ny, grid_nx}));
  std::vector<H5Z_filter_t> filters;
  for (int k = 0; k < H5Pget_nfilters(dcpl.get()); ++k)
    filters.push_back(H5Pget_filter2(dcpl.get(), static_cast<unsigned>(k), nullptr, nullptr, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(filters, (std::vector<H5Z_filter_t>{H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}));
  const auto cells = read_all<std::uint32_t>(counts.get(), H5T_NATIVE_UINT32);
  const std::size_t plane = std::size_t{grid_ny} * grid_nx;
  for (std::size_t k = 0; k < 2; ++k)
    for (std::size_t i = 0; i < plane; ++i)
      ASSERT_EQ(cells[k * plane + i], static_cast<std::uint32_t>((&grid[0][0])[i])) << k << " " << i;
  for (std::size_t i = 0; i < plane; ++i) ASSERT_EQ(cells[2 * plane + i], 0u) << i;

  // The axes: the cells' centres, and the binning's thresholds as bounds.
  auto dataset = [&](const char* name) { return h5::Dataset(H5Dopen2(f, name, H5P_DEFAULT)); };
  const auto n = read_all<double>(dataset("log10_n_bounds").get(), H5T_NATIVE_DOUBLE);
  const auto t = read_all<double>(dataset("log10_T_bounds").get(), H5T_NATIVE_DOUBLE);
  const auto n_mid = read_all<double>(dataset("log10_n").get(), H5T_NATIVE_DOUBLE);
  ASSERT_EQ(n.size(), 2u * grid_nx);
  ASSERT_EQ(t.size(), 2u * grid_ny);
  EXPECT_EQ(n[0], 0.02);
  for (int c = 1; c <= grid_nx; ++c) {
    EXPECT_LT(n[2 * c - 2], n[2 * c - 1]);
    EXPECT_NEAR(n[2 * c - 1], (c + 1) / 50.0, 1e-6) << c;
    if (c < grid_nx) {
      EXPECT_EQ(n[2 * c - 1], n[2 * c]) << c;
    }
    EXPECT_EQ(n_mid[c - 1], 0.5 * (n[2 * c - 2] + n[2 * c - 1]));
  }
  for (int r = 1; r <= grid_ny; ++r) {
    EXPECT_EQ(t[2 * r - 2], std::log10(phase_bins().row_threshold(r))) << r;
    EXPECT_EQ(t[2 * r - 1], std::log10(phase_bins().row_threshold(r + 1))) << r;
  }
  EXPECT_EQ(text_attr(dataset("log10_n").get(), "bounds"), "log10_n_bounds");

  // The per-dump rows.
  const auto time = read_all<double>(dataset("time").get(), H5T_NATIVE_DOUBLE);
  const auto time_ff = read_all<double>(dataset("time_ff").get(), H5T_NATIVE_DOUBLE);
  const auto time_s = read_all<double>(dataset("time_s").get(), H5T_NATIVE_DOUBLE);
  EXPECT_EQ(time[1], 0.75);
  EXPECT_EQ(time_ff[1], 0.5);
  EXPECT_EQ(time_s[0], 0.5 * 2.2e12);
  EXPECT_TRUE(std::isnan(time[2]) && std::isnan(time_ff[2]) && std::isnan(time_s[2]));
  EXPECT_TRUE(std::isnan(time_s[1])) << "a dump without a time unit has no time in seconds";
  auto int64s = [&](const char* name) {
    const h5::Dataset d = dataset(name);
    EXPECT_GT(H5Tequal(h5::Datatype(H5Dget_type(d.get())).get(), H5T_STD_I64LE), 0) << name << " is stored as int64";
    return read_all<std::int64_t>(d.get(), H5T_NATIVE_INT64);
  };
  using Counts = std::vector<std::int64_t>;
  EXPECT_EQ(int64s("npart"), (Counts{100, 90, 0}));
  EXPECT_EQ(int64s("binned"), (Counts{15, 15, 0}));
  EXPECT_EQ(int64s("inactive"), (Counts{79, 0, 0}));
  EXPECT_EQ(int64s("outside_above_columns"), (Counts{1, 0, 0}));
  EXPECT_EQ(int64s("outside_rows"), (Counts{2, 0, 0}));
  EXPECT_EQ(int64s("outside_nan"), (Counts{3, 0, 0}));
  EXPECT_EQ(read_all<double>(dataset("centre").get(), H5T_NATIVE_DOUBLE), (std::vector<double>{4, 5, 6, 0, 0, 0, 0, 0, 0}));
  // Names are written as UTF-8; a byte that is not becomes U+FFFD.
  EXPECT_EQ(read_strings(dataset("dump").get()), (std::vector<std::string>{"QG001", "d\xC3\xA9\xF0\x9F\x8C\x8Cj\xEF\xBF\xBD", "QG003"}));
  EXPECT_EQ(read_strings(dataset("grid_file").get()), (std::vector<std::string>{"QG001.grid", "g2", "QG003.grid"}));
  EXPECT_EQ(read_strings(dataset("status").get()),
            (std::vector<std::string>{"complete", "ended early", "stopped by a fault"}));
  EXPECT_EQ(read_all<double>(dataset("dump_utime").get(), H5T_NATIVE_DOUBLE), (std::vector<double>{2.2e12, 0, 0}));
  for (const char* name : {"counts", "time", "time_s", "npart", "outside_nan", "centre", "dump", "status", "dump_umass"})
    EXPECT_GT(H5Aexists(dataset(name).get(), "long_name"), 0) << name;
  // Each axis's dimension: the name of the scale attached to it.
  auto dimensions = [&](const char* name) {
    std::vector<std::string> out;
    const h5::Dataset d = dataset(name);
    for (unsigned axis = 0; axis < dims_of(d.get()).size(); ++axis)
      H5DSiterate_scales(d.get(), axis, nullptr, [](hid_t, unsigned, hid_t scale, void* o) -> herr_t {
        char scale_name[64] = {};
        H5Iget_name(scale, scale_name, sizeof scale_name);
        static_cast<std::vector<std::string>*>(o)->push_back(scale_name + 1);
        return 0;
      }, &out);
    return out;
  };
  EXPECT_EQ(dimensions("counts"), (std::vector<std::string>{"dump", "log10_T", "log10_n"}));
  EXPECT_EQ(dimensions("centre"), (std::vector<std::string>{"dump", "xyz"}));
  EXPECT_EQ(dimensions("log10_T_bounds"), (std::vector<std::string>{"log10_T", "bounds"}));

  // The run's attributes.
  EXPECT_EQ(text_attr(f, "format"), "phasegrid series 3");
  EXPECT_EQ(text_attr(f, "Conventions"), "CF-1.10");
  EXPECT_EQ(text_attr(f, "version"), "0.1.0");
  EXPECT_EQ(text_attr(f, "centre"), "p");
  EXPECT_FALSE(text_attr(f, "description").empty());
  EXPECT_EQ(doubles_attr(f, "centre_position"), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(doubles_attr(f, "grid_units"), (std::vector<double>{1.99e33, 3.08e18, 2.2e12}));
  EXPECT_EQ(scalar_attr<std::int32_t>(f, "sink_number", H5T_NATIVE_INT32), 0);
  EXPECT_EQ(scalar_attr<std::int32_t>(f, "rotate", H5T_NATIVE_INT32), 1);
  EXPECT_EQ(scalar_attr<double>(f, "frequency", H5T_NATIVE_DOUBLE), 2.5e-13);
  EXPECT_EQ(scalar_attr<double>(f, "density_to_n", H5T_NATIVE_DOUBLE), 33.87);
}

// Two diagrams sharing their first axis, one of counts and one of values,
// rows appended out of time order: read back in time order with their
// statuses and cells (zeros or NaN where none), and opened by xarray with
// each variable's dimensions, two for a diagram of equal axes too.
TEST(SeriesFile, DiagramsReadBackInTimeOrder) {
  pgtest::TempDir dir;
  const SeriesRun run{"0.1.0", {}, 1, 1, 1, 1, "",
                      {parse_diagram("n:log:0:4:5,DustTemperature:lin:0:100:4"),
                       parse_diagram("n:log:0:4:5,R:lin:0:1:3,mean:Cv"),
                       parse_diagram("R:lin:0:1:3,R:lin:0:1:3,mass")}};
  std::vector<std::int32_t> counts(20), zeros(20);
  std::vector<double> values(15);
  std::iota(counts.begin(), counts.end(), 1);
  std::iota(values.begin(), values.end(), 0.5);
  using S = DiagramStatus;
  const std::string path = dir.file("d.h5");
  {
    SeriesFile f(path, run);
    SeriesDump d;
    d.diagrams = {{S::binned, counts.data()}, {S::binned, nullptr, values.data()}, {S::no_mass_unit}};
    for (const auto& [dump, time, b] : {std::tuple{"late", 2.0, S::binned}, {"early", 1.0, S::lacks_quantity}}) {
      d.dump = dump, d.time = time, d.diagrams[1].status = b;
      f.append(d);
    }
    d.dump = "none", d.time = 0.5, d.diagrams.clear();
    f.append(d);
    f.order_by_time();
    f.close();
  }
  SeriesReader r(path);
  EXPECT_EQ(r.run().diagrams, run.diagrams);
  SeriesCells cells;
  const struct {
    const char* dump;
    S a, b;
  } want[] = {{"none", S::not_binned, S::not_binned}, {"early", S::binned, S::lacks_quantity},
              {"late", S::binned, S::binned}};
  for (std::size_t k = 0; k < 3; ++k) {
    const SeriesDump row = r.read_row(k, cells);
    EXPECT_EQ(row.dump, want[k].dump);
    EXPECT_EQ(row.diagrams.at(0).status, want[k].a) << k;
    EXPECT_EQ(row.diagrams.at(1).status, want[k].b) << k;
    EXPECT_EQ(cells.counts[0], want[k].a == S::binned ? counts : zeros) << k;
    for (std::size_t i = 0; i < 15; ++i)
      EXPECT_TRUE(want[k].b == S::binned ? cells.values[1][i] == values[i] : std::isnan(cells.values[1][i])) << k;
  }
  const pgtest::ToolRun xr = pgtest::run_program(
      {"/usr/bin/python3", "-c",
       "import sys, xarray\n"
       "ds = xarray.open_dataset(sys.argv[1])\n"
       "for v in ds.attrs['diagrams'].split(): print(v, ds[v].dims, ds[v].dtype, v + '_status' in ds[v].coords)",
       path});
  EXPECT_EQ(xr.out,
            "count_log10_n_DustTemperature ('dump', 'DustTemperature', 'log10_n_2') int32 True\n"
            "mean_Cv_log10_n_R ('dump', 'R', 'log10_n_2') float64 True\n"
            "mass_R_R ('dump', 'R_2', 'R') float64 True\n")
      << xr.err;
}

TEST(SeriesFile, FileThatCannotBeCreatedStops) {
  pgtest::TempDir dir;
  const struct {
    std::string path, reason;
  } cases[] = {{dir.file("missing/run.h5"), "No such file or directory"}};
  for (const auto& c : cases) {
    try {
      SeriesFile f(c.path, SeriesRun{});
      ADD_FAILURE() << c.path << " was created";
    } catch (const Error& e) {
      EXPECT_EQ(exit_status(e), exit_usage);
      EXPECT_EQ(std::string(e.what()), "cannot create output file \"" + c.path + "\": " + c.reason);
    }
  }
}

}  // namespace
