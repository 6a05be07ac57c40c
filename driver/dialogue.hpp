// The start-up dialogue and the free-format input it is read with.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "analysis/answers.hpp"
#include "base/trace.hpp"

namespace pg {

// Free-format input: values separated by blanks, commas or line ends; further
// lines are read until all values of a request are found, and the rest of
// the last line read is discarded. A bad value or the end of input stops the
// run (status 2) with a message that names what was expected.
class FreeFormatInput {
 public:
  explicit FreeFormatInput(std::istream& in) : in_(in) {}

  // The next whole line, without its line end; `what` names it for errors.
  std::string line(const std::string& what);
  std::int32_t integer(const std::string& what);
  // n reals; accepts Fortran exponents (1.5d3) as well as 1.5e3.
  std::vector<double> reals(int n, const std::string& what);

 private:
  std::vector<std::string> values(int n, const std::string& what);
  std::istream& in_;
};

// The answers kept for the whole run: the dumps, and how each is analysed.
struct Answers : Analysis {
  std::int32_t ndumps = 0;
  // The dialogue's names are exactly 7 characters each, blank-padded; a
  // command-line run holds the dumps' paths.
  std::vector<std::string> dump_name;
};

// Asks the start-up questions on standard output and reads the answers.
Answers ask_questions(FreeFormatInput& in, Trace& trace);

// The first 7 characters of a line, blank-padded to 7.
std::string dump_name_of(const std::string& line);

}  // namespace pg
