// The pivoting front factorization and its split kernels, for the five
// kinds, checked against oracles that share no code with them: the front is
// rebuilt from the factors read off the output and compared with the
// permuted input, and the update matrix is compared with the Schur
// complement A22 − A21·A11⁻¹·A12 formed from the input with the inverse of
// A11 from the library's LU.
#include "kernels/front_pivot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "dense_fixtures.h"
#include "platform/blas.h"

namespace {

using kernel_tests::KernelKinds;
using kernel_tests::random_front;

template <class K>
constexpr bool is_unsymmetric = K::symmetry == Symmetry::unsymmetric;

const double eps = std::numeric_limits<double>::epsilon();

// The fronts here are small; library threads would only wait on each other.
const bool one_library_thread = (blas::set_threads(1), true);

// Column-major dense matrix of the oracles.
template <class T>
struct Matrix {
  int rows = 0;
  int cols = 0;
  std::vector<T> values;
  Matrix(int r, int c) : rows(r), cols(c), values(static_cast<std::size_t>(r) * c) {}
  T& operator()(int i, int j) { return values[i + static_cast<std::size_t>(j) * rows]; }
  const T& operator()(int i, int j) const { return values[i + static_cast<std::size_t>(j) * rows]; }
};

template <class T>
double norm(const Matrix<T>& a) {
  return kernel_tests::frobenius(a.values);
}

template <class T>
Matrix<T> block(const Matrix<T>& a, int row, int col, int rows, int cols) {
  Matrix<T> b(rows, cols);
  for (int j = 0; j < cols; ++j)
    for (int i = 0; i < rows; ++i) b(i, j) = a(row + i, col + j);
  return b;
}

template <class T>
Matrix<T> product(const Matrix<T>& a, const Matrix<T>& b) {
  Matrix<T> c(a.rows, b.cols);
  for (int j = 0; j < b.cols; ++j)
    for (int k = 0; k < a.cols; ++k) {
      const T bkj = b(k, j);
      for (int i = 0; i < a.rows; ++i) c(i, j) += a(i, k) * bkj;
    }
  return c;
}

template <class T>
Matrix<T> difference(const Matrix<T>& a, const Matrix<T>& b) {
  Matrix<T> c = a;
  for (std::size_t k = 0; k < c.values.size(); ++k) c.values[k] -= b.values[k];
  return c;
}

// The mirrored transpose: conjugate transpose for the Hermitian kind.
template <class K, class T>
Matrix<T> mirrored_transpose(const Matrix<T>& a) {
  Matrix<T> t(a.cols, a.rows);
  for (int j = 0; j < a.cols; ++j)
    for (int i = 0; i < a.rows; ++i) t(j, i) = K::mirror(a(i, j));
  return t;
}

// The inverse from the library's LU factorization and solve.
template <class T>
Matrix<T> inverse(Matrix<T> a) {
  const int n = a.rows;
  Matrix<T> x(n, n);
  for (int i = 0; i < n; ++i) x(i, i) = T(1);
  std::vector<int> ipiv(n);
  int info = 0;
  blas::getrf(n, n, a.values.data(), n, ipiv.data(), &info);
  blas::getrs('N', n, n, a.values.data(), n, ipiv.data(), x.values.data(), n, &info);
  return x;
}

template <class K>
using FrontMatrix = Matrix<typename K::scalar>;

template <class K>
FrontMatrix<K> random_front_matrix(int F, std::uint64_t seed) {
  FrontMatrix<K> a(F, F);
  a.values = random_front<K>(F, seed);
  return a;
}

// The front as the kernels get it: the symmetric kinds' strict upper
// triangle is NaN, so any read of it would spoil the result.
template <class K>
FrontMatrix<K> kernel_input(const FrontMatrix<K>& full) {
  FrontMatrix<K> a = full;
  if constexpr (!is_unsymmetric<K>)
    for (int j = 1; j < a.cols; ++j)
      for (int i = 0; i < j; ++i) a(i, j) = std::numeric_limits<double>::quiet_NaN();
  return a;
}

template <class K>
struct Outcome {
  FrontMatrix<K> front;
  std::vector<int> ipiv;
  int info = 0;
  int mode = 0;
};

template <class K>
Outcome<K> factor_whole(const FrontMatrix<K>& full, int npiv, int mode, double f = 1.0) {
  Outcome<K> out{kernel_input<K>(full), std::vector<int>(npiv), 0, mode};
  std::vector<typename K::scalar> work(std::max(1, front_pivot_work_size<K>(npiv)));
  FactorFrontPivot<K>(npiv, full.rows, out.front.values.data(), out.ipiv.data(), work.data(),
                      static_cast<int>(work.size()), out.info, out.mode, f);
  return out;
}

// Runs independent jobs: on `threads` threads that take them in turn, each
// with a one-thread library, or, with threads = 0, one after the other in
// reverse order.
void run_jobs(const std::vector<std::function<void()>>& jobs, int threads) {
  if (threads == 0) {
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) (*job)();
    return;
  }
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      blas::set_threads(1);
      for (std::size_t j = next++; j < jobs.size(); j = next++) jobs[j]();
    });
  for (auto& thread : pool) thread.join();
}

// The split kernels over the whole front the way the parallel scheduler
// cuts it: panels of `panel` pivot columns, row and column tiles and update
// tiles of `tile` rows and columns, the tiles of one step as independent jobs.
template <class K>
Outcome<K> factor_split(const FrontMatrix<K>& full, int npiv, int panel, int tile, int mode,
                        int threads = 0, double f = 1.0) {
  using T = typename K::scalar;
  const int F = full.rows;
  Outcome<K> out{kernel_input<K>(full), std::vector<int>(npiv), 0, 0};
  T* a = out.front.values.data();
  int* ipiv = out.ipiv.data();
  for (int first = 0; first < npiv; first += panel) {
    const int width = std::min(panel, npiv - first);
    const int end = first + width;
    std::vector<T> work(std::max(1, front_pivot_work_size<K>(width)));
    int panel_mode = mode;
    factor_pivot_panel<K>(first, width, F, a, ipiv, work.data(), static_cast<int>(work.size()), out.info,
                          panel_mode, f);
    out.mode += panel_mode;
    if (out.info != 0) return out;
    std::vector<std::function<void()>> solves;
    for (int r = end; r < F; r += tile)
      solves.push_back([=] { solve_pivot_rows<K>(first, width, F, a, ipiv, r, std::min(tile, F - r)); });
    if constexpr (is_unsymmetric<K>)
      for (int c = end; c < F; c += tile)
        solves.push_back([=] { solve_pivot_columns<K>(first, width, F, a, ipiv, c, std::min(tile, F - c)); });
    run_jobs(solves, threads);
    std::vector<std::function<void()>> updates;
    for (int c = end; c < F; c += tile)
      for (int r = is_unsymmetric<K> ? end : c; r < F; r += tile)
        updates.push_back([=] {
          update_pivot_tile<K>(first, width, F, a, r, std::min(tile, F - r), c, std::min(tile, F - c));
        });
    run_jobs(updates, threads);
  }
  if constexpr (!is_unsymmetric<K>) move_couplings_below<K>(0, npiv, F, a, ipiv);
  return out;
}

// The order in which the factorization took the rows (and for the
// symmetric kinds the columns) of the front: the interchanges of the pivot
// record applied in turn to the identity.
template <class K>
std::vector<int> pivot_order(const std::vector<int>& ipiv, int F) {
  std::vector<int> order(F);
  for (int i = 0; i < F; ++i) order[i] = i;
  const int npiv = static_cast<int>(ipiv.size());
  for (int k = 0; k < npiv; ++k) {
    if (is_unsymmetric<K> || ipiv[k] > 0) {
      std::swap(order[k], order[ipiv[k] - 1]);
    } else {
      std::swap(order[k + 1], order[-ipiv[k] - 1]);
      ++k;
    }
  }
  return order;
}

template <class K>
FrontMatrix<K> permuted_input(const FrontMatrix<K>& full, const std::vector<int>& order) {
  FrontMatrix<K> p(full.rows, full.cols);
  for (int j = 0; j < full.cols; ++j)
    for (int i = 0; i < full.rows; ++i) p(i, j) = full(order[i], is_unsymmetric<K> ? j : order[j]);
  return p;
}

// The factors as the output front holds them: the unit lower factor of
// the pivot columns (F × npiv), the middle factor (D, or U11 beside U12 for
// the unsymmetric kinds: npiv × npiv or npiv × F) and the update matrix.
template <class K>
struct Factors {
  FrontMatrix<K> lower;
  FrontMatrix<K> middle;
  FrontMatrix<K> update;
};

template <class K>
Factors<K> read_factors(const Outcome<K>& out) {
  const FrontMatrix<K>& a = out.front;
  const int F = a.rows;
  const int npiv = static_cast<int>(out.ipiv.size());
  Factors<K> factors{FrontMatrix<K>(F, npiv), FrontMatrix<K>(npiv, is_unsymmetric<K> ? F : npiv),
                     FrontMatrix<K>(F - npiv, F - npiv)};
  std::vector<bool> pair_starts(npiv);  // ipiv is negative at both columns of a 2×2 pivot
  if constexpr (!is_unsymmetric<K>)
    for (int k = 0; k < npiv; k += out.ipiv[k] < 0 ? 2 : 1) pair_starts[k] = out.ipiv[k] < 0;
  for (int j = 0; j < npiv; ++j) {
    factors.lower(j, j) = 1.0;
    const bool pair = pair_starts[j];
    for (int i = j + 1; i < F; ++i) factors.lower(i, j) = pair && i == j + 1 ? 0.0 : a(i, j);
    if constexpr (is_unsymmetric<K>) {
      for (int c = j; c < F; ++c) factors.middle(j, c) = a(j, c);
    } else {
      factors.middle(j, j) = a(j, j);
      if (pair) {
        factors.middle(j + 1, j) = a(j + 1, j);
        factors.middle(j, j + 1) = K::mirror(a(j + 1, j));
      }
    }
  }
  for (int j = 0; j < F - npiv; ++j)
    for (int i = 0; i < F - npiv; ++i)
      factors.update(i, j) = is_unsymmetric<K> || i >= j ? a(npiv + i, npiv + j) : K::mirror(a(npiv + j, npiv + i));
  return factors;
}

enum class Growth { ignored, allowed };

// ‖P·A·Pᵀ − L·D·L^T − [0 0; 0 S]‖ (P·A − L·U − [0 0; 0 S] for LU) relative
// to ‖A‖, or, when growth is allowed, to ‖A‖ + ‖L‖·‖D‖·‖L‖ (‖A‖ + ‖L‖·‖U‖),
// the size of the rounding errors any factorization with these factors
// may carry.
template <class K>
double backward_error(const FrontMatrix<K>& full, const Outcome<K>& out, Growth growth) {
  const Factors<K> f = read_factors(out);
  const int npiv = static_cast<int>(out.ipiv.size());
  FrontMatrix<K> right = is_unsymmetric<K> ? f.middle : product(f.middle, mirrored_transpose<K>(f.lower));
  // The symmetric kinds' right factor right of the pivot block is read
  // where they store it, above the update matrix: (L21·D) mirrored.
  if constexpr (!is_unsymmetric<K>)
    for (int j = npiv; j < full.cols; ++j)
      for (int i = 0; i < npiv; ++i) right(i, j) = out.front(i, j);
  FrontMatrix<K> rebuilt = product(f.lower, right);
  for (int j = 0; j < f.update.cols; ++j)
    for (int i = 0; i < f.update.rows; ++i) rebuilt(npiv + i, npiv + j) += f.update(i, j);
  const double residual = norm(difference(permuted_input<K>(full, pivot_order<K>(out.ipiv, full.rows)), rebuilt));
  const double factors = is_unsymmetric<K> ? norm(f.lower) * norm(f.middle)
                                           : norm(f.lower) * norm(f.middle) * norm(f.lower);
  return residual / (norm(full) + (growth == Growth::allowed ? factors : 0.0));
}

// ‖S − (A22 − A21·A11⁻¹·A12)‖ over the first-order size of the rounding
// errors such a Schur complement may carry: ‖A22‖ + ‖A21‖‖X‖ + ‖Y‖‖A12‖ +
// ‖Y‖‖A11‖‖X‖ with X = A11⁻¹·A12 and Y = A21·A11⁻¹.
template <class K>
double schur_error(const FrontMatrix<K>& full, const Outcome<K>& out) {
  const int F = full.rows;
  const int npiv = static_cast<int>(out.ipiv.size());
  const FrontMatrix<K> a11 = block(full, 0, 0, npiv, npiv);
  const FrontMatrix<K> a12 = block(full, 0, npiv, npiv, F - npiv);
  const FrontMatrix<K> a21 = block(full, npiv, 0, F - npiv, npiv);
  const FrontMatrix<K> a22 = block(full, npiv, npiv, F - npiv, F - npiv);
  const FrontMatrix<K> a11_inverse = inverse(a11);
  const FrontMatrix<K> x = product(a11_inverse, a12);
  const FrontMatrix<K> y = product(a21, a11_inverse);
  const FrontMatrix<K> schur = difference(a22, product(a21, x));
  const double scale = norm(a22) + norm(a21) * norm(x) + norm(y) * norm(a12) + norm(y) * norm(a11) * norm(x);
  return norm(difference(read_factors(out).update, schur)) / scale;
}

// Largest entry difference of two outputs over the parts the layout
// defines, relative to the largest entry.
template <class K>
double layout_difference(const Outcome<K>& x, const Outcome<K>& y) {
  const int F = x.front.rows;
  const int npiv = static_cast<int>(x.ipiv.size());
  double diff = 0, scale = 0;
  for (int j = 0; j < F; ++j)
    for (int i = 0; i < F; ++i) {
      const bool defined = is_unsymmetric<K> || i >= j || (i < npiv && j >= npiv);
      if (!defined) continue;
      diff = std::max(diff, std::abs(x.front(i, j) - y.front(i, j)));
      scale = std::max(scale, std::abs(y.front(i, j)));
    }
  return diff / scale;
}

// A zero diagonal must make LU interchange most rows and the symmetric
// kinds take 2×2 pivots.
template <class K>
void expect_pivoting(const std::vector<int>& ipiv) {
  const int n = static_cast<int>(ipiv.size());
  int interchanges = 0, pair_columns = 0;
  for (int k = 0; k < n; ++k) {
    interchanges += ipiv[k] != k + 1;
    pair_columns += ipiv[k] < 0;
  }
  if (is_unsymmetric<K>) {
    EXPECT_GT(interchanges, n / 2);
  } else {
    EXPECT_GT(pair_columns / 2, n / 8);
  }
}

std::string trace(int npiv, int F, std::uint64_t seed) {
  return "npiv " + std::to_string(npiv) + " F " + std::to_string(F) + " seed " + std::to_string(seed);
}

struct Shape {
  int npiv;
  int F;
};

// Pivot blocks of one column, below and across the library's panel width,
// across 100 and 144 columns; update matrices across 144 columns and empty.
const Shape shapes[] = {{1, 1},   {1, 37},   {30, 30},  {40, 100}, {99, 99},
                        {101, 170}, {144, 200}, {150, 260}, {20, 330}};

template <class K>
void expect_valid_factorization(const FrontMatrix<K>& full, const Outcome<K>& out, double tolerance,
                                Growth growth = Growth::ignored) {
  const int F = full.rows;
  EXPECT_EQ(out.info, 0);
  EXPECT_LT(backward_error(full, out, growth), tolerance * F * eps);
  if (static_cast<int>(out.ipiv.size()) < F) {
    EXPECT_LT(schur_error(full, out), tolerance * F * eps);
  }
}

template <class K>
class FrontPivotTest : public ::testing::Test {};
TYPED_TEST_SUITE(FrontPivotTest, KernelKinds);

// Random fronts, and with a zero diagonal in the pivot block fronts that
// force interchanges and 2×2 pivots, with both pivot-block factorizations.
TYPED_TEST(FrontPivotTest, WholeFrontRebuildsTheInputWithBothFactorizations) {
  using K = TypeParam;
  std::uint64_t seed = 1000;
  for (const Shape& s : shapes)
    for (bool zero_diagonal : {false, true})
      for (int mode : {0, 1}) {
        if (zero_diagonal && s.npiv < 12) continue;  // a small zero block is singular
        ++seed;
        SCOPED_TRACE(trace(s.npiv, s.F, seed) + " mode " + std::to_string(mode) +
                     (zero_diagonal ? " zero diagonal" : ""));
        FrontMatrix<K> full = random_front_matrix<K>(s.F, seed);
        for (int k = 0; zero_diagonal && k < s.npiv; ++k) full(k, k) = 0.0;
        const Outcome<K> out = factor_whole<K>(full, s.npiv, mode);
        EXPECT_EQ(out.mode, 0);
        if (zero_diagonal) expect_pivoting<K>(out.ipiv);
        expect_valid_factorization(full, out, 2.0);
      }
}

TYPED_TEST(FrontPivotTest, OnePanelSplitEqualsTheWholeFront) {
  using K = TypeParam;
  std::uint64_t seed = 3000;
  for (const Shape& s : {Shape{30, 30}, Shape{40, 100}, Shape{101, 250}, Shape{150, 260}})
    for (int tile : {7, 64, 128}) {
      SCOPED_TRACE(trace(s.npiv, s.F, ++seed) + " tile " + std::to_string(tile));
      FrontMatrix<K> full = random_front_matrix<K>(s.F, seed);
      for (int k = 0; k < s.npiv; k += 3) full(k, k) = 0.0;
      const Outcome<K> whole = factor_whole<K>(full, s.npiv, 0);
      const Outcome<K> split = factor_split<K>(full, s.npiv, s.npiv, tile, 0);
      EXPECT_EQ(split.info, 0);
      EXPECT_EQ(split.mode, 0);
      EXPECT_EQ(split.ipiv, whole.ipiv);
      EXPECT_LT(layout_difference(split, whole), 10 * s.F * eps);
    }
}

TYPED_TEST(FrontPivotTest, PanelsOfTheSchedulerGiveAValidFactorization) {
  using K = TypeParam;
  std::uint64_t seed = 4000;
  for (const Shape& s : {Shape{40, 100}, Shape{150, 260}, Shape{200, 200}})
    for (int panel : {7, 64, 128, 300}) {
      SCOPED_TRACE(trace(s.npiv, s.F, ++seed) + " panel " + std::to_string(panel));
      // A zero diagonal and weak coupling between panels make every panel
      // interchange rows and (symmetric kinds) take 2×2 pivots.
      FrontMatrix<K> full = random_front_matrix<K>(s.F, seed);
      for (int j = 0; j < s.npiv; ++j)
        for (int i = 0; i < s.npiv; ++i) full(i, j) *= i == j ? 0.0 : i / panel == j / panel ? 1.0 : 1e-2;
      const Outcome<K> split = factor_split<K>(full, s.npiv, panel, panel, 1);
      EXPECT_EQ(split.mode, 0);
      expect_pivoting<K>(split.ipiv);
      if constexpr (!is_unsymmetric<K>) {
        EXPECT_TRUE(std::any_of(split.ipiv.begin() + (s.npiv - 1) / panel * panel, split.ipiv.end(),
                                [](int p) { return p < 0; }));
      }
      expect_valid_factorization(full, split, 2.0, Growth::allowed);
    }
}

TYPED_TEST(FrontPivotTest, ConcurrentTilesMatchOneAfterAnother) {
  using K = TypeParam;
  const std::uint64_t seed = 5001;
  SCOPED_TRACE("seed " + std::to_string(seed));
  const FrontMatrix<K> full = random_front_matrix<K>(230, seed);
  const Outcome<K> sequential = factor_split<K>(full, 90, 32, 24, 0, 0);
  const Outcome<K> concurrent = factor_split<K>(full, 90, 32, 24, 0, 4);
  EXPECT_EQ(concurrent.ipiv, sequential.ipiv);
  EXPECT_LT(layout_difference(concurrent, sequential), 10 * 230 * eps);
}

TYPED_TEST(FrontPivotTest, ZeroPivotBlockIsPerturbedToTau) {
  using K = TypeParam;
  const int npiv = 9, F = 20;
  const double f = 1e3;
  const double tau = f * blas::epsilon();
  FrontMatrix<K> full = random_front_matrix<K>(F, 6001);
  for (int j = 0; j < npiv; ++j)
    for (int i = 0; i < npiv; ++i) full(i, j) = 0.0;
  const Outcome<K> whole = factor_whole<K>(full, npiv, 1, f);
  const Outcome<K> one_panel = factor_split<K>(full, npiv, npiv, 5, 1, 0, f);
  const Outcome<K> panels = factor_split<K>(full, npiv, 4, 5, 1, 0, f);
  for (const Outcome<K>* out : {&whole, &one_panel, &panels}) {
    EXPECT_EQ(out->info, 0);
    EXPECT_EQ(out->mode, npiv);
    for (int k = 0; k < npiv; ++k) {
      EXPECT_EQ(out->ipiv[k], k + 1);
      EXPECT_EQ(out->front(k, k), typename K::scalar(tau));
      // With L11 = I and D = tau·I, L21 is A21 / tau.
      EXPECT_NEAR(std::abs(out->front(npiv, k) - full(npiv, k) / tau), 0.0, 1e-12 * std::abs(full(npiv, k) / tau));
    }
  }
}

TYPED_TEST(FrontPivotTest, LibraryFactorizationStopsAtASingularPivotBlock) {
  using K = TypeParam;
  const int npiv = 6, F = 15;
  FrontMatrix<K> full = random_front_matrix<K>(F, 7001);
  for (int j = 0; j < npiv; ++j)
    for (int i = 0; i < npiv; ++i) full(i, j) = 0.0;
  for (int mode : {0, 5}) {
    const Outcome<K> out = factor_whole<K>(full, npiv, mode);
    EXPECT_EQ(out.info, 1);
    EXPECT_EQ(out.mode, 0);
    const FrontMatrix<K> input = kernel_input<K>(full);
    for (int j = 0; j < F; ++j)
      for (int i = std::max(npiv, is_unsymmetric<K> ? 0 : j); i < F; ++i) EXPECT_EQ(out.front(i, j), input(i, j));
  }
  const Outcome<K> split = factor_split<K>(full, npiv, 4, 5, 0);
  EXPECT_EQ(split.info, 1);
}

// A mode other than 1 runs the library's factorization and is cleared; an
// empty pivot block leaves the front alone and clears the mode too.
TYPED_TEST(FrontPivotTest, ModeWordAndEmptyPivotBlock) {
  using K = TypeParam;
  const FrontMatrix<K> full = random_front_matrix<K>(50, 8001);
  const Outcome<K> library = factor_whole<K>(full, 30, 0);
  const Outcome<K> other = factor_whole<K>(full, 30, -3);
  EXPECT_EQ(other.mode, 0);
  EXPECT_EQ(other.ipiv, library.ipiv);
  EXPECT_EQ(layout_difference(other, library), 0.0);
  const Outcome<K> empty = factor_whole<K>(full, 0, 1);
  EXPECT_EQ(empty.info, 0);
  EXPECT_EQ(empty.mode, 0);
  EXPECT_EQ(layout_difference(empty, Outcome<K>{kernel_input<K>(full), {}, 0, 0}), 0.0);
}

TEST(FrontPivotDeathTest, IllegalArgumentsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<double> front(100), work(1);
  std::vector<int> ipiv(10);
  int info = 0, mode = 0;
  const double f = 1.0;
  EXPECT_EXIT(FactorFrontPivot<RealSymmetric>(10, 10, front.data(), ipiv.data(), work.data(), 1, info, mode, f),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(FactorFrontPivot<RealUnsymmetric>(10, 9, front.data(), ipiv.data(), work.data(), 1, info, mode, f),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(solve_pivot_rows<RealSymmetric>(0, 4, 10, front.data(), ipiv.data(), 3, 2),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(update_pivot_tile<ComplexUnsymmetric>(0, 4, 10, nullptr, 4, 2, 8, 3), ::testing::ExitedWithCode(1), "");
}

}  // namespace
