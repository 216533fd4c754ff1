// Forward and backward substitution with real factors of generated matrices:
// every solution is checked by multiplying it with the permuted (and scaled)
// matrix, for every kind, both factor forms, both storage precisions, incore
// and in patches, one thread and several.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analysis/reorder.h"
#include "driver/tessar.h"
#include "platform/kind_traits.h"
#include "solve/matrix_product.h"
#include "solve/substitution.h"
#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

struct RunOptions {
  bool pivoting = false;
  bool double_precision = false;
  bool diag_scale = false;
  bool perturb = false;
  bool offcore = false;
  PatchSettings patches{};
};

// A patch capacity beyond any factor here: the whole factor in one patch.
constexpr std::int64_t whole_factor = std::int64_t(1) << 40;

// Bytes kept at the end of the factor area for thread 0's vectors.
constexpr std::int64_t reserved_bytes = 4096;

template <class T>
std::vector<T> random_vector(std::int32_t n, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<T> v(n);
  for (auto& e : v) {
    if constexpr (std::is_same_v<T, double>)
      e = u(engine);
    else
      e = T(u(engine), u(engine));
  }
  return v;
}

// ‖x − y‖ / ‖y‖.
template <class T>
double relative_distance(const std::vector<T>& x, const std::vector<T>& y) {
  double d = 0, n = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    d += std::norm(x[i] - y[i]);
    n += std::norm(y[i]);
  }
  return std::sqrt(d / n);
}

// A solver of the kind that factored a matrix and set up the factor access.
template <class K>
struct SolveRun {
  using T = typename K::scalar;
  static constexpr bool unsymmetric = K::symmetry == Symmetry::unsymmetric;
  std::unique_ptr<tessar> solver;
  YaleMatrix a;  // scaled and permuted by the factorization
  FactorAccess access;
  int result = -1;

  SolveRun(const YaleMatrix& original, const RunOptions& o) : a(original) {
    solver = make_test_solver(K::solver_type);
    solver->no_progress = true;
    solver->pivoting = o.pivoting;
    solver->allow_perturbation = o.perturb;
    solver->double_precision = o.double_precision;
    solver->set_elem_size();
    solver->diag_scale = o.diag_scale;
    if (o.offcore) solver->Soft_Memory_Limit = 1;
    Reorder(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
    result = solver->factorize(a);
    if (result == 0) prepare_factor_access(*solver, access, reserved_bytes, o.patches);
  }
  ~SolveRun() {
    if (result == 0) release_factor_access(*solver, access);
  }

  std::vector<T> solve(const std::vector<T>& b, bool transpose = false) {
    std::vector<T> x = b;
    std::vector<std::byte> work(substitution_work_bytes(*solver) + 1);
    SolveWithFactor<K>(*solver, access, x.data(), transpose, work.data());
    return x;
  }

  // ‖A·x − b‖ / ‖b‖ with the permuted matrix (transposed if asked).
  double residual(const std::vector<T>& b, const std::vector<T>& x, bool transpose = false) const {
    std::vector<T> y(b.size());
    multiply_matrix<K>(a, x.data(), y.data(), transpose);
    return relative_distance(y, b);
  }

  double tolerance() const { return solver->double_precision ? 1e-10 : 1e-4; }

  // Solves with a random b, and with Aᵀ for the unsymmetric kinds, meet the
  // permuted system.
  void expect_solves(std::uint64_t seed, const std::string& label) {
    const auto b = random_vector<T>(a.n, seed);
    for (bool transpose : {false, true}) {
      if (transpose && !unsymmetric) break;
      EXPECT_LT(residual(b, solve(b, transpose), transpose), tolerance())
          << label << " transpose " << transpose << " seed " << seed;
    }
  }
};

// A family that needs interchanges and one that does not, per kind.
Family pivoting_family(int kind) {
  return family_allows_kind(Family::pivot2x2, kind) ? Family::pivot2x2 : Family::zero_diagonal;
}
Family plain_family(int kind) {
  return kind == 1 || kind == 3 ? Family::convdiff3d : (kind == 4 ? Family::hermitian : Family::laplace3d);
}

// A system of the kind large enough that a soft memory limit of 1 KB sends
// its factorization offcore, with or without interchanges.
YaleMatrix patch_system(int kind, bool pivoting, std::uint64_t seed) {
  if (!pivoting) return generate(plain_family(kind), kind == 4 ? 12 : 5, kind, 1, seed).a;
  if (kind == 1 || kind == 3) return generate(Family::zero_diagonal, 20, kind, 1, seed).a;
  return generate(Family::pivot2x2, 100, kind, 1, seed).a;
}

bool needs_pivoting(Family family) { return family == Family::zero_diagonal || family == Family::pivot2x2; }

template <class K>
class Substitution : public ::testing::Test {
 protected:
  ScopedWorkDir dir_;
};
using Kinds = ::testing::Types<RealSymmetric, RealUnsymmetric, ComplexSymmetric, ComplexUnsymmetric, ComplexHermitian>;
TYPED_TEST_SUITE(Substitution, Kinds);

TYPED_TEST(Substitution, IncoreSolveMeetsThePermutedSystemOnEveryFamilyAndPath) {
  using K = TypeParam;
  const std::pair<Family, std::int32_t> families[] = {
      {Family::laplace2d, 9},      {Family::laplace3d, 5},  {Family::helmholtz3d, 5},
      {Family::convdiff2d, 9},     {Family::convdiff3d, 4}, {Family::hermitian, 7},
      {Family::zero_diagonal, 12}, {Family::pivot2x2, 9},   {Family::components, 9}};
  int unperturbed_two_by_two_runs = 0;
  for (auto [family, size] : families) {
    if (!family_allows_kind(family, K::solver_type)) continue;
    const YaleMatrix original = generate(family, size, K::solver_type, 1, 7).a;
    for (bool pivoting : {false, true}) {
      if (needs_pivoting(family) && !pivoting) continue;
      for (bool double_precision : {false, true}) {
        SolveRun<K> run(original, {.pivoting = pivoting,
                                   .double_precision = double_precision,
                                   .diag_scale = double_precision && !needs_pivoting(family),
                                   .perturb = needs_pivoting(family)});
        ASSERT_EQ(run.result, 0) << family_name(family);
        if (run.solver->NumPerturbed > 0) continue;
        ASSERT_FALSE(run.access.offcore);
        if (run.solver->Num2x2Pivots > 0) ++unperturbed_two_by_two_runs;
        run.expect_solves(11 + size, std::string(family_name(family)) + " pivoting " + std::to_string(pivoting) +
                                         " double " + std::to_string(double_precision));
      }
    }
  }
  EXPECT_TRUE(SolveRun<K>::unsymmetric || unperturbed_two_by_two_runs > 0) << "no run used 2x2 pivots";
}

// A dense, diagonally dominant and indefinite system of order n in the
// storage of the kind: one supernode, wide enough for the BLAS path of the
// block form in every sweep and both precisions.
template <class K>
YaleMatrix dense_system(std::int32_t n, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::int32_t> rows, cols;
  std::vector<double> values;
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int32_t j = SolveRun<K>::unsymmetric ? 0 : i; j < n; ++j) {
      rows.push_back(i);
      cols.push_back(j);
      values.push_back(i == j ? (i % 2 == 0 ? n : -n) : u(engine));
      if (K::is_complex) values.push_back(i == j && K::symmetry == Symmetry::hermitian ? 0.0 : u(engine));
    }
  return matrix_from_entries(n, rows, cols, values, K::is_complex);
}

TYPED_TEST(Substitution, WideSupernodeTakesTheBlasPath) {
  const YaleMatrix original = dense_system<TypeParam>(600, 21);
  for (bool double_precision : {false, true}) {
    SolveRun<TypeParam> run(original, {.pivoting = true, .double_precision = double_precision});
    ASSERT_EQ(run.result, 0);
    ASSERT_EQ(run.solver->NSuper, 1);
    run.expect_solves(23, "double " + std::to_string(double_precision));
  }
}

// Patch counts from the log line of the kind.
std::pair<int, int> patch_counts(const std::string& log, bool symmetric) {
  const char* format = symmetric ? "%d Forward patches, %d Backward patches" : "%d Forward patches %d Backward patches";
  const std::size_t end = log.rfind(" Forward patches");
  const std::size_t start = log.rfind('\n', end) == std::string::npos ? 0 : log.rfind('\n', end) + 1;
  std::pair<int, int> counts{-1, -1};
  std::sscanf(log.c_str() + start, format, &counts.first, &counts.second);
  return counts;
}

// The largest column (column form) or supernode (block form) of a factor.
std::int64_t largest_unit(const tessar& s, std::int32_t n) {
  std::int64_t largest = 0;
  if (s.pivoting)
    for (std::int32_t k = 0; k < s.NSuper; ++k) largest = std::max(largest, s.IU[s.SNode[k + 1]] - s.IU[s.SNode[k]]);
  else
    for (std::int32_t c = 0; c < n; ++c) largest = std::max(largest, s.IU[c + 1] - s.IU[c]);
  return largest;
}

// The solve in patches (offcore factor, capacity forced down) agrees with the
// incore solve of the same factor, whether many patches or exactly one; with
// capacity bound 1 the set-up still holds the largest unit, so every patch
// progresses.
TYPED_TEST(Substitution, PatchesGiveTheIncoreSolution) {
  using K = TypeParam;
  constexpr bool symmetric = !SolveRun<K>::unsymmetric;
  for (bool pivoting : {false, true}) {
    const YaleMatrix original = patch_system(K::solver_type, pivoting, 3);
    for (bool double_precision : {false, true}) {
      RunOptions o{.pivoting = pivoting, .double_precision = double_precision, .perturb = pivoting && symmetric};
      SolveRun<K> incore(original, o);
      ASSERT_EQ(incore.result, 0);
      const auto b = random_vector<typename K::scalar>(original.n, 5);
      for (bool one_patch : {false, true}) {
        o.offcore = true;
        o.patches.patch_entries = one_patch ? whole_factor : 1;
        LogCapture log;
        SolveRun<K> patched(original, o);
        ASSERT_EQ(patched.result, 0);
        ASSERT_TRUE(patched.access.offcore);
        EXPECT_TRUE(one_patch || patched.access.patch_capacity == largest_unit(*patched.solver, original.n))
            << "a capacity bound of 1 still holds the largest unit";
        for (bool transpose : {false, true}) {
          if (transpose && symmetric) continue;
          const auto x = patched.solve(b, transpose);
          EXPECT_LT(relative_distance(x, incore.solve(b, transpose)), 1e-12)
              << "pivoting " << pivoting << " double " << double_precision << " one patch " << one_patch;
          if (patched.solver->NumPerturbed == 0) {
            EXPECT_LT(patched.residual(b, x, transpose), patched.tolerance());
          }
          const auto [forward, backward] = patch_counts(log.text(), symmetric);
          EXPECT_TRUE(one_patch ? forward == 1 && backward == 1 : forward > 3 && backward > 3)
              << forward << " forward and " << backward << " backward patches";
        }
        EXPECT_TRUE(
            log.contains(symmetric ? "Post improvement goes offcore NzU = " : "Post improvement goes offcore NzU="));
      }
    }
  }
}

// Several threads solving different vectors at once give what one thread
// gives, vector for vector. Offcore they move through the patches in lock
// step; thread 0 solves two vectors while the others solve one each and then
// leave the shared loading, which must not leave thread 0 waiting.
TYPED_TEST(Substitution, ThreadsSolveTogether) {
  using K = TypeParam;
  using T = typename K::scalar;
  for (bool offcore : {false, true})
    for (bool pivoting : {false, true}) {
      const Family family = pivoting ? pivoting_family(K::solver_type) : plain_family(K::solver_type);
      const YaleMatrix a =
          offcore ? patch_system(K::solver_type, pivoting, 9) : generate(family, 6, K::solver_type, 1, 9).a;
      SolveRun<K> run(a, {.pivoting = pivoting, .perturb = pivoting, .offcore = offcore, .patches = {offcore ? 1 : 0}});
      ASSERT_EQ(run.result, 0);
      ASSERT_EQ(run.access.offcore, offcore);
      constexpr int threads = 3;
      std::vector<std::vector<T>> b(threads + 1), alone(threads + 1), together(threads + 1);
      for (int t = 0; t <= threads; ++t) {
        b[t] = random_vector<T>(run.a.n, 200 + t);
        alone[t] = run.solve(b[t]);
      }
      if (offcore) start_shared_loading(run.access, threads);
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
          together[t] = run.solve(b[t]);
          if (t == 0) together[threads] = run.solve(b[threads]);
          if (offcore) stop_shared_loading(*run.solver, run.access);
        });
      for (auto& th : pool) th.join();
      for (int t = 0; t <= threads; ++t)
        EXPECT_EQ(together[t], alone[t]) << "offcore " << offcore << " pivoting " << pivoting << " vector " << t;
    }
}

// A symmetric kind's factor with 2×2 pivots, incore, before the solution
// phase's set-up.
template <class K>
std::unique_ptr<tessar> two_by_two_factor(bool double_precision) {
  YaleMatrix a = generate(pivoting_family(K::solver_type), 6, K::solver_type, 1, 2).a;
  auto solver = make_test_solver(K::solver_type);
  solver->no_progress = true;
  solver->pivoting = true;
  solver->double_precision = double_precision;
  solver->set_elem_size();
  Reorder(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
  EXPECT_EQ(solver->factorize(a), 0);
  EXPECT_GT(solver->Num2x2Pivots, 0);
  return solver;
}

// The set-up moves each 2×2 coupling out of an incore factor (leaving 0) and
// the release puts it back.
TYPED_TEST(Substitution, TwoByTwoCouplingsAreSplitAndRestored) {
  using K = TypeParam;
  if constexpr (!SolveRun<K>::unsymmetric) {
    using T = typename K::scalar;
    auto solver = two_by_two_factor<K>(true);
    const T* u = static_cast<const T*>(solver->u_factor_buffer());
    const std::vector<T> factor(u, u + solver->NzU);
    FactorAccess access;
    prepare_factor_access(*solver, access, reserved_bytes);
    u = static_cast<const T*>(solver->u_factor_buffer());
    EXPECT_EQ(access.two_by_two_count, solver->Num2x2Pivots);
    const T* couplings = reinterpret_cast<const T*>(access.TwoByTwoOffdiag.data());
    std::int32_t seen = 0;
    for (std::int32_t s = 0; s < solver->NSuper; ++s) {
      const std::int32_t f = solver->SNode[s], w = solver->SNode[s + 1] - f;
      std::int64_t column_start = solver->IU[f];
      for (std::int32_t j = 0; j < w; column_start += w - j, ++j) {
        if (solver->PivotOrder[f + j] >= 0) continue;
        EXPECT_EQ(u[column_start + 1], T(0));
        EXPECT_EQ(couplings[seen++], factor[column_start + 1]);
        EXPECT_NE(factor[column_start + 1], T(0));
        column_start += w - j;
        ++j;
      }
    }
    EXPECT_EQ(seen, solver->Num2x2Pivots);
    release_factor_access(*solver, access);
    EXPECT_EQ(std::vector<T>(u, u + solver->NzU), factor);
  }
}

// In single precision a vanishing coupling ends the run.
TYPED_TEST(Substitution, VanishingCouplingIsFatalInSinglePrecision) {
  using K = TypeParam;
  if constexpr (!SolveRun<K>::unsymmetric) {
    using S = std::conditional_t<K::is_complex, std::complex<float>, float>;
    auto solver = two_by_two_factor<K>(false);
    S* u = static_cast<S*>(solver->u_factor_buffer());
    for (std::int32_t s = 0; s < solver->NSuper; ++s) {
      const std::int32_t f = solver->SNode[s];
      if (solver->PivotOrder[f] < 0) u[solver->IU[f] + 1] = S(1e-20f);
    }
    FactorAccess access;
    try {
      prepare_factor_access(*solver, access, reserved_bytes);
      FAIL() << "no failure";
    } catch (const TessarException& e) {
      EXPECT_EQ(e.code(), 1);
      EXPECT_STREQ(e.message().c_str(), "Error occurred in a 2x2 pivot");
    }
  }
}

// A run without factorization allocates the area itself: the whole factor
// when the memory limit allows it, patches otherwise.
TYPED_TEST(Substitution, RunWithoutFactorizationReadsTheKeptFactor) {
  using K = TypeParam;
  constexpr bool symmetric = !SolveRun<K>::unsymmetric;
  for (bool pivoting : {false, true}) {
    const YaleMatrix original = patch_system(K::solver_type, false, 6);
    SolveRun<K> reference(original, {.pivoting = pivoting});
    ASSERT_EQ(reference.result, 0);
    const auto b = random_vector<typename K::scalar>(original.n, 17);
    const auto expected = reference.solve(b);
    for (bool room : {true, false}) {
      SolveRun<K> run(original, {.pivoting = pivoting, .offcore = true});
      ASSERT_EQ(run.result, 0);
      release_factor_access(*run.solver, run.access);
      run.solver->do_factor = false;
      run.solver->Soft_Memory_Limit = room ? run.solver->memory_in_use + (1 << 20) : 1;
      LogCapture log;
      prepare_factor_access(*run.solver, run.access, reserved_bytes);
      EXPECT_EQ(run.access.offcore, !room);
      const std::string line =
          room ? (symmetric ? "Post improvement goes incore NzU = " : "Post improvement goes incore Nzu=")
               : (symmetric ? "Post improvement goes offcore NzU = " : "Post improvement goes offcore NzU=");
      EXPECT_TRUE(log.contains(line + std::to_string(run.solver->NzU))) << log.text();
      EXPECT_LT(relative_distance(run.solve(b), expected), 1e-12) << "pivoting " << pivoting << " room " << room;
    }
  }
}

}  // namespace
