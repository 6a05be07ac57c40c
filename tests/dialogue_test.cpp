// The start-up dialogue and its free-format input.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/dialogue.hpp"
#include "base/error.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;
using pg::FreeFormatInput;

namespace {

pg::Answers ask(const std::string& input, std::vector<std::string>* lines = nullptr) {
  ConsoleCapture cap;
  std::istringstream in(input);
  FreeFormatInput ffi(in);
  pg::Answers a = pg::ask_questions(ffi, cap);
  if (lines) *lines = cap.lines();
  return a;
}

// The message of the stop a bad answer causes (status 2).
std::string bad(const std::string& input) {
  try {
    ask(input);
  } catch (const pg::Error& e) {
    EXPECT_EQ(pg::exit_status(e), pg::exit_usage);
    return e.what();
  }
  ADD_FAILURE() << "accepted: " << input;
  return {};
}

}  // namespace

TEST(FreeFormat, ValuesAcrossLinesCommasAndBlanks) {
  std::istringstream in("  \n1.5, 2d0\n\n -3e-1 1.5D3 rest of line\nnext\n");
  FreeFormatInput ffi(in);
  EXPECT_EQ(ffi.reals(4, "r"), (std::vector<double>{1.5, 2.0, -0.3, 1500.0}));
  EXPECT_EQ(ffi.line("l"), "next");  // the rest of the last line was discarded
}

TEST(FreeFormat, IntegersAreStrict) {
  for (const char* text : {"7", "+7", " 7 , 8", "-12"}) {
    std::istringstream in(text);
    FreeFormatInput ffi(in);
    EXPECT_NO_THROW(ffi.integer("n")) << text;
  }
  for (const char* text : {"7.5", "x", "1e3", "99999999999", "0x10"}) {
    std::istringstream in(text);
    FreeFormatInput ffi(in);
    EXPECT_THROW(ffi.integer("n"), pg::Error) << text;
  }
}

TEST(Dialogue, PromptsAndAnswers) {
  std::vector<std::string> lines;
  pg::Answers a = ask("2\nabc\nabcdefghij\nm and more\n1\n2.5e-13\n", &lines);
  EXPECT_EQ(a.dump_name, (std::vector<std::string>{"abc    ", "abcdefg"}));
  EXPECT_EQ(a.centre_mode, 'm');
  EXPECT_EQ(a.rotate_mode, 1);
  EXPECT_EQ(a.rotation_frequency, 2.5e-13);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       " Enter number of input files:",
                       " Enter names of input files:",
                       "Do you want to centre on the centre of mass (m) or on the maximum density (d) or "
                       " on a position (p) or  on the most massive or xth sink (s,x) or not at all?",
                       " Undo rotating reference frame (0,1,2,3) ?",
                       "    (3=1 but change velocities to rotating frame)",
                       " Enter rotation frequency (sec) ?"}));
}

TEST(Dialogue, SinkNumberAndPositionAreReadOnlyForTheirLetters) {
  pg::Answers x = ask("1\nd1\nx\n 4\n0\n");
  EXPECT_EQ(x.centre_mode, 'x');
  EXPECT_EQ(x.sink_number, 4);
  pg::Answers s = ask("0\ns\n0\n");
  EXPECT_EQ(s.centre_mode, 's');
  EXPECT_EQ(s.sink_number, 0);
}

TEST(Dialogue, PositionNumbersAreSeparatedByBlanksTabsOrCommas) {
  for (const char* line : {"1 2 3", "1,2,3", "1\t2\t3", " \t1 ,\t2,  3\t", "1,2\n3", "1\t2\r\n3\r"}) {
    const pg::Answers p = ask(std::string("1\nd1\np\n") + line + "\n0\n");
    EXPECT_EQ(p.centre_position, (std::array<double, 3>{1, 2, 3})) << line;
    EXPECT_EQ(p.rotate_mode, 0) << line;
  }
}

TEST(Dialogue, FrequencyIsAskedForEveryNonZeroRotatingFrameAnswer) {
  for (const int answer : {0, 1, 2, 3, -1, -3, 4}) {
    std::vector<std::string> lines;
    const pg::Answers a = ask("0\nn\n" + std::to_string(answer) + "\n2.5e-13\n", &lines);
    const bool asked = answer != 0;
    EXPECT_EQ(a.rotate_mode, answer);
    EXPECT_EQ(lines.back() == " Enter rotation frequency (sec) ?", asked) << answer;
    EXPECT_EQ(a.rotation_frequency, asked ? 2.5e-13 : 0.0) << answer;
  }
}

TEST(Dialogue, NoDumpsStillAsksEverything) {
  for (const char* n : {"0", "-3"}) {
    std::vector<std::string> lines;
    pg::Answers a = ask(std::string(n) + "\n\n0\n", &lines);
    EXPECT_TRUE(a.dump_name.empty());
    EXPECT_EQ(a.centre_mode, ' ');  // a blank line: no centring
    EXPECT_EQ(lines.size(), 5u);
  }
}

TEST(Dialogue, BadAnswersNameWhatWasExpected) {
  EXPECT_NE(bad("two\n").find("number of input files"), std::string::npos);
  EXPECT_NE(bad("2\na\n").find("name of input file 2"), std::string::npos);
  EXPECT_NE(bad("1\na\nn\n").find("rotating-frame answer"), std::string::npos);
  EXPECT_NE(bad("1\na\nn\n1\nfast\n").find("rotation frequency"), std::string::npos);
  EXPECT_NE(bad("1\na\np\n1 2\n").find("centre position"), std::string::npos);
  EXPECT_NE(bad("").find("input ended"), std::string::npos);
}

TEST(Dialogue, NamesAreCutOrPaddedToSeven) {
  EXPECT_EQ(pg::dump_name_of(""), "       ");
  EXPECT_EQ(pg::dump_name_of("a b"), "a b    ");
  EXPECT_EQ(pg::dump_name_of("1234567890"), "1234567");
}
