// Binning into the phase grid and the grid file's text.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "analysis/phase_grid.hpp"
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
  void SetUp() override { store.reserve(pg::idim, pg::Store::Members::all, 300001); }
  void put(std::int64_t i, float rho, double t, std::int8_t iphase = 0) {
    store.densi.rho(i) = rho;
    store.raddust.dust_temperature(i) = t;
    store.phase.iphase(i) = iphase;
  }
  pg::Store store;
  pg::PhaseGrid grid;
};

TEST_F(GridFile, CountsLiveParticlesOnly) {
  store.part.npart = 105;
  for (int i = 1; i <= 100; ++i) put(i, rho_for_column(10.5), 10.0);
  put(101, rho_for_column(10.5), 10.0, -1);  // inactive: never counted
  put(102, 0.0f, 10.0);                      // column 1
  put(103, rho_for_column(10.5), 0.0);       // no dust temperature: dropped
  put(104, rho_for_column(20.5), 10.0, 3);   // any other phase counts
  put(106, rho_for_column(10.5), 10.0);      // beyond npart
  pgtest::ConsoleCapture cap;
  grid.bin(store, cap);
  EXPECT_EQ(cap.text(), " npart= 105\n");
  EXPECT_EQ(grid.rows()[199][9], 100);
  EXPECT_EQ(grid.rows()[199][0], 1);
  EXPECT_EQ(grid.rows()[199][19], 1);
  long total = 0;
  for (auto& row : grid.rows())
    for (int c : row) total += c;
  EXPECT_EQ(total, 102);

  const std::string text(grid.text());
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
  store.part.npart = 10;  // no dust temperatures before any dump supplied them
  pgtest::ConsoleCapture cap;
  grid.bin(store, cap);
  const std::string text(grid.text());
  EXPECT_EQ(text.find("0.000"), std::string::npos);
  EXPECT_EQ(text.find("-1.000"), 13u + 4u);
}

TEST_F(GridFile, LargeCountsAreFormattedToo) {
  store.part.npart = 12345;
  for (int i = 1; i <= 12345; ++i) put(i, rho_for_column(100.5), 100.0);
  pgtest::ConsoleCapture cap;
  grid.bin(store, cap);
  const auto lines = pgtest::split_lines(std::string(grid.text()));
  EXPECT_EQ(lines[400].substr(99 * 11, 10), "     4.091");
}

// ---- binning without logarithms: must agree with the direct formula --------

namespace {

template <class T, class U>
T step(T x, long ulps) {
  return std::bit_cast<T>(static_cast<U>(static_cast<long long>(std::bit_cast<U>(x)) + ulps));
}

}  // namespace

TEST(FastBins, AgreeWithTheFormulaAroundEveryThreshold) {
  const pg::PhaseBins& bins = pg::phase_bins();
  for (int c = 2; c <= pg::grid_nx + 1; ++c) {
    const float t = bins.column_threshold(c);
    ASSERT_GT(t, 0.0f);
    for (long k = -3000; k <= 3000; ++k) {
      const float x = step<float, std::uint32_t>(t, k);
      ASSERT_EQ(bins.column(x), grid_column(x)) << "column " << c << " ulps " << k;
    }
  }
  for (int r = 1; r <= pg::grid_ny + 1; ++r) {
    const double t = bins.row_threshold(r);
    for (long k = -3000; k <= 3000; ++k) {
      const double x = step<double, std::uint64_t>(t, k);
      ASSERT_EQ(bins.row(x), grid_row(x)) << "row " << r << " ulps " << k;
    }
  }
}

TEST(FastBins, AgreeWithTheFormulaOnAnyValue) {
  const pg::PhaseBins& bins = pg::phase_bins();
  const float fspecial[] = {0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(), static_cast<float>(inf),
                            static_cast<float>(-inf), static_cast<float>(not_a_number), -1e-30f};
  for (float x : fspecial) EXPECT_EQ(bins.column(x), grid_column(x)) << x;
  const double dspecial[] = {0.0, -0.0, std::numeric_limits<double>::denorm_min(), 1.0, 1e-300, 1e300,
                             -5.0, inf, -inf, not_a_number, 506.99, 507.0, 1.0116};
  for (double x : dspecial) EXPECT_EQ(bins.row(x), grid_row(x)) << x;
  std::uint64_t s = 12345;
  for (int i = 0; i < 2000000; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    const auto fbits = static_cast<std::uint32_t>(s >> 32);
    const float f = std::bit_cast<float>(fbits);
    ASSERT_EQ(bins.column(f), grid_column(f)) << f;
    const double d = std::bit_cast<double>(s ^ (s << 13));
    ASSERT_EQ(bins.row(d), grid_row(d)) << d;
    const double t = std::ldexp(static_cast<double>(s >> 11), -53) * 600.0;  // the range that matters
    ASSERT_EQ(bins.row(t), grid_row(t)) << t;
  }
}

TEST(FastBins, EveryPositiveFloatDensity) {
  // All 2^31 non-negative float bit patterns, finite and not: the column of
  // each is the one the formula gives.
  const pg::PhaseBins& bins = pg::phase_bins();
  long bad = 0;
#pragma omp parallel for schedule(static) reduction(+ : bad)
  for (std::int64_t b = 0; b <= 0x7fffffff; ++b) {
    const float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
    if (bins.column(x) != grid_column(x)) ++bad;
  }
  EXPECT_EQ(bad, 0);
}

TEST_F(GridFile, ParallelBinningCountsWhatTheFormulaCounts) {
  const std::int64_t n = 300001;
  store.part.npart = static_cast<std::int32_t>(n);
  std::uint64_t s = 99;
  std::vector<std::int32_t> expect(static_cast<std::size_t>(pg::grid_nx) * pg::grid_ny, 0);
  for (std::int64_t i = 1; i <= n; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    const float rho = static_cast<float>(std::pow(10.0, (static_cast<double>(s >> 40) / (1 << 24)) * 16.0 - 6.0));
    const double t = std::pow(10.0, (static_cast<double>((s >> 8) & 0xffffff) / (1 << 24)) * 3.0);
    put(i, rho, t, (s & 31) == 0 ? -1 : 0);
    const int c = grid_column(rho), r = grid_row(t);
    if (store.phase.iphase(i) != -1 && c != 0 && r != 0) ++expect[static_cast<std::size_t>(r - 1) * pg::grid_nx + c - 1];
  }
  pgtest::ConsoleCapture cap;
  grid.bin(store, cap);
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), &grid.rows()[0][0]));
}
