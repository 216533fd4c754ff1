#include "analysis/matching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

namespace {

// A dense n × n matrix of magnitudes, zero meaning absent, kept by rows.
struct Sparse {
  std::int32_t n;
  std::vector<std::int64_t> row_ptr{0};
  std::vector<std::int32_t> cols;
  std::vector<double> values;
  std::vector<double> dense;

  explicit Sparse(std::int32_t order, std::vector<double> a) : n(order), dense(std::move(a)) {
    for (std::int32_t i = 0; i < n; ++i) {
      for (std::int32_t j = 0; j < n; ++j)
        if (at(i, j) != 0.0) {
          cols.push_back(j);
          values.push_back(at(i, j));
        }
      row_ptr.push_back(static_cast<std::int64_t>(cols.size()));
    }
  }
  double at(std::int32_t i, std::int32_t j) const { return dense[static_cast<std::size_t>(i * n + j)]; }
  Matching match() const { return MaximumProductMatching(n, row_ptr.data(), cols.data(), values.data()); }
};

Sparse random_matrix(std::int32_t n, unsigned seed, bool zero_diagonal, double log_range) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int32_t j = 0; j < n; ++j)
      if (u(gen) < 0.5 && !(zero_diagonal && i == j)) a[static_cast<std::size_t>(i * n + j)] = std::exp(log_range * (2 * u(gen) - 1));
  return Sparse(n, a);
}

// log of the largest product over all permutations; −inf when none is zero-free.
double best_log_product(const Sparse& a) {
  std::vector<std::int32_t> p(static_cast<std::size_t>(a.n));
  std::iota(p.begin(), p.end(), 0);
  double best = -INFINITY;
  do {
    double sum = 0.0;
    for (std::int32_t i = 0; i < a.n; ++i) sum += a.at(i, p[i]) > 0 ? std::log(a.at(i, p[i])) : -INFINITY;
    best = std::max(best, sum);
  } while (std::next_permutation(p.begin(), p.end()));
  return best;
}

bool is_permutation(const std::vector<std::int32_t>& p) {
  std::vector<std::int32_t> sorted = p;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t k = 0; k < sorted.size(); ++k)
    if (sorted[k] != static_cast<std::int32_t>(k)) return false;
  return true;
}

// Largest scaled magnitude, and whether every matched entry of a matched row scales to 1.
void expect_scaled(const Sparse& a, const Matching& m, const std::vector<double>& r, const std::vector<double>& c) {
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int32_t j = 0; j < a.n; ++j) EXPECT_LE(r[i] * a.at(i, j) * c[j], 1 + 1e-12) << i << "," << j;
  if (m.matched < a.n) return;
  for (std::int32_t i = 0; i < a.n; ++i) EXPECT_NEAR(r[i] * a.at(i, m.column_of_row[i]) * c[m.column_of_row[i]], 1.0, 1e-12);
}

struct RandomCase {
  std::int32_t n;
  unsigned seed;
  bool zero_diagonal;
  double log_range;  // magnitudes from e^−range to e^range
};

class MatchingRandom : public testing::TestWithParam<RandomCase> {};

TEST_P(MatchingRandom, MaximizesTheProductAndScalesToAnIMatrix) {
  const RandomCase& t = GetParam();
  const Sparse a = random_matrix(t.n, t.seed, t.zero_diagonal, t.log_range);
  const Matching m = a.match();
  ASSERT_TRUE(is_permutation(m.column_of_row));
  const double best = best_log_product(a);
  if (std::isinf(best)) {
    EXPECT_LT(m.matched, t.n);
  } else {
    ASSERT_EQ(m.matched, t.n);
    double sum = 0.0;
    for (std::int32_t i = 0; i < t.n; ++i) sum += std::log(a.at(i, m.column_of_row[i]));
    EXPECT_NEAR(sum, best, 1e-10 * std::max(1.0, std::abs(best)));
  }
  for (double s : m.row_scale) EXPECT_TRUE(s > 0 && std::isfinite(s));
  for (double s : m.column_scale) EXPECT_TRUE(s > 0 && std::isfinite(s));
  expect_scaled(a, m, m.row_scale, m.column_scale);
}

INSTANTIATE_TEST_SUITE_P(Cases, MatchingRandom,
                         testing::Values(RandomCase{3, 1, false, 2}, RandomCase{5, 2, true, 2}, RandomCase{6, 3, true, 5},
                                         RandomCase{7, 4, false, 1}, RandomCase{7, 5, true, 3}, RandomCase{6, 6, false, 460},
                                         RandomCase{7, 7, true, 2}, RandomCase{4, 8, true, 1}));

TEST(Matching, StructurallySingularMatrixBalancesItsUnmatchedRows) {
  // Row 2 is empty, and rows 0 and 1 have entries only in column 0.
  const Sparse a(4, {4, 0, 0, 0,  //
                     2, 0, 0, 0,  //
                     0, 0, 0, 0,  //
                     1, 3, 5, 7});
  const Matching m = a.match();
  EXPECT_EQ(m.matched, 2);
  EXPECT_TRUE(is_permutation(m.column_of_row));
  expect_scaled(a, m, m.row_scale, m.column_scale);
  double largest_row1 = 0;
  for (std::int32_t j = 0; j < 4; ++j) largest_row1 = std::max(largest_row1, m.row_scale[1] * a.at(1, j) * m.column_scale[j]);
  EXPECT_NEAR(largest_row1, 1.0, 1e-12) << "the unmatched row is balanced";
  EXPECT_EQ(m.row_scale[2], 1.0);
}

TEST(Matching, SymmetricScalingOfAZeroDiagonalSaddlePoint) {
  // [[H, Bᵀ], [B, 0]] with H = diag(1e-6, 4e3) and B = [[2e4, 1], [0, 3e-3]].
  const Sparse a(4, {1e-6, 0, 2e4, 0,  //
                     0, 4e3, 1, 3e-3,  //
                     2e4, 1, 0, 0,     //
                     0, 3e-3, 0, 0});
  const Matching m = a.match();
  ASSERT_EQ(m.matched, 4);
  const std::vector<double> d = SymmetricMatchingScale(m);
  expect_scaled(Sparse(4, a.dense), Matching{}, d, d);
  EXPECT_NEAR(d[0] * a.at(0, 2) * d[2], 1.0, 1e-12);
  EXPECT_NEAR(d[1] * a.at(1, 3) * d[3], 1.0, 1e-12);
}

}  // namespace
