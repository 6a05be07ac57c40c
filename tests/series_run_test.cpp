// Whole runs with --h5: the series file holds exactly the counts the grid
// files print, says what became of every dump, and is readable after the run
// is killed between dumps.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <functional>
#include <variant>

#include "analysis/phase_grid.hpp"
#include "series/series_reader.hpp"
#include "series/series_schema.hpp"
#include "state/store.hpp"
#include "tests/support/harness.hpp"
#include "tests/support/spawn.hpp"

using namespace pgtest;
using namespace std::chrono_literals;

namespace {

// The series file, read through HDF5's C library.
class Series {
 public:
  explicit Series(const std::string& path) : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
  ~Series() {
    if (file_ >= 0) H5Fclose(file_);
  }
  bool open() const { return file_ >= 0; }

  // counts[k] into `grid`.
  void counts_into_grid(hsize_t k, pg::PhaseGrid& grid) const {
    const hid_t set = H5Dopen2(file_, "counts", H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    const hsize_t start[3] = {k, 0, 0}, count[3] = {1, pg::grid_ny, pg::grid_nx};
    H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
    const hid_t memory = H5Screate_simple(3, count, nullptr);
    EXPECT_GE(H5Dread(set, H5T_NATIVE_INT32, memory, space, H5P_DEFAULT, grid.rows()), 0);
    H5Sclose(memory);
    H5Sclose(space);
    H5Dclose(set);
  }

  std::vector<std::string> strings(const char* name) const {
    const hid_t set = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    std::vector<char*> raw(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    std::vector<std::string> out;
    if (H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, raw.data()) >= 0) {
      for (char* s : raw) out.emplace_back(s != nullptr ? s : "");
      H5Dvlen_reclaim(type, space, H5P_DEFAULT, raw.data());
    }
    H5Tclose(type);
    H5Sclose(space);
    H5Dclose(set);
    return out;
  }

  std::vector<double> reals(const char* name) const {
    const hid_t set = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    std::vector<double> out(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    EXPECT_GE(H5Dread(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()), 0);
    H5Sclose(space);
    H5Dclose(set);
    return out;
  }

 private:
  hid_t file_;
};

// Every row of the series at `path`, each variable's value as text, and its
// counts.
std::vector<std::string> series_rows(const std::string& path) {
  pg::SeriesReader s(path);
  std::vector<std::string> rows;
  pg::PhaseGrid cells;
  for (std::size_t k = 0; k < s.rows().size(); ++k) {
    std::string row;
    for (const pg::RowVariable& v : pg::row_variables())
      if (v.get != nullptr)
        std::visit([&](const auto& x) { row += fmt::format("{}={} ", v.name, x); }, v.get(s.rows()[k]));
    s.read_counts(k, cells.rows());
    rows.push_back(row + std::string(cells.text()));
  }
  return rows;
}

// The first number of an index line: the dump's time.
double index_time(const std::string& line) { return std::stod(line); }

}  // namespace

// Every dump of a run keeping going past faults: counts that print as the
// grid files do, byte for byte, and the status of each dump.
TEST(SeriesRun, CountsPrintAsTheGridFilesAndEveryDumpHasItsStatus) {
  TempDir dir;
  ASSERT_EQ(run_mkdump({"--particles", "30000", "--seed", "3", "--time", "0.5", dir.file("a1")}).status, 0);
  ASSERT_EQ(run_mkdump({"--particles", "20000", "--blocks", "3", "--untagged", "--seed", "4", dir.file("a2")}).status,
            0);
  // Ended early: the first dump cut in the middle of its arrays.
  const std::string whole = dir.read("a1");
  write_file(dir.file("a3"), whole.substr(0, whole.size() / 2));
  // Stopped by a fault: a dump whose first magic number is wrong; and a
  // file that is not a dump at all.
  write_file(dir.file("a4"), whole.substr(0, 4) + "xxxx" + whole.substr(8));
  write_file(dir.file("a5"), std::string(64, 'x'));
  write_file(dir.file("a6"), whole.substr(0, 8));  // ends after its first magic number

  const ToolRun r =
      run_tool(dir.path(), "", {"-k", "-c", "m", "--h5", "run.h5", "a1", "a2", "missing", "a3", "a4", "a5", "a6"});
  EXPECT_EQ(r.status, 1) << r.err;
  Series s(dir.file("run.h5"));
  pg::PhaseGrid grid;
  ASSERT_TRUE(s.open());
  EXPECT_EQ(s.strings("dump"), (std::vector<std::string>{"a1", "a2", "missing", "a3", "a4", "a5", "a6"}));
  EXPECT_EQ(s.strings("grid_file"), (std::vector<std::string>{"QGa1     01", "QGa2     01", "", "QGa3     01",
                                                              "QGa4     01", "", "QGa6     01"}));
  EXPECT_EQ(s.strings("status"), (std::vector<std::string>{"complete", "complete", "could not be opened",
                                                           "ended early", "stopped by a fault", "not a dump",
                                                           "ended early"}));
  const std::vector<double> time = s.reals("time");
  ASSERT_EQ(time.size(), 7u);
  for (const int k : {0, 1, 3}) {
    const std::string name = "a" + std::to_string(k == 3 ? 3 : k + 1);
    SCOPED_TRACE(name);
    s.counts_into_grid(static_cast<hsize_t>(k), grid);
    EXPECT_EQ(grid.text(), dir.read("QG" + name + "     01"));
    EXPECT_FLOAT_EQ(static_cast<float>(time[static_cast<std::size_t>(k)]),
                    static_cast<float>(index_time(dir.read("IP" + name))));
  }
  EXPECT_TRUE(std::isnan(time[2]) && std::isnan(time[4])) << "no time for a dump without a grid";
  s.counts_into_grid(4, grid);
  for (const auto& row : grid.rows())
    for (const std::int32_t n : row) ASSERT_EQ(n, 0) << "a dump a fault stopped has no counts";

  // The series alone: the same counts, and no grid or index file anywhere;
  // the point each dump was centred on.
  const ToolRun only = run_tool(dir.path(), "", {"-k", "--series-only", "-o", "none", "--h5", "only/run.h5", "-c",
                                                 "p", "--position", "1", "2", "3", "a1", "a2", "a4"});
  EXPECT_EQ(only.status, 1) << only.err;
  EXPECT_FALSE(dir.exists("none") || dir.exists("only/IPa1") || dir.exists("IPa1 ")) << only.out;
  Series o(dir.file("only/run.h5"));
  o.counts_into_grid(1, grid);
  EXPECT_EQ(grid.text(), dir.read("QGa2     01"));
  EXPECT_EQ(o.strings("grid_file"), (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(o.reals("centre"), (std::vector<double>{1, 2, 3, 1, 2, 3, 0, 0, 0}));
}

// A run that waits for its second dump (a named pipe) and is then ended by
// SIGTERM: the series holds the first dump, exact, and the stop says how to
// go on, which gives the series of one run over both. A second run naming
// the same series file meanwhile is refused, the file untouched.
TEST(SeriesRun, InterruptedWhileWaitingForADump) {
  TempDir dir;
  ASSERT_EQ(run_mkdump({"--particles", "20000", dir.file("d1")}).status, 0);
  ASSERT_EQ(::mkfifo(dir.file("d2").c_str(), 0600), 0);
  write_file(dir.file("answers"), "2\nd1\nd2\nn\n0\n");

  const pid_t pid = start_tool(dir.path(), "answers", "out", {"--h5", "run.h5"});
  // The pipe opens for writing once the run opens it to read the second
  // dump: by then the first is done.
  int writer = -1;
  for (int i = 0; i < 3000 && writer < 0; ++i, ::usleep(10000))
    writer = ::open(dir.file("d2").c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0) << "the run did not come to its second dump";
  const ToolRun second = run_tool(dir.path(), "", {"-o", "other", "--h5", "run.h5", "d1"});
  EXPECT_EQ(second.status, 2);
  EXPECT_NE(second.err.find("\"run.h5\": another run is writing it now"), std::string::npos) << second.err;
  EXPECT_FALSE(dir.exists("run.h5"));
  ::kill(pid, SIGTERM);
  const int ws = wait_for(pid);
  ::close(writer);
  ASSERT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM) << dir.read("out");

  {
    Series s(dir.file("run.h5"));
    ASSERT_TRUE(s.open());
    EXPECT_EQ(s.strings("dump"), std::vector<std::string>{"d1"});
    pg::PhaseGrid grid;
    s.counts_into_grid(0, grid);
    EXPECT_EQ(grid.text(), dir.read("QGd1     01"));
  }
  EXPECT_NE(dir.read("out").find("phasegrid: stopped by SIGTERM in dump 2 of 2 (\"d2\"), whose files are left as "
                                 "they were; the series \"run.h5\" holds the 1 dump done: run again with --append to "
                                 "go on\n"),
            std::string::npos)
      << dir.read("out");
  // An append stopped at the pipe puts back the row of d1, changed since,
  // which it was to read again after it.
  const std::vector<std::string> held = series_rows(dir.file("run.h5"));
  ASSERT_EQ(run_mkdump({"--particles", "1000", "--time", "2", dir.file("d3")}).status, 0);
  std::filesystem::last_write_time(dir.file("d1"), std::filesystem::last_write_time(dir.file("d1")) + 5s);
  const pid_t append = start_tool(dir.path(), "answers", "out2", {"-q", "--append", "--h5", "run.h5", "d3", "d2", "d1"});
  for (int i = 0; i < 3000 && (writer = ::open(dir.file("d2").c_str(), O_WRONLY | O_NONBLOCK)) < 0; ++i) ::usleep(10000);
  ::kill(append, SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(wait_for(append)));
  ::close(writer);
  const std::vector<std::string> rows = series_rows(dir.file("run.h5"));
  EXPECT_EQ(rows.size(), 2u) << dir.read("out2");
  EXPECT_EQ(rows.at(0), held.at(0));
  std::filesystem::remove(dir.file("d2"));
  ASSERT_EQ(run_mkdump({"--particles", "2000", dir.file("d2")}).status, 0);
  ASSERT_EQ(run_tool(dir.path(), "", {"-q", "--append", "--h5", "run.h5", "d1", "d2"}).status, 0);
  ASSERT_EQ(run_tool(dir.path(), "", {"-q", "-o", "one", "--h5", "one.h5", "d1", "d2", "d3"}).status, 0);
  EXPECT_EQ(series_rows(dir.file("run.h5")), series_rows(dir.file("one.h5")));
}


// --append against one run over all the dumps: the series holds the same
// rows, in time order; a dump it holds complete and unchanged is not read
// again (its files are left as they are), any other is read again. Without
// --append, a series of dumps the run does not name is refused, and
// replaced when the run names them all or with --replace.
TEST(SeriesRun, AppendGivesWhatOneRunOverAllTheDumpsGives) {
  using Change = std::function<void(TempDir&)>;
  struct Case {
    const char* what;
    Change before;                    // before the run that makes the series
    std::vector<std::string> first;   // that run's dumps
    Change between;
    std::vector<std::string> next;    // the second run's options and dumps
    std::vector<std::string> reread;  // dumps of the first run read again
    std::vector<std::string> all;     // one run over all the dumps, in time order
    int status;
    const char* says;                 // in its standard error
  };
  auto make = [](const char* name, int particles, const char* seed, const char* time) {
    return [=](TempDir& dir) {
      ASSERT_EQ(run_mkdump({"--particles", std::to_string(particles), "--seed", seed, "--time", time, dir.file(name)})
                    .status, 0);
    };
  };
  const Change cut = [](TempDir& dir) { std::filesystem::resize_file(dir.file("d3"), 60000); };
  const std::vector<Case> cases = {
      {"new dumps, one earlier in time", nullptr, {"d2", "d3"}, nullptr, {"--append", "d4", "d1"}, {},
       {"d1", "d2", "d3", "d4"}, 0, "of the run's 2 dumps, 2 are new"},
      {"a dump done", nullptr, {"d1", "d2"}, nullptr, {"--append", "d2", "d3"}, {}, {"d1", "d2", "d3"}, 0,
       "1 is held complete and unchanged and is not read again, 1 is new"},
      {"a dump that ended early", cut, {"d1", "d3"}, make("d3", 3000, "3", "0.3"), {"--append", "d3", "d1"}, {"d3"},
       {"d1", "d3"}, 0, "1 is read again"},
      {"a changed dump", nullptr, {"d1", "d2"}, make("d2", 2500, "7", "0.2"), {"--append", "d1", "d2"}, {"d2"},
       {"d1", "d2"}, 0, "1 is read again"},
      {"the same dump by two names", nullptr, {"d1", "d2"}, nullptr, {"--append", "./d1", "link2"}, {}, {}, 0,
       "holds every dump of the run complete and unchanged: it is left as it was"},
      {"a dump held that cannot be read now", nullptr, {"d1", "d2"},
       [](TempDir& dir) { std::filesystem::remove(dir.file("d2")); }, {"--append", "-k", "d1", "d2"}, {}, {}, 1,
       "\"d2\" is not readable: No such file or directory; the series keeps the complete row it holds of it"},
      {"differing answers", nullptr, {"d1"}, nullptr, {"--append", "-c", "m", "d2"}, {}, {}, 2,
       "was made with centre \"n\", and this run has \"m\""},
      {"a file that is not a series", nullptr, {}, nullptr, {"--append", "d1"}, {}, {}, 2,
       "it exists and is not a series file"},
      {"no --append", nullptr, {"d1", "d2"}, nullptr, {"d2"}, {}, {}, 2,
       "phasegrid: --h5 \"s.h5\" holds 2 dumps, 1 of which this run does not name; add --append to add the run's "
       "dumps to it, or --replace to replace it\n"},
      {"no --append, all its dumps", nullptr, {"d1", "d2"}, nullptr, {"d2", "d1"}, {"d1", "d2"}, {"d2", "d1"}, 0, ""},
      {"--replace", nullptr, {"d1", "d2"}, nullptr, {"--replace", "d2"}, {"d2"}, {"d2"}, 0, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (int k = 1; k <= 4; ++k) {
      const std::string n = std::to_string(k);
      make(("d" + n).c_str(), 1000 * k, n.c_str(), ("0." + n).c_str())(dir);
    }
    std::filesystem::create_symlink("d2", dir.file("link2"));
    if (c.before) c.before(dir);
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
      a.insert(a.end(), more.begin(), more.end());
      return a;
    };
    const std::vector<std::string> args = {"-q", "-o", "grids", "--h5", "s.h5"};
    if (c.first.empty()) write_file(dir.file("s.h5"), "mine\n");
    else run_tool(dir.path(), "", with(args, c.first));
    if (c.between) c.between(dir);
    const std::string before = dir.read("s.h5");
    for (const std::string& name : c.first) write_file(dir.file("grids/IP" + name), "earlier\n");
    const ToolRun r = run_tool(dir.path(), "", with(args, c.next));
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    if (c.all.empty()) {
      EXPECT_EQ(dir.read("s.h5"), before) << c.what;
      continue;
    }
    for (const std::string& name : c.first)
      EXPECT_EQ(dir.read("grids/IP" + name) == "earlier\n",
                std::find(c.reread.begin(), c.reread.end(), name) == c.reread.end())
          << c.what << ": " << name;
    run_tool(dir.path(), "", with({"-q", "-o", "one", "--h5", "all.h5"}, c.all));
    EXPECT_EQ(series_rows(dir.file("s.h5")), series_rows(dir.file("all.h5"))) << c.what;
  }
}
