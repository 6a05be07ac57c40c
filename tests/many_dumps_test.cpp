// End-to-end: the recipes of docs/many-dumps.md, run as written on small
// dumps: GNU parallel (one process per dump) and the SLURM task script.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"
#include "tests/support/spawn.hpp"

using namespace pgtest;

namespace {

// The first command line of the page that starts with `start`.
std::string command(const std::string& start) {
  const std::string doc = read_file(PHASEGRID_SOURCE_DIR "/docs/many-dumps.md");
  for (const std::string& line : split_lines(doc))
    if (line.starts_with("    " + start)) return line.substr(4);
  ADD_FAILURE() << "docs/many-dumps.md has no command starting with \"" << start << "\"";
  return "false";
}

// The GNU parallel recipe: its folder for the logs, then parallel.
std::string parallel_recipe() { return command("mkdir ") + " && " + command("parallel "); }

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  std::size_t at = 0;
  while (at <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string file = dirs.substr(at, end - at) + "/" + program;
    if (end > at && ::access(file.c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

std::vector<std::string> with_tool_on_path() {
  const char* path = std::getenv("PATH");
  const std::string merge_dir = std::filesystem::path(PHASEGRID_MERGE_BIN).parent_path();
  return {"PATH=" + build_bin_dir() + ":" + merge_dir + ":" + (path != nullptr ? path : "/usr/bin:/bin")};
}

ToolRun shell(const std::string& dir, const std::string& command,
                 std::vector<std::string> env = with_tool_on_path()) {
  return run_program({"/bin/bash", "-c", command}, dir, "", env);
}

// Exit status of each job of a GNU parallel job log, by its command line.
std::map<std::string, int> job_exits(const std::string& joblog) {
  std::map<std::string, int> out;
  const std::vector<std::string> lines = split_lines(joblog);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> cols;
    std::size_t at = 0, tab;
    while ((tab = lines[i].find('\t', at)) != std::string::npos) {
      cols.push_back(lines[i].substr(at, tab - at));
      at = tab + 1;
    }
    cols.push_back(lines[i].substr(at));
    if (cols.size() >= 9) out[cols[8]] = std::stoi(cols[6]);
  }
  return out;
}

int jobs_with_status(const std::map<std::string, int>& jobs, int status) {
  int n = 0;
  for (const auto& [command, s] : jobs) n += s == status;
  return n;
}

// The grid and index file of one dump, in `folder` of `dir`.
std::string files_of(const TempDir& dir, const std::string& folder, const std::string& name) {
  std::string padded = name;
  padded.resize(7, ' ');
  return dir.read(folder + "QG" + padded + "01") + "|" + dir.read(folder + "IP" + name);
}

// The dumps in the folder run/ of `dir`, as the recipes expect them.
void write_run(const TempDir& dir, const std::vector<std::pair<std::string, Dump>>& dumps) {
  std::filesystem::create_directory(dir.file("run"));
  for (const auto& [name, dump] : dumps) write_dump(dump, dir.file("run/" + name));
}

// Every one of the 700 x 540 cells empty.
bool grid_is_empty(const std::string& grid) {
  std::size_t empty = 0;
  for (std::size_t at = grid.find("    -1.000"); at != std::string::npos; at = grid.find("    -1.000", at + 1))
    ++empty;
  return empty == 700u * 540u;
}

Dump without_dust_temperatures(Particles p, double gt) {
  p.dust_t.clear();
  p.dust_kappa.clear();
  return simple_dump(p, true, gt);
}

}  // namespace

class ManyDumps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!on_path("parallel")) GTEST_SKIP() << "GNU parallel is not installed (tools/install-deps installs it)";
  }
};

TEST_F(ManyDumps, ParallelRecipeWritesEveryDumpsFilesAsASeparateRunWould) {
  TempDir dir, alone;
  const std::vector<std::pair<std::string, Dump>> dumps = {
      {"dump001", simple_dump(sample_particles(500, 1), true, 0.5)},
      {"dump002", simple_dump(sample_particles(700, 2), false, 0.75)}};
  write_run(dir, dumps);
  write_run(alone, dumps);

  // Run twice: the second run finds the same dumps, not the first run's logs.
  for (int pass = 0; pass < 2; ++pass) {
    const ToolRun r = shell(dir.path(), parallel_recipe());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  const std::map<std::string, int> jobs = job_exits(dir.read("phasegrid.joblog"));
  EXPECT_EQ(jobs.size(), 2u) << dir.read("phasegrid.joblog");
  EXPECT_EQ(jobs_with_status(jobs, 0), 2) << dir.read("phasegrid.joblog");
  EXPECT_NE(dir.read("logs/dump001.log").find(" FINISHED READ 500 0"), std::string::npos);
  EXPECT_NE(dir.read("logs/dump002.log").find(" FINISHED READ 700 0"), std::string::npos);

  // One long run of both dumps writes the same files.
  const ToolRun one = run_tool(alone.path(), "", {"run/dump001", "run/dump002"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(files_of(dir, "grids/", "dump001"), files_of(alone, "", "dump001"));
  EXPECT_EQ(files_of(dir, "grids/", "dump002"), files_of(alone, "", "dump002"));
  EXPECT_EQ(dir.read("grids/IPdump002"), " 7.50000E-01  1.54510E-01 QGdump00201\n");
  EXPECT_FALSE(grid_is_empty(dir.read("grids/QGdump00201")));
  // The recipe's last line: the jobs' series files merged into one.
  const ToolRun merged = shell(dir.path(), command("phasegrid-merge "));
  EXPECT_EQ(merged.status, 0) << merged.err;
  EXPECT_TRUE(dir.exists("series.h5"));
}

TEST_F(ManyDumps, ValuesDoNotCarryOverBetweenProcesses) {
  // The second dump has no dust temperatures. One long run bins it with the
  // first dump's; a process of its own has none, and its grid stays empty;
  // a group of the grouped recipe is one run.
  TempDir dir, alone;
  const Particles p = sample_particles(400, 3);
  for (const TempDir* d : {&dir, &alone})
    write_run(*d, {{"dump001", simple_dump(p, true, 0.5)}, {"dump002", without_dust_temperatures(p, 0.75)}});
  const ToolRun r = shell(dir.path(), parallel_recipe());
  EXPECT_EQ(r.status, 0) << r.err;
  const ToolRun one = run_tool(alone.path(), "", {"run/dump001", "run/dump002"});
  ASSERT_EQ(one.status, 0) << one.err;

  EXPECT_EQ(alone.read("QGdump00201"), alone.read("QGdump00101")) << "one run: the first dump's values";
  EXPECT_FALSE(grid_is_empty(alone.read("QGdump00201")));
  EXPECT_TRUE(grid_is_empty(dir.read("grids/QGdump00201"))) << "own process: no dust temperatures at all";
  EXPECT_NE(dir.read("logs/dump002.log").find("supplied no dust temperature"), std::string::npos)
      << "the log says so";
  EXPECT_EQ(dir.read("grids/QGdump00101"), alone.read("QGdump00101"));
  EXPECT_EQ(dir.read("grids/IPdump002"), alone.read("IPdump002"));
  // The grouped recipe reads both in one run: they carry over again.
  TempDir grouped;
  write_run(grouped, {{"dump001", simple_dump(p, true, 0.5)}, {"dump002", without_dust_temperatures(p, 0.75)}});
  EXPECT_EQ(shell(grouped.path(), command("mkdir ") + " && " + command("OMP_NUM_THREADS=1 parallel ")).status, 0);
  EXPECT_EQ(grouped.read("grids/QGdump00201"), alone.read("QGdump00201")) << "grouped: one run's values";
}

TEST_F(ManyDumps, AFailedDumpShowsInTheJobLogAndTheExitStatus) {
  TempDir dir;
  Dump cut = simple_dump(sample_particles(300, 5));
  cut.cut = static_cast<std::int64_t>(dump_bytes(cut).size() / 2);
  write_run(dir, {{"dump001", simple_dump(sample_particles(300, 4))}, {"dump002", cut}});
  const ToolRun r = shell(dir.path(), parallel_recipe());
  EXPECT_EQ(r.status, 1) << "parallel exits with the number of failed jobs";
  const std::map<std::string, int> jobs = job_exits(dir.read("phasegrid.joblog"));
  EXPECT_EQ(jobs_with_status(jobs, 0), 1) << dir.read("phasegrid.joblog");
  EXPECT_EQ(jobs_with_status(jobs, 1), 1) << dir.read("phasegrid.joblog");
  EXPECT_NE(dir.read("logs/dump002.log").find(" END OF FILE REACHED IN RDUMP"), std::string::npos);
  EXPECT_TRUE(dir.exists("grids/QGdump00101") && dir.exists("grids/IPdump001"));
}

// The task script run as SLURM runs it: `n` its array task (0: the merge
// job; -1: "tasks", the number of tasks), in the working folder `dir`.
ToolRun slurm_task(const TempDir& dir, int n, const std::vector<std::string>& more = {}) {
  std::vector<std::string> env = with_tool_on_path();
  env.push_back("SLURM_ARRAY_TASK_ID=" + std::to_string(n));
  env.push_back("SLURM_SUBMIT_DIR=" + dir.path());
  env.push_back("SLURM_CPUS_PER_TASK=1");
  env.push_back("PHASEGRID_OPTIONS=-c m");
  env.push_back("PHASEGRID_SERIES_DIR=series");
  env.insert(env.end(), more.begin(), more.end());
  const std::string mode = n == 0 ? "merge" : n < 0 ? "tasks" : "";
  return run_program({"/bin/bash", PHASEGRID_SOURCE_DIR "/docs/slurm-phasegrid.sh", mode}, "/", "", env);
}

TEST(SlurmScript, EachTaskReadsTheDumpOnItsLine) {
  TempDir dir, alone;
  for (const TempDir* d : {&dir, &alone})
    write_run(*d, {{"dump001", simple_dump(sample_particles(200, 6), true, 0.25)},
                   {"dump002", simple_dump(sample_particles(250, 7), true, 0.5)},
                   {"dump-with-a-long-name", simple_dump(sample_particles(150, 8), true, 0.75)}});
  write_file(dir.file("dumps.txt"), "run/dump001\nrun/dump002\nrun/dump-with-a-long-name\n");
  auto task = [&](int n) { return slurm_task(dir, n, {"PHASEGRID_DUMPS_PER_TASK=1"}); };
  const ToolRun second = task(2);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_FALSE(dir.exists("grids/IPdump001")) << "task 2 reads line 2 only";
  // The same as phasegrid run by hand with PHASEGRID_OPTIONS: its files, and
  // its output (with the centre of mass that -c m prints) as the log.
  const ToolRun by_hand = run_tool(alone.path(), "", {"-c", "m", "-o", "grids", "run/dump002"}, {},
                                   ErrTo::stdout_too);
  ASSERT_EQ(by_hand.status, 0);
  EXPECT_EQ(dir.read("logs/task2-dump002.log"), by_hand.out);
  EXPECT_EQ(files_of(dir, "grids/", "dump002"), files_of(alone, "grids/", "dump002"));

  const ToolRun long_name = task(3);
  EXPECT_EQ(long_name.status, 0) << long_name.err;
  EXPECT_TRUE(dir.exists("grids/QGdump-with-a-long-name01") && dir.exists("grids/IPdump-with-a-long-name"));
  const ToolRun past_end = task(4);
  EXPECT_EQ(past_end.status, 2);
  EXPECT_NE(past_end.err.find("no task 4"), std::string::npos) << past_end.err;

  // The merge: the two dumps that have their series files, and says which
  // has none (task 1 never ran).
  const ToolRun merge = task(0);
  EXPECT_EQ(merge.status, 1) << merge.err;
  EXPECT_NE(merge.err.find("dump run/dump001 has no series file"), std::string::npos) << merge.err;
  EXPECT_NE(merge.out.find("2 dumps"), std::string::npos) << merge.out;
  EXPECT_TRUE(dir.exists("series.h5"));
}

TEST(SlurmScript, ATaskRunsItsDumpsInOneRunAndTheMergeFindsEveryOne) {
  // Five dumps, two a task: 3 tasks. The second dump has no dust
  // temperatures and takes the first's, as in one run; the fourth is no dump
  // at all: its task skips it (exit status 1) and still does the third.
  TempDir dir, alone;
  const Particles p = sample_particles(300, 9);
  for (const TempDir* d : {&dir, &alone}) {
    write_run(*d, {{"dump001", simple_dump(p, true, 0.5)}, {"dump002", without_dust_temperatures(p, 0.6)},
                   {"dump003", simple_dump(sample_particles(200, 11), true, 0.65)},
                   {"dump005", simple_dump(sample_particles(220, 12), true, 0.8)}});
    write_file(d->file("run/dump004"), "notes\n");
  }
  write_file(dir.file("dumps.txt"), "run/dump001\nrun/dump002\n\nrun/dump003\nrun/dump004\nrun/dump005");
  const std::vector<std::string> two = {"PHASEGRID_DUMPS_PER_TASK=2"};
  const ToolRun count = slurm_task(dir, -1, two);
  EXPECT_EQ(count.out, "3\n") << count.err;  // the blank line and the missing last newline do not count
  for (int n : {1, 2, 3}) {
    const ToolRun t = slurm_task(dir, n, two);
    EXPECT_EQ(t.status, n == 2 ? 1 : 0) << n << t.err;
  }
  // Each task's files are those of one run over its dumps, by hand.
  for (const std::vector<std::string>& group : std::vector<std::vector<std::string>>{
           {"run/dump001", "run/dump002"}, {"run/dump003", "run/dump004"}, {"run/dump005"}}) {
    std::vector<std::string> args = {"-k", "-c", "m"};
    args.insert(args.end(), group.begin(), group.end());
    EXPECT_NE(run_tool(alone.path(), "", args).status, 2);
  }
  for (const char* name : {"dump001", "dump002", "dump003", "dump005"})
    EXPECT_TRUE(files_of(dir, "grids/", name) == files_of(alone, "", name)) << name;
  EXPECT_FALSE(grid_is_empty(dir.read("grids/QGdump00201"))) << "the first dump's dust temperatures";
  EXPECT_FALSE(dir.exists("grids/IPdump004"));
  EXPECT_NE(dir.read("logs/task2-dump003.log").find("\"run/dump004\" is not a dump"), std::string::npos);
  EXPECT_EQ(dir.read("series/task2-dump003.status"), "1\n");

  ToolRun merge = slurm_task(dir, 0, two);
  EXPECT_EQ(merge.status, 0) << merge.err;
  EXPECT_NE(merge.out.find("5 dumps from 3 series files"), std::string::npos) << merge.out;
  // A task stopped by its time limit (SIGTERM: 143), or that never noted its
  // end: its series file is merged, but may lack dumps.
  for (const char* status : {"143\n", ""}) {
    std::filesystem::remove(dir.file("series/task3-dump005.status"));
    if (*status != '\0') write_file(dir.file("series/task3-dump005.status"), status);
    merge = slurm_task(dir, 0, two);
    EXPECT_EQ(merge.status, 1) << merge.err;
    EXPECT_NE(merge.err.find("task 3 (dumps run/dump005 to run/dump005)"), std::string::npos) << merge.err;
    EXPECT_NE(merge.out.find("5 dumps"), std::string::npos) << merge.out;
  }
}

TEST(SlurmScript, DumpsPerTaskByDefaultFromTheFirstDumpsSize) {
  // About 10 GB a task by the first dump's size, 1 to 100 dumps: sparse
  // files stand for big dumps (nothing reads them).
  const struct { std::uintmax_t bytes; int listed; const char* tasks; } rows[] = {
      {200'000, 150, "2\n"}, {4'000'000'000, 5, "3\n"}, {20'000'000'000, 3, "3\n"}, {0, 150, "2\n"}};
  for (const auto& row : rows) {
    TempDir dir;
    std::string list;
    for (int i = 0; i < row.listed; ++i) list += "run/dump" + std::to_string(i) + "\n";
    write_file(dir.file("dumps.txt"), list);
    if (row.bytes > 0) {
      std::filesystem::create_directory(dir.file("run"));
      write_file(dir.file("run/dump0"), "");
      std::filesystem::resize_file(dir.file("run/dump0"), row.bytes);
    }
    const ToolRun count = slurm_task(dir, -1);
    EXPECT_EQ(count.out, row.tasks) << row.bytes << count.err;
  }
  TempDir dir;
  write_file(dir.file("dumps.txt"), "run/dump0\n");
  EXPECT_EQ(slurm_task(dir, -1, {"PHASEGRID_DUMPS_PER_TASK=0"}).status, 2);
}
