// What a run says on standard error when a grid is not wholly its dump's, or
// leaves particles out, and the summary at its end; an interruption that
// costs no finished file. Standard output and the files stay as they were.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

#include "base/interrupt.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

const std::size_t grid_bytes = 13u + 540u * 7700u;

Dump good(std::size_t n = 20) { return simple_dump(sample_particles(n)); }

struct Case {
  const char* name;
  // The files of the dumps, by name; an empty dump leaves the name absent.
  std::function<std::vector<std::pair<std::string, std::string>>()> files;
  std::string answers;
  int status;
  std::vector<std::string> err;  // every standard-error line, in order
};

std::vector<std::pair<std::string, std::string>> one(const std::string& name, const Dump& d) {
  return {{name, dump_bytes(d)}};
}

const Case cases[] = {
    {"CouldNotBeOpened", [] { return one("d1", good()); }, "2\nd1\nnothere\nn\n0\n", 1,
     {"phasegrid: dump \"nothere\" could not be opened: No such file or directory; its grid and index "
      "line hold values left by earlier dumps",
      "phasegrid: 1 of 2 dumps had problems: nothere (could not be opened)"}},
    {"EndedEarly",
     [] {
       Dump d = good();
       d.cut = 1500;
       return one("cut", d);
     },
     "1\ncut\nn\n0\n", 1,
     {"phasegrid: dump \"cut\" ended early, at byte 1492; its grid holds values left by earlier dumps "
      "for what it did not supply",
      "phasegrid: cut: 20 particles outside the grid (20 outside the temperature rows)",
      "phasegrid: 1 of 1 dumps had problems: cut (ended early)"}},
    {"NoDustTemperatureBeforeAnyOther",
     [] {
       Dump d = good();
       d.blocks[0].groups.pop_back();
       return one("nodust", d);
     },
     "1\nnodust\nn\n0\n", 0,
     {"phasegrid: dump \"nodust\" supplied no dust temperature for some or all of its particles; their "
      "grid rows come from 0, as no earlier dump supplied any",
      "phasegrid: nodust: 20 particles outside the grid (20 outside the temperature rows)",
      "phasegrid: 1 of 1 dumps had problems: nodust (no dust temperature)"}},
    {"NoDustTemperatureAfterAnother",
     [] {
       Dump d = good();
       d.blocks[0].groups[2].length_count = 19;  // another length than the block's
       auto files = one("d1", good());
       files.emplace_back("d2", dump_bytes(d));
       files.emplace_back("d3", dump_bytes(d));
       return files;
     },
     "3\nd1\nd2\nd3\nn\n0\n", 0,
     {"phasegrid: dump \"d2\" supplied no dust temperature for some or all of its particles; their "
      "grid rows come from an earlier dump",
      "phasegrid: dump \"d3\" supplied no dust temperature for some or all of its particles; their "
      "grid rows come from an earlier dump",
      "phasegrid: 2 of 3 dumps had problems: d2 (no dust temperature), d3 (no dust temperature)"}},
    {"DustTemperatureCountedWithoutItsOpacity",
     [] {
       Dump d = good();
       d.blocks[0].groups[2].explicit_nums = true;  // six reals: the two come together or not at all
       d.blocks[0].groups[2].nums = {0, 0, 0, 0, 0, 6, 0, 0};
       return one("six", d);
     },
     "1\nsix\nn\n0\n", 0,
     {"phasegrid: dump \"six\" supplied no dust temperature for some or all of its particles; their "
      "grid rows come from 0, as no earlier dump supplied any",
      "phasegrid: six: 20 particles outside the grid (20 outside the temperature rows)",
      "phasegrid: 1 of 1 dumps had problems: six (no dust temperature)"}},
    {"FaultStopsTheRun",
     [] {
       Dump bad = good();
       bad.magic3 = 12;
       auto files = one("bad", bad);
       files.emplace_back("d2", dump_bytes(good()));
       return files;
     },
     "3\nbad\nd2\nd3\nn\n0\n", 1,
     {"phasegrid: a fault in dump \"bad\" stopped the run; its grid file is left empty; not processed: "
      "\"d2\", \"d3\"",
      "phasegrid: 3 of 3 dumps had problems: bad (stopped by a fault), d2 (not processed), d3 (not "
      "processed)"}},
    {"ParticlesOutsideTheGrid",
     [] {
       Particles p = sample_particles(20);
       p.rho[3] = 1e30f;                                          // beyond the last column
       p.dust_t[5] = 1e4;                                         // above the rows
       p.dust_t[6] = 0.5;                                         // below them
       p.dust_t[7] = std::numeric_limits<double>::quiet_NaN();
       p.iphase[8] = -1;                                          // inactive: not counted
       p.dust_t[8] = 1e4;
       return one("d1", simple_dump(p));
     },
     "1\nd1\nn\n0\n", 0,
     {"phasegrid: d1: 4 particles outside the grid (1 above the density columns, 2 outside the "
      "temperature rows, 1 with a dust temperature that is not a number)"}},
    {"OtherUnits",
     [] {
       Dump d = good();
       d.units = {3.0857e18, 1.989e33, 1.0};
       return one("pc", d);
     },
     "1\npc\nn\n0\n", 0,
     {"phasegrid: dump \"pc\" was written in units of 1.989e+33 g and 3.0857e+18 cm, but the grid's "
      "densities assume 1.991e+33 g and 3.086e+17 cm"}},
    {"TheSameUnitsRoundedOtherwise",
     [] {
       Dump d = good();
       d.units = {3.0857e17, 1.989e33, 1.0};
       return one("d1", d);
     },
     "1\nd1\nn\n0\n", 0, {}},
    {"MoreParticlesThanTheStore",
     [] {
       Dump d = good();
       d.ints[0] = 60000000;
       return one("big", d);
     },
     "1\nbig\nn\n0\n", 1,
     {"phasegrid: dump \"big\" holds 60000000 particles, more than the 50001000 the store holds",
      "phasegrid: a fault in dump \"big\" stopped the run; its grid file is left empty; it was the "
      "last dump",
      "phasegrid: 1 of 1 dumps had problems: big (stopped by a fault)"}},
    {"IntegerOutOfRange", [] { return one("d1", good()); }, "99999999999\n", 2,
     {"phasegrid: the integer for the number of input files is out of range (-2147483648 to 2147483647), "
      "read \"99999999999\""}},
};

class RunReport : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(RunReport, SaysWhatWentWrong) {
  TempDir dir;
  for (const auto& [name, bytes] : GetParam().files()) write_file(dir.file(name), bytes);
  const ToolRun r = run_tool(dir.path(), GetParam().answers);
  EXPECT_EQ(r.status, GetParam().status) << r.out;
  EXPECT_EQ(split_lines(r.err), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunReport, ::testing::ValuesIn(cases),
                         [](const auto& test) { return std::string(test.param.name); });

// The files: a missing or cut dump's grid looks like a grid, which is why the
// lines above exist; a dump that a fault stopped leaves its grid empty, and
// an earlier complete grid of a dump not processed stays as it was.
TEST(RunReportFiles, FaultEmptiesItsGridAndLeavesTheOthers) {
  TempDir dir;
  write_dump(good(), dir.file("d2"));
  ASSERT_EQ(run_tool(dir.path(), "1\nd2\nn\n0\n").status, 0);
  const std::string earlier = dir.read("QGd2     01");
  Dump bad = good();
  bad.magic3 = 12;
  write_dump(bad, dir.file("bad"));
  const ToolRun r = run_tool(dir.path(), "2\nbad\nd2\nn\n0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir.read("QGbad    01"), "");
  EXPECT_EQ(dir.read("IPbad"), "");
  EXPECT_EQ(dir.read("QGd2     01"), earlier);
}

namespace {

// Whether process `pid` has made `unfinished` and sleeps (on its pipe).
bool asleep_after(pid_t pid, const std::string& unfinished) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string id, name, state;
  stat >> id >> name >> state;
  return std::filesystem::exists(unfinished) && (state == "S" || !stat);
}

}  // namespace

// A run blocked on its sixth dump (a named pipe no one writes) and then ended
// by SIGTERM, SIGINT or SIGHUP: it ends by the signal, saying so in one
// line, the complete files of an earlier run stay as they were, and no
// unfinished text is left beside them.
TEST(Interruption, KeepsTheEarlierFilesAndRemovesTheUnfinished) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    TempDir dir;
    write_dump(good(), dir.file("p"));
    ASSERT_EQ(run_tool(dir.path(), "1\np\nn\n0\n").status, 0);
    const std::string grid = dir.read("QGp      01"), index = dir.read("IPp");
    ASSERT_EQ(grid.size(), grid_bytes);
    std::filesystem::remove(dir.file("p"));
    ASSERT_EQ(::mkfifo(dir.file("p").c_str(), 0600), 0);
    for (const char* q : {"q1", "q2", "q3", "q4", "q5"}) write_dump(good(), dir.file(q));
    write_file(dir.file("answers"), "6\nq1\nq2\nq3\nq4\nq5\np\nn\n0\n");

    const pid_t pid = start_tool(dir.path(), "answers", "out");
    // The run makes its index file's new text, then waits for the pipe's writer.
    for (int i = 0; i < 500 && !asleep_after(pid, dir.file("IPp.unfinished")); ++i) ::usleep(20000);
    EXPECT_TRUE(dir.exists("IPp.unfinished"));
    ::kill(pid, sig);
    const int ws = wait_for(pid);
    EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == sig) << "ended by its signal, status " << ws;
    const std::string out = dir.read("out");
    EXPECT_EQ(out.substr(out.find("\nphasegrid: ") + 1),
              fmt::format("phasegrid: stopped by {} in dump 6 of 6 (\"p\"), whose files are left as they were; "
                          "the 5 dumps done have their files: run again on the 1 not done to go on\n",
                          pg::signal_name(sig)));
    EXPECT_EQ(dir.read("QGp      01"), grid);
    EXPECT_EQ(dir.read("IPp"), index);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "p" || name == "QGp      01" || name == "IPp" || name == "out" ||
                  name == "answers" || name.find('q') != std::string::npos)
          << "left behind: " << name;
    }
  }
}

// A signal that ends the process at once (before a run's dumps begin, or a
// second one) removes the files listed as unfinished: a file listed after
// many finished ones too.
TEST(Interruption, AFileListedAfterManyFinishedOnesIsStillRemoved) {
  TempDir dir;
  const pid_t pid = ::fork();
  if (pid == 0) {
    pg::catch_stop_signals();
    for (int k = 1; k <= 20; ++k) {
      write_file(dir.file("f" + std::to_string(k)), "unfinished");
      const pg::UnfinishedFile listed(dir.file("f" + std::to_string(k)));
      if (k == 20) ::raise(SIGTERM);
    }
    ::_exit(0);
  }
  const int ws = wait_for(pid);
  EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM) << ws;
  EXPECT_TRUE(dir.exists("f19") && !dir.exists("f20"));
}

// A run stuck writing its trace to a pipe nobody reads: the first signal
// asks it to stop, which it cannot; a second ends it at once, removing its
// unfinished files.
TEST(Interruption, ASecondSignalEndsAStuckRun) {
  TempDir dir;
  write_dump(good(), dir.file("d"));
  std::string answers = "300\n";
  for (int k = 0; k < 300; ++k) answers += "d\n";
  write_file(dir.file("answers"), answers + "n\n0\n");
  ASSERT_EQ(::mkfifo(dir.file("out").c_str(), 0600), 0);
  const int reader = ::open(dir.file("out").c_str(), O_RDONLY | O_NONBLOCK);  // never read
  const pid_t pid = start_tool(dir.path(), "answers", "out");
  int queued = 0;
  for (int i = 0; i < 500 && (queued < 32768 || !asleep_after(pid, dir.file("d"))); ++i, ::usleep(20000))
    ::ioctl(reader, FIONREAD, &queued);
  int ws = 0;
  for (int i = 0, sent = 0; i < 500 && ::waitpid(pid, &ws, WNOHANG) == 0; ++i, ::usleep(20000))
    if (sent < 2 && i % 10 == 0) ::kill(pid, SIGTERM), ++sent;
  if (::waitpid(pid, &ws, WNOHANG) == 0) ::kill(pid, SIGKILL), ::waitpid(pid, &ws, 0);
  ::close(reader);
  EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM) << ws;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().extension(), ".unfinished") << entry.path();
}

// Started with SIGHUP ignored (as nohup starts it), a run is not stopped by it.
TEST(Interruption, ASignalIgnoredAtTheStartStaysIgnored) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("p").c_str(), 0600), 0);
  write_file(dir.file("answers"), "1\np\nn\n0\n");
  ::signal(SIGHUP, SIG_IGN);
  const pid_t pid = start_tool(dir.path(), "answers", "out");
  ::signal(SIGHUP, SIG_DFL);
  for (int i = 0; i < 500 && !asleep_after(pid, dir.file("IPp.unfinished")); ++i) ::usleep(20000);
  ::kill(pid, SIGHUP);
  ::usleep(200000);  // time to stop, were it caught
  const std::string dump = dump_bytes(good());
  const int writer = ::open(dir.file("p").c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_EQ(::write(writer, dump.data(), dump.size()), static_cast<ssize_t>(dump.size()));
  ::close(writer);
  const int ws = wait_for(pid);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws << dir.read("out");
}
