// Binning into the phase grid and the grid file's text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/phase_grid.hpp"
#include "state/store.hpp"
#include "tests/support/harness.hpp"

using pg::grid_column;
using pg::grid_row;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The density (code units) whose n is 10^(c/50).
float rho_for_column(double c) {
  return static_cast<float>(std::pow(10.0, c / 50.0) / ((6.7746e-20 / 4e-24) * 2.0));
}

}  // namespace

TEST(Binning, ColumnsAtTheEdges) {
  EXPECT_EQ(grid_column(0.0f), 1);
  EXPECT_EQ(grid_column(-1.0f), 1);
  EXPECT_EQ(grid_column(static_cast<float>(not_a_number)), 1);
  EXPECT_EQ(grid_column(static_cast<float>(inf)), 1);  // as the processor truncates +inf
  EXPECT_EQ(grid_column(static_cast<float>(-inf)), 1);
  EXPECT_EQ(grid_column(std::numeric_limits<float>::denorm_min()), 1);
  EXPECT_EQ(grid_column(rho_for_column(1.5)), 1);
  EXPECT_EQ(grid_column(rho_for_column(2.5)), 2);
  EXPECT_EQ(grid_column(rho_for_column(350.5)), 350);
  EXPECT_EQ(grid_column(rho_for_column(700.5)), 700);
  EXPECT_EQ(grid_column(rho_for_column(701.5)), 0);  // too dense: dropped
  EXPECT_EQ(grid_column(std::numeric_limits<float>::max()), 0);
}

TEST(Binning, RowsAtTheEdges) {
  EXPECT_EQ(grid_row(0.0), 0);
  EXPECT_EQ(grid_row(-10.0), 0);
  EXPECT_EQ(grid_row(not_a_number), 0);
  EXPECT_EQ(grid_row(inf), 0);
  EXPECT_EQ(grid_row(-inf), 0);
  EXPECT_EQ(grid_row(1.0), 0);
  EXPECT_EQ(grid_row(std::pow(10.0, 1.5 / 200)), 1);
  EXPECT_EQ(grid_row(10.0), 200);
  EXPECT_EQ(grid_row(std::pow(10.0, 540.5 / 200)), 540);
  EXPECT_EQ(grid_row(std::pow(10.0, 541.5 / 200)), 0);
  EXPECT_EQ(grid_row(1e300), 0);
}

class GridFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pg::store_init()); }
  void put(std::int64_t i, float rho, double t, std::int8_t iphase = 0) {
    pg::densi.rho(i) = rho;
    pg::raddust.dust_values(1, i) = t;
    pg::phase.iphase(i) = iphase;
  }
};

TEST_F(GridFile, CountsLiveParticlesOnly) {
  pg::part.npart = 105;
  for (int i = 1; i <= 100; ++i) put(i, rho_for_column(10.5), 10.0);
  put(101, rho_for_column(10.5), 10.0, -1);  // inactive: never counted
  put(102, 0.0f, 10.0);                      // column 1
  put(103, rho_for_column(10.5), 0.0);       // no dust temperature: dropped
  put(104, rho_for_column(20.5), 10.0, 3);   // any other phase counts
  put(106, rho_for_column(10.5), 10.0);      // beyond npart
  pgtest::ConsoleCapture cap;
  pg::bin_phase_grid();
  EXPECT_EQ(cap.text(), " npart= 105\n");
  EXPECT_EQ(pg::count_grid[199][9], 100);
  EXPECT_EQ(pg::count_grid[199][0], 1);
  EXPECT_EQ(pg::count_grid[199][19], 1);
  long total = 0;
  for (auto& row : pg::count_grid)
    for (int c : row) total += c;
  EXPECT_EQ(total, 102);

  const std::string text = pg::phase_grid_text();
  const auto lines = pgtest::split_lines(text);
  ASSERT_EQ(lines.size(), 541u);
  EXPECT_EQ(lines[0], "#   700  540");
  const std::string& row200 = lines[200];
  ASSERT_EQ(row200.size(), 700u * 11 - 1);  // values joined by one blank
  EXPECT_EQ(row200.substr(0, 11), "     0.000 ");
  EXPECT_EQ(row200.substr(9 * 11, 11), "     2.000 ");
  EXPECT_EQ(row200.substr(19 * 11, 10), "     0.000");
  EXPECT_EQ(row200.substr(699 * 11), "    -1.000");
  EXPECT_EQ(text.size(), 13u + 540u * 7700u);
}

TEST_F(GridFile, EmptyStoreGivesMinusOneEverywhere) {
  pg::part.npart = 10;  // no dust temperatures before any dump supplied them
  pgtest::ConsoleCapture cap;
  pg::bin_phase_grid();
  const std::string text = pg::phase_grid_text();
  EXPECT_EQ(text.find("0.000"), std::string::npos);
  EXPECT_EQ(text.find("-1.000"), 13u + 4u);
}

TEST_F(GridFile, LargeCountsAreFormattedToo) {
  pg::part.npart = 12345;
  for (int i = 1; i <= 12345; ++i) put(i, rho_for_column(100.5), 100.0);
  pgtest::ConsoleCapture cap;
  pg::bin_phase_grid();
  const auto lines = pgtest::split_lines(pg::phase_grid_text());
  EXPECT_EQ(lines[400].substr(99 * 11, 10), "     4.091");
}
