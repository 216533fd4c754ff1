// Krylov methods on small dense problems, independent of the factorization:
// the matrix is applied by gemv, the preconditioner is an exact LU solve with
// a perturbed matrix M = A + E, so that several iterations are needed. The
// residual of each returned solution is recomputed here by plain loops.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/blas.h"
#include "solve/krylov.h"
#include "tests/unit/kernels/dense_fixtures.h"

namespace {

using namespace kernel_tests;

constexpr int order = 80;
constexpr double tolerance = 1e-11;

// An LU factorization of a dense matrix, applied or transposed.
template <class T>
struct DenseLu {
  int n;
  std::vector<T> lu;
  std::vector<int> pivots;
  DenseLu(int order_, std::vector<T> a) : n(order_), lu(std::move(a)), pivots(order_) {
    int info = 0;
    blas::getrf(n, n, lu.data(), n, pivots.data(), &info);
    EXPECT_EQ(info, 0);
  }
  void solve(T* x, bool transpose) const {
    int info = 0;
    blas::getrs(transpose ? 'T' : 'N', n, 1, lu.data(), n, pivots.data(), x, n, &info);
  }
};

// A test problem: A, the preconditioner and b, with operators that count the
// preconditioner calls.
template <class K>
struct Problem {
  using T = typename K::scalar;
  int n = order;
  std::vector<T> a, b;
  DenseLu<T> m;
  int precondition_calls = 0;

  Problem(std::uint64_t seed, double perturbation = 0.3) : m(order, preconditioner_matrix(seed, perturbation)) {
    std::mt19937_64 rng(seed + 1);
    b = random_vector<T>(n, rng);
  }
  // A's diagonal shift, well above the random part's spectral radius, makes the
  // real symmetric and Hermitian matrices positive definite.
  std::vector<T> preconditioner_matrix(std::uint64_t seed, double perturbation) {
    std::mt19937_64 rng(seed);
    a = random_front<K>(n, rng, 2.5 * std::sqrt(double(n)));
    std::vector<T> e = random_front<K>(n, rng, 0.0, perturbation);
    for (std::size_t i = 0; i < a.size(); ++i) e[i] += a[i];
    return e;
  }

  KrylovOperators<T> operators() {
    KrylovOperators<T> ops;
    ops.precondition = [this](T* x, bool transpose) { ++precondition_calls, m.solve(x, transpose); };
    ops.multiply = [this](const T* x, T* y, bool transpose) {
      blas::gemv(transpose ? 'T' : 'N', n, n, T(1), a.data(), n, x, 1, T(0), y, 1);
    };
    return ops;
  }

  double bnorm() const { return blas::nrm2(n, b.data(), 1); }

  // ‖b − A·x‖₂/‖b‖₂ (Aᵀ with transpose), summed entry by entry.
  double relative_residual(const std::vector<T>& x, bool transpose = false) const {
    double sum = 0;
    for (int i = 0; i < n; ++i) {
      T r = b[i];
      for (int j = 0; j < n; ++j) r -= (transpose ? a[j + std::size_t(i) * n] : a[i + std::size_t(j) * n]) * x[j];
      sum += std::norm(r);
    }
    return std::sqrt(sum) / bnorm();
  }
};

template <class K>
struct MethodCase {
  const char* name;
  decltype(&ConjugateGradients<K>) method;
  bool pivoting;
  bool offcore_unshared = false;  // BiCGStab starts from x = b
};

// The methods of a kind: CG for the symmetric kinds, the BiCG family for the
// unsymmetric ones.
template <class K>
std::vector<MethodCase<K>> methods() {
  if constexpr (K::symmetry != Symmetry::unsymmetric)
    return {{"CG plain", &ConjugateGradients<K>, false}, {"CG pivoting", &ConjugateGradients<K>, true}};
  else
    return {{"BiCG plain", &BiConjugateGradients<K>, false},
            {"BiCG pivoting", &BiConjugateGradients<K>, true},
            {"BiCGStab", &BiCGStab<K>, true},
            {"BiCGStab offcore unshared", &BiCGStab<K>, true, true},
            {"BiCGStab(2)", &BiCGStab2<K>, true}};
}

KrylovSettings settings(std::int32_t max_iterations = 50) {
  return {.n = order, .tolerance = tolerance, .max_iterations = max_iterations};
}

// Runs a method from x = 7 (an iterate it must overwrite) with the case's
// modes, on a copy of b (CG and BiCG keep their residual in its place).
template <class K>
int run_case(const MethodCase<K>& c, Problem<K>& p, KrylovSettings s, std::vector<typename K::scalar>& x,
             const KrylovOperators<typename K::scalar>& ops) {
  std::vector<typename K::scalar> work(std::size_t(std::max(cg_work_vectors, bicg_work_vectors)) * p.n);
  x.assign(p.n, typename K::scalar(7));
  s.pivoting = c.pivoting;
  s.offcore_unshared = c.offcore_unshared;
  std::vector<typename K::scalar> b = p.b;
  return c.method(ops, s, b.data(), p.bnorm(), x.data(), work.data());
}

template <class K>
class KrylovTest : public ::testing::Test {};
TYPED_TEST_SUITE(KrylovTest, KernelKinds);

// Every method converges, for Aᵀ too where the kind has one; out of
// iterations, or with A·p = 0, it returns 16; a zero right-hand side gives
// x = 0.
TYPED_TEST(KrylovTest, EveryMethodConvergesOrFails) {
  using T = typename TypeParam::scalar;
  enum Case { converges, converges_transposed, iteration_limit, zero_product, zero_rhs };
  for (const auto& c : methods<TypeParam>())
    for (Case what : {converges, converges_transposed, iteration_limit, zero_product, zero_rhs}) {
      if (what == converges_transposed && TypeParam::symmetry != Symmetry::unsymmetric) continue;
      SCOPED_TRACE(testing::Message() << c.name << " case " << what);
      Problem<TypeParam> p(21);
      KrylovOperators<T> ops = p.operators();
      KrylovSettings s = settings(what == iteration_limit ? 1 : 50);
      s.transpose = what == converges_transposed;
      if (what == zero_product) ops.multiply = [&p](const T*, T* y, bool) { std::fill_n(y, p.n, T(0)); };
      if (what == zero_rhs) std::fill(p.b.begin(), p.b.end(), T(0));
      std::vector<T> x;
      const bool converging = what == converges || what == converges_transposed;
      EXPECT_EQ(run_case(c, p, s, x, ops), converging || what == zero_rhs ? 0 : 16);
      if (converging) {
        EXPECT_LE(p.relative_residual(x, s.transpose), 10 * tolerance);
        EXPECT_GE(p.precondition_calls, 3);
      }
      EXPECT_TRUE(what != zero_rhs || x == std::vector<T>(p.n));
    }
}

// One cycle of flexible GMRES stops on its least-squares estimate, which is
// the true residual of A·d = b, also with a preconditioner that changes from
// call to call (M, then none, in turn); a short cycle ends at its length.
TYPED_TEST(KrylovTest, FlexibleGmresReachesItsTargetOnTheTrueResidual) {
  using T = typename TypeParam::scalar;
  for (bool varying : {false, true}) {
    SCOPED_TRACE(varying ? "varying preconditioner" : "fixed preconditioner");
    Problem<TypeParam> p(41, 0.6);
    KrylovOperators<T> ops = p.operators();
    int calls = 0;
    if (varying) ops.precondition = [&](T* x, bool t) { if (calls++ % 2 == 0) p.m.solve(x, t); };
    std::vector<T> d(p.n), v(std::size_t(p.n + 1) * p.n), z(std::size_t(p.n) * p.n);
    const std::int32_t made = FlexibleGmresCycle<TypeParam>(ops, settings(), p.b.data(), 1e-10 * p.bnorm(), p.n,
                                                            d.data(), v.data(), z.data());
    EXPECT_LT(made, p.n);
    EXPECT_LE(p.relative_residual(d), 1e-9);
    EXPECT_EQ(FlexibleGmresCycle<TypeParam>(ops, settings(), p.b.data(), 0.0, 3, d.data(), v.data(), z.data()), 3);
    EXPECT_LT(p.relative_residual(d), 0.5);
  }
}

template <class K>
class UnsymmetricTest : public ::testing::Test {};
using UnsymmetricKinds = ::testing::Types<RealUnsymmetric, ComplexUnsymmetric>;
TYPED_TEST_SUITE(UnsymmetricTest, UnsymmetricKinds);

// The shadow preconditioner is the exact inverse of Aᵀ while the primal one is
// only the diagonal of A. Then the first step has α = 1 and the shadow
// residual vanishes, r̃ − Aᵀ·Aᵀ⁻¹·r̃ = 0, while the true residual stays large:
// BiCG must not report this iterate as converged.
TYPED_TEST(UnsymmetricTest, BicgDoesNotConvergeOnTheShadowResidualAlone) {
  using T = typename TypeParam::scalar;
  for (bool pivoting : {false, true}) {
    SCOPED_TRACE(testing::Message() << "pivoting " << pivoting);
    Problem<TypeParam> p(25);
    std::vector<T> diagonal(std::size_t(p.n) * p.n);
    for (int i = 0; i < p.n; ++i) diagonal[i + std::size_t(i) * p.n] = p.a[i + std::size_t(i) * p.n];
    DenseLu<T> jacobi(p.n, diagonal), exact(p.n, p.a);
    KrylovOperators<T> ops = p.operators();
    ops.precondition = [&](T* x, bool transpose) { transpose ? exact.solve(x, true) : jacobi.solve(x, false); };
    std::vector<T> x;
    EXPECT_EQ(run_case<TypeParam>({"BiCG", &BiConjugateGradients<TypeParam>, pivoting}, p, settings(1), x, ops), 16);
    EXPECT_GT(p.relative_residual(x), 1e-4);
  }
}

// A = 0.05·I + S with S skew-Hermitian: the spectrum lies on a segment close
// to and parallel with the imaginary axis, where the degree-one minimal
// residual polynomials of BiCGStab hardly reduce the residual and it
// stagnates, while the degree-two polynomials of BiCGStab(2) still converge.
// No preconditioner.
TYPED_TEST(UnsymmetricTest, BicgstabTwoConvergesOnANearlyImaginarySpectrum) {
  using T = typename TypeParam::scalar;
  Problem<TypeParam> p(31);
  std::mt19937_64 rng(31);
  const std::vector<T> r = random_front<TypeParam>(p.n, rng);
  const auto adjoint = [](T v) { if constexpr (TypeParam::is_complex) return std::conj(v); else return v; };
  const double scale = 0.5 / std::sqrt(double(p.n));
  for (int j = 0; j < p.n; ++j)
    for (int i = 0; i < p.n; ++i)
      p.a[i + std::size_t(j) * p.n] =
          scale * (r[i + std::size_t(j) * p.n] - adjoint(r[j + std::size_t(i) * p.n])) + T(i == j ? 0.05 : 0.0);
  KrylovOperators<T> ops = p.operators();
  ops.precondition = [](T*, bool) {};
  const MethodCase<TypeParam> one{"BiCGStab", &BiCGStab<TypeParam>, true};
  const MethodCase<TypeParam> two{"BiCGStab(2)", &BiCGStab2<TypeParam>, true};
  KrylovSettings s = settings(100);
  std::vector<T> x;
  EXPECT_EQ(run_case(one, p, s, x, ops), 16);
  EXPECT_GT(p.relative_residual(x), 1e-4);
  EXPECT_EQ(run_case(two, p, s, x, ops), 0);
  EXPECT_LE(p.relative_residual(x), 10 * tolerance);
  // The residual norm the method computes from its Gram matrix is the true
  // one: stopping at a loose tolerance leaves a residual just below it.
  s.tolerance = 1e-6;
  EXPECT_EQ(run_case(two, p, s, x, ops), 0);
  EXPECT_LE(p.relative_residual(x), s.tolerance);
  EXPECT_GT(p.relative_residual(x), 1e-3 * s.tolerance);
}

}  // namespace
