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

template <class K>
constexpr bool is_unsymmetric = K::symmetry == Symmetry::unsymmetric;
template <class K>
constexpr bool is_ldl = K::symmetry == Symmetry::hermitian || (K::symmetry == Symmetry::symmetric && !K::is_complex);
template <class K>
constexpr bool is_cholesky = K::symmetry == Symmetry::symmetric && K::is_complex;

// Column-major F × F matrix with element access, 0-based.
template <class T>
struct Dense {
  int F = 0;
  std::vector<T> a;
  Dense(int order, std::vector<T> values) : F(order), a(std::move(values)) {}
  explicit Dense(int order) : F(order), a(static_cast<std::size_t>(order) * order) {}
  T& operator()(int i, int j) { return a[i + static_cast<std::size_t>(j) * F]; }
  const T& operator()(int i, int j) const { return a[i + static_cast<std::size_t>(j) * F]; }
};

// A random front that needs no pivoting: strictly diagonally dominant by rows,
// with every third diagonal entry negative so that the symmetric kinds meet
// indefinite pivots.
template <class K>
Dense<typename K::scalar> dominant_front(int F, std::uint64_t seed) {
  using T = typename K::scalar;
  Dense<T> a(F, random_front<K>(F, seed, 2.0 * F + 1.0));
  for (int i = 0; i < F; i += 3) a(i, i) = -a(i, i);
  return a;
}

// The kernel reads only the lower triangle of symmetric kinds: a NaN in every
// strict upper entry makes any other read show up in the results.
template <class K>
Dense<typename K::scalar> poison_upper_triangle(Dense<typename K::scalar> a) {
  if constexpr (!is_unsymmetric<K>) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int j = 1; j < a.F; ++j)
      for (int i = 0; i < j; ++i) a(i, j) = typename K::scalar(nan);
  }
  return a;
}

template <class K>
int factor(Dense<typename K::scalar>& a, int npiv, int flag = 0) {
  FactorFrontPlain<K>(npiv, a.F, a.a.data(), flag);
  return flag;
}

// The front rebuilt from the output: left factor (the first npiv columns from
// the diagonal down: W = L·D, L or the lower factor of LU) times right factor
// (the first npiv rows right of the diagonal: L^T or L^H, the unit upper
// factor of LU; L^T read below the diagonal for the complex symmetric kind),
// plus the update matrix in the trailing block. Symmetric kinds are rebuilt
// on the lower triangle only.
template <class K>
Dense<typename K::scalar> rebuild(const Dense<typename K::scalar>& out, int npiv) {
  using T = typename K::scalar;
  const int F = out.F;
  Dense<T> right(F);
  for (int p = 0; p < npiv; ++p)
    for (int j = p; j < F; ++j)
      right(p, j) = j == p ? (is_cholesky<K> ? out(p, p) : T(1)) : is_cholesky<K> ? out(j, p) : out(p, j);
  Dense<T> rebuilt(F);
  for (int j = 0; j < F; ++j)
    for (int i = is_unsymmetric<K> ? 0 : j; i < F; ++i) {
      T sum = i >= npiv && j >= npiv ? out(i, j) : T(0);
      for (int p = 0; p < std::min({npiv, i + 1, j + 1}); ++p) sum += out(i, p) * right(p, j);
      rebuilt(i, j) = sum;
    }
  return rebuilt;
}

template <class K>
double backward_error(const Dense<typename K::scalar>& original, const Dense<typename K::scalar>& out, int npiv) {
  const bool lower = !is_unsymmetric<K>;
  const std::vector<typename K::scalar> zero(original.a.size());
  return difference(original.a, rebuild<K>(out, npiv).a, original.F, lower) /
         difference(original.a, zero, original.F, lower);
}

template <class T>
Dense<T> leading_part(const Dense<T>& a, int n) {
  Dense<T> part(n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) part(i, j) = a(i, j);
  return part;
}

std::string shape(std::uint64_t seed, int npiv, int F) {
  return "seed " + std::to_string(seed) + ", npiv " + std::to_string(npiv) + ", F " + std::to_string(F);
}

template <class K>
class FrontPlainTest : public ::testing::Test {};
TYPED_TEST_SUITE(FrontPlainTest, KernelKinds);

TYPED_TEST(FrontPlainTest, RebuildsTheFrontFromFactorAndUpdateMatrix) {
  using K = TypeParam;
  // No pivots; around both block widths (100 and 144 pivots), with and
  // without rows below the pivots; update matrices wider than one column
  // block; several blocks of pivots.
  const std::vector<std::pair<int, int>> shapes = {{0, 12},    {1, 1},     {1, 9},     {6, 6},
                                                   {30, 200},  {99, 130},  {100, 171}, {101, 101},
                                                   {143, 190}, {144, 200}, {145, 145}, {250, 320}};
  std::uint64_t seed = 1000;
  for (const auto& [npiv, F] : shapes) {
    ++seed;
    SCOPED_TRACE(shape(seed, npiv, F));
    const auto original = dominant_front<K>(F, seed);
    auto out = poison_upper_triangle<K>(original);
    int flag = is_unsymmetric<K> ? 7 : 0;
    FactorFrontPlain<K>(npiv, F, out.a.data(), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_LT(backward_error<K>(original, out, npiv), 4.0 * F * kEps);
    if constexpr (K::symmetry == Symmetry::hermitian) {
      for (int p = 0; p < npiv; ++p) ASSERT_EQ(std::imag(out(p, p)), 0.0) << "pivot " << p;
    }
  }
}

TYPED_TEST(FrontPlainTest, NaNPivotIsNotAZeroPivot) {
  using K = TypeParam;
  auto out = dominant_front<K>(20, 3100);
  out(0, 0) = typename K::scalar(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(factor<K>(out, 10), 0);
}

// A front whose pivot `zero` is exactly 0.0 after the pivots before it are
// eliminated: the product of a lower and an upper factor with small
// Gaussian-integer entries and powers of two on the diagonal, so that every
// step of the elimination is exact. Before pivot `zero`, the output holds the
// columns of left from the diagonal down, and the LDL and LU kinds the rows
// of right to the right of the diagonal.
template <class K>
struct ExactFront {
  Dense<typename K::scalar> left, right, a;
};

template <class K>
ExactFront<K> front_with_zero_pivot(int F, int zero, std::uint64_t seed) {
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
  Dense<T> left(F), right(F);
  for (int j = 0; j < F; ++j) {
    // The complex symmetric diagonal holds square roots: positive ones keep
    // the principal root equal to them.
    const double d = j == zero ? 0.0 : is_cholesky<K> ? pivots[2 * (pick(rng) % 2)] : pivots[pick(rng) % 5];
    left(j, j) = T(d);
    right(j, j) = is_cholesky<K> ? T(d) : T(1);
    for (int i = j + 1; i < F; ++i) {
      const T m = multiplier();
      if constexpr (is_ldl<K>) {
        left(i, j) = m * d;
        right(j, i) = K::mirror(m);
      } else if constexpr (is_cholesky<K>) {
        left(i, j) = right(j, i) = m;
      } else {
        left(i, j) = m;
        right(j, i) = multiplier();
      }
    }
  }
  Dense<T> a(F);
  for (int j = 0; j < F; ++j)
    for (int i = 0; i < F; ++i)
      for (int p = 0; p <= std::min(i, j); ++p) a(i, j) += left(i, p) * right(p, j);
  return {left, right, a};
}

// Without a zero pivot among the first npiv, the exact front factors
// exactly. With one, the flag is set and the elimination stops: the pivots
// before it in place, and for the symmetric kinds, which eliminate
// left-looking, the update matrix untouched.
TYPED_TEST(FrontPlainTest, ExactFrontsFactorExactlyOrStopAtTheZeroPivot) {
  using K = TypeParam;
  using T = typename K::scalar;
  constexpr int F = 230;
  const std::vector<std::pair<int, int>> cases = {{200, 0},   {200, 5},   {200, 99}, {200, 100}, {200, 143},
                                                  {200, 144}, {200, 170}, {60, F},   {200, F}};
  for (const auto& [npiv, zero] : cases) {
    const std::uint64_t seed = 4000 + zero + npiv;
    SCOPED_TRACE("zero pivot " + std::to_string(zero) + ", " + shape(seed, npiv, F));
    const auto exact = front_with_zero_pivot<K>(F, zero, seed);
    auto out = exact.a;
    ASSERT_EQ(factor<K>(out, npiv), zero < npiv ? 1 : 0);
    if (zero < npiv) {
      for (int p = 0; p < zero; ++p) ASSERT_EQ(out(p, p), exact.left(p, p)) << "pivot " << p;
      if (zero == 0) {
        EXPECT_EQ(out.a, exact.a.a);
      }
      if constexpr (is_ldl<K>) {
        EXPECT_EQ(out(zero, zero), T(0));
      }
      if constexpr (!is_unsymmetric<K>) {
        for (int j = npiv; j < F; ++j)
          for (int i = j; i < F; ++i) ASSERT_EQ(out(i, j), exact.a(i, j)) << i << ", " << j;
      }
      continue;
    }
    for (int j = 0; j < npiv; ++j)
      for (int i = j; i < F; ++i) {
        ASSERT_EQ(out(i, j), exact.left(i, j)) << i << ", " << j;
        if (!is_cholesky<K> && i > j) {
          ASSERT_EQ(out(j, i), exact.right(j, i)) << j << ", " << i;
        }
      }
    for (int j = npiv; j < F; ++j)
      for (int i = is_unsymmetric<K> ? npiv : j; i < F; ++i) {
        T update = 0;
        for (int p = npiv; p <= std::min(i, j); ++p) update += exact.left(i, p) * exact.right(p, j);
        ASSERT_EQ(out(i, j), update) << i << ", " << j;
      }
  }
}

// A caller's flag of 1 asks the symmetric kinds for the pivots only: no
// update matrix, and of a blocked elimination only the first block. LU
// eliminates as usual and returns 0.
TYPED_TEST(FrontPlainTest, CallerFlagOne) {
  using K = TypeParam;
  constexpr int nb = plain_block_size<K>;
  std::uint64_t seed = 5000;
  for (const auto& [npiv, F] : std::vector<std::pair<int, int>>{{40, 70}, {nb, nb + 20}, {250, 300}}) {
    ++seed;
    SCOPED_TRACE(shape(seed, npiv, F));
    const auto original = dominant_front<K>(F, seed);
    auto asked = original, plain = original;
    EXPECT_EQ(factor<K>(asked, npiv, 1), is_unsymmetric<K> ? 0 : 1);
    ASSERT_EQ(factor<K>(plain, npiv), 0);
    if constexpr (is_unsymmetric<K>) {
      EXPECT_EQ(asked.a, plain.a);
    } else {
      const int factored = std::min(npiv, nb);
      auto alone = leading_part(original, factored);
      ASSERT_EQ(factor<K>(alone, factored), 0);
      EXPECT_LT(difference(leading_part(asked, factored).a, alone.a, factored, false) / frobenius(alone.a),
                4.0 * F * kEps);
      // Outside the factored square: the rows below it as in a plain call when
      // all pivots were eliminated column by column, the input elsewhere.
      const int last_row = npiv <= nb ? F : factored;
      for (int j = 0; j < F; ++j)
        for (int i = std::max(j, factored); i < F; ++i) {
          if (j >= factored || i >= last_row) {
            ASSERT_EQ(asked(i, j), original(i, j)) << i << ", " << j;
          } else {
            ASSERT_EQ(asked(i, j), plain(i, j)) << i << ", " << j;
          }
        }
    }
  }
}

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
