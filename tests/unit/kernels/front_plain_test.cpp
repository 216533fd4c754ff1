#include "kernels/front_plain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/kernels/dense_fixtures.h"

namespace {

using namespace kernel_tests;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class K>
constexpr bool is_unsymmetric = K::symmetry == Symmetry::unsymmetric;
template <class K>
constexpr bool is_cholesky = K::symmetry == Symmetry::symmetric && K::is_complex;
template <class K>
constexpr bool is_ldl = !is_unsymmetric<K> && !is_cholesky<K>;

// Column-major F × F matrix, 0-based.
template <class T>
struct Dense {
  int F = 0;
  std::vector<T> a;
  explicit Dense(int order) : F(order), a(static_cast<std::size_t>(order) * order) {}
  T& operator()(int i, int j) { return a[i + static_cast<std::size_t>(j) * F]; }
  const T& operator()(int i, int j) const { return a[i + static_cast<std::size_t>(j) * F]; }
};

// Needs no pivoting: strictly diagonally dominant, every third diagonal entry
// negative so that the symmetric kinds meet indefinite pivots.
template <class K>
Dense<typename K::scalar> dominant_front(int F, std::uint64_t seed) {
  Dense<typename K::scalar> a(F);
  a.a = random_front<K>(F, seed, 2.0 * F + 1.0);
  for (int i = 0; i < F; i += 3) a(i, i) = -a(i, i);
  return a;
}

template <class K>
int factor(Dense<typename K::scalar>& a, int npiv, int flag = 0) {
  FactorFrontPlain<K>(npiv, a.F, a.a.data(), flag);
  return flag;
}

// ‖original − rebuilt‖ / ‖original‖ over the leading n × n part (the lower
// triangle for the symmetric kinds), the front rebuilt as left factor (the first npiv columns
// from the diagonal down) times right factor (the first npiv rows right of the
// diagonal; Lᵀ read below it for the complex symmetric kind) plus the update
// matrix.
template <class K>
double backward_error(const Dense<typename K::scalar>& original, const Dense<typename K::scalar>& out, int npiv,
                      int n) {
  using T = typename K::scalar;
  auto right = [&](int p, int j) {
    return j == p ? (is_cholesky<K> ? out(p, p) : T(1)) : is_cholesky<K> ? out(j, p) : out(p, j);
  };
  double error = 0, norm = 0;
  for (int j = 0; j < n; ++j)
    for (int i = is_unsymmetric<K> ? 0 : j; i < n; ++i) {
      T rebuilt = i >= npiv && j >= npiv ? out(i, j) : T(0);
      for (int p = 0; p < std::min({npiv, i + 1, j + 1}); ++p) rebuilt += out(i, p) * right(p, j);
      error += std::norm(original(i, j) - rebuilt);
      norm += std::norm(original(i, j));
    }
  return std::sqrt(error / norm);
}

std::string shape(std::uint64_t seed, int npiv, int F) {
  return "seed " + std::to_string(seed) + ", npiv " + std::to_string(npiv) + ", F " + std::to_string(F);
}

template <class K>
class FrontPlainTest : public ::testing::Test {};
TYPED_TEST_SUITE(FrontPlainTest, KernelKinds);

// Factor and update matrix rebuild the front: no pivots, npiv = F, pivot
// counts at and around both block widths (100, 144) and several blocks. The
// symmetric kinds must read only the lower triangle (the upper one holds NaN),
// the Hermitian pivots must be real, LU must clear the caller's flag, and a
// NaN pivot is not an exactly zero one.
// A caller's flag of 1 asks the symmetric kinds for the pivots only: no update
// matrix and, past one block, only the first block factored (a valid factor of
// the leading part on its own); below it the rows are as in a plain call when
// all pivots went column by column, the input elsewhere. LU ignores that flag.
TYPED_TEST(FrontPlainTest, RebuildsTheFrontWithOrWithoutUpdateMatrix) {
  using K = TypeParam;
  using T = typename K::scalar;
  constexpr int nb = plain_block_size<K>;
  std::uint64_t seed = 1000;
  for (const auto& [npiv, F] : std::vector<std::pair<int, int>>{{0, 12}, {1, 1}, {6, 6}, {30, 200}, {100, 171},
                                                                {101, 101}, {143, 190}, {144, 200}, {145, 145},
                                                                {250, 320}}) {
    SCOPED_TRACE(shape(++seed, npiv, F));
    const auto original = dominant_front<K>(F, seed);
    auto out = original;
    if constexpr (!is_unsymmetric<K>)
      for (int j = 1; j < F; ++j)
        for (int i = 0; i < j; ++i) out(i, j) = T(kNaN);
    auto asked = out;
    EXPECT_EQ(factor<K>(out, npiv, is_unsymmetric<K> ? 7 : 0), 0);
    EXPECT_LT(backward_error<K>(original, out, npiv, F), 4.0 * F * kEps);
    for (int p = 0; p < npiv && K::symmetry == Symmetry::hermitian; ++p)
      ASSERT_EQ(std::imag(out(p, p)), 0.0) << "pivot " << p;

    EXPECT_EQ(factor<K>(asked, npiv, 1), is_unsymmetric<K> ? 0 : 1);
    if (is_unsymmetric<K>) {
      EXPECT_EQ(asked.a, out.a);
      continue;
    }
    const int factored = std::min(npiv, nb), last_row = npiv <= nb ? F : factored;
    if (factored > 0) { EXPECT_LT(backward_error<K>(original, asked, factored, factored), 4.0 * F * kEps); }
    for (int j = 0; j < F; ++j)
      for (int i = std::max(j, factored); i < F; ++i)
        ASSERT_EQ(asked(i, j), j >= factored || i >= last_row ? original(i, j) : out(i, j)) << i << ", " << j;
  }
  auto nan_pivot = dominant_front<K>(20, 3100);
  nan_pivot(0, 0) = T(kNaN);
  EXPECT_EQ(factor<K>(nan_pivot, 10), 0);
}

// A front whose elimination is exact, with pivot `zero` exactly 0: the sum of
// the rank-one terms left(:, j)·right(j, :) of LDL, L·Lᵀ or LU factors with
// small Gaussian-integer multipliers and powers of two as pivots (positive for
// the complex symmetric kind, so they are their own principal roots).
// Returned with the pivots the output's diagonal must show.
template <class K>
std::pair<Dense<typename K::scalar>, std::vector<double>> front_with_zero_pivot(int F, int zero, std::uint64_t seed) {
  using T = typename K::scalar;
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> pick(0, 19);
  T i_unit(1);
  if constexpr (K::is_complex) i_unit = T(0.0, 1.0);
  const T multipliers[] = {T(1), T(-1), i_unit, -i_unit, T(2)};
  const double pivots[] = {1, -1, 2, -2, 4};
  auto multiplier = [&] {
    const int r = pick(rng);
    return r < 5 ? multipliers[r] : T(0);
  };
  Dense<T> a(F);
  std::vector<double> diagonal;
  std::vector<T> left(F), right(F);
  for (int j = 0; j < F; ++j) {
    const double d = j == zero ? 0.0 : is_cholesky<K> ? pivots[2 * (pick(rng) % 2)] : pivots[pick(rng) % 5];
    diagonal.push_back(d);
    left[j] = T(d);
    right[j] = is_cholesky<K> ? T(d) : T(1);
    for (int i = j + 1; i < F; ++i) {
      const T m = multiplier();
      left[i] = is_ldl<K> ? m * d : m;
      right[i] = is_ldl<K> ? K::mirror(m) : is_cholesky<K> ? m : multiplier();
    }
    for (int k = j; k < F; ++k)
      for (int i = j; i < F; ++i) a(i, k) += left[i] * right[k];
  }
  return {a, diagonal};
}

// A zero pivot, in the column-by-column and the blocked elimination and at
// and around the block boundaries, sets the flag and stops: earlier pivots in
// place, LDL storing the zero, nothing changed when it is the first pivot, and
// the update matrix untouched by the (left-looking) symmetric kinds.
TYPED_TEST(FrontPlainTest, ZeroPivotSetsTheFlagAndStops) {
  using K = TypeParam;
  using T = typename K::scalar;
  constexpr int F = 230;
  for (const auto& [npiv, zero] : std::vector<std::pair<int, int>>{
           {60, 0}, {60, 30}, {200, 5}, {200, 99}, {200, 100}, {200, 143}, {200, 144}, {200, 170}}) {
    const std::uint64_t seed = 4000 + zero + npiv;
    SCOPED_TRACE("zero pivot " + std::to_string(zero) + ", " + shape(seed, npiv, F));
    const auto [front, pivots] = front_with_zero_pivot<K>(F, zero, seed);
    auto out = front;
    ASSERT_EQ(factor<K>(out, npiv), 1);
    for (int p = 0; p < zero; ++p) ASSERT_EQ(out(p, p), T(pivots[p])) << "pivot " << p;
    if (zero == 0) { EXPECT_EQ(out.a, front.a); }
    if (is_ldl<K>) { EXPECT_EQ(out(zero, zero), T(0)); }
    for (int j = npiv; j < F && !is_unsymmetric<K>; ++j)
      for (int i = j; i < F; ++i) ASSERT_EQ(out(i, j), front(i, j)) << i << ", " << j;
  }
}

// −4 with either sign of zero imaginary part gets the principal root 2i.
TEST(FrontPlainComplexSymmetric, NegativeRealPivotGetsThePrincipalRoot) {
  for (const double imaginary : {0.0, -0.0}) {
    std::vector<std::complex<double>> front = {{-4.0, imaginary}};
    int flag = 0;
    FactorFrontPlain<ComplexSymmetric>(1, 1, front.data(), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(front[0], std::complex<double>(0.0, 2.0)) << "imaginary part " << imaginary;
  }
}

}  // namespace
