// End-to-end: dumps named on the command line, their options against the
// dialogue's answers, output names and folders, and the run's refusals.
#include <gtest/gtest.h>

#include <fstream>

#include <algorithm>
#include <filesystem>

#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

namespace fs = std::filesystem;

// A dump of two blocks of five particles, each with a sink.
Dump two_block_dump() {
  Particles p = sample_particles(10, 7);
  Dump d = simple_dump(p);
  d.ints = standard_ints(10, 2);
  d.blocks = {Block{{gas_group(slice(p, 0, 5)), sink_group({1}), rad_group(slice(p, 0, 5))}},
              Block{{gas_group(slice(p, 5, 5)), sink_group({2}), rad_group(slice(p, 5, 5))}}};
  return d;
}

Dump faulty_dump() {
  Dump d = simple_dump(sample_particles(20));
  d.magic3 = 12;
  return d;
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(Options, MissingOrContradictoryOptionsStopWithOneLine) {
  TempDir dir;
  write_dump(simple_dump(sample_particles(20)), dir.file("d1"));
  write_dump(simple_dump(sample_particles(20)), dir.file("d2"));
  for (const char* name : {"a\nb", "a\x7f", "IPd1"}) write_dump(simple_dump(sample_particles(20)), dir.file(name));
  std::filesystem::create_symlink("d2", dir.file("link.h5"));
  std::filesystem::create_symlink("IPd1", dir.file("s"));
  std::filesystem::create_symlink("d1", dir.file("s.h5.unfinished"));
  std::filesystem::create_directory(dir.file("out"));
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--position", "1", "2", "3", "d1"}, "phasegrid: --position needs -c p\n"},
      {{"-c", "p", "d1"}, "phasegrid: -c p needs --position X Y Z\n"},
      {{"-c", "m", "--sink", "2", "d1"}, "phasegrid: --sink needs -c x\n"},
      {{"-c", "x", "d1"}, "phasegrid: -c x needs --sink N\n"},
      {{"-r", "1", "d1"}, "phasegrid: -r 1 needs -f FREQUENCY\n"},
      {{"--series-only", "d1"}, "phasegrid: --series-only needs --h5 FILE\n"},
      {{"--h5", "", "d1"}, "phasegrid: --h5 needs a FILE name; it was given an empty one\n"},
      {{"-f", "1e-13", "d1"}, "phasegrid: -f needs -r 1, 2 or 3\n"},
      {{"-c", "q", "d1"}, "phasegrid: --centre: q not in {n,m,d,p,s,x}\n"},
      {{"-r", "4", "d1"}, "phasegrid: --rotate: 4 not in {0,1,2,3}\n"},
      {{"-c", "x", "--sink", "two", "d1"}, "phasegrid: expected an integer for --sink, read \"two\"\n"},
      {{"-r", "2", "-f", "fast", "d1"}, "phasegrid: expected a real number for --frequency, read \"fast\"\n"},
      {{"-c", "m"},
       "phasegrid: --centre needs at least one DUMP: without one, the answers are read from standard "
       "input\n"},
      {{"--verbose", "d1"}, "phasegrid: unknown argument \"--verbose\": see phasegrid --help\n"},
      {{"-q", "-o", "o", "-dash", "d1"}, "phasegrid: unknown argument \"-dash\": see phasegrid --help\n"},
      {{"-r", "1", "-f", "1e400", "d1"},
       "phasegrid: the real number for --frequency is out of range (beyond 1.8e308), read \"1e400\"\n"},
      {{"-c", "p", "--position", "1 2", "0", "0", "d1"},
       "phasegrid: --position takes one number per word, read \"1 2\"\n"},
      {{"a\nb"},
       "phasegrid: dump \"a\\nb\": its name holds a control character, which its grid file's name and index line "
       "cannot; rename or link the dump\n"},
      {{"a\x7f"},
       "phasegrid: dump \"a\\x7f\": its name holds a control character, which its grid file's name and index line "
       "cannot; rename or link the dump\n"},
      {{"s", "d1"},
       "phasegrid: output file \"IPd1\" of dump \"d1\" is dump \"s\" of this run, which is never replaced; write "
       "the files elsewhere (-o DIR)\n"},
      // A series file that is a dump (through a link), or not a series (--h5 run/* without its name).
      {{"--h5", "link.h5", "d1", "d2"},
       "phasegrid: --h5 \"link.h5\" is dump \"d2\" of this run, which is never replaced; name a new file for the "
       "series\n"},
      {{"--h5", "d1", "d2"},
       "phasegrid: --h5 \"d1\": it exists and is not a series file phasegrid wrote, so it is not replaced; name a "
       "new file, or an earlier series file, after --h5\n"},
      // A dump where an output's new text is written until complete.
      {{"--h5", "s.h5", "d1"},
       "phasegrid: \"s.h5.unfinished\", where the new text of the series file \"s.h5\" is written until it is "
       "complete, is dump \"d1\" of this run; rename the dump\n"},
      // The series where an output's new text is written, named another way.
      {{"-o", "./out", "--h5", "out/IPd1.unfinished", "d1"},
       "phasegrid: --h5 \"out/IPd1.unfinished\" is where the new text of output file \"./out/IPd1\" is written until "
       "it is complete; name another file for the series\n"},
  };
  for (const Case& c : cases) {
    const ToolRun r = run_tool(dir.path(), "", c.args);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(names_in(dir.path()),
            (std::vector<std::string>{"IPd1", "a\nb", "a\x7f", "d1", "d2", "link.h5", "out", "s", "s.h5.unfinished"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("out")));
  EXPECT_EQ(dir.read("IPd1"), dump_bytes(simple_dump(sample_particles(20))));
}

// Every centring and frame: the same files, byte for byte, and the same
// standard output but for the dialogue's questions.
TEST(Options, SameRunAsTheDialogue) {
  const std::string question =
      "Do you want to centre on the centre of mass (m) or on the maximum density (d) or "
      " on a position (p) or  on the most massive or xth sink (s,x) or not at all?";
  struct Centring {
    std::string answer;
    std::vector<std::string> args;
  };
  const std::vector<Centring> centrings = {
      {"n\n", {"-c", "n"}},
      {"m\n", {"-c", "m"}},
      {"d\n", {"--centre", "d"}},
      {"p\n0.1 -0.2 3d-1\n", {"-c", "p", "--position", "0.1", "-0.2", "3d-1"}},
      {"s\n", {"-c", "s"}},
      {"x\n2\n", {"-c", "x", "--sink", "2"}},
  };
  for (const Centring& c : centrings) {
    for (int rotate = 0; rotate <= 3; ++rotate) {
      SCOPED_TRACE(c.args[1] + " -r " + std::to_string(rotate));
      TempDir asked, told;
      for (const TempDir* d : {&asked, &told}) {
        write_dump(simple_dump(sample_particles(30, 3)), d->file("one"));
        write_dump(two_block_dump(), d->file("two"));
      }
      std::string input = "2\none\ntwo\n" + c.answer + std::to_string(rotate) + "\n";
      std::vector<std::string> args = c.args;
      std::vector<std::string> questions = {" Enter number of input files:", " Enter names of input files:",
                                            question, " Undo rotating reference frame (0,1,2,3) ?",
                                            "    (3=1 but change velocities to rotating frame)"};
      args.insert(args.end(), {"-r", std::to_string(rotate)});
      if (rotate != 0) {
        input += "2.5e-13\n";
        args.insert(args.end(), {"-f", "2.5e-13"});
        questions.push_back(" Enter rotation frequency (sec) ?");
      }
      args.insert(args.end(), {"one", "two"});
      const ToolRun a = run_tool(asked.path(), input);
      const ToolRun t = run_tool(told.path(), "", args);
      EXPECT_EQ(t.status, a.status);
      EXPECT_EQ(t.err, a.err);
      ASSERT_TRUE(a.out.ends_with(t.out)) << a.out << "\n---\n" << t.out;
      EXPECT_EQ(split_lines(a.out.substr(0, a.out.size() - t.out.size())), questions);
      EXPECT_NE(t.out.find("FINISHED READ"), std::string::npos) << t.out;
      EXPECT_EQ(names_in(told.path()), names_in(asked.path()));
      for (const char* f : {"QGone    01", "IPone", "QGtwo    01", "IPtwo"})
        EXPECT_EQ(told.read(f), asked.read(f)) << f;
    }
  }
}

TEST(Options, LongNamesAreKeptWholeAndClashesRefused) {
  TempDir dir;
  fs::create_directories(dir.file("a"));
  fs::create_directories(dir.file("b"));
  for (const char* f : {"a/ab", "b/ab", "a/cloud01", "a/cloud001", "a/collapse_0042", "abcdefgh", "abcdefgh "})
    write_dump(simple_dump(sample_particles(20)), dir.file(f));

  const ToolRun clash = run_tool(dir.path(), "", {"-o", "out", "a/cloud01", "a/ab", "b/ab"});
  EXPECT_EQ(clash.status, 2);
  EXPECT_EQ(clash.err, "phasegrid: dumps \"a/ab\" and \"b/ab\" would both write \"out/QGab     01\"\n");
  EXPECT_EQ(clash.out, "");
  EXPECT_FALSE(fs::exists(dir.file("out")));
  EXPECT_EQ(run_tool(dir.path(), "", {"--series-only", "--h5", "s.h5", "a/ab", "b/ab"}).status, 0) << "no grid files";
  const ToolRun index_clash = run_tool(dir.path(), "", {"-o", "out", "abcdefgh", "abcdefgh "});
  EXPECT_EQ(index_clash.err, "phasegrid: dumps \"abcdefgh\" and \"abcdefgh \" would both write \"out/IPabcdefgh\"\n");

  const ToolRun r = run_tool(dir.path(), "", {"-o", "out/grids", "a/ab", "a/cloud01", "a/cloud001", "a/collapse_0042"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(dir.file("out/grids")),
            (std::vector<std::string>{"IPab", "IPcloud001", "IPcloud01", "IPcollapse_0042", "QGab     01",
                                      "QGcloud00101", "QGcloud0101", "QGcollapse_004201"}));
  EXPECT_NE(dir.read("out/grids/IPcollapse_0042").find(" QGcollapse_004201\n"), std::string::npos);
  EXPECT_NE(r.out.find("QGcollapse_004201\n"), std::string::npos);
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a", "abcdefgh", "abcdefgh ", "b", "out", "s.h5"}));
}

TEST(Options, UnreadableDumpsAndFilesNotDumpsStopTheRunOrAreSkipped) {
  TempDir dir;
  write_dump(simple_dump(sample_particles(20)), dir.file("good"));
  fs::create_directories(dir.file("folder"));
  std::ofstream(dir.file("IPold")) << " 0.5 0.25 QGold   01\n";  // an earlier run's index file
  const std::vector<std::string> dumps = {"good", "folder", "missing", "IPold"};

  std::vector<std::string> args = dumps;
  const ToolRun refused = run_tool(dir.path(), "", args);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "phasegrid: dump \"folder\" is not readable: Is a directory\n");
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"IPold", "folder", "good"}));

  args.insert(args.begin(), "-k");
  const ToolRun skipped = run_tool(dir.path(), "", args);
  EXPECT_EQ(skipped.status, 1);
  EXPECT_EQ(split_lines(skipped.err),
            (std::vector<std::string>{
                "phasegrid: dump \"folder\" is not readable: Is a directory; it is skipped and no files are "
                "written for it",
                "phasegrid: dump \"missing\" is not readable: No such file or directory; it is skipped and no "
                "files are written for it",
                "phasegrid: dump \"IPold\" is not a dump: it does not start with a dump's identification record; "
                "it is skipped and no files are written for it",
                "phasegrid: 3 of 4 dumps had problems: folder (skipped: not readable), missing (skipped: not "
                "readable), IPold (skipped: not a dump)"}));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"IPgood", "IPold", "QGgood   01", "folder", "good"}));
  EXPECT_EQ(run_tool(dir.path(), "", {"IPold"}).status, 2);
}

TEST(Options, KeepGoingReadsTheDumpsAfterAFault) {
  TempDir dir;
  write_dump(faulty_dump(), dir.file("bad"));
  write_dump(simple_dump(sample_particles(20)), dir.file("good"));
  const ToolRun r = run_tool(dir.path(), "", {"-k", "bad", "good"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(split_lines(r.err),
            (std::vector<std::string>{
                "phasegrid: a fault in dump \"bad\" stopped its reading; its grid file is left empty; the run "
                "goes on with the next dump",
                "phasegrid: 1 of 2 dumps had problems: bad (stopped by a fault)"}));
  EXPECT_NE(r.out.find(" ERROR"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("QGgood   01\n"), std::string::npos) << r.out;
  EXPECT_EQ(dir.read("QGbad    01"), "");
  EXPECT_EQ(dir.read("IPbad"), "");
  EXPECT_NE(dir.read("IPgood"), "");
  EXPECT_NE(dir.read("QGgood   01"), "");

  // The dialogue keeps going the same way.
  const ToolRun asked = run_tool(dir.path(), "2\nbad\ngood\nn\n0\n", {"-k"});
  EXPECT_EQ(asked.status, 1);
  EXPECT_EQ(asked.err, r.err);
}

TEST(Options, QuietWritesNothingOnStandardOutput) {
  TempDir loud, quiet;
  for (const TempDir* d : {&loud, &quiet}) {
    write_dump(faulty_dump(), d->file("bad"));
    write_dump(simple_dump(sample_particles(20)), d->file("good"));
  }
  const ToolRun l = run_tool(loud.path(), "", {"-k", "good", "bad"});
  const ToolRun q = run_tool(quiet.path(), "", {"-q", "-k", "good", "bad"});
  EXPECT_NE(l.out, "");
  EXPECT_EQ(q.out, "");
  EXPECT_EQ(q.err, l.err);
  EXPECT_EQ(q.status, l.status);
  EXPECT_EQ(quiet.read("QGgood   01"), loud.read("QGgood   01"));

  const ToolRun asked = run_tool(quiet.path(), "1\ngood\nn\n0\n", {"-q"});
  EXPECT_EQ(asked.status, 0);
  EXPECT_EQ(asked.out, "");
}
