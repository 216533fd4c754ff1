#include "kernels/front_threshold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dense_fixtures.h"

namespace {

using namespace kernel_tests;

enum class Shape {
  random,         // random entries, a dominant diagonal in part
  zero_diagonal,  // fully summed block with a zero diagonal: 2×2 pivots or delays
  weak_block,     // fully summed block far below its coupling to the other rows: all delayed
  zero_column,    // a fully summed column of zeros: singular in any front
};

struct Case {
  int F, npiv;
  Shape shape;
  bool forced;
  double tiny;
  int expect_eliminated;  // −1: not fixed by the shape
  bool expect_singular;
};

const Case cases[] = {
    {9, 9, Shape::random, true, 0, 9, false},         {70, 50, Shape::random, false, 0, -1, false},
    {80, 80, Shape::zero_diagonal, true, 0, 80, false}, {60, 40, Shape::zero_diagonal, false, 0, -1, false},
    {30, 10, Shape::weak_block, false, 0, 0, false},   {30, 10, Shape::weak_block, true, 0, 10, false},
    {12, 6, Shape::zero_column, false, 0, -1, true},   {12, 6, Shape::zero_column, false, 1e-8, 6, false},
    {12, 6, Shape::zero_column, true, 1e-8, 6, false},
};

template <class K>
std::vector<typename K::scalar> make_front(const Case& c, int seed) {
  using T = typename K::scalar;
  std::mt19937_64 rng(seed);
  std::vector<T> a = random_front<K>(c.F, rng, c.shape == Shape::random ? 0.5 : 0.0);
  const auto set = [&](int i, int j, T v) {
    a[i + std::size_t(j) * c.F] = v;
    if (K::symmetry != Symmetry::unsymmetric) a[j + std::size_t(i) * c.F] = K::mirror(v);
  };
  for (int j = 0; j < c.npiv; ++j) {
    if (c.shape == Shape::zero_diagonal) set(j, j, T(0));
    for (int i = 0; i < c.F; ++i) {
      if (c.shape == Shape::weak_block && i < c.npiv && (K::symmetry == Symmetry::unsymmetric || i >= j)) set(i, j, a[i + std::size_t(j) * c.F] * 1e-6);
      if (c.shape == Shape::zero_column && j == 2) {
        set(i, j, T(0));
        set(j, i, T(0));
      }
    }
  }
  return a;
}

template <class K>
class ThresholdFront : public testing::Test {};
TYPED_TEST_SUITE(ThresholdFront, KernelKinds);

// The factor and update matrix reproduce the front renumbered by order (and,
// for the unsymmetric kinds, with its rows interchanged as recorded), and
// the 1×1 pivots' columns of L stay within 1/u (√2/u for the complex kinds,
// whose tests compare |Re| + |Im|).
TYPED_TEST(ThresholdFront, ReproducesTheRenumberedFrontAndBoundsL) {
  using K = TypeParam;
  using T = typename K::scalar;
  constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "F " << c.F << " npiv " << c.npiv << " shape " << int(c.shape));
    const std::vector<T> a0 = make_front<K>(c, 7 + c.F);
    std::vector<T> a = a0;
    std::vector<int> order(c.F), pivot(c.npiv);
    const ThresholdRule rule{0.01, c.forced, c.tiny};
    const FrontElimination r = FactorFrontThreshold<K>(c.F, c.npiv, a.data(), rule, order.data(), pivot.data());
    EXPECT_EQ(r.singular, c.expect_singular);
    EXPECT_TRUE(c.expect_eliminated < 0 || r.eliminated == c.expect_eliminated) << r.eliminated << " eliminated";
    if (r.singular) continue;
    const int F = c.F, k = r.eliminated;
    const auto at = [&](const std::vector<T>& m, int i, int j) { return m[i + std::size_t(j) * F]; };
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int p = 0; p < F; ++p) ASSERT_EQ(sorted[p], p);
    std::vector<T> b(std::size_t(F) * F);
    for (int j = 0; j < F; ++j)
      for (int i = 0; i < F; ++i) b[i + std::size_t(j) * F] = at(a0, order[i], order[j]);
    // The left factor L (unit, F × k) and the right one (D·Lᴴ or U, k × F).
    std::vector<T> lower(std::size_t(F) * k, T(0)), right(std::size_t(k) * F, T(0));
    for (int j = 0; j < k; ++j)
      for (int i = j; i < F; ++i) lower[i + std::size_t(j) * F] = i == j ? T(1) : at(a, i, j);
    if constexpr (symmetric) {
      std::vector<T> d(std::size_t(k) * k, T(0));
      for (int j = 0; j < k; ++j) {
        d[j + std::size_t(j) * k] = at(a, j, j);
        if (pivot[j] != 2) continue;
        ASSERT_LT(j + 1, k);
        d[j + 1 + std::size_t(j) * k] = at(a, j + 1, j);
        d[j + std::size_t(j + 1) * k] = K::mirror(at(a, j + 1, j));
        d[j + 1 + std::size_t(j + 1) * k] = at(a, j + 1, j + 1);
        lower[j + 1 + std::size_t(j) * F] = T(0);
        ++j;
      }
      for (int t = 0; t < k; ++t)
        for (int q = 0; q < F; ++q)
          for (int s = 0; s < k; ++s)
            right[t + std::size_t(q) * k] += d[t + std::size_t(s) * k] * K::mirror(lower[q + std::size_t(s) * F]);
    } else {
      for (int j = 0; j < k; ++j) {
        for (int q = 0; q < F; ++q) std::swap(b[j + std::size_t(q) * F], b[pivot[j] + std::size_t(q) * F]);
        for (int q = j; q < F; ++q) right[j + std::size_t(q) * k] = at(a, j, q);
      }
    }
    double err = 0, scale = 0;
    for (int j = 0; j < F; ++j)
      for (int i = symmetric ? j : 0; i < F; ++i) {
        T v = i >= k && j >= k ? at(a, i, j) : T(0);
        for (int t = 0; t < k; ++t) v += lower[i + std::size_t(t) * F] * right[t + std::size_t(j) * k];
        err = std::max(err, std::abs(v - b[i + std::size_t(j) * F]));
        scale = std::max({scale, std::abs(b[i + std::size_t(j) * F]), std::abs(at(a, i, j))});
      }
    // Rounding grows with the factor's entries; a perturbed pivot moves its
    // entry by up to tiny.
    EXPECT_LE(err, 1e-12 * scale * F + 2 * c.tiny);
    if (c.forced) continue;  // a forced front may take pivots below the threshold
    for (int j = 0; j < k; ++j)
      if (!symmetric || pivot[j] == 1) {
        for (int i = j + 1; i < F; ++i)
          EXPECT_LE(std::abs(at(a, i, j)), (K::is_complex ? std::sqrt(2.0) : 1.0) / rule.u + 1e-9) << i << ", " << j;
      }
  }
}

}  // namespace
