// CI runs the README's test command: the two must not drift apart.
#include <gtest/gtest.h>

#include "tests/support/harness.hpp"

TEST(Readme, CiRunsTheReadmeTestCommand) {
  const std::string readme = pgtest::read_file(PHASEGRID_SOURCE_DIR "/README.md");
  const std::string ci = pgtest::read_file(PHASEGRID_SOURCE_DIR "/.ci/run");
  const std::string marker = "Install what is missing, build, and run the tests:\n\n    ";
  const auto at = readme.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string command = readme.substr(at + marker.size(), readme.find('\n', at + marker.size()) - at - marker.size());
  EXPECT_NE(ci.find("\n" + command + "\n"), std::string::npos) << command;
}
