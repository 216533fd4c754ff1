#include "kernels/supernode_solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kernels/vector_kernels.h"
#include "platform/blas.h"
#include "tests/unit/kernels/dense_fixtures.h"

namespace {

using kernel_tests::random_value;
using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

template <class K, class S>
struct Case {
  using kind = K;
  using stored = S;
  using scalar = typename K::scalar;
};

using SymmetricCases = ::testing::Types<Case<RealSymmetric, float>, Case<RealSymmetric, double>,
                                        Case<ComplexSymmetric, cfloat>, Case<ComplexSymmetric, cdouble>,
                                        Case<ComplexHermitian, cfloat>, Case<ComplexHermitian, cdouble>>;
using AllCases = ::testing::Types<Case<RealSymmetric, float>, Case<RealSymmetric, double>,
                                  Case<RealUnsymmetric, float>, Case<RealUnsymmetric, double>,
                                  Case<ComplexSymmetric, cfloat>, Case<ComplexSymmetric, cdouble>,
                                  Case<ComplexUnsymmetric, cfloat>, Case<ComplexUnsymmetric, cdouble>,
                                  Case<ComplexHermitian, cfloat>, Case<ComplexHermitian, cdouble>>;

template <class S>
using Wide = std::conditional_t<blas::is_complex_v<S>, cdouble, double>;

std::size_t packed_start(std::int32_t w, std::int32_t j) {
  return static_cast<std::size_t>(j) * (2 * static_cast<std::size_t>(w) + 1 - j) / 2;
}

template <class T>
double max_abs_difference(const std::vector<T>& a, const std::vector<T>& b) {
  double m = 0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - (b.empty() ? T(0) : b[i])));
  return m;
}

template <class T>
double max_abs(const std::vector<T>& v) {
  return max_abs_difference(v, {});
}

template <class S>
S stored_value(std::mt19937_64& rng, double scale) {
  return static_cast<S>(random_value<Wide<S>>(rng) * scale);
}

template <class T>
std::vector<T> random_vector(std::int32_t n, std::mt19937_64& rng) {
  std::vector<T> v(static_cast<std::size_t>(n));
  for (T& e : v) e = random_value<T>(rng);
  return v;
}

// One supernode inside a longer vector: columns from first, r rows after
// them with gaps, entries outside both so that stray writes
// show. The stored block has pivots of magnitude ≥ 0.5 and entries below the
// diagonal shrinking with the width, so the factor is well conditioned.
template <class S>
struct PlacedSupernode {
  std::vector<S> entries;
  std::vector<std::int32_t> rows;
  std::int32_t first = 0, width = 0, length = 0;

  PlacedSupernode(std::int32_t w, std::int32_t r, std::mt19937_64& rng)
      : first(std::uniform_int_distribution<std::int32_t>(0, 5)(rng)), width(w), length(first + w + 3 * r + 3) {
    for (std::int32_t k = 0; k < r; ++k) rows.push_back(first + w + 3 * k + static_cast<std::int32_t>(rng() % 3));
    const double below = 0.5 / std::sqrt(static_cast<double>(w));
    for (std::int32_t j = 0; j < w; ++j) {
      const Wide<S> pivot = random_value<Wide<S>>(rng);
      entries.push_back(static_cast<S>(pivot + (std::real(pivot) >= 0 ? 1.5 : -1.5)));
      for (std::int32_t i = j + 1; i < w; ++i) entries.push_back(stored_value<S>(rng, below));
    }
    for (std::size_t k = 0; k < static_cast<std::size_t>(w) * r; ++k) entries.push_back(stored_value<S>(rng, 2 * below));
  }
  SupernodeBlock<S> view() const {
    return {entries.data(), first, width, static_cast<std::int32_t>(rows.size()), rows.data()};
  }
};

// Reference for one sweep: the library's dense triangular solve in working
// precision with [T 0; B I] of order w + r on the gathered entries of x.
template <class K, class S>
std::vector<typename K::scalar> dense_sweep(const PlacedSupernode<S>& s, Diagonal diagonal, bool backward,
                                            std::vector<typename K::scalar> x) {
  using T = typename K::scalar;
  const std::int32_t w = s.width, m = w + static_cast<std::int32_t>(s.rows.size());
  std::vector<T> dense(static_cast<std::size_t>(m) * m);
  const S* e = s.entries.data();
  for (std::int32_t j = 0; j < w; ++j)
    for (std::int32_t i = j; i < w; ++i, ++e)
      dense[std::size_t(j) * m + i] = i == j && diagonal == Diagonal::unit ? T(1) : T(*e);
  for (std::int32_t j = 0; j < w; ++j)
    for (std::int32_t i = w; i < m; ++i, ++e) dense[std::size_t(j) * m + i] = T(*e);
  for (std::int32_t i = w; i < m; ++i) dense[std::size_t(i) * m + i] = T(1);
  auto position = [&](std::int32_t i) { return i < w ? s.first + i : s.rows[i - w]; };
  std::vector<T> b(static_cast<std::size_t>(m));
  for (std::int32_t i = 0; i < m; ++i) b[i] = x[position(i)];
  const char trans = !backward ? 'N' : (K::symmetry == Symmetry::hermitian ? 'C' : 'T');
  blas::trsm('L', 'L', trans, 'N', m, 1, T(1), dense.data(), m, b.data(), m);
  for (std::int32_t i = 0; i < m; ++i) x[position(i)] = b[i];
  return x;
}

template <class C>
class SupernodeSweeps : public ::testing::Test {};
TYPED_TEST_SUITE(SupernodeSweeps, AllCases);

// Forward against [T 0; B I]⁻¹ and backward against [T 0; B I]⁻ᵀ (⁻ᴴ for the
// Hermitian kind) on both paths, with the unit diagonal and for the
// unsymmetric kinds also the stored one of U. Comparing the whole vector also
// catches changes outside the supernode's columns and rows. Accuracy is single
// precision only where BLAS ran on a single-precision factor.
TYPED_TEST(SupernodeSweeps, BothSweepsAgreeWithDenseTriangularSolves) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  std::vector<Diagonal> diagonals = {Diagonal::unit};
  if (K::symmetry == Symmetry::unsymmetric) diagonals.push_back(Diagonal::non_unit);
  for (const auto& [width, r] : std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 0}, {1, 1}, {9, 13}, {144, 0}, {300, 21}})
    for (Diagonal diagonal : diagonals)
      for (bool backward : {false, true}) {
        const std::uint64_t seed = 7919u * width + 31u * r + (diagonal == Diagonal::unit ? 1 : 2);
        SCOPED_TRACE("seed " + std::to_string(seed) + " width " + std::to_string(width) + " rows " +
                     std::to_string(r) + (diagonal == Diagonal::unit ? " unit" : " non-unit") +
                     (backward ? " backward" : " forward"));
        std::mt19937_64 rng(seed);
        const PlacedSupernode<S> s(width, r, rng);
        const std::vector<T> x = random_vector<T>(s.length, rng);
        const std::vector<T> expected = dense_sweep<K>(s, diagonal, backward, x);
        for (SweepPath path : {SweepPath::loops, SweepPath::blas}) {
          std::vector<T> got = x;
          std::vector<S> work(supernode_solve_work_size<S>(width, r));
          if (backward) supernode_backward<K>(s.view(), diagonal, got.data(), work.data(), path);
          else supernode_forward<K>(s.view(), diagonal, got.data(), work.data(), path);
          const double eps = path == SweepPath::blas && is_single_precision_v<S> ? std::numeric_limits<float>::epsilon()
                                                                                 : std::numeric_limits<double>::epsilon();
          EXPECT_LE(max_abs_difference(got, expected), 20 * std::sqrt(double(width + r)) * max_abs(expected) * eps)
              << (path == SweepPath::blas ? "BLAS path" : "loop path");
        }
      }
}

template <class C>
class DiagonalSolve : public ::testing::Test {};
TYPED_TEST_SUITE(DiagonalSolve, SymmetricCases);

// Pivots read at absolute columns of the order (negative = first column of a
// 2×2 pivot [d1 ē; e d2], e taken from the couplings in turn, 0 left in the
// factor): D·x must give back b, every coupling must be used and counted, and
// entries outside the supernode's columns must stay. The Hermitian diagonal
// carries an imaginary part (random complex entries) the solve must ignore.
TYPED_TEST(DiagonalSolve, MixedPivotsAreInverted) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  for (std::int32_t w : {1, 2, 7, 40}) {
    const std::uint64_t seed = 104729u + w;
    SCOPED_TRACE("seed " + std::to_string(seed) + " width " + std::to_string(w));
    std::mt19937_64 rng(seed);
    PlacedSupernode<S> s(w, 3, rng);
    std::vector<std::int32_t> order(static_cast<std::size_t>(s.first));
    std::iota(order.begin(), order.end(), 0);
    std::vector<S> couplings;
    // D in dense form, the identity outside the supernode's columns.
    std::vector<T> d(static_cast<std::size_t>(s.length) * s.length);
    auto D = [&](std::int32_t i, std::int32_t j) -> T& { return d[i + static_cast<std::size_t>(j) * s.length]; };
    auto pivot = [&](std::int32_t j) {
      const T v = T(s.entries[packed_start(w, j)]);
      return K::symmetry == Symmetry::hermitian ? T(std::real(v)) : v;
    };
    for (std::int32_t i = 0; i < s.length; ++i) D(i, i) = 1;
    std::bernoulli_distribution two_by_two(0.4);
    for (std::int32_t j = 0; j < w; ++j) {
      const std::int32_t c = s.first + j;
      if (j + 1 == w || !two_by_two(rng)) {
        order.push_back(c);
        D(c, c) = pivot(j);
        continue;
      }
      order.insert(order.end(), {-(c + 1), -(c + 1)});
      for (std::int32_t k : {j, j + 1}) s.entries[packed_start(w, k)] = stored_value<S>(rng, 0.3);
      couplings.push_back(static_cast<S>(random_value<Wide<S>>(rng) + 1.5));
      s.entries[packed_start(w, j) + 1] = S(0);
      D(c, c) = pivot(j);
      D(c + 1, c + 1) = pivot(j + 1);
      D(c + 1, c) = T(couplings.back());
      D(c, c + 1) = K::mirror(D(c + 1, c));
      ++j;
    }
    const std::vector<T> b = random_vector<T>(s.length, rng);
    std::vector<T> x = b;
    EXPECT_EQ(supernode_diagonal_solve<K>(s.view(), order.data(), couplings.data(), x.data()),
              static_cast<std::int32_t>(couplings.size()));
    for (std::int32_t i = 0; i < s.length; ++i) {
      T dx = 0;
      for (std::int32_t j = 0; j < s.length; ++j) dx += D(i, j) * x[j];
      EXPECT_LE(std::abs(dx - b[i]), 1e-12 * max_abs(b)) << "entry " << i;
    }
  }
}

template <class T>
class VectorKernels : public ::testing::Test {};
using VectorScalars = ::testing::Types<double, cdouble>;
TYPED_TEST_SUITE(VectorKernels, VectorScalars);

// The level-1 wrappers against plain loops: dotc conjugates x, dotu does not,
// scale takes a real factor also on complex vectors.
TYPED_TEST(VectorKernels, AgreeWithPlainLoops) {
  using T = TypeParam;
  std::mt19937_64 rng(4242);
  const std::int32_t n = 37;
  const std::vector<T> x = random_vector<T>(n, rng), y0 = random_vector<T>(n, rng);
  const T alpha = random_value<T>(rng);
  std::vector<T> y = y0, scaled = x;
  vec::axpy(n, alpha, x.data(), y.data());
  vec::scale(n, -2.5, scaled.data());
  T dotu{}, dotc{};
  double squares = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    dotu += x[i] * y0[i];
    if constexpr (std::is_same_v<T, double>) dotc += x[i] * y0[i];
    else dotc += std::conj(x[i]) * y0[i];
    squares += std::norm(x[i]);
    EXPECT_LE(std::abs(y[i] - (y0[i] + alpha * x[i])), 1e-14);
    EXPECT_EQ(scaled[i], T(-2.5) * x[i]);
  }
  EXPECT_LE(std::abs(vec::dotu(n, x.data(), y0.data()) - dotu), 1e-13);
  EXPECT_LE(std::abs(vec::dotc(n, x.data(), y0.data()) - dotc), 1e-13);
  EXPECT_NEAR(vec::norm2(n, x.data()), std::sqrt(squares), 1e-13);
}

}  // namespace
