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
using SymmetricCases = ::testing::Types<Case<RealSymmetric, float>, Case<RealSymmetric, double>,
                                        Case<ComplexSymmetric, cfloat>, Case<ComplexSymmetric, cdouble>,
                                        Case<ComplexHermitian, cfloat>, Case<ComplexHermitian, cdouble>>;
using UnsymmetricCases = ::testing::Types<Case<RealUnsymmetric, float>, Case<RealUnsymmetric, double>,
                                          Case<ComplexUnsymmetric, cfloat>, Case<ComplexUnsymmetric, cdouble>>;

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

// A value of magnitude at least 0.5, as on the diagonal of a usable factor.
template <class S>
S pivot_value(std::mt19937_64& rng) {
  const Wide<S> v = random_value<Wide<S>>(rng);
  return static_cast<S>(v + (std::real(v) >= 0 ? 1.5 : -1.5));
}

// One supernode's stored block in the layout the kernels read: the packed
// triangle (random pivots on its diagonal) and the off-diagonal block. The
// entries below the diagonal shrink with the width so that the factor stays
// well conditioned, as one from a stable factorization is.
template <class S>
std::vector<S> random_block_entries(std::int32_t w, std::int32_t r, std::mt19937_64& rng) {
  const double below = 0.5 / std::sqrt(static_cast<double>(std::max(w, 1)));
  std::vector<S> entries;
  entries.reserve(packed_start(w, w) + static_cast<std::size_t>(w) * r);
  for (std::int32_t j = 0; j < w; ++j) {
    entries.push_back(pivot_value<S>(rng));
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

// The dense matrix [T 0; B I] of order w + r that one supernode's sweeps
// solve with, T its triangle and B its off-diagonal block.
template <class S>
std::vector<Wide<S>> dense_block_column(const PlacedSupernode<S>& s, Diagonal diagonal) {
  const std::int32_t r = static_cast<std::int32_t>(s.rows.size()), m = s.width + r;
  std::vector<std::int32_t> local_rows(static_cast<std::size_t>(r));
  std::iota(local_rows.begin(), local_rows.end(), s.width);
  std::vector<Wide<S>> dense(static_cast<std::size_t>(m) * m);
  place_block(SupernodeBlock<S>{s.entries.data(), 0, s.width, r, local_rows.data()}, diagonal, dense, m);
  for (std::int32_t i = s.width; i < m; ++i) dense[static_cast<std::size_t>(i) * m + i] = 1.0;
  return dense;
}

// Reference for one sweep: the library's triangular solve in working
// precision with the dense block column, on the gathered entries of x.
template <class K, class S>
std::vector<typename K::scalar> dense_sweep(const PlacedSupernode<S>& s, const std::vector<typename K::scalar>& dense,
                                            bool backward, const std::vector<typename K::scalar>& x) {
  using T = typename K::scalar;
  const std::int32_t m = s.width + static_cast<std::int32_t>(s.rows.size());
  std::vector<std::int32_t> positions(static_cast<std::size_t>(s.width));
  std::iota(positions.begin(), positions.end(), s.first);
  positions.insert(positions.end(), s.rows.begin(), s.rows.end());
  std::vector<T> b(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) b[i] = x[positions[i]];
  const char trans = !backward ? 'N' : (K::symmetry == Symmetry::hermitian ? 'C' : 'T');
  blas::trsm('L', 'L', trans, 'N', m, 1, T(1), dense.data(), m, b.data(), m);
  std::vector<T> expected = x;
  for (std::size_t i = 0; i < positions.size(); ++i) expected[positions[i]] = b[i];
  return expected;
}

template <class K, class S>
void run_sweep(const PlacedSupernode<S>& s, Diagonal diagonal, bool backward, std::vector<typename K::scalar>& x,
               SweepPath path) {
  const std::int32_t r = static_cast<std::int32_t>(s.rows.size());
  std::vector<S> work(supernode_solve_work_size<S>(s.width, r));
  if (backward) supernode_backward<K>(s.view(), diagonal, x.data(), work.data(), path);
  else supernode_forward<K>(s.view(), diagonal, x.data(), work.data(), path);
}

template <class K, class S>
void run_sweep_by_width(const PlacedSupernode<S>& s, Diagonal diagonal, bool backward,
                        std::vector<typename K::scalar>& x) {
  const std::int32_t r = static_cast<std::int32_t>(s.rows.size());
  std::vector<S> work(supernode_solve_work_size<S>(s.width, r));
  if (backward) supernode_backward<K>(s.view(), diagonal, x.data(), work.data());
  else supernode_forward<K>(s.view(), diagonal, x.data(), work.data());
}

// Number of entries of x that differ although they are neither among the
// supernode's columns nor its rows.
template <class S, class T>
int changed_outside(const PlacedSupernode<S>& s, const std::vector<T>& got, const std::vector<T>& x) {
  std::vector<bool> inside(x.size(), false);
  for (std::int32_t j = 0; j < s.width; ++j) inside[s.first + j] = true;
  for (std::int32_t i : s.rows) inside[i] = true;
  int changed = 0;
  for (std::size_t i = 0; i < x.size(); ++i) changed += !inside[i] && got[i] != x[i];
  return changed;
}

struct Shape {
  std::int32_t width, rows;
};

// Widths on both sides of every threshold of the factor's precision, with and
// without off-diagonal rows.
template <class S>
std::vector<Shape> sweep_shapes() {
  if constexpr (is_single_precision_v<S>)
    return {{1, 0}, {1, 1}, {9, 13}, {143, 0}, {144, 0}, {575, 0}, {576, 0}, {863, 21}, {864, 21}};
  else
    return {{1, 0}, {1, 1}, {9, 13}, {143, 0}, {144, 0}, {1151, 17}, {1152, 17}};
}

// Checks one sweep on both paths against the dense reference, and that the
// call without a path takes the path of the width thresholds.
template <class K, class S>
void check_sweep(const PlacedSupernode<S>& s, const std::vector<typename K::scalar>& dense, Diagonal diagonal,
                 bool backward, const std::vector<typename K::scalar>& x) {
  using T = typename K::scalar;
  SCOPED_TRACE(backward ? "backward" : "forward");
  const std::int32_t r = static_cast<std::int32_t>(s.rows.size());
  const std::vector<T> expected = dense_sweep<K>(s, dense, backward, x);
  const double tolerance = 20 * std::sqrt(double(s.width + r)) * max_abs(expected);
  for (SweepPath path : {SweepPath::loops, SweepPath::blas}) {
    std::vector<T> got = x;
    run_sweep<K>(s, diagonal, backward, got, path);
    EXPECT_LE(max_abs_difference(got, expected), tolerance * sweep_epsilon<S>(path))
        << (path == SweepPath::blas ? "BLAS path" : "loop path");
    EXPECT_EQ(changed_outside(s, got, x), 0) << "entries outside the supernode's columns and rows";
  }
  const SweepPath chosen = backward ? backward_sweep_path<S>(s.width, r) : forward_sweep_path<S>(s.width, r);
  std::vector<T> on_chosen_path = x, by_width = x;
  run_sweep<K>(s, diagonal, backward, on_chosen_path, chosen);
  run_sweep_by_width<K>(s, diagonal, backward, by_width);
  EXPECT_EQ(max_abs_difference(on_chosen_path, by_width), 0.0);
}

template <class C>
class SupernodeSweeps : public ::testing::Test {};
TYPED_TEST_SUITE(SupernodeSweeps, AllCases);

// Forward against [T 0; B I]⁻¹ and backward against [T 0; B I]⁻ᵀ (⁻ᴴ for the
// Hermitian kind), with the unit diagonal of L, and for the unsymmetric kinds
// also with the stored diagonal of U.
TYPED_TEST(SupernodeSweeps, BothSweepsAgreeWithDenseTriangularSolves) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  std::vector<Diagonal> diagonals = {Diagonal::unit};
  if (K::symmetry == Symmetry::unsymmetric) diagonals.push_back(Diagonal::non_unit);
  for (const Shape& shape : sweep_shapes<S>())
    for (Diagonal diagonal : diagonals) {
      const std::uint64_t seed = 7919u * shape.width + 31u * shape.rows + (diagonal == Diagonal::unit ? 1 : 2);
      SCOPED_TRACE("seed " + std::to_string(seed) + " width " + std::to_string(shape.width) + " rows " +
                   std::to_string(shape.rows) + (diagonal == Diagonal::unit ? " unit" : " non-unit"));
      std::mt19937_64 rng(seed);
      const PlacedSupernode<S> s = random_placed_supernode<S>(shape.width, shape.rows, rng);
      const std::vector<T> x = random_vector<T>(s.length, rng);
      const std::vector<T> dense = dense_block_column(s, diagonal);
      check_sweep<K>(s, dense, diagonal, false, x);
      check_sweep<K>(s, dense, diagonal, true, x);
    }
}

TEST(SupernodeSweepPaths, WidthThresholdsPerFactorPrecision) {
  // Single-precision factor: 864 with rows, root 144 forward and 576 backward.
  EXPECT_EQ(forward_sweep_path<float>(863, 5), SweepPath::loops);
  EXPECT_EQ(forward_sweep_path<cfloat>(864, 5), SweepPath::blas);
  EXPECT_EQ(backward_sweep_path<float>(863, 5), SweepPath::loops);
  EXPECT_EQ(backward_sweep_path<cfloat>(864, 5), SweepPath::blas);
  EXPECT_EQ(forward_sweep_path<float>(143, 0), SweepPath::loops);
  EXPECT_EQ(forward_sweep_path<float>(144, 0), SweepPath::blas);
  EXPECT_EQ(backward_sweep_path<cfloat>(575, 0), SweepPath::loops);
  EXPECT_EQ(backward_sweep_path<cfloat>(576, 0), SweepPath::blas);
  // Double-precision factor: 1152 with rows, root 144 both ways.
  EXPECT_EQ(forward_sweep_path<double>(1151, 1), SweepPath::loops);
  EXPECT_EQ(forward_sweep_path<cdouble>(1152, 1), SweepPath::blas);
  EXPECT_EQ(backward_sweep_path<double>(1151, 1), SweepPath::loops);
  EXPECT_EQ(backward_sweep_path<cdouble>(1152, 1), SweepPath::blas);
  EXPECT_EQ(forward_sweep_path<cdouble>(143, 0), SweepPath::loops);
  EXPECT_EQ(backward_sweep_path<double>(144, 0), SweepPath::blas);
}

// Dense solve of one 2×2 pivot block [d1 u; e d2] by Cramer's rule.
template <class T>
void cramer(T d1, T u, T e, T d2, T& x1, T& x2) {
  const T det = d1 * d2 - u * e;
  const T y1 = (d2 * x1 - u * x2) / det;
  const T y2 = (d1 * x2 - e * x1) / det;
  x1 = y1;
  x2 = y2;
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
std::vector<S> make_pivots(std::vector<S>& entries, std::int32_t first, std::int32_t w,
                           const std::vector<std::int32_t>& order, std::mt19937_64& rng) {
  std::vector<S> couplings;
  for (std::int32_t j = 0; j < w; ++j) {
    if (order[first + j] >= 0) continue;
    for (std::int32_t c : {j, j + 1}) entries[packed_start(w, c)] = stored_value<S>(rng, 0.3);
    couplings.push_back(static_cast<S>(random_value<Wide<S>>(rng) + 1.5));
    entries[packed_start(w, j) + 1] = S(0);
    ++j;
  }
  if constexpr (K::symmetry == Symmetry::hermitian)
    for (std::int32_t j = 0; j < w; ++j) entries[packed_start(w, j)] += S(0, 0.5f);
  return couplings;
}

template <class K, class S>
typename K::scalar diagonal_entry(const S& stored) {
  if constexpr (K::symmetry == Symmetry::hermitian) return std::real(widen(stored));
  else return widen(stored);
}

template <class C>
class DiagonalSolve : public ::testing::Test {};
TYPED_TEST_SUITE(DiagonalSolve, SymmetricCases);

TYPED_TEST(DiagonalSolve, PivotsAgreeWithDenseSolvesOfEachBlock) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    PlacedSupernode<S> s = random_placed_supernode<S>(9, 3, rng);
    std::vector<std::int32_t> order(static_cast<std::size_t>(s.first));
    std::iota(order.begin(), order.end(), 0);
    append_pivots(order, s.width, rng);
    const std::vector<S> couplings = make_pivots<K>(s.entries, s.first, s.width, order, rng);
    const std::vector<T> x = random_vector<T>(s.length, rng);
    std::vector<T> expected = x, got = x;
    for (std::int32_t j = 0, used = 0; j < s.width; ++j) {
      const std::int32_t c = s.first + j;
      const T d1 = diagonal_entry<K>(s.entries[packed_start(s.width, j)]);
      if (order[c] >= 0) {
        expected[c] /= d1;
        continue;
      }
      const T e = widen(couplings[used++]);
      const T d2 = diagonal_entry<K>(s.entries[packed_start(s.width, j + 1)]);
      cramer(d1, K::mirror(e), e, d2, expected[c], expected[c + 1]);
      ++j;
    }
    const std::int32_t used = supernode_diagonal_solve<K>(s.view(), order.data(), couplings.data(), got.data());
    EXPECT_EQ(used, static_cast<std::int32_t>(couplings.size()));
    EXPECT_LE(max_abs_difference(got, expected), 1e-13 * max_abs(expected));
    for (std::size_t i = 0; i < x.size(); ++i) {
      const bool inside = i >= static_cast<std::size_t>(s.first) && i < static_cast<std::size_t>(s.first + s.width);
      EXPECT_TRUE(inside || got[i] == x[i]) << "entry " << i << " outside the supernode changed";
    }
  }
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
};

template <class S>
TwoSupernodes<S> random_two_supernodes(std::int32_t w1, std::int32_t w2, std::int32_t r, std::mt19937_64& rng) {
  TwoSupernodes<S> f;
  f.n = w1 + w2;
  f.leaf.width = w1;
  f.leaf.length = f.n;
  f.leaf.rows = random_rows(r, w1, f.n, rng);
  f.leaf.entries = random_block_entries<S>(w1, r, rng);
  f.root.first = w1;
  f.root.width = w2;
  f.root.length = f.n;
  f.root.entries = random_block_entries<S>(w2, 0, rng);
  return f;
}

template <class T>
std::vector<T> lower_times(const std::vector<T>& a, std::int32_t n, const std::vector<T>& v) {
  std::vector<T> y(static_cast<std::size_t>(n));
  for (std::int32_t j = 0; j < n; ++j)
    for (std::int32_t i = j; i < n; ++i) y[i] += a[static_cast<std::size_t>(j) * n + i] * v[j];
  return y;
}

// aᵀ·v, or aᴴ·v for the Hermitian kind.
template <class K>
std::vector<typename K::scalar> lower_transposed_times(const std::vector<typename K::scalar>& a, std::int32_t n,
                                                       const std::vector<typename K::scalar>& v) {
  std::vector<typename K::scalar> y(static_cast<std::size_t>(n));
  for (std::int32_t j = 0; j < n; ++j)
    for (std::int32_t i = j; i < n; ++i) y[j] += K::mirror(a[static_cast<std::size_t>(j) * n + i]) * v[i];
  return y;
}

// D·v over the pivots of both supernodes.
template <class K, class S>
std::vector<typename K::scalar> pivots_times(const TwoSupernodes<S>& f, const std::vector<std::int32_t>& order,
                                             const std::vector<S>& couplings, std::vector<typename K::scalar> v) {
  using T = typename K::scalar;
  std::size_t used = 0;
  for (const PlacedSupernode<S>* s : {&f.leaf, &f.root})
    for (std::int32_t j = 0; j < s->width; ++j) {
      const std::int32_t c = s->first + j;
      const T d1 = diagonal_entry<K>(s->entries[packed_start(s->width, j)]);
      if (order[c] >= 0) {
        v[c] *= d1;
        continue;
      }
      const T d2 = diagonal_entry<K>(s->entries[packed_start(s->width, j + 1)]);
      const T e = widen(couplings[used++]);
      const T v1 = v[c], v2 = v[c + 1];
      v[c] = d1 * v1 + K::mirror(e) * v2;
      v[c + 1] = e * v1 + d2 * v2;
      ++j;
    }
  return v;
}

struct TwoShape {
  std::int32_t w1, w2, rows;
};

// Small ones run the loops only; the large one the BLAS path for the leaf in
// single precision and for the root in both.
const std::vector<TwoShape> kTwoShapes = {{5, 4, 2}, {13, 9, 5}, {870, 600, 200}};

template <class S>
double two_supernode_epsilon(const TwoShape& shape) {
  const bool blas_single = forward_sweep_path<S>(shape.w1, shape.rows) == SweepPath::blas ||
                           backward_sweep_path<S>(shape.w2, 0) == SweepPath::blas;
  return sweep_epsilon<S>(blas_single ? SweepPath::blas : SweepPath::loops);
}

template <class S>
std::size_t two_supernode_work_size(const TwoShape& shape) {
  return std::max(supernode_solve_work_size<S>(shape.w1, shape.rows), supernode_solve_work_size<S>(shape.w2, 0));
}

template <class T>
double relative_residual(const std::vector<T>& b, const std::vector<T>& reconstructed) {
  return max_abs_difference(b, reconstructed) / max_abs(b);
}

template <class C>
class SymmetricSubstitution : public ::testing::Test {};
TYPED_TEST_SUITE(SymmetricSubstitution, SymmetricCases);

// Forward sweeps, pivots and backward sweeps in the order the substitution
// runs them solve L·D·Lᵀ·x = b (L·D·Lᴴ for the Hermitian kind).
TYPED_TEST(SymmetricSubstitution, SweepsAndPivotsSolveTheFactoredSystem) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  for (const TwoShape& shape : kTwoShapes) {
    const std::uint64_t seed = 104729u + shape.w1;
    SCOPED_TRACE("seed " + std::to_string(seed) + " widths " + std::to_string(shape.w1) + "+" +
                 std::to_string(shape.w2));
    std::mt19937_64 rng(seed);
    TwoSupernodes<S> f = random_two_supernodes<S>(shape.w1, shape.w2, shape.rows, rng);
    std::vector<std::int32_t> pivots;
    append_pivots(pivots, shape.w1, rng);
    append_pivots(pivots, shape.w2, rng);
    std::vector<S> couplings = make_pivots<K>(f.leaf.entries, 0, shape.w1, pivots, rng);
    const std::vector<S> root_couplings = make_pivots<K>(f.root.entries, shape.w1, shape.w2, pivots, rng);
    couplings.insert(couplings.end(), root_couplings.begin(), root_couplings.end());
    const std::vector<T> b = random_vector<T>(f.n, rng);

    std::vector<T> x = b;
    std::vector<S> work(two_supernode_work_size<S>(shape));
    supernode_forward<K>(f.leaf.view(), Diagonal::unit, x.data(), work.data());
    supernode_forward<K>(f.root.view(), Diagonal::unit, x.data(), work.data());
    const std::int32_t leaf_used = supernode_diagonal_solve<K>(f.leaf.view(), pivots.data(), couplings.data(), x.data());
    const std::int32_t root_used =
        supernode_diagonal_solve<K>(f.root.view(), pivots.data(), couplings.data() + leaf_used, x.data());
    EXPECT_EQ(leaf_used + root_used, static_cast<std::int32_t>(couplings.size()));
    supernode_backward<K>(f.root.view(), Diagonal::unit, x.data(), work.data());
    supernode_backward<K>(f.leaf.view(), Diagonal::unit, x.data(), work.data());

    const std::vector<T> l = f.dense(Diagonal::unit);
    const std::vector<T> ax = lower_times(l, f.n, pivots_times<K>(f, pivots, couplings, lower_transposed_times<K>(l, f.n, x)));
    EXPECT_LE(relative_residual(b, ax), 50 * std::sqrt(double(f.n)) * two_supernode_epsilon<S>(shape));
  }
}

template <class C>
class UnsymmetricSubstitution : public ::testing::Test {};
TYPED_TEST_SUITE(UnsymmetricSubstitution, UnsymmetricCases);

// With L (unit) and U stored as its transpose (non-unit): forward with L and
// backward with U solve L·U·x = b; forward with Uᵀ and backward with Lᵀ, as
// for the transpose flag, solve (L·U)ᵀ·x = b.
TYPED_TEST(UnsymmetricSubstitution, BothOrdersSolveTheSystemAndItsTranspose) {
  using K = typename TypeParam::kind;
  using S = typename TypeParam::stored;
  using T = typename TypeParam::scalar;
  for (const TwoShape& shape : kTwoShapes) {
    const std::uint64_t seed = 1299709u + shape.w1;
    SCOPED_TRACE("seed " + std::to_string(seed) + " widths " + std::to_string(shape.w1) + "+" +
                 std::to_string(shape.w2));
    std::mt19937_64 rng(seed);
    const TwoSupernodes<S> lower = random_two_supernodes<S>(shape.w1, shape.w2, shape.rows, rng);
    TwoSupernodes<S> upper = lower;
    upper.leaf.entries = random_block_entries<S>(shape.w1, shape.rows, rng);
    upper.root.entries = random_block_entries<S>(shape.w2, 0, rng);
    const std::vector<T> b = random_vector<T>(lower.n, rng);
    const std::vector<T> l = lower.dense(Diagonal::unit), ut = upper.dense(Diagonal::non_unit);
    std::vector<S> work(two_supernode_work_size<S>(shape));
    const double tolerance = 50 * std::sqrt(double(lower.n)) * two_supernode_epsilon<S>(shape);

    std::vector<T> x = b;
    supernode_forward<K>(lower.leaf.view(), Diagonal::unit, x.data(), work.data());
    supernode_forward<K>(lower.root.view(), Diagonal::unit, x.data(), work.data());
    supernode_backward<K>(upper.root.view(), Diagonal::non_unit, x.data(), work.data());
    supernode_backward<K>(upper.leaf.view(), Diagonal::non_unit, x.data(), work.data());
    EXPECT_LE(relative_residual(b, lower_times(l, lower.n, lower_transposed_times<K>(ut, lower.n, x))), tolerance)
        << "L·U·x = b";

    x = b;
    supernode_forward<K>(upper.leaf.view(), Diagonal::non_unit, x.data(), work.data());
    supernode_forward<K>(upper.root.view(), Diagonal::non_unit, x.data(), work.data());
    supernode_backward<K>(lower.root.view(), Diagonal::unit, x.data(), work.data());
    supernode_backward<K>(lower.leaf.view(), Diagonal::unit, x.data(), work.data());
    EXPECT_LE(relative_residual(b, lower_times(ut, lower.n, lower_transposed_times<K>(l, lower.n, x))), tolerance)
        << "(L·U)ᵀ·x = b";
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
