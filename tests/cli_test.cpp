// End-to-end: the tool's command line (--help, --version, anything else) and
// what it writes to standard error: nothing in a normal run, and a progress
// line for a large dump only when standard error is a terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"
#include "tests/support/spawn.hpp"

using namespace pgtest;

namespace {

// A complete dump of about 1.2 GB that takes no room on disk: a real*8 array
// of the gas group (which the reader passes over) whose data record is a hole
// in a sparse file.
constexpr std::int32_t hole_bytes = 1'200'000'000;

void write_large_sparse_dump(const std::string& path) {
  Dump d = simple_dump(sample_particles(300));
  const std::string marker = "the hole is here";  // 16 bytes of payload
  d.blocks[0].groups[0].arrays.push_back(Array{"hole", s_real8, marker});
  const std::string bytes = dump_bytes(d);
  const std::size_t at = bytes.find(marker);
  ASSERT_NE(at, std::string::npos);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const auto put = [&](const void* p, std::size_t n, std::int64_t offset) {
    ASSERT_EQ(::pwrite(fd, p, n, offset), static_cast<ssize_t>(n));
  };
  put(bytes.data(), at - 4, 0);
  put(&hole_bytes, 4, static_cast<std::int64_t>(at) - 4);
  put(&hole_bytes, 4, static_cast<std::int64_t>(at) + hole_bytes);
  const std::size_t rest = at + marker.size() + 4;
  put(bytes.data() + rest, bytes.size() - rest, static_cast<std::int64_t>(at) + hole_bytes + 4);
  ::close(fd);
}

ToolRun run(const std::string& dir, const std::vector<std::string>& args, const std::string& input,
            ErrTo err = ErrTo::own_file) {
  return run_tool(dir, input, args, {}, err);
}

bool have_terminals() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

TEST(CommandLine, HelpAndVersionPrintAndExitZero) {
  TempDir dir;
  const ToolRun help = run(dir.path(), {"--help"}, "");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: phasegrid")) << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_EQ(help.err, "");

  const ToolRun version = run(dir.path(), {"--version"}, "");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "phasegrid " PHASEGRID_VERSION "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CommandLine, AnyOtherArgumentStopsBeforeTheDialogue) {
  TempDir dir;
  write_dump(simple_dump(sample_particles(50)), dir.file("dump01"));
  // Unknown options, short and long, alone or with a dump: the dialogue on
  // standard input would read the dump, but nothing runs.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-z"}, {"--verbose"}, {"--verbose", "dump01"}, {"-v", "-q"}}) {
    const ToolRun r = run(dir.path(), args, "1\ndump01\nn\n0\n");
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("phasegrid: unknown argument"), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "files were written";
}

TEST(StandardError, EmptyInANormalRun) {
  TempDir dir;
  write_dump(simple_dump(sample_particles(400)), dir.file("dump01"));
  const ToolRun r = run(dir.path(), {}, "1\ndump01\nm\n1\n1e-13\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" FINISHED READ 400 0"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(StandardError, LargeDumpShowsProgressOnlyOnATerminal) {
  TempDir dir;
  write_large_sparse_dump(dir.file("bigdump"));
  const std::string input = "1\nbigdump\nn\n0\n";

  const ToolRun plain = run(dir.path(), {}, input);
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_NE(plain.out.find(" FINISHED READ 300 0"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.err, "") << "standard error is not a terminal here";

  if (!have_terminals()) GTEST_SKIP() << "no pseudo-terminals on this machine";
  const ToolRun shown = run(dir.path(), {}, input, ErrTo::terminal);
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, plain.out) << "standard output must not change";
  // Frames redrawn in place, wiped before each trace line and at the end
  // (blanks over the line and the cursor back at its start); then the
  // closing line of a run that went well.
  static const std::regex form(
      R"(((\rdump 1/1 bigdump: +(\d{1,3}% of 1\.2 GB|binning)(, \d+ s left)? *)|(\r +\r))*)"
      R"(phasegrid: 1 dump, 1 complete, \d+\.\d s\r?\n)");
  EXPECT_TRUE(std::regex_match(shown.err, form)) << shown.err;
  EXPECT_EQ(run(dir.path(), {"-q"}, input, ErrTo::terminal).err, "") << "-q: nothing on the terminal either";
}

TEST(Cli, LostStandardOutputIsAFailure) {
  TempDir dir;
  for (const char* command : {PHASEGRID_BIN, PHASEGRID_BIN " --help", PHASEGRID_BIN " --version",
                              PHASEGRID_MERGE_BIN " --help", PHASEGRID_DUMP_BIN " --version", MKDUMP_BIN " --help"}) {
    const ToolRun r = run_program({"/bin/sh", "-c", std::string(command) + " > /dev/full"}, dir.path(), "0\nn\n0\n");
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_NE(r.err.find(": cannot write standard output: "), std::string::npos) << r.err;
  }
}
