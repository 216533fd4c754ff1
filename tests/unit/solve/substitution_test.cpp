// Forward and backward substitution with real factors of generated matrices:
// every solution is checked against the permuted (and scaled) matrix or the
// incore solve of the same factor, for every kind, both factor forms, both
// storage precisions, incore and in patches, one thread and several.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "analysis/reorder.h"
#include "core/tessar.h"
#include "solve/matrix_product.h"
#include "solve/substitution.h"
#include "tests/support/test_support.h"
#include "tests/unit/kernels/dense_fixtures.h"
#include "tools/generator/generator.h"

namespace {

struct RunOptions {
  bool pivoting = false, double_precision = false, diag_scale = false, perturb = false, offcore = false;
  PatchSettings patches{};
};

// Bytes kept at the end of the factor area for thread 0's vectors.
constexpr std::int64_t reserved_bytes = 4096;

template <class T>
std::vector<T> random_vector(std::int32_t n, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  return kernel_tests::random_vector<T>(n, engine);
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

  SolveRun(const YaleMatrix& original, const RunOptions& o, bool prepare = true) : a(original) {
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
    if (result == 0 && prepare) prepare_factor_access(*solver, access, reserved_bytes, o.patches);
  }
  ~SolveRun() {
    if (result == 0 && access.u_area) release_factor_access(*solver, access);
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

  // A random b, and Aᵀ for the unsymmetric kinds, solve the permuted system.
  void expect_solves(std::uint64_t seed, const std::string& label) {
    const auto b = random_vector<T>(a.n, seed);
    for (bool transpose : {false, unsymmetric})
      EXPECT_LT(residual(b, solve(b, transpose), transpose), tolerance()) << label << " transpose " << transpose;
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

template <class K>
class Substitution : public ::testing::Test {
 protected:
  ScopedWorkDir dir_;
};
TYPED_TEST_SUITE(Substitution, kernel_tests::KernelKinds);

// A dense, diagonally dominant, indefinite system of order n: with
// interchanges one supernode, wide enough for the BLAS path of the block form.
template <class K>
YaleMatrix dense_system(std::int32_t n) {
  std::mt19937_64 engine(21);
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

// Every family the kind allows and the dense system, both factor forms and
// precisions; the symmetric kinds must go through 2×2 pivots in some
// unperturbed run.
TYPED_TEST(Substitution, IncoreSolveMeetsThePermutedSystemOnEveryFamilyAndPath) {
  using K = TypeParam;
  std::vector<std::pair<std::string, YaleMatrix>> systems = {{"dense", dense_system<K>(600)}};
  for (auto [family, size] : {std::pair{Family::laplace2d, 9}, {Family::laplace3d, 5}, {Family::helmholtz3d, 5},
                              {Family::convdiff2d, 9}, {Family::convdiff3d, 4}, {Family::hermitian, 7},
                              {Family::zero_diagonal, 12}, {Family::pivot2x2, 9}, {Family::components, 9}})
    if (family_allows_kind(family, K::solver_type))
      systems.emplace_back(family_name(family), generate(family, size, K::solver_type, 1, 7).a);
  int unperturbed_two_by_two_runs = 0;
  for (const auto& [name, original] : systems) {
    const bool needs_pivoting = name == "dense" || name == family_name(Family::zero_diagonal) ||
                                name == family_name(Family::pivot2x2);
    for (bool pivoting : {false, true}) {
      if (needs_pivoting && !pivoting) continue;
      for (bool double_precision : {false, true}) {
        SolveRun<K> run(original, {.pivoting = pivoting,
                                   .double_precision = double_precision,
                                   .diag_scale = double_precision && !needs_pivoting,
                                   .perturb = needs_pivoting});
        ASSERT_EQ(run.result, 0) << name;
        ASSERT_TRUE(name != "dense" || run.solver->NSuper == 1);
        if (run.solver->NumPerturbed > 0) continue;
        if (run.solver->Num2x2Pivots > 0) ++unperturbed_two_by_two_runs;
        // A second set-up finds the factor as the release left it: 2×2 couplings put back.
        release_factor_access(*run.solver, run.access);
        prepare_factor_access(*run.solver, run.access, reserved_bytes);
        run.expect_solves(11 + original.n, name + " pivoting " + std::to_string(pivoting) + " double " +
                                               std::to_string(double_precision));
      }
    }
  }
  EXPECT_TRUE(SolveRun<K>::unsymmetric || unperturbed_two_by_two_runs > 0) << "no run used 2x2 pivots";
}

// An offcore factor solved in patches, the capacity forced down (many) or up
// (one), and a kept factor read by a run without factorization, into an area
// for the whole factor when the memory limit allows it and for patches
// otherwise, all give the incore solve of the same factor.
TYPED_TEST(Substitution, OffcoreAndKeptFactorsGiveTheIncoreSolution) {
  using K = TypeParam;
  constexpr bool symmetric = !SolveRun<K>::unsymmetric;
  enum Mode { many_patches, one_patch, kept_with_room, kept_without_room };
  for (bool pivoting : {false, true}) {
    const YaleMatrix original = patch_system(K::solver_type, pivoting, 3);
    for (bool double_precision : {false, true}) {
      RunOptions o{.pivoting = pivoting, .double_precision = double_precision, .perturb = pivoting && symmetric};
      SolveRun<K> incore(original, o);
      ASSERT_EQ(incore.result, 0);
      const auto b = random_vector<typename K::scalar>(original.n, 5);
      for (Mode mode : {many_patches, one_patch, kept_with_room, kept_without_room}) {
        SCOPED_TRACE(testing::Message() << "pivoting " << pivoting << " double " << double_precision << " mode "
                                        << mode);
        o.offcore = true;
        o.patches.patch_entries = mode == many_patches ? 1 : (mode == one_patch ? std::int64_t(1) << 40 : 0);
        SolveRun<K> run(original, o);
        ASSERT_EQ(run.result, 0);
        tessar& s = *run.solver;
        if (mode >= kept_with_room) {
          release_factor_access(s, run.access);
          s.do_factor = false;
          s.Soft_Memory_Limit = mode == kept_with_room ? s.memory_in_use + (1 << 20) : 1;
          prepare_factor_access(s, run.access, reserved_bytes);
        }
        ASSERT_EQ(run.access.offcore, mode != kept_with_room);
        const std::int64_t capacity = run.access.patch_capacity;
        EXPECT_TRUE(mode != many_patches || 2 * capacity < s.NzU) << capacity << " of " << s.NzU;
        EXPECT_TRUE(mode != one_patch || capacity >= s.NzU) << capacity << " of " << s.NzU;
        for (bool transpose : {false, !symmetric}) {
          const auto x = run.solve(b, transpose);
          EXPECT_LT(relative_distance(x, incore.solve(b, transpose)), 1e-12) << "transpose " << transpose;
          if (s.NumPerturbed == 0) {
            EXPECT_LT(run.residual(b, x, transpose), run.tolerance()) << "transpose " << transpose;
          }
        }
      }
    }
  }
}

// Several threads solving different vectors at once give what one thread
// gives, vector for vector. Offcore they ride shared sweeps: the three that
// wait together share one sweep; thread 0 then solves a second vector
// (transposed for the unsymmetric kinds) in a sweep of its own while the
// others leave, which must not leave it waiting; a patch is loaded once per
// sweep, not once per vector.
TYPED_TEST(Substitution, ThreadsSolveTogether) {
  using K = TypeParam;
  using T = typename K::scalar;
  for (bool offcore : {false, true})
    for (bool pivoting : {false, true}) {
      SCOPED_TRACE(testing::Message() << "offcore " << offcore << " pivoting " << pivoting);
      const Family family = pivoting ? pivoting_family(K::solver_type) : plain_family(K::solver_type);
      const YaleMatrix a =
          offcore ? patch_system(K::solver_type, pivoting, 9) : generate(family, 6, K::solver_type, 1, 9).a;
      SolveRun<K> run(a, {.pivoting = pivoting, .perturb = pivoting, .offcore = offcore, .patches = {offcore ? 1 : 0}});
      ASSERT_EQ(run.result, 0);
      ASSERT_EQ(run.access.offcore, offcore);
      constexpr int threads = 3;
      const bool last_transposed = SolveRun<K>::unsymmetric;
      std::vector<std::vector<T>> b(threads + 1), alone(threads + 1), together(threads + 1);
      const PatchTraffic& traffic = run.access.traffic;
      std::vector<std::int64_t> loads(threads + 1);  // by the vector solved alone
      for (int t = 0; t <= threads; ++t) {
        b[t] = random_vector<T>(run.a.n, 200 + t);
        const std::int64_t before = traffic.loads;
        alone[t] = run.solve(b[t], t == threads && last_transposed);
        loads[t] = traffic.loads - before;
      }
      const std::int64_t loads_before = traffic.loads, sweeps_before = traffic.sweeps;
      if (offcore) start_shared_loading(run.access, threads, threads);
      std::latch joined(threads);
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
          if (offcore) join_shared_sweeps(run.access);
          joined.arrive_and_wait();
          together[t] = run.solve(b[t]);
          if (t == 0) together[threads] = run.solve(b[threads], last_transposed);
          if (offcore) leave_shared_sweeps(run.access);
        });
      for (auto& th : pool) th.join();
      for (int t = 0; t <= threads; ++t) EXPECT_EQ(together[t], alone[t]) << "vector " << t;
      if (!offcore) continue;
      EXPECT_EQ(traffic.sweeps - sweeps_before, 2);
      EXPECT_EQ(traffic.loads - loads_before, loads[0] + loads[threads]);
    }
}

}  // namespace
