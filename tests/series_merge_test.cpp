// phasegrid-merge: series files of one process per dump, merged, are the
// series file of one run over all the dumps, diagrams and all, as is a
// series whose rows --append carries over; what cannot be merged is refused.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "driver/series_plan.hpp"
#include "series/hdf5_handle.hpp"
#include "series/series_file.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
namespace h5 = pg::h5;

namespace {

using Contents = std::map<std::string, std::vector<std::string>>;

// The values of `obj` (a dataset or an attribute): its text, or its bytes.
template <class Read>
std::vector<std::string> values(hid_t type, hid_t space, Read read) {
  const auto n = static_cast<std::size_t>(H5Sget_simple_extent_npoints(space));
  if (H5Tis_variable_str(type) > 0) {
    std::vector<char*> p(n);
    EXPECT_GE(read(type, p.data()), 0);
    std::vector<std::string> out(p.begin(), p.end());
    H5Dvlen_reclaim(type, space, H5P_DEFAULT, p.data());
    return out;
  }
  h5::Datatype native(H5Tget_native_type(type, H5T_DIR_ASCEND));
  std::string bytes(n * H5Tget_size(native.get()), '\0');
  EXPECT_GE(read(native.get(), bytes.data()), 0);
  return {std::to_string(n), bytes};
}

// Every variable of a series file and every root attribute but version and
// history, by name.
Contents contents(const std::string& path) {
  h5::File f(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  EXPECT_TRUE(f) << path;
  Contents out;
  H5Literate(f.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr,
             [](hid_t g, const char* name, const H5L_info_t*, void* data) -> herr_t {
               if (std::string(name) == "bounds" || std::string(name) == "xyz") return 0;  // dimensions only
               h5::Dataset d(H5Dopen2(g, name, H5P_DEFAULT));
               h5::Datatype t(H5Dget_type(d.get()));
               h5::Dataspace s(H5Dget_space(d.get()));
               (*static_cast<Contents*>(data))[name] = values(t.get(), s.get(), [&](hid_t m, void* b) {
                 return H5Dread(d.get(), m, H5S_ALL, H5S_ALL, H5P_DEFAULT, b);
               });
               return 0;
             },
             &out);
  H5Aiterate2(f.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr,
              [](hid_t g, const char* name, const H5A_info_t*, void* data) -> herr_t {
                if (std::string(name) == "version" || std::string(name) == "history") return 0;
                h5::Attribute a(H5Aopen(g, name, H5P_DEFAULT));
                h5::Datatype t(H5Aget_type(a.get()));
                h5::Dataspace s(H5Aget_space(a.get()));
                (*static_cast<Contents*>(data))[std::string("@") + name] =
                    values(t.get(), s.get(), [&](hid_t m, void* b) { return H5Aread(a.get(), m, b); });
                return 0;
              },
              &out);
  return out;
}

ToolRun merge(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), PHASEGRID_MERGE_BIN);
  return run_program(args, dir.path());
}

// Dumps d1, d2, d3 (times 0.1 to 0.3) and "bad", which is none.
void write_dumps(const TempDir& dir) {
  for (const char* n : {"1", "2", "3"})
    ASSERT_EQ(run_mkdump({"--particles", "20000", "--seed", n, "--time", std::string("0.") + n,
                          dir.file(std::string("d") + n)})
                  .status,
              0);
  write_file(dir.file("bad"), std::string(64, 'x'));
}

// Two diagrams sharing their first axis, one of counts and one of values.
const std::vector<pg::DiagramSpec>& specs() {
  static const std::vector<pg::DiagramSpec> s = {pg::parse_diagram("n:log:0:4:5,DustTemperature:lin:0:100:4"),
                                                 pg::parse_diagram("n:log:0:4:5,R:lin:0:1:3,mean:Cv")};
  return s;
}

// The series of a run with `diagrams` (of specs()) over the dumps `dumps`
// ("a" to "d", at times 0.1, 0.2, none, 0.4), each with cells of its own,
// "b" lacking a quantity of the second diagram, rows in time order.
void write_diagram_series(const std::string& path, std::string_view dumps, std::size_t diagrams = 2) {
  pg::RunPlan plan;
  plan.diagrams.assign(specs().begin(), specs().begin() + static_cast<std::ptrdiff_t>(diagrams));
  pg::SeriesFile f(path, pg::series_run(plan));
  for (const char c : dumps) {
    const int n = c - 'a';
    std::vector<std::int32_t> counts(20, n);
    std::vector<double> values(15, n + 0.5);
    pg::SeriesDump d;
    d.dump = std::string(1, c), d.time = c == 'c' ? NAN : 0.1 * (n + 1);
    d.diagrams = {{pg::DiagramStatus::binned, counts.data()},
                  {c == 'b' ? pg::DiagramStatus::lacks_quantity : pg::DiagramStatus::binned, nullptr, values.data()}};
    d.diagrams.resize(diagrams);
    f.append(d);
  }
  f.order_by_time();
  f.close();
}

// Writes `value` (of `type`) at `cell` of the variable `name` of the file at `path`.
void poke(const std::string& path, const char* name, std::vector<hsize_t> cell, hid_t type, const void* value) {
  h5::File f(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
  h5::Dataset d(H5Dopen2(f.get(), name, H5P_DEFAULT));
  h5::Dataspace space(H5Dget_space(d.get()));
  const hsize_t one[1] = {1};
  H5Sselect_elements(space.get(), H5S_SELECT_SET, 1, cell.data());
  h5::Dataspace memory(H5Screate_simple(1, one, nullptr));
  ASSERT_GE(H5Dwrite(d.get(), type, memory.get(), space.get(), H5P_DEFAULT, value), 0) << name;
}

}  // namespace

// Diagrams of series written apart, merged, and carried over by --append:
// the file one run writes; carried to a run of other diagrams, refused.
TEST(SeriesMerge, DiagramsAreMergedAndCarriedAsOneRunWritesThem) {
  TempDir dir;
  write_diagram_series(dir.file("all.h5"), "dcba");
  write_diagram_series(dir.file("ca.h5"), "ca");
  write_diagram_series(dir.file("db.h5"), "db");
  const ToolRun r = merge(dir, {"merged.h5", "db.h5", "ca.h5"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::filesystem::copy_file(dir.file("all.h5"), dir.file("carried.h5"));
  pg::RunPlan plan;
  plan.options.series_path = dir.file("carried.h5");
  plan.options.append = true;
  for (const std::size_t diagrams : {2, 1}) {
    plan.diagrams.assign(specs().begin(), specs().begin() + static_cast<std::ptrdiff_t>(diagrams));
    try {
      pg::SeriesFile out(plan.options.series_path, pg::series_run(plan));
      pg::plan_series(plan, out);
      out.close();
      EXPECT_EQ(diagrams, 2u) << "carried to a run of other diagrams";
    } catch (const pg::Error& e) {
      EXPECT_EQ(diagrams, 1u) << e.what();
      EXPECT_NE(std::string(e.what()).find("was made with diagrams"), std::string::npos) << e.what();
    }
  }
  const Contents one_run = contents(dir.file("all.h5"));
  EXPECT_EQ(contents(dir.file("merged.h5")), one_run);
  EXPECT_EQ(contents(dir.file("carried.h5")), one_run);
}

// One process per dump, merged out of order in two steps (the second
// merging into one of its inputs), gives the one run's file: dumps in time
// order, the one without a time last.
TEST(SeriesMerge, ProcessesPerDumpMergeIntoTheOneRunsFile) {
  TempDir dir;
  write_dumps(dir);
  EXPECT_EQ(run_tool(dir.path(), "", {"-k", "-q", "-c", "m", "--h5", "all.h5", "d1", "d2", "d3", "bad"}).status, 1);
  for (const std::string n : {"d1", "d2", "d3", "bad"})
    run_tool(dir.path(), "", {"-k", "-q", "-c", "m", "--h5", n + ".h5", n});
  const ToolRun first = merge(dir, {"part.h5", "bad.h5", "d3.h5"});
  ASSERT_EQ(first.status, 0) << first.err;
  const ToolRun second = merge(dir, {"part.h5", "d2.h5", "part.h5", "d1.h5"});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.err, "");

  const Contents merged = contents(dir.file("part.h5")), one_run = contents(dir.file("all.h5"));
  EXPECT_EQ(merged.size(), one_run.size());
  for (const auto& [name, value] : one_run) EXPECT_TRUE(merged.count(name) && merged.at(name) == value) << name;

  // One input holds a dump twice, another was interrupted: merged, saying so.
  run_tool(dir.path(), "", {"-q", "-c", "m", "--series-only", "--h5", "twice.h5", "d1", "d1"});
  {
    h5::File d3(H5Fopen(dir.file("d3.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    h5::Datatype text(H5Tcopy(H5T_C_S1));
    h5::Dataspace scalar(H5Screate(H5S_SCALAR));
    H5Tset_size(text.get(), 7);
    h5::Attribute a(H5Acreate2(d3.get(), "interrupted", text.get(), scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
    ASSERT_GE(H5Awrite(a.get(), text.get(), "SIGTERM"), 0);
  }
  ASSERT_EQ(merge(dir, {"more.h5", "twice.h5", "d3.h5"}).status, 0);
  EXPECT_EQ(contents(dir.file("more.h5")).at("@interrupted")[0], "1");
}

TEST(SeriesMerge, WhatCannotBeMergedIsRefused) {
  TempDir dir;
  write_dumps(dir);
  run_tool(dir.path(), "", {"-q", "-c", "m", "--h5", "d1.h5", "d1"});
  run_tool(dir.path(), "", {"-q", "--h5", "d2.h5", "d2"});
  run_tool(dir.path(), "", {"-q", "-c", "m", "--h5", "d12.h5", "d1", "d2"});
  for (const std::string f : {"1", "2"})
    run_tool(dir.path(), "", {"-q", "-c", "m", "-r", "1", "-f", f + "e-13", "--h5", f + ".h5", "d" + f});
  run_tool(dir.path(), "", {"-q", "-c", "m", "-r", "3", "-f", "1e-13", "--h5", "r3.h5", "d2"});
  // A file of the older format, and one with a count no run makes.
  {
    h5::File old(H5Fcreate(dir.file("old.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    h5::Datatype text(H5Tcopy(H5T_C_S1));
    H5Tset_size(text.get(), H5T_VARIABLE);
    h5::Dataspace scalar(H5Screate(H5S_SCALAR));
    h5::Attribute a(H5Acreate2(old.get(), "format", text.get(), scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
    const char* format = "phasegrid series 1";
    ASSERT_GE(H5Awrite(a.get(), text.get(), &format), 0);
  }
  std::filesystem::copy_file(dir.file("d1.h5"), dir.file("big.h5"));
  const std::int32_t fewer_than_none = -1;
  const std::int8_t no_status = 9;
  poke(dir.file("big.h5"), "counts", {0, 7, 9}, H5T_NATIVE_INT32, &fewer_than_none);
  // Series of diagrams: of other diagrams, and damaged.
  write_diagram_series(dir.file("dg.h5"), "ab");
  write_diagram_series(dir.file("dg1.h5"), "c", 1);
  for (const char* damaged : {"dg_status.h5", "dg_count.h5", "dg_spec.h5"})
    std::filesystem::copy_file(dir.file("dg.h5"), dir.file(damaged));
  poke(dir.file("dg_status.h5"), "mean_Cv_log10_n_R_status", {1}, H5T_NATIVE_INT8, &no_status);
  poke(dir.file("dg_count.h5"), "count_log10_n_DustTemperature", {1, 2, 3}, H5T_NATIVE_INT32, &fewer_than_none);
  {
    h5::File f(H5Fopen(dir.file("dg_spec.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    h5::Dataset d(H5Dopen2(f.get(), "count_log10_n_DustTemperature", H5P_DEFAULT));
    h5::Attribute a(H5Aopen(d.get(), "spec", H5P_DEFAULT));
    h5::Datatype text(H5Aget_type(a.get()));
    std::string spec = "n:log:0:4:6,DustTemperature:lin:0:100:4,count";  // a bin more, as long
    ASSERT_EQ(spec.size(), H5Tget_size(text.get()));
    ASSERT_GE(H5Awrite(a.get(), text.get(), spec.data()), 0);
  }
  const struct {
    std::vector<std::string> inputs;
    std::string says;
  } cases[] = {
      {{"d1.h5", "d2.h5"}, "\"d1.h5\" and \"d2.h5\" are not series of the same run: centre is \"m\""},
      {{"1.h5", "2.h5"}, "\"1.h5\" and \"2.h5\" are not series of the same run: frequency is 1e-13"},
      {{"1.h5", "r3.h5"}, "\"1.h5\" and \"r3.h5\" are not series of the same run: rotate is 1 in the one and 3"},
      {{"d1.h5", "d2"}, "\"d2\": it is not a series file phasegrid wrote"},
      {{"d12.h5", "d1.h5"}, "dump \"d1\" is in both \"d12.h5\" and \"d1.h5\""},
      {{"old.h5"}, "\"old.h5\": it was written by an older phasegrid"},
      {{"big.h5"}, "\"big.h5\": it is damaged: dump 1 (\"d1\") counts -1 particles in row 8, column 10"},
      {{"dg.h5", "dg1.h5"}, "\"dg.h5\" and \"dg1.h5\" are not series of the same run: diagrams is"},
      {{"dg_status.h5"}, "it is damaged: dump 2 has the mean_Cv_log10_n_R_status 9"},
      {{"dg_count.h5"}, "it is damaged: dump 2 (\"b\") counts -1 particles in row 3, column 4 of "
                        "count_log10_n_DustTemperature"},
      {{"dg_spec.h5"}, "it is damaged: \"log10_n_2\" has the shape (5,), not (6,)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"out.h5"};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    const ToolRun r = merge(dir, args);
    EXPECT_EQ(r.status, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    EXPECT_FALSE(dir.exists("out.h5")) << c.says;
  }
  // An IN replaced while it is merged (before its counts are read again).
  run_tool(dir.path(), "", {"-q", "--h5", "d13.h5", "d1", "d3"});
  run_tool(dir.path(), "", {"-q", "--h5", "d21.h5", "d2", "d1"});
  ToolRun r = run_program({PHASEGRID_MERGE_BIN, "out.h5", "d13.h5", "d2.h5"}, dir.path(), "",
                          {"LD_PRELOAD=" FAULT_SHIM_LIB, "ASAN_OPTIONS=verify_asan_link_order=0",
                           "PHASEGRID_TEST_SWAP_OPENS=d2.h5", "PHASEGRID_TEST_SWAP_AT=3",
                           "PHASEGRID_TEST_SWAP_FROM=d21.h5", "PHASEGRID_TEST_SWAP_TO=d13.h5"});
  EXPECT_NE(r.err.find("\"d13.h5\": it has changed since it was first read"), std::string::npos) << r.err;
  EXPECT_FALSE(dir.exists("out.h5"));
  // An IN where OUT's new text is written until it is complete, named as
  // it is or through a link.
  std::filesystem::copy_file(dir.file("d2.h5"), dir.file("out.h5.unfinished"));
  std::filesystem::create_symlink("out.h5.unfinished", dir.file("in2.h5"));
  for (const char* in : {"out.h5.unfinished", "in2.h5"}) {
    r = merge(dir, {"out.h5", "d1.h5", in});
    EXPECT_EQ(r.err, fmt::format("phasegrid-merge: \"out.h5.unfinished\", where the new text of OUT is written until "
                                 "it is complete, is IN \"{}\"; rename it\n", in));
  }
  // A run replaces the older format: this one holds no dumps to tell, so only when told to.
  EXPECT_EQ(run_tool(dir.path(), "", {"-q", "--h5", "old.h5", "d1"}).status, 2);
  EXPECT_EQ(run_tool(dir.path(), "", {"-q", "--replace", "--h5", "old.h5", "d1"}).status, 0);
}
