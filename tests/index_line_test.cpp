// The index line and its scientific form; the unit system.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "driver/index_line.hpp"
#include "state/store.hpp"
#include "base/units.hpp"

TEST(IndexLine, ScientificForm) {
  EXPECT_EQ(pg::scientific12(1.234567), " 1.23457E+00");
  EXPECT_EQ(pg::scientific12(0.75), " 7.50000E-01");
  EXPECT_EQ(pg::scientific12(0.0), " 0.00000E+00");
  EXPECT_EQ(pg::scientific12(-2.5e-7), "-2.50000E-07");
  EXPECT_EQ(pg::scientific12(9.999996), " 1.00000E+01");
  EXPECT_EQ(pg::scientific12(1e-100), " 1.00000-100");
  EXPECT_EQ(pg::scientific12(NAN), "         NaN");
  EXPECT_EQ(pg::scientific12(-INFINITY), "   -Infinity");
}

TEST(IndexLine, IsThirtySevenCharacters) {
  const std::string line = pg::index_line(0.75, 0.154510, "QGabc    01");
  EXPECT_EQ(line, " 7.50000E-01  1.54510E-01 QGabc    01\n");
  EXPECT_EQ(line.size(), 38u);
}

TEST(Units, ExactConstantsWhateverTheDumpSays) {
  // Constants of the program: no dump's units reach them.
  EXPECT_EQ(pg::code_umass, 1.991e33);
  EXPECT_EQ(pg::code_udist, 3.086e17);
  EXPECT_EQ(pg::code_unit_time, 14874038434801.994);
}
