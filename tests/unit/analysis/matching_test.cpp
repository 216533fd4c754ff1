#include "analysis/matching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

namespace {

// A dense matrix of magnitudes handed over by rows with every zero stored, so
// that the matching must also treat stored zeros as absent.
struct Dense {
  std::int32_t n;
  std::vector<double> a;
  double at(std::int32_t i, std::int32_t j) const { return a[static_cast<std::size_t>(i) * n + j]; }
  Matching match() const {
    std::vector<std::int64_t> ptr(n + 1);
    std::vector<std::int32_t> col(a.size());
    for (std::int32_t i = 0; i <= n; ++i) ptr[i] = std::int64_t{i} * n;
    for (std::size_t p = 0; p < a.size(); ++p) col[p] = static_cast<std::int32_t>(p % n);
    return MaximumProductMatching(n, ptr.data(), col.data(), a.data());
  }
};

struct Case {
  std::int32_t n;
  unsigned seed;
  double density;
  bool zero_diagonal, symmetric;
  double decades;  // magnitudes spread over 10^±decades
  std::int32_t empty_rows;      // the first rows get no entries
  std::vector<double> fixed{};  // where given, the matrix itself, by rows
};

// Random entries. Without empty rows, the entries i → i+1 guarantee a perfect
// matching: a cycle, or for a symmetric matrix (of even order) a path.
Dense generate(const Case& t) {
  if (!t.fixed.empty()) return Dense{t.n, t.fixed};
  std::mt19937 gen(t.seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Dense d{t.n, std::vector<double>(static_cast<std::size_t>(t.n) * t.n, 0.0)};
  auto value = [&] { return std::pow(10.0, t.decades * (2 * u(gen) - 1)); };
  for (std::int32_t i = t.empty_rows; i < t.n; ++i)
    for (std::int32_t j = t.symmetric ? i : 0; j < t.n; ++j) {
      const bool cycle = t.empty_rows == 0 && j == (i + 1) % t.n;
      if ((i == j && t.zero_diagonal) || !(cycle || u(gen) < t.density)) continue;
      d.a[static_cast<std::size_t>(i) * t.n + j] = value();
      if (t.symmetric) d.a[static_cast<std::size_t>(j) * t.n + i] = d.at(i, j);
    }
  return d;
}

// Structural rank and the largest log product of a perfect matching, by trying every permutation.
std::pair<std::int32_t, double> brute_force(const Dense& d) {
  std::vector<std::int32_t> p(d.n);
  std::iota(p.begin(), p.end(), 0);
  std::int32_t rank = 0;
  double best = -INFINITY;
  do {
    std::int32_t count = 0;
    double sum = 0;
    for (std::int32_t i = 0; i < d.n; ++i) count += d.at(i, p[i]) > 0, sum += std::log(d.at(i, p[i]));
    rank = std::max(rank, count);
    if (count == d.n) best = std::max(best, sum);
  } while (std::next_permutation(p.begin(), p.end()));
  return {rank, best};
}

// The scaled matrix has no entry above 1, its matched entries are 1, and the
// largest entry of each unmatched row or column is 1 (its scale 1 if it is empty).
void expect_scaled(const Dense& d, const Matching& m, const std::vector<double>& r, const std::vector<double>& c) {
  std::vector<double> row_max(d.n, 0), col_max(d.n, 0);
  std::vector<bool> col_matched(d.n, false);
  for (std::int32_t i = 0; i < d.n; ++i) {
    EXPECT_TRUE(std::isfinite(r[i]) && r[i] > 0 && std::isfinite(c[i]) && c[i] > 0) << i;
    for (std::int32_t j = 0; j < d.n; ++j) {
      const double s = r[i] * d.at(i, j) * c[j];
      EXPECT_LE(s, 1 + 1e-12) << i << ", " << j;
      row_max[i] = std::max(row_max[i], s), col_max[j] = std::max(col_max[j], s);
    }
    const std::int32_t j = m.column_of_row[i];
    col_matched[j] = d.at(i, j) > 0;
    EXPECT_TRUE(!col_matched[j] || std::abs(r[i] * d.at(i, j) * c[j] - 1) < 1e-12) << i;
  }
  for (std::int32_t k = 0; k < d.n; ++k) {
    EXPECT_TRUE(d.at(k, m.column_of_row[k]) > 0 || std::abs(row_max[k] - 1) < 1e-12 || (row_max[k] == 0 && r[k] == 1)) << k;
    EXPECT_TRUE(col_matched[k] || std::abs(col_max[k] - 1) < 1e-12 || (col_max[k] == 0 && c[k] == 1)) << k;
  }
}

class MatchingCases : public testing::TestWithParam<Case> {};

TEST_P(MatchingCases, MaximizesTheProductAndScalesItToOne) {
  const Dense d = generate(GetParam());
  const Matching m = d.match();
  std::vector<std::int32_t> identity(d.n);
  std::iota(identity.begin(), identity.end(), 0);
  ASSERT_TRUE(std::is_permutation(m.column_of_row.begin(), m.column_of_row.end(), identity.begin()));
  std::int32_t nonzero = 0;
  double sum = 0;
  for (std::int32_t i = 0; i < d.n; ++i) nonzero += d.at(i, m.column_of_row[i]) > 0, sum += std::log(d.at(i, m.column_of_row[i]));
  EXPECT_EQ(m.matched, nonzero);
  if (d.n <= 7) {
    const auto [rank, best] = brute_force(d);
    EXPECT_EQ(m.matched, rank);
    EXPECT_TRUE(rank < d.n || std::abs(sum - best) <= 1e-12 * std::max(1.0, std::abs(best))) << sum << " vs " << best;
  }
  expect_scaled(d, m, m.row_scale, m.column_scale);
  if (GetParam().symmetric && m.matched == d.n) expect_scaled(d, m, SymmetricMatchingScale(m), SymmetricMatchingScale(m));
}

// [[H, Bᵀ], [B, 0]] with H = [[1e-6, 5], [5, 4e3]] and B = [[2e4, 1], [0, 3e-3]].
const std::vector<double> saddle_point{1e-6, 5, 2e4, 0, 5, 4e3, 1, 3e-3, 2e4, 1, 0, 0, 0, 3e-3, 0, 0};
// Rows 0 … 2 share the columns 0 and 1, and row 4 is empty: rank 3.
const std::vector<double> rank_deficient{4, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1, 3, 5, 7, 9, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchingCases,
    testing::Values(Case{4, 1, 0.4, false, false, 3, 0}, Case{6, 2, 0.3, true, false, 3, 0}, Case{7, 3, 0.5, true, false, 1, 0},
                    Case{7, 4, 0.2, true, false, 200, 0}, Case{7, 5, 0.6, false, false, 200, 0}, Case{7, 6, 0.3, false, false, 2, 1},
                    Case{7, 7, 0.2, false, false, 2, 2}, Case{6, 8, 0.25, true, true, 4, 0}, Case{6, 9, 0.4, true, true, 150, 0},
                    Case{300, 10, 0.01, true, false, 5, 0}, Case{300, 11, 0.004, false, false, 5, 20},
                    Case{300, 12, 0.01, true, true, 100, 0}, Case{4, 0, 0, true, true, 0, 0, saddle_point},
                    Case{5, 0, 0, false, false, 0, 0, rank_deficient}));

}  // namespace
