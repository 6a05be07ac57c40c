// Output files that cannot be written: a full disk, a file-size limit, a
// folder that takes no new files. The run stops with exit status 2 and a line
// on standard error naming the file; files already completed stay complete,
// a failed file keeps its earlier text, and none is ever left part-written.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
namespace fs = std::filesystem;

namespace {

const std::size_t grid_bytes = 13u + 540u * 7700u;

std::string good_dump() { return dump_bytes(simple_dump(sample_particles(40))); }

// The names in a folder, sorted.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Runs the tool with a limit on the size of any file it writes. SIGXFSZ is
// ignored (and stays ignored in the tool), so a write past the limit fails
// with EFBIG instead of killing the process.
ToolRun run_with_file_size_limit(const std::string& dir, const std::string& input, rlim_t bytes) {
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &lim);
  ToolRun r;
  try {
    r = run_tool(dir, input);
  } catch (...) {
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    throw;
  }
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  return r;
}

// Runs a program of the system; false when it fails or is not there.
bool succeeds(const std::vector<std::string>& argv) {
  try {
    return run_program(argv).status == 0;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// Makes a folder refuse new files: mode 555, or for root (who is not held
// back by modes) the immutable attribute. False when neither can be had.
bool lock_folder(const std::string& dir) {
  if (geteuid() != 0) return chmod(dir.c_str(), 0555) == 0;
  return succeeds({"chattr", "+i", dir});
}

void unlock_folder(const std::string& dir) {
  if (geteuid() != 0) {
    chmod(dir.c_str(), 0755);
    return;
  }
  (void)succeeds({"chattr", "-i", dir});
}

}  // namespace

// A write, sync or close that fails leaves the earlier files as they were,
// and says so; a folder that takes no new files is refused, its files never
// rewritten in place.
TEST(OutputFiles, FailingWriteOrCloseKeepsTheEarlierFiles) {
  const std::string earlier_grid(grid_bytes, 'x');
  for (const bool in_place : {false, true}) {
    for (const std::string at : {"write", "FSYNC", "CLOSE"}) {
      SCOPED_TRACE(std::string(in_place ? "in place, " : "beside, ") + at);
      const bool at_close = at != "write";
      TempDir dir;
      write_file(dir.file("bad"), good_dump());
      write_file(dir.file("IPbad"), "old\n");
      write_file(dir.file("QGbad    01"), earlier_grid);
      if (in_place && !lock_folder(dir.path())) GTEST_SKIP() << "the folder cannot be made to refuse new files here";
      // A file-size limit fails the grid's write; the shim its sync or close (EIO).
      const ToolRun r = at_close ? run_tool(dir.path(), "1\nbad\nn\n0\n", {},
                                            {"LD_PRELOAD=" FAULT_SHIM_LIB, "PHASEGRID_TEST_FAIL_" + at + "=QG",
                                             "ASAN_OPTIONS=verify_asan_link_order=0"})
                                 : run_with_file_size_limit(dir.path(), "1\nbad\nn\n0\n", 1 << 20);
      if (in_place) unlock_folder(dir.path());
      EXPECT_EQ(r.status, 2);
      const std::string why = in_place   ? "never rewritten in place, where a stop would leave it part-written)"
                              : at_close ? (at == "CLOSE" ? "cannot close" : "cannot complete") +
                                               std::string(" output file \"QGbad    01\": Input/output error")
                                         : "cannot write output file \"QGbad    01\": File too large";
      EXPECT_NE(r.err.find(why + "; it still holds an earlier run's text"), std::string::npos) << r.err;
      EXPECT_TRUE(dir.read("QGbad    01") == earlier_grid);
      EXPECT_EQ(dir.read("IPbad"), "old\n") << "no index line for a grid that was not written";
      EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"IPbad", "QGbad    01", "bad"}))
          << "no unfinished text is left behind";
    }
  }
}

// A symbolic link at an output name is replaced, or refused in a folder
// that takes no new files; its target is never written, for a damaged dump
// (whose files are emptied) or a good one.
TEST(OutputFiles, LinksAtOutputNamesAreNeverWrittenThrough) {
  for (const bool in_place : {false, true}) {
    for (const bool damaged : {false, true}) {
      SCOPED_TRACE(std::string(in_place ? "in place, " : "beside, ") + (damaged ? "damaged" : "good"));
      TempDir dir;
      write_file(dir.file("d"), damaged ? std::string(64, 'x') : good_dump());
      write_file(dir.file("victim"), "mine\n");
      for (const char* name : {"QGd      01", "IPd"}) fs::create_symlink("victim", dir.file(name));
      if (in_place && !lock_folder(dir.path())) GTEST_SKIP() << "the folder cannot be made to refuse new files here";
      const ToolRun r = run_tool(dir.path(), "1\nd\nn\n0\n");
      if (in_place) unlock_folder(dir.path());
      EXPECT_EQ(r.status, in_place ? 2 : damaged ? 1 : 0) << r.err;
      EXPECT_EQ(dir.read("victim"), "mine\n");
      for (const char* name : {"QGd      01", "IPd"}) EXPECT_EQ(fs::is_symlink(dir.file(name)), in_place) << name;
    }
  }
}

// What is at an unfinished name is taken over only when a killed run left
// it there (crash_test.py); anything else is left as it is and the output
// refused. A link swapped in for the unfinished series file, as HDF5 opens
// it (the 2nd open of one) or while it is written (the 4th), is never
// written through nor renamed into place.
TEST(OutputFiles, UnfinishedNamesNeverTakeAFileOver) {
  const std::vector<std::pair<std::string, std::string>> cases = {  // what is at IPd.unfinished, or the swap; the line
      {"AT=link", "is a file with other links"}, {"AT=file", "by a file phasegrid did not leave there"},
      {"AT=symlink", "is taken by a symbolic link"}, {"PHASEGRID_TEST_SWAP_AT=2", "cannot write the series file"},
      {"PHASEGRID_TEST_SWAP_AT=4", "its unfinished text was renamed or replaced while it was written"}};
  for (const auto& [at, says] : cases) {
    TempDir dir;
    write_file(dir.file("d"), good_dump());
    write_file(dir.file("mine"), "mine\n");
    if (at == "AT=link") fs::create_hard_link(dir.file("mine"), dir.file("IPd.unfinished"));
    if (at == "AT=file") write_file(dir.file("IPd.unfinished"), "theirs\n");
    fs::create_symlink("mine", dir.file(at == "AT=symlink" ? "IPd.unfinished" : "t"));
    const ToolRun r = run_program({PHASEGRID_BIN, "-q", "--h5", "s.h5", "d"}, dir.path(), "",
                                  {"LD_PRELOAD=" FAULT_SHIM_LIB, "ASAN_OPTIONS=verify_asan_link_order=0", at,
                                   "PHASEGRID_TEST_SWAP_FROM=t", "PHASEGRID_TEST_SWAP_TO=s.h5.unfinished"});
    EXPECT_EQ(r.status, 2) << at;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_EQ(dir.read("mine"), "mine\n") << at;
    EXPECT_FALSE(dir.exists("s.h5")) << at;
  }
}

TEST(OutputFiles, FullDiskStopsTheRunAndKeepsEarlierDumpsComplete) {
  // A 6 MB file system holds the first dump's grid, not the second's.
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir io;
  const std::string disk = io.file("disk");
  fs::create_directory(disk);
  write_file(io.file("first"), good_dump());
  write_file(io.file("second"), good_dump());
  {
    std::ofstream(io.file("stdin")) << "2\nfirst\nsecond\nn\n0\n";
  }
  // The mount lives in a mount namespace of its own: copy what is left on it
  // out before the namespace goes.
  const std::string script =
      "mount -t tmpfs -o size=6m tmpfs \"$1\" || exit 99; "
      "cp \"$2/first\" \"$2/second\" \"$1/\" && cd \"$1\" && "
      "\"$3\" < \"$2/stdin\" > \"$2/stdout\" 2> \"$2/stderr\"; echo $? > \"$2/status\"; "
      "mkdir \"$2/after\" && cp -a \"$1/.\" \"$2/after/\"";
  const bool ran = succeeds({"unshare", "-m", "sh", "-c", script, "sh", disk, io.path(), PHASEGRID_BIN});
  if (!ran || !io.exists("status")) GTEST_SKIP() << "no small file system could be mounted here";
  EXPECT_EQ(std::stoi(io.read("status")), 2);
  const std::string err = io.read("stderr");
  EXPECT_NE(err.find("cannot write output file \"QGsecond 01\": No space left on device"),
            std::string::npos)
      << err;
  EXPECT_EQ(io.read("after/QGfirst  01").size(), grid_bytes);
  EXPECT_EQ(io.read("after/IPfirst").size(), 38u);
  EXPECT_EQ(names_in(io.file("after")), (std::vector<std::string>{"IPfirst", "QGfirst  01", "first", "second"}))
      << "nothing of the second dump's, and no unfinished text";
}

TEST(OutputFiles, FolderThatTakesNoNewFilesStopsTheRun) {
  TempDir dir;
  write_file(dir.file("bad"), good_dump());
  if (!lock_folder(dir.path())) GTEST_SKIP() << "the folder cannot be made to refuse new files here";
  const ToolRun r = run_tool(dir.path(), "1\nbad\nn\n0\n");
  unlock_folder(dir.path());
  EXPECT_EQ(r.status, 2);
  // The folder's refusal, not the missing file's absence.
  const std::string reason = geteuid() == 0 ? "Operation not permitted" : "Permission denied";
  EXPECT_NE(r.err.find("cannot create output file \"IPbad\": " + reason + "\n"), std::string::npos) << r.err;
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"bad"}));
}

// Also when the grid's unfinished file is one a killed run left (mode 600),
// taken over; and no completed file keeps the mark of an unfinished one.
TEST(OutputFiles, CompletedFilesHaveTheModeOfANewFileUnderTheUmask) {
  const struct {
    mode_t umask, mode;
  } cases[] = {{022, 0644}, {077, 0600}, {0, 0644}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "umask 0" << std::oct << c.umask);
    TempDir dir;
    write_file(dir.file("good"), good_dump());
    const std::string left = dir.file("QGgood   01.unfinished");
    write_file(left, "left by a killed run\n");
    ASSERT_EQ(chmod(left.c_str(), 0600), 0);
    if (setxattr(left.c_str(), "user.phasegrid", "unfinished", 10, 0) != 0) GTEST_SKIP() << "no user xattrs here";
    const mode_t mask = umask(c.umask);
    const ToolRun r = run_tool(dir.path(), "1\ngood\nn\n0\n");
    umask(mask);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"QGgood   01", "IPgood"}) {
      struct stat st {};
      ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, c.mode) << name;
      EXPECT_LT(getxattr(dir.file(name).c_str(), "user.phasegrid", nullptr, 0), 0) << name;
    }
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"IPgood", "QGgood   01", "good"}));
  }
}
