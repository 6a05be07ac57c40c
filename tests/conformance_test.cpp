// Complete runs on dumps written by an independent program: every console
// line, both files and the exit status must be as expected.
//
// expected_stdout.txt marks each line: "E|" must match character for
// character; "F|" is free-format and is compared token by token, numbers as
// numbers (integers exactly, reals to 1e-6 relative).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "tests/support/harness.hpp"

using namespace pgtest;
namespace fs = std::filesystem;

namespace {

const fs::path data_dir = fs::path(PHASEGRID_SOURCE_DIR) / "tests/data/conformance";

std::vector<std::string> tokens(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> t;
  for (std::string w; in >> w;) t.push_back(w);
  return t;
}

bool is_integer(const std::string& t) {
  std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  return i < t.size() && t.find_first_not_of("0123456789", i) == std::string::npos;
}

bool as_number(const std::string& t, double& x) {
  char* end = nullptr;
  x = std::strtod(t.c_str(), &end);
  return !t.empty() && end == t.c_str() + t.size();
}

bool same_free_format(const std::string& expected, const std::string& got) {
  const auto a = tokens(expected), b = tokens(got);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    double x, y;
    if (as_number(a[i], x) && as_number(b[i], y)) {
      if (is_integer(a[i]) && is_integer(b[i])) {
        if (a[i] != b[i] && std::stoll(a[i]) != std::stoll(b[i])) return false;
      } else if (!(x == y || std::fabs(x - y) <= 1e-6 * std::max(std::fabs(x), std::fabs(y)))) {
        return false;
      }
    } else if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

std::string gunzip(const fs::path& p) {
  const ToolRun r = run_program({"gzip", "-dc", p.string()});
  EXPECT_EQ(r.status, 0) << p << ": " << r.err;
  return r.out;
}

class Conformance : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Conformance, MatchesExpectedRun) {
  const fs::path cas = data_dir / GetParam();
  TempDir dir;
  for (const auto& e : fs::directory_iterator(cas)) {
    const std::string name = e.path().filename().string();
    if (!name.starts_with("expected_") && name != "stdin.txt")
      fs::copy_file(e.path(), dir.file(name));
  }
  const ToolRun r = run_tool(dir.path(), read_file((cas / "stdin.txt").string()));

  const auto expected = split_lines(read_file((cas / "expected_stdout.txt").string()));
  const auto got = r.out_lines();
  EXPECT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < std::min(got.size(), expected.size()); ++i) {
    const std::string kind = expected[i].substr(0, 2), line = expected[i].substr(2);
    if (kind == "E|")
      EXPECT_EQ(got[i], line) << "line " << i + 1;
    else
      EXPECT_TRUE(same_free_format(line, got[i])) << "line " << i + 1 << "\nexpected: " << line
                                                  << "\ngot:      " << got[i];
  }

  for (const auto& e : fs::directory_iterator(cas)) {
    std::string name = e.path().filename().string();
    if (!name.starts_with("expected_Q") && !name.starts_with("expected_I")) continue;
    const bool gz = name.ends_with(".gz");
    std::string file = name.substr(std::string("expected_").size());
    if (gz) file.resize(file.size() - 3);
    const std::string want = gz ? gunzip(e.path()) : read_file(e.path().string());
    ASSERT_TRUE(dir.exists(file)) << file;
    EXPECT_TRUE(dir.read(file) == want) << file << " differs";
  }

  const bool zero = read_file((cas / "expected_exit.txt").string()).starts_with("zero");
  EXPECT_EQ(r.status == 0, zero) << "exit status " << r.status << "\n" << r.err;
}

INSTANTIATE_TEST_SUITE_P(Runs, Conformance,
                         ::testing::Values("01_tagged_full", "02_untagged_nreal20", "06_multiblock"));
