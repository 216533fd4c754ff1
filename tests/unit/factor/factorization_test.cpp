// The stored factor blocks, PivotOrder and permutation multiplied back out and
// compared with the (permuted, scaled) input: every kind, both paths, both
// storage precisions, incore and offcore.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "analysis/reorder.h"
#include "core/tessar.h"
#include "factor_oracle.h"
#include "tests/support/test_support.h"
#include "tests/unit/kernels/dense_fixtures.h"
#include "tools/generator/generator.h"

namespace {

using namespace factor_tests;

struct RunOptions {
  bool pivoting = false, double_precision = false, single_fronts = false, diag_scale = false, perturb = false,
       offcore = false, keep = false;
  std::int32_t zero_fill = 128;
};

template <class K>
struct FactorRun {
  using T = typename K::scalar;
  std::unique_ptr<tessar> solver;
  int result = -1;
  Dense<T> input;

  explicit FactorRun(const YaleMatrix& original, const RunOptions& o) : input(dense_input<K>(original)) {
    solver = make_test_solver(K::solver_type);
    solver->pivoting = o.pivoting;
    solver->allow_perturbation = o.perturb;
    solver->double_precision = o.double_precision;
    solver->single_updates = o.single_fronts;
    solver->set_elem_size();
    solver->diag_scale = o.diag_scale;
    solver->max_zero_fill = o.zero_fill;
    solver->save_factor = o.keep;
    if (o.offcore) solver->Soft_Memory_Limit = 1;
    YaleMatrix a = original;
    Reorder(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
    result = solver->factorize(a);
  }

  // The input as the factor should represent it: scaled, permuted and
  // interchanged by the pivots.
  Dense<T> expected() const {
    Dense<T> a = input;
    if (solver->diag_scale) {
      const auto* s = reinterpret_cast<const T*>(solver->scale_vector.data());
      for (std::int32_t j = 0; j < a.n; ++j)
        for (std::int32_t i = 0; i < a.n; ++i) a(i, j) = s[i] * a(i, j) * s[j];
    }
    Dense<T> b = permuted(a, solver->iperm.data());
    if (!solver->pivoting) return b;
    return interchanged(b, solver->PivotOrder.data(), K::symmetry != Symmetry::unsymmetric);
  }

  template <class Stored>
  Dense<T> rebuilt_from(const Stored* u, const Stored* l) const {
    return multiply_out<K>(read_factors<K, Stored>(*solver, u, l, solver->pivoting));
  }

  // Rebuilt from the in-memory factor region.
  Dense<T> rebuilt() const {
    if (solver->double_precision)
      return rebuilt_from(static_cast<const T*>(solver->u_factor_buffer()), static_cast<const T*>(solver->l_factor_buffer()));
    using S = std::conditional_t<K::is_complex, std::complex<float>, float>;
    return rebuilt_from(static_cast<const S*>(solver->u_factor_buffer()), static_cast<const S*>(solver->l_factor_buffer()));
  }

  double tolerance() const { return (solver->double_precision ? 1e-13 : 1e-6) * std::sqrt(double(input.n)); }
};

template <class K>
class Factorization : public ::testing::Test {
 protected:
  ScopedWorkDir dir_;
};
TYPED_TEST_SUITE(Factorization, kernel_tests::KernelKinds);

// Small members of every family the kind allows.
std::vector<std::pair<Family, std::int32_t>> small_families() {
  return {{Family::laplace2d, 9},  {Family::laplace3d, 5}, {Family::helmholtz3d, 5}, {Family::convdiff2d, 9},
          {Family::convdiff3d, 4}, {Family::hermitian, 7}, {Family::zero_diagonal, 12}, {Family::pivot2x2, 9},
          {Family::components, 9}};
}

// Families that need interchanges: without pivoting they meet a zero pivot.
bool needs_pivoting(Family family) { return family == Family::zero_diagonal || family == Family::pivot2x2; }

TYPED_TEST(Factorization, FactorRebuildsTheInputOnEveryFamilyAndPath) {
  using K = TypeParam;
  for (auto [family, size] : small_families()) {
    if (!family_allows_kind(family, K::solver_type)) continue;
    const YaleMatrix a = generate(family, size, K::solver_type, 1, 5).a;
    for (bool pivoting : {false, true}) {
      if (needs_pivoting(family) && !pivoting) continue;
      // A single-precision factor from double or (plain path) single-precision fronts, a double one.
      for (const int precision : {0, 1, 2}) {
        if (precision == 1 && pivoting) continue;
        // Without merged supernodes (no zero fill) a zero diagonal falls in a
        // supernode too narrow to pivot around it: its columns are delayed.
        RunOptions o{.pivoting = pivoting, .double_precision = precision == 2, .single_fronts = precision == 1,
                     .diag_scale = precision == 2 && !needs_pivoting(family), .zero_fill = precision == 2 ? 128 : 0};
        FactorRun<K> run(a, o);
        ASSERT_EQ(run.result, 0) << family_name(family);
        EXPECT_LT(relative_difference(run.rebuilt(), run.expected()), run.tolerance())
            << family_name(family) << " pivoting " << pivoting << " precision " << precision;
      }
    }
  }
}

TYPED_TEST(Factorization, OffcoreFilesHoldTheIncoreFactor) {
  using K = TypeParam;
  const Family family = K::symmetry == Symmetry::unsymmetric ? Family::convdiff3d : Family::laplace3d;
  const YaleMatrix a = generate(family, 6, K::solver_type, 1, 3).a;
  for (bool pivoting : {false, true}) {
    RunOptions o{.pivoting = pivoting};
    FactorRun<K> incore(a, o);
    ASSERT_EQ(incore.result, 0);
    ASSERT_FALSE(incore.solver->offcore);
    const auto* u = static_cast<const char*>(incore.solver->u_factor_buffer());
    const std::string u_incore(u, u + incore.solver->NzU * incore.solver->elem_size);
    o.offcore = true;
    FactorRun<K> offcore(a, o);
    ASSERT_EQ(offcore.result, 0);
    ASSERT_TRUE(offcore.solver->offcore);
    EXPECT_EQ(read_file("U"), u_incore) << "pivoting " << pivoting;
    if (K::symmetry == Symmetry::unsymmetric) {
      const std::int64_t l_entries = pivoting ? incore.solver->NzU : incore.solver->NzU - a.n;
      const auto* l = static_cast<const char*>(incore.solver->l_factor_buffer());
      EXPECT_EQ(read_file("L"), std::string(l, l + l_entries * incore.solver->elem_size));
    }
  }
}

// A rank-one matrix of ones: the second pivot is exactly zero.
template <class K>
YaleMatrix ones_matrix(std::int32_t n) {
  std::vector<std::int32_t> rows, cols;
  std::vector<double> values;
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int32_t j = K::symmetry == Symmetry::unsymmetric ? 0 : i; j < n; ++j) {
      rows.push_back(i);
      cols.push_back(j);
      values.push_back(1.0);
      if (K::is_complex) values.push_back(0.0);
    }
  return matrix_from_entries(n, rows, cols, values, K::is_complex);
}

TYPED_TEST(Factorization, SingularMatrixIsReportedUnlessPerturbationIsAllowed) {
  using K = TypeParam;
  const YaleMatrix a = ones_matrix<K>(6);
  for (bool pivoting : {false, true}) {
    LogCapture log;
    FactorRun<K> run(a, RunOptions{.pivoting = pivoting, .keep = true});
    EXPECT_EQ(run.result, 16) << "pivoting " << pivoting;
    EXPECT_NE(log.text().find("ERROR:   Singular matrix"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("index")) << "a failed factorization must not leave its analysis behind";
  }
  LogCapture log;
  FactorRun<K> perturbed(a, RunOptions{.pivoting = true, .perturb = true});
  EXPECT_EQ(perturbed.result, 0);
  EXPECT_GE(perturbed.solver->NumPerturbed, 1);
  EXPECT_NE(log.text().find("Number of perturbed pivots = "), std::string::npos);
}

TYPED_TEST(Factorization, ValuesThatAreNotFiniteEndTheRun) {
  using K = TypeParam;
  YaleMatrix a = generate(Family::laplace2d, 4, K::solver_type, 1, 1).a;
  a.values[a.values.size() - 1] = std::nan("");
  EXPECT_EQ(failure_of([&] { FactorRun<K> run(a, RunOptions{}); }), Failure("Invalid Matix", 1));
}

}  // namespace
