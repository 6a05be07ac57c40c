// The index line and its scientific form; the unit system.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "driver/run.hpp"
#include "state/store.hpp"
#include "state/units.hpp"

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
  pg::unitsin(1) = 99.0;
  pg::unit();
  EXPECT_EQ(pg::units.umass, 1.991e33);
  EXPECT_EQ(pg::units.udist, 3.086e17);
  EXPECT_EQ(pg::units.unit_time, 14874038434801.994);
  EXPECT_EQ(pg::units.umagfd, 1.9143163198314308e-05);
  EXPECT_EQ(pg::physeos(8), 1107076847.91562);
  EXPECT_EQ(pg::polyk2.eos(3), 1.4761024638874935e+19);
  // The relations the values come from hold to rounding.
  EXPECT_NEAR(pg::units.unit_density, pg::units.umass / std::pow(pg::units.udist, 3), 1e-32);
  pg::Units before = pg::units;
  pg::unit();
  EXPECT_EQ(std::memcmp(&before, &pg::units, sizeof before), 0);
}
