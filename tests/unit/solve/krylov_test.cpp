// Krylov methods on small dense problems, independent of the factorization:
// the matrix is applied by gemv, the preconditioner is an exact LU solve with
// a perturbed matrix M = A + E, so that several iterations are needed. The
// residual of each returned solution is recomputed here by plain loops.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/blas.h"
#include "platform/kind_traits.h"
#include "solve/krylov.h"
#include "tests/support/test_support.h"

namespace {

constexpr int order = 80;
constexpr double tolerance = 1e-11;

template <class T>
T random_value(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  if constexpr (std::is_same_v<T, double>)
    return u(rng);
  else
    return T(u(rng), u(rng));
}

// A random n × n matrix of kind K (column-major; symmetric kinds filled in
// both triangles), entries scaled by `size`, with `shift` added to the
// diagonal. A shift well above the spectral radius of the random part makes
// the real symmetric and Hermitian matrices positive definite.
template <class K>
std::vector<typename K::scalar> random_matrix(int n, std::mt19937_64& rng, double size, double shift) {
  using T = typename K::scalar;
  std::vector<T> a(std::size_t(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      if (K::symmetry != Symmetry::unsymmetric && i < j) continue;
      T v = size * random_value<T>(rng);
      if (i == j) {
        if constexpr (K::symmetry == Symmetry::hermitian) v = T(std::real(v), 0.0);
        v += T(shift);
      }
      a[i + std::size_t(j) * n] = v;
      if (K::symmetry != Symmetry::unsymmetric) a[j + std::size_t(i) * n] = K::mirror(v);
    }
  return a;
}

// An LU factorization of a dense matrix, applied or transposed.
template <class T>
struct DenseLu {
  int n = 0;
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
// calls of each hook.
template <class K>
struct Problem {
  using T = typename K::scalar;
  std::uint64_t seed;
  int n = order;
  std::vector<T> a;
  DenseLu<T> m;
  std::vector<T> b;
  int leave_calls = 0;
  int step_calls = 0;
  int precondition_calls = 0;

  Problem(std::uint64_t seed_, double perturbation = 0.3) : seed(seed_), m(order, preconditioner_matrix(perturbation)) {
    std::mt19937_64 rng(seed + 1);
    b.resize(n);
    for (T& v : b) v = random_value<T>(rng);
  }

  std::vector<T> preconditioner_matrix(double perturbation) {
    std::mt19937_64 rng(seed);
    a = random_matrix<K>(n, rng, 1.0, 2.5 * std::sqrt(double(n)));
    std::vector<T> e = random_matrix<K>(n, rng, perturbation, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) e[i] += a[i];
    return e;
  }

  KrylovOperators<T> operators() {
    KrylovOperators<T> ops;
    ops.precondition = [this](T* x, bool transpose) {
      ++precondition_calls;
      m.solve(x, transpose);
    };
    ops.multiply = [this](const T* x, T* y, bool transpose) {
      blas::gemv(transpose ? 'T' : 'N', n, n, T(1), a.data(), n, x, 1, T(0), y, 1);
    };
    ops.on_leaving = [this] { ++leave_calls; };
    ops.after_iteration = [this] { ++step_calls; };
    return ops;
  }

  double bnorm() const { return blas::nrm2(n, b.data(), 1); }

  // ‖b − A·x‖₂/‖b‖₂ (Aᵀ with transpose), summed entry by entry.
  double relative_residual(const std::vector<T>& x, bool transpose) const {
    double sum = 0;
    for (int i = 0; i < n; ++i) {
      T r = b[i];
      for (int j = 0; j < n; ++j) r -= (transpose ? a[j + std::size_t(i) * n] : a[i + std::size_t(j) * n]) * x[j];
      sum += std::norm(r);
    }
    return std::sqrt(sum) / bnorm();
  }
};

KrylovSettings settings(bool pivoting, std::int32_t max_iterations = 50) {
  return {.n = order, .tolerance = tolerance, .max_iterations = max_iterations, .pivoting = pivoting};
}

template <class K>
using Method = int (*)(const KrylovOperators<typename K::scalar>&, const KrylovSettings&, const typename K::scalar*,
                       double, typename K::scalar*, typename K::scalar*);

template <class K>
int run_method(Method<K> method, Problem<K>& p, const KrylovSettings& s, std::vector<typename K::scalar>& x,
               const KrylovOperators<typename K::scalar>& ops) {
  std::vector<typename K::scalar> work(std::size_t(std::max(cg_work_vectors, bicg_work_vectors)) * p.n);
  x.assign(p.n, typename K::scalar(7));
  return method(ops, s, p.b.data(), p.bnorm(), x.data(), work.data());
}

template <class K>
struct MethodCase {
  const char* name;
  Method<K> method;
  bool pivoting;
  const char* limit_line;         // logged when the iteration limit is reached
  int preconditions_per_barrier;  // 0: threads are never held in step
};

// The methods of a kind: CG for the symmetric kinds, the BiCG family for the
// unsymmetric ones.
template <class K>
std::vector<MethodCase<K>> methods() {
  if constexpr (K::symmetry != Symmetry::unsymmetric)
    return {{"CG plain", &ConjugateGradients<K>, false, "CG couldn't reach 1.000000e-11 after 1 steps R.res = ", 1},
            {"CG pivoting", &ConjugateGradients<K>, true, "CG couldn't reach 1.000000e-11 after 1 steps R.res = ", 1}};
  else
    return {{"BiCG plain", &BiConjugateGradients<K>, false, "CG failed after 1 iterations R.res = ", 2},
            {"BiCG pivoting", &BiConjugateGradients<K>, true, "BiCG failed after 1 iterations R.res = ", 0},
            {"BiCGStab", &BiCGStab<K>, true, "BiCGStab failed after 1 iterations R.res = ", 0},
            {"BiCGStab(2)", &BiCGStab2<K>, true, "CG failed after 1 iterations R.res = ", 0}};
}

template <class K>
class KrylovTest : public ::testing::Test {};
using Kinds = ::testing::Types<RealSymmetric, RealUnsymmetric, ComplexSymmetric, ComplexUnsymmetric, ComplexHermitian>;
TYPED_TEST_SUITE(KrylovTest, Kinds);

// Every method converges, for Aᵀ too where the kind has one; only CG and
// plain BiCG hold the threads in step, once per iteration.
TYPED_TEST(KrylovTest, EveryMethodConvergesWithItsBarriers) {
  constexpr bool unsymmetric = TypeParam::symmetry == Symmetry::unsymmetric;
  for (const auto& c : methods<TypeParam>())
    for (bool transpose : {false, unsymmetric}) {
      Problem<TypeParam> p(21);
      SCOPED_TRACE(testing::Message() << c.name << " seed " << p.seed << " transpose " << transpose);
      KrylovSettings s = settings(c.pivoting);
      s.transpose = transpose;
      std::vector<typename TypeParam::scalar> x;
      EXPECT_EQ(run_method(c.method, p, s, x, p.operators()), 0);
      EXPECT_LE(p.relative_residual(x, transpose), 10 * tolerance);
      EXPECT_GE(p.precondition_calls, 3);
      if (c.preconditions_per_barrier == 0) {
        EXPECT_EQ(p.step_calls, 0);
      } else {
        EXPECT_EQ(c.preconditions_per_barrier * p.step_calls, p.precondition_calls);
      }
      EXPECT_EQ(p.leave_calls, 1);
      if (!unsymmetric) break;
    }
}

TYPED_TEST(KrylovTest, IterationLimitFailsWithTheMethodsLine) {
  for (const auto& c : methods<TypeParam>()) {
    SCOPED_TRACE(c.name);
    LogCapture log(2);
    Problem<TypeParam> p(22);
    std::vector<typename TypeParam::scalar> x;
    EXPECT_EQ(run_method(c.method, p, settings(c.pivoting, 1), x, p.operators()), 16);
    EXPECT_TRUE(log.contains(c.limit_line)) << log.text();
    EXPECT_EQ(p.leave_calls, 1);
    EXPECT_EQ(p.step_calls, c.preconditions_per_barrier ? 1 : 0);
  }
}

TYPED_TEST(KrylovTest, ZeroRightHandSideGivesZero) {
  for (const auto& c : methods<TypeParam>()) {
    SCOPED_TRACE(c.name);
    Problem<TypeParam> p(23);
    std::fill(p.b.begin(), p.b.end(), typename TypeParam::scalar(0));
    std::vector<typename TypeParam::scalar> x;
    EXPECT_EQ(run_method(c.method, p, settings(c.pivoting), x, p.operators()), 0);
    EXPECT_EQ(x, std::vector<typename TypeParam::scalar>(p.n));
    EXPECT_EQ(p.leave_calls, 1);
    if (TypeParam::symmetry != Symmetry::unsymmetric) {
      EXPECT_EQ(p.precondition_calls, 1) << "CG returns M⁻¹·0";
      EXPECT_EQ(p.step_calls, 1);
    }
  }
}

// The pivoting mode of CG and BiCG stops when A·p vanishes.
TYPED_TEST(KrylovTest, PivotingModeStopsOnAZeroDenominator) {
  using T = typename TypeParam::scalar;
  LogCapture log(2);
  Problem<TypeParam> p(14);
  KrylovOperators<T> ops = p.operators();
  ops.multiply = [&p](const T*, T* y, bool) { std::fill_n(y, p.n, T(0)); };
  std::vector<T> x;
  EXPECT_EQ(run_method(methods<TypeParam>()[1].method, p, settings(true), x, ops), 16);
  const bool cg = TypeParam::symmetry != Symmetry::unsymmetric;
  EXPECT_TRUE(
      log.contains(std::string(cg ? "CG" : "BiCG") + " failed after 0 iterations due to a too small denominator."))
      << log.text();
  EXPECT_EQ(p.leave_calls, 1);
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
    const std::int32_t made = FlexibleGmresCycle<TypeParam>(ops, settings(false), p.b.data(), 1e-10 * p.bnorm(), p.n,
                                                            d.data(), v.data(), z.data());
    EXPECT_LT(made, p.n);
    EXPECT_LE(p.relative_residual(d, false), 1e-9);
    EXPECT_EQ(FlexibleGmresCycle<TypeParam>(ops, settings(false), p.b.data(), 0.0, 3, d.data(), v.data(), z.data()), 3);
    EXPECT_LT(p.relative_residual(d, false), 0.5);
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
    Problem<TypeParam> p(25);
    SCOPED_TRACE(testing::Message() << "seed " << p.seed << " pivoting " << pivoting);
    std::vector<T> diagonal(std::size_t(p.n) * p.n);
    for (int i = 0; i < p.n; ++i) diagonal[i + std::size_t(i) * p.n] = p.a[i + std::size_t(i) * p.n];
    DenseLu<T> jacobi(p.n, diagonal), exact(p.n, p.a);
    KrylovOperators<T> ops = p.operators();
    ops.precondition = [&](T* x, bool transpose) { transpose ? exact.solve(x, true) : jacobi.solve(x, false); };
    std::vector<T> x;
    EXPECT_EQ(run_method<TypeParam>(&BiConjugateGradients<TypeParam>, p, settings(pivoting, 1), x, ops), 16);
    EXPECT_GT(p.relative_residual(x, false), 1e-4);
  }
}

// Offcore without shared patch loads BiCGStab starts from x = b: one step
// then costs two preconditioner calls instead of three.
TYPED_TEST(UnsymmetricTest, BicgstabSkipsTheInitialSolveWhenOffcoreUnshared) {
  for (bool unshared : {false, true}) {
    SCOPED_TRACE(testing::Message() << "offcore unshared " << unshared);
    Problem<TypeParam> p(27);
    KrylovSettings s = settings(true, 1);
    s.offcore_unshared = unshared;
    std::vector<typename TypeParam::scalar> x;
    EXPECT_EQ(run_method<TypeParam>(&BiCGStab<TypeParam>, p, s, x, p.operators()), 16);
    EXPECT_EQ(p.precondition_calls, unshared ? 2 : 3);
  }
}

// With a tolerance of 1 no step is made; the answer is the preconditioned
// right-hand side M⁻¹b rather than the zero starting vector.
TYPED_TEST(UnsymmetricTest, BicgstabTwoWithToleranceOneReturnsThePreconditionedSolution) {
  using T = typename TypeParam::scalar;
  Problem<TypeParam> p(28, 0.05);
  KrylovSettings s = settings(true);
  s.tolerance = 1.0;
  std::vector<T> x;
  EXPECT_EQ(run_method<TypeParam>(&BiCGStab2<TypeParam>, p, s, x, p.operators()), 0);
  std::vector<T> expected = p.b;
  p.m.solve(expected.data(), false);
  EXPECT_EQ(x, expected);
  EXPECT_LT(p.relative_residual(x, false), 0.1);
  EXPECT_EQ(p.leave_calls, 1);
}

template <class T>
T conjugate_value(const T& v) {
  if constexpr (std::is_same_v<T, double>)
    return v;
  else
    return std::conj(v);
}

// A = 0.05·I + S with S skew-Hermitian: the spectrum lies on a segment close
// to and parallel with the imaginary axis, where the degree-one minimal
// residual polynomials of BiCGStab hardly reduce the residual and it
// stagnates, while the degree-two polynomials of BiCGStab(2) still converge.
// No preconditioner.
TYPED_TEST(UnsymmetricTest, BicgstabTwoConvergesOnANearlyImaginarySpectrum) {
  using T = typename TypeParam::scalar;
  Problem<TypeParam> p(31);
  SCOPED_TRACE(testing::Message() << "seed " << p.seed);
  std::mt19937_64 rng(p.seed);
  const std::vector<T> r = random_matrix<TypeParam>(p.n, rng, 1.0, 0.0);
  const double scale = 0.5 / std::sqrt(double(p.n));
  for (int j = 0; j < p.n; ++j)
    for (int i = 0; i < p.n; ++i) {
      const T skew = scale * (r[i + std::size_t(j) * p.n] - conjugate_value(r[j + std::size_t(i) * p.n]));
      p.a[i + std::size_t(j) * p.n] = skew + (i == j ? T(0.05) : T(0));
    }
  KrylovOperators<T> ops = p.operators();
  ops.precondition = [](T*, bool) {};
  const KrylovSettings s = settings(true, 100);
  std::vector<T> x;
  EXPECT_EQ(run_method<TypeParam>(&BiCGStab<TypeParam>, p, s, x, ops), 16);
  EXPECT_GT(p.relative_residual(x, false), 1e-4);
  EXPECT_EQ(run_method<TypeParam>(&BiCGStab2<TypeParam>, p, s, x, ops), 0);
  EXPECT_LE(p.relative_residual(x, false), 10 * tolerance);
  // The residual norm the method computes from the Gram matrix is the true
  // one: stopping at a loose tolerance leaves a residual just below it.
  KrylovSettings loose = s;
  loose.tolerance = 1e-6;
  EXPECT_EQ(run_method<TypeParam>(&BiCGStab2<TypeParam>, p, loose, x, ops), 0);
  EXPECT_LE(p.relative_residual(x, false), loose.tolerance);
  EXPECT_GT(p.relative_residual(x, false), 1e-3 * loose.tolerance);
}

}  // namespace
