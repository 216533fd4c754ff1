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

template <class K, class S>
struct Case {
  using kind = K;
  using stored = S;
  using scalar = typename K::scalar;
};

using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

using AllCases = ::testing::Types<Case<RealSymmetric, float>, Case<RealSymmetric, double>,
                                  Case<RealUnsymmetric, float>, Case<RealUnsymmetric, double>,
                                  Case<ComplexSymmetric, cfloat>, Case<ComplexSymmetric, cdouble>,
                                  Case<ComplexUnsymmetric, cfloat>, Case<ComplexUnsymmetric, cdouble>,
                                  Case<ComplexHermitian, cfloat>, Case<ComplexHermitian, cdouble>>;

template <class S>
using Wide = std::conditional_t<blas::is_complex_v<S>, cdouble, double>;

template <class S>
Wide<S> widen(const S& v) {
  return Wide<S>(v);
}

std::size_t packed_start(std::int32_t w, std::int32_t j) {
  const std::size_t jj = static_cast<std::size_t>(j);
  return jj * (2 * static_cast<std::size_t>(w) + 1 - jj) / 2;
}

// Relative accuracy of a sweep: single precision when the BLAS path ran on a
// single-precision factor, double otherwise (the loops widen every entry).
template <class S>
double sweep_epsilon(SweepPath path) {
  if (path == SweepPath::blas && is_single_precision_v<S>) return std::numeric_limits<float>::epsilon();
  return std::numeric_limits<double>::epsilon();
}

template <class T>
double max_abs(const std::vector<T>& v) {
  double m = 0;
  for (const T& e : v) m = std::max(m, std::abs(e));
  return m;
}

template <class T>
double max_abs_difference(const std::vector<T>& a, const std::vector<T>& b) {
  double m = 0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

template <class S>
S stored_value(std::mt19937_64& rng, double scale) {
  return static_cast<S>(random_value<Wide<S>>(rng) * scale);
}

// One supernode's stored block in the layout the kernels read: the packed
// triangle with pivots of magnitude at least 0.5 on its diagonal, then the
// off-diagonal block. Entries below the diagonal shrink with the width so
// that the factor stays well conditioned, as one from a stable
// factorization is.
template <class S>
std::vector<S> random_block_entries(std::int32_t w, std::int32_t r, std::mt19937_64& rng) {
  const double below = 0.5 / std::sqrt(static_cast<double>(std::max(w, 1)));
  std::vector<S> entries;
  for (std::int32_t j = 0; j < w; ++j) {
    const Wide<S> pivot = random_value<Wide<S>>(rng);
    entries.push_back(static_cast<S>(pivot + (std::real(pivot) >= 0 ? 1.5 : -1.5)));
    for (std::int32_t i = j + 1; i < w; ++i) entries.push_back(stored_value<S>(rng, below));
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(w) * r; ++k) entries.push_back(stored_value<S>(rng, 2 * below));
  return entries;
}

// r sorted positions drawn from [begin, end).
std::vector<std::int32_t> random_rows(std::int32_t r, std::int32_t begin, std::int32_t end, std::mt19937_64& rng) {
  std::vector<std::int32_t> pool(static_cast<std::size_t>(end - begin));
  std::iota(pool.begin(), pool.end(), begin);
  std::shuffle(pool.begin(), pool.end(), rng);
  pool.resize(static_cast<std::size_t>(r));
  std::sort(pool.begin(), pool.end());
  return pool;
}

template <class T>
std::vector<T> random_vector(std::int32_t n, std::mt19937_64& rng) {
  std::vector<T> v(static_cast<std::size_t>(n));
  for (T& e : v) e = random_value<T>(rng);
  return v;
}

// Writes the block's entries into the dense column-major lower-triangular
// matrix of order n at its own columns and rows; with a unit diagonal the
// stored diagonal is replaced by 1.
template <class S>
void place_block(const SupernodeBlock<S>& block, Diagonal diagonal, std::vector<Wide<S>>& dense, std::int32_t n) {
  const std::int32_t w = block.width;
  const S* offdiagonal = block.entries + packed_start(w, w);
  for (std::int32_t j = 0; j < w; ++j) {
    const std::size_t column = static_cast<std::size_t>(block.first + j) * n;
    const S* packed = block.entries + packed_start(w, j);
    for (std::int32_t i = j; i < w; ++i) dense[column + block.first + i] = widen(packed[i - j]);
    if (diagonal == Diagonal::unit) dense[column + block.first + j] = 1.0;
    for (std::int32_t k = 0; k < block.rows; ++k)
      dense[column + block.row_subscripts[k]] = widen(offdiagonal[static_cast<std::size_t>(j) * block.rows + k]);
  }
}

// One supernode placed in a longer vector: its columns start at first, its
// rows are scattered after them with gaps, and entries outside both exist so
// that stray writes show.
template <class S>
struct PlacedSupernode {
  std::vector<S> entries;
  std::vector<std::int32_t> rows;
  std::int32_t first = 0, width = 0, length = 0;

  SupernodeBlock<S> view() const {
    return {entries.data(), first, width, static_cast<std::int32_t>(rows.size()), rows.data()};
  }
};

template <class S>
PlacedSupernode<S> random_placed_supernode(std::int32_t w, std::int32_t r, std::mt19937_64& rng) {
  PlacedSupernode<S> s;
  s.first = std::uniform_int_distribution<std::int32_t>(0, 5)(rng);
  s.width = w;
  s.length = s.first + w + 3 * r + 3;
  s.rows = random_rows(r, s.first + w, s.length, rng);
  s.entries = random_block_entries<S>(w, r, rng);
  return s;
}

// Reference for one sweep: the library's triangular solve in working
// precision with the dense block column [T 0; B I] of order w + r, on the
// gathered entries of x.
template <class K, class S>
std::vector<typename K::scalar> dense_sweep(const PlacedSupernode<S>& s, Diagonal diagonal, bool backward,
                                            const std::vector<typename K::scalar>& x) {
  using T = typename K::scalar;
  const std::int32_t r = static_cast<std::int32_t>(s.rows.size()), m = s.width + r;
  std::vector<std::int32_t> positions(static_cast<std::size_t>(m));
  std::iota(positions.begin(), positions.end(), 0);
  std::vector<T> dense(static_cast<std::size_t>(m) * m);
  place_block(SupernodeBlock<S>{s.entries.data(), 0, s.width, r, positions.data() + s.width}, diagonal, dense, m);
  for (std::int32_t i = s.width; i < m; ++i) dense[static_cast<std::size_t>(i) * m + i] = 1.0;
  std::iota(positions.begin(), positions.begin() + s.width, s.first);
  std::copy(s.rows.begin(), s.rows.end(), positions.begin() + s.width);
  std::vector<T> b(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) b[i] = x[positions[i]];
  const char trans = !backward ? 'N' : (K::symmetry == Symmetry::hermitian ? 'C' : 'T');
  blas::trsm('L', 'L', trans, 'N', m, 1, T(1), dense.data(), m, b.data(), m);
  std::vector<T> expected = x;
  for (std::size_t i = 0; i < positions.size(); ++i) expected[positions[i]] = b[i];
  return expected;
}

template <class C>
class SupernodeSweeps : public ::testing::Test {};
TYPED_TEST_SUITE(SupernodeSweeps, AllCases);

// Forward against [T 0; B I]⁻¹ and backward against [T 0; B I]⁻ᵀ (⁻ᴴ for the
// Hermitian kind) on both paths, with the unit diagonal of L, and for the
// unsymmetric kinds also with the stored diagonal of U; no entry of x outside
// the supernode's columns and rows may change.
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
        const PlacedSupernode<S> s = random_placed_supernode<S>(width, r, rng);
        const std::vector<T> x = random_vector<T>(s.length, rng);
        const std::vector<T> expected = dense_sweep<K>(s, diagonal, backward, x);
        for (SweepPath path : {SweepPath::loops, SweepPath::blas}) {
          std::vector<T> got = x;
          std::vector<S> work(supernode_solve_work_size<S>(width, r));
          if (backward) supernode_backward<K>(s.view(), diagonal, got.data(), work.data(), path);
          else supernode_forward<K>(s.view(), diagonal, got.data(), work.data(), path);
          const std::string where = path == SweepPath::blas ? "BLAS path" : "loop path";
          EXPECT_LE(max_abs_difference(got, expected),
                    20 * std::sqrt(double(width + r)) * max_abs(expected) * sweep_epsilon<S>(path))
              << where;
          for (std::int32_t i = 0; i < s.length; ++i) {
            const bool inside = (i >= s.first && i < s.first + width) || std::binary_search(s.rows.begin(), s.rows.end(), i);
            EXPECT_TRUE(inside || got[i] == x[i]) << where << " changed entry " << i << " outside the supernode";
          }
        }
      }
}

// Appends the pivots of D for w more columns of a factor of a symmetric kind:
// each column starts a 1×1 pivot (value = its column) or a 2×2 pivot (a
// negative value at both of its columns, as the factorization records them).
void append_pivots(std::vector<std::int32_t>& order, std::int32_t w, std::mt19937_64& rng) {
  const std::int32_t first = static_cast<std::int32_t>(order.size());
  std::bernoulli_distribution two_by_two(0.4);
  for (std::int32_t c = first; c < first + w; ++c) {
    if (c + 1 < first + w && two_by_two(rng)) {
      order.insert(order.end(), {-(c + 1), -(c + 1)});
      ++c;
    } else {
      order.push_back(c);
    }
  }
}

// Turns the diagonal of a packed triangle into the pivots of D: small
// diagonal entries and a dominant coupling element for each 2×2 pivot, the
// coupling moved out to the returned side array and 0 left in its place. For
// the Hermitian kind the stored diagonal also gets an imaginary part, which
// the solve must ignore.
template <class K, class S>
std::vector<S> make_pivots(PlacedSupernode<S>& s, const std::vector<std::int32_t>& order, std::mt19937_64& rng) {
  std::vector<S> couplings;
  const std::int32_t w = s.width;
  for (std::int32_t j = 0; j < w; ++j) {
    if (order[s.first + j] >= 0) continue;
    for (std::int32_t c : {j, j + 1}) s.entries[packed_start(w, c)] = stored_value<S>(rng, 0.3);
    couplings.push_back(static_cast<S>(random_value<Wide<S>>(rng) + 1.5));
    s.entries[packed_start(w, j) + 1] = S(0);
    ++j;
  }
  if constexpr (K::symmetry == Symmetry::hermitian)
    for (std::int32_t j = 0; j < w; ++j) s.entries[packed_start(w, j)] += S(0, 0.5f);
  return couplings;
}

// D·v over the pivots of the given supernodes, the real part of the diagonal
// for the Hermitian kind, and [d1 ē; e d2] for each 2×2 pivot.
template <class K, class S>
std::vector<typename K::scalar> pivots_times(std::initializer_list<const PlacedSupernode<S>*> supernodes,
                                             const std::vector<std::int32_t>& order, const std::vector<S>& couplings,
                                             std::vector<typename K::scalar> v) {
  using T = typename K::scalar;
  auto diagonal = [](const PlacedSupernode<S>& s, std::int32_t j) -> T {
    const T d = widen(s.entries[packed_start(s.width, j)]);
    return K::symmetry == Symmetry::hermitian ? T(std::real(d)) : d;
  };
  std::size_t used = 0;
  for (const PlacedSupernode<S>* s : supernodes)
    for (std::int32_t j = 0; j < s->width; ++j) {
      const std::int32_t c = s->first + j;
      if (order[c] >= 0) {
        v[c] *= diagonal(*s, j);
        continue;
      }
      const T e = widen(couplings[used++]), v1 = v[c], v2 = v[c + 1];
      v[c] = diagonal(*s, j) * v1 + K::mirror(e) * v2;
      v[c + 1] = e * v1 + diagonal(*s, j + 1) * v2;
      ++j;
    }
  return v;
}

// Two supernodes of a factor of order w1 + w2: the first with off-diagonal
// rows among the second's columns, the second the root. Holds one factor
// (L, or the transpose of U) with its dense lower-triangular form.
template <class S>
struct TwoSupernodes {
  std::int32_t n = 0;
  PlacedSupernode<S> leaf, root;

  std::vector<Wide<S>> dense(Diagonal diagonal) const {
    std::vector<Wide<S>> a(static_cast<std::size_t>(n) * n);
    place_block(leaf.view(), diagonal, a, n);
    place_block(root.view(), diagonal, a, n);
    return a;
  }
  void new_entries(std::mt19937_64& rng) {
    leaf.entries = random_block_entries<S>(leaf.width, static_cast<std::int32_t>(leaf.rows.size()), rng);
    root.entries = random_block_entries<S>(root.width, 0, rng);
  }
  // Both supernodes' forward sweeps leaf first, or backward sweeps root first.
  template <class K>
  void sweeps(bool backward, Diagonal diagonal, std::vector<typename K::scalar>& x, std::vector<S>& work) const {
    if (backward) {
      supernode_backward<K>(root.view(), diagonal, x.data(), work.data());
      supernode_backward<K>(leaf.view(), diagonal, x.data(), work.data());
    } else {
      supernode_forward<K>(leaf.view(), diagonal, x.data(), work.data());
      supernode_forward<K>(root.view(), diagonal, x.data(), work.data());
    }
  }
};

template <class S>
TwoSupernodes<S> random_two_supernodes(std::int32_t w1, std::int32_t w2, std::int32_t r, std::mt19937_64& rng) {
  TwoSupernodes<S> f;
  f.n = w1 + w2;
  f.leaf.width = w1;
  f.leaf.rows = random_rows(r, w1, f.n, rng);
  f.root.first = w1;
  f.root.width = w2;
  f.leaf.length = f.root.length = f.n;
  f.new_entries(rng);
  return f;
}

// a·v, or with transposed aᵀ·v (aᴴ·v for the Hermitian kind), for a dense
// lower-triangular a of order n.
template <class K>
std::vector<typename K::scalar> lower_times(const std::vector<typename K::scalar>& a, std::int32_t n,
                                            const std::vector<typename K::scalar>& v, bool transposed = false) {
  std::vector<typename K::scalar> y(static_cast<std::size_t>(n));
  for (std::int32_t j = 0; j < n; ++j)
    for (std::int32_t i = j; i < n; ++i) {
      const auto aij = a[static_cast<std::size_t>(j) * n + i];
      if (transposed) y[j] += K::mirror(aij) * v[i];
      else y[i] += aij * v[j];
    }
  return y;
}

template <class C>
class Substitution : public ::testing::Test {};
TYPED_TEST_SUITE(Substitution, AllCases);

// Symmetric kinds: forward sweeps, pivots and backward sweeps in the order
// the substitution runs them solve L·D·Lᵀ·x = b (L·D·Lᴴ for the Hermitian
// kind). Unsymmetric kinds, with L (unit) and U stored as its transpose
// (non-unit): forward with L and backward with U solve L·U·x = b; forward
// with Uᵀ and backward with Lᵀ, as for the transpose flag, (L·U)ᵀ·x = b.
// Pivot patterns vary with the seed of each small shape, which run the
// loops only; the large one runs the BLAS path for the leaf in single
// precision and for the root in both.
TYPED_TEST(Substitution, SweepsSolveTheFactoredSystem) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  struct TwoShape {
    std::int32_t w1, w2, rows;
  };
  for (const TwoShape& shape : {TwoShape{5, 4, 2}, TwoShape{6, 9, 3}, TwoShape{9, 7, 4}, TwoShape{13, 9, 5},
                                TwoShape{870, 600, 200}}) {
    const std::uint64_t seed = 104729u + shape.w1;
    SCOPED_TRACE("seed " + std::to_string(seed) + " widths " + std::to_string(shape.w1) + "+" +
                 std::to_string(shape.w2));
    std::mt19937_64 rng(seed);
    TwoSupernodes<S> f = random_two_supernodes<S>(shape.w1, shape.w2, shape.rows, rng);
    const std::int32_t n = f.n;
    const std::vector<T> b = random_vector<T>(n, rng);
    std::vector<S> work(
        std::max(supernode_solve_work_size<S>(shape.w1, shape.rows), supernode_solve_work_size<S>(shape.w2, 0)));
    const double tolerance = 50 * std::sqrt(double(n)) * sweep_epsilon<S>(forward_sweep_path<S>(shape.w2, 0));
    std::vector<T> x = b;
    if constexpr (K::symmetry != Symmetry::unsymmetric) {
      std::vector<std::int32_t> order;
      append_pivots(order, shape.w1, rng);
      append_pivots(order, shape.w2, rng);
      std::vector<S> couplings = make_pivots<K>(f.leaf, order, rng);
      const std::vector<S> root_couplings = make_pivots<K>(f.root, order, rng);
      couplings.insert(couplings.end(), root_couplings.begin(), root_couplings.end());
      const std::vector<T> l = f.dense(Diagonal::unit);
      f.template sweeps<K>(false, Diagonal::unit, x, work);
      const std::int32_t leaf_used = supernode_diagonal_solve<K>(f.leaf.view(), order.data(), couplings.data(), x.data());
      const std::int32_t root_used =
          supernode_diagonal_solve<K>(f.root.view(), order.data(), couplings.data() + leaf_used, x.data());
      EXPECT_EQ(leaf_used + root_used, static_cast<std::int32_t>(couplings.size()));
      f.template sweeps<K>(true, Diagonal::unit, x, work);
      const std::vector<T> ax =
          lower_times<K>(l, n, pivots_times<K>({&f.leaf, &f.root}, order, couplings, lower_times<K>(l, n, x, true)));
      EXPECT_LE(max_abs_difference(b, ax) / max_abs(b), tolerance);
    } else {
      TwoSupernodes<S> upper = f;
      upper.new_entries(rng);
      const std::vector<T> l = f.dense(Diagonal::unit), ut = upper.dense(Diagonal::non_unit);
      f.template sweeps<K>(false, Diagonal::unit, x, work);
      upper.template sweeps<K>(true, Diagonal::non_unit, x, work);
      EXPECT_LE(max_abs_difference(b, lower_times<K>(l, n, lower_times<K>(ut, n, x, true))) / max_abs(b), tolerance)
          << "L·U·x = b";
      x = b;
      upper.template sweeps<K>(false, Diagonal::non_unit, x, work);
      f.template sweeps<K>(true, Diagonal::unit, x, work);
      EXPECT_LE(max_abs_difference(b, lower_times<K>(ut, n, lower_times<K>(l, n, x, true))) / max_abs(b), tolerance)
          << "(L·U)ᵀ·x = b";
    }
  }
}

template <class T>
class VectorKernels : public ::testing::Test {};
using VectorScalars = ::testing::Types<double, cdouble>;
TYPED_TEST_SUITE(VectorKernels, VectorScalars);

TYPED_TEST(VectorKernels, AgreeWithPlainLoops) {
  using T = TypeParam;
  const std::uint64_t seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::int32_t n = 37;
  const std::vector<T> x = random_vector<T>(n, rng), y0 = random_vector<T>(n, rng);
  const T alpha = random_value<T>(rng);
  T dotu{}, dotc{};
  double squares = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    dotu += x[i] * y0[i];
    if constexpr (std::is_same_v<T, double>) dotc += x[i] * y0[i];
    else dotc += std::conj(x[i]) * y0[i];
    squares += std::norm(x[i]);
  }
  EXPECT_LE(std::abs(vec::dotu(n, x.data(), y0.data()) - dotu), 1e-13);
  EXPECT_LE(std::abs(vec::dotc(n, x.data(), y0.data()) - dotc), 1e-13);
  EXPECT_NEAR(vec::norm2(n, x.data()), std::sqrt(squares), 1e-13);
  std::vector<T> y = y0, scaled = x;
  vec::axpy(n, alpha, x.data(), y.data());
  vec::scale(n, -2.5, scaled.data());
  for (std::int32_t i = 0; i < n; ++i) {
    EXPECT_LE(std::abs(y[i] - (y0[i] + alpha * x[i])), 1e-14);
    EXPECT_EQ(scaled[i], T(-2.5) * x[i]);
  }
}

}  // namespace
