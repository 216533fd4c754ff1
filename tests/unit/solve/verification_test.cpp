// The residuals the on-disk check logs and the in-solve checks return, against
// ‖A·x − b‖₂ / ‖b‖₂ from the test support, on random vectors (residuals of
// order one, so that every entry counts).
#include "solve/verification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "io/vectors.h"
#include "platform/kind_traits.h"
#include "solve/matrix_product.h"
#include "tests/support/test_support.h"
#include "tests/unit/kernels/dense_fixtures.h"
#include "tools/generator/generator.h"

namespace {

using kernel_tests::random_value, kernel_tests::random_vector;
constexpr std::uint64_t base_seed = 20'240'611;

// The 5-point pattern of a 4 × 4 grid in the kind's storage with random values
// and diagonals of different sizes (real for the Hermitian kind).
template <class K>
YaleMatrix random_matrix(std::mt19937_64& rng) {
  using T = typename K::scalar;
  YaleMatrix a = generate(Family::laplace2d, 4, K::solver_type, 1, base_seed).a;
  auto* v = reinterpret_cast<T*>(a.values.data());
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      v[p] = random_value<T>(rng);
      if (a.col_idx[p] != i) continue;
      if constexpr (K::symmetry == Symmetry::hermitian) v[p] = T(v[p].real(), 0.0);
      v[p] += T(2.0 + i % 5);
    }
  return a;
}

// ‖A·x − b‖₂ / ‖b‖₂ of vector k, by the test support.
template <class K, class T>
double oracle_residual(const YaleMatrix& a, const std::vector<T>& x, const std::vector<T>& b, std::int32_t k = 0) {
  return relative_residual(a, K::solver_type, {x.begin(), x.end()}, {b.begin(), b.end()}, k);
}

// The same matrix stored by lower-triangle rows.
template <class K>
YaleMatrix lower_triangle_of(const YaleMatrix& upper) {
  using T = typename K::scalar;
  const auto* v = reinterpret_cast<const T*>(upper.values.data());
  std::vector<std::vector<std::pair<std::int32_t, T>>> rows(upper.n);
  for (std::int32_t i = 0; i < upper.n; ++i)
    for (std::int64_t p = upper.row_ptr[i]; p < upper.row_ptr[i + 1]; ++p) {
      const std::int32_t j = upper.col_idx[p];
      rows[j].emplace_back(i, j == i ? v[p] : K::mirror(v[p]));
    }
  YaleMatrix lower = upper;
  auto* w = reinterpret_cast<T*>(lower.values.data());
  std::int64_t p = 0;
  for (std::int32_t i = 0; i < upper.n; ++i) {
    std::sort(rows[i].begin(), rows[i].end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& [j, value] : rows[i]) {
      lower.col_idx[p] = j;
      w[p++] = value;
    }
    lower.row_ptr[i + 1] = p;
  }
  return lower;
}

template <class T>
void write_vectors(const char* name, const std::vector<T>& v) {
  write_file(name, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T)));
}

template <class K>
class VerificationTest : public ::testing::Test {
 protected:
  using T = typename K::scalar;
  ScopedWorkDir dir;
  LogCapture log{2};
  std::unique_ptr<tessar> solver = make_test_solver(K::solver_type);
  std::mt19937_64 rng{base_seed + K::solver_type};

  // Checks the "Svtr%d  Rel.Error = %le\n" lines logged after the first
  // `earlier` ones, one for each vector of b and x, against the oracle.
  void expect_disk_residuals(const YaleMatrix& a, const std::vector<T>& b, const std::vector<T>& x,
                             std::size_t earlier) {
    const std::string text = log.text();
    static const std::regex line(R"(Svtr(\d+)  Rel\.Error = (\S+)\n)");
    std::vector<std::pair<int, double>> logged;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
      logged.emplace_back(std::stoi((*it)[1]), std::stod((*it)[2]));
    const std::size_t count = b.size() / a.n;
    ASSERT_EQ(logged.size(), earlier + count);
    for (std::size_t k = 0; k < count; ++k) {
      const double expected = oracle_residual<K>(a, x, b, k);
      EXPECT_EQ(logged[earlier + k].first, static_cast<int>(k));
      EXPECT_NEAR(logged[earlier + k].second, expected, 1e-6 * expected) << "vector " << k;
    }
  }

  // Message and code of the fatal error the on-disk check ends with.
  Failure disk_check_failure(YaleMatrix& a) {
    return failure_of([&] { CheckSolutionsOnDisk<K>(*solver, a); });
  }
};
TYPED_TEST_SUITE(VerificationTest, kernel_tests::KernelKinds);

// "b" plain or framed by record markers, "x" plain as the solve writes it.
TYPED_TEST(VerificationTest, OnDiskCheckLogsEveryVectorsResidual) {
  using T = typename TypeParam::scalar;
  for (bool markers : {false, true}) {
    SCOPED_TRACE(markers ? "markers" : "plain");
    std::optional<ScopedEnv> env;
    if (markers) env.emplace("TS_READ_ORLAN", "1");
    YaleMatrix a = random_matrix<TypeParam>(this->rng);
    const YaleMatrix original = a;
    const auto b = random_vector<T>((markers ? 2 : 3) * a.n, this->rng), x = random_vector<T>(b.size(), this->rng);
    if (markers) {
      std::FILE* file = std::fopen("b", "wb");
      ASSERT_TRUE(write_vector_records(file, reinterpret_cast<const double*>(b.data()), a.n, 2,
                                       TypeParam::is_complex ? 2 : 1, true));
      std::fclose(file);
    } else {
      write_vectors("b", b);
    }
    write_vectors("x", x);
    CheckSolutionsOnDisk<TypeParam>(*this->solver, a);
    this->expect_disk_residuals(original, b, x, markers ? 3 : 0);
  }
}

// Differing vector counts fail before any residual is logged; a zero
// right-hand side needs a zero solution.
TYPED_TEST(VerificationTest, OnDiskCheckFailures) {
  using T = typename TypeParam::scalar;
  YaleMatrix a = random_matrix<TypeParam>(this->rng);
  write_vectors("b", random_vector<T>(3 * a.n, this->rng));
  write_vectors("x", random_vector<T>(2 * a.n, this->rng));
  EXPECT_EQ(this->disk_check_failure(a), Failure("Size of x file is different from size of b", 1));
  EXPECT_FALSE(this->log.contains("Rel.Error"));

  std::vector<T> zero(a.n, T(0));
  write_vectors("b", zero);
  write_vectors("x", zero);
  CheckSolutionsOnDisk<TypeParam>(*this->solver, a);
  EXPECT_TRUE(this->log.contains("Svtr0  Rel.Error = 0.000000e+00\n"));
  zero[5] = T(1e-30);
  write_vectors("x", zero);
  EXPECT_EQ(this->disk_check_failure(a), Failure("Nontrivial solution for zero RHS", 1));
}

// The relative residual, which credits its vector back, and the confirmation:
// a solution off by rounding passes only as exact up to rounding, one further
// off only under a tolerance above its residual, non-finite values never.
TYPED_TEST(VerificationTest, ConfirmationPassesOnlyFiniteSolutionsWithinTheTolerances) {
  using T = typename TypeParam::scalar;
  const YaleMatrix a = random_matrix<TypeParam>(this->rng);
  const std::int32_t n = a.n;
  const auto x = random_vector<T>(n, this->rng), y = random_vector<T>(n, this->rng);
  const std::int64_t in_use = this->solver->memory_in_use;
  const double residual = RelativeResidual<TypeParam>(*this->solver, a, x.data(), y.data());
  EXPECT_NEAR(residual, oracle_residual<TypeParam>(a, x, y), 1e-13 * residual);
  EXPECT_EQ(this->solver->memory_in_use, in_use);

  std::vector<T> b(n), r(n);
  multiply_matrix<TypeParam>(a, x.data(), b.data());
  const double norm = MatrixInfinityNorm<TypeParam>(a);
  if constexpr (TypeParam::symmetry != Symmetry::unsymmetric) {
    EXPECT_EQ(MatrixInfinityNorm<TypeParam>(lower_triangle_of<TypeParam>(a)), norm);
  }
  auto off = x;
  off[3] *= 1 + 4e-15;
  const Confirmation rounding = ConfirmSolution<TypeParam>(a, norm, off.data(), b.data(), r.data(), 1e-20);
  EXPECT_TRUE(rounding.at_rounding_level && !rounding.passed) << "backward error " << rounding.backward;

  off = x;
  off[3] += T(1e-3);
  const double expected = oracle_residual<TypeParam>(a, off, b);
  for (const double tolerance : {expected * 2, expected / 2}) {
    const Confirmation c = ConfirmSolution<TypeParam>(a, norm, off.data(), b.data(), r.data(), tolerance);
    EXPECT_NEAR(c.relative, expected, 1e-10 * expected);
    EXPECT_EQ(c.passed, tolerance > expected);
    EXPECT_FALSE(c.at_rounding_level);
  }
  off[3] = T(std::nan(""));
  const Confirmation nan = ConfirmSolution<TypeParam>(a, norm, off.data(), b.data(), r.data(), 1.0);
  EXPECT_FALSE(nan.passed || nan.at_rounding_level);

  const std::vector<T> zero(n, T(0));
  EXPECT_TRUE(ConfirmSolution<TypeParam>(a, norm, zero.data(), zero.data(), r.data(), 1e-11).passed);
  EXPECT_FALSE(ConfirmSolution<TypeParam>(a, norm, x.data(), zero.data(), r.data(), 1e-11).passed);
}

// The on-disk check turns symmetric lower-triangle rows into exactly the upper
// rows and logs the oracle's residuals; upper rows, and the whole rows of the
// unsymmetric kinds, are left alone.
TYPED_TEST(VerificationTest, LowerTriangleRowsBecomeTheUpperRows) {
  using T = typename TypeParam::scalar;
  const YaleMatrix upper = random_matrix<TypeParam>(this->rng);
  YaleMatrix unchanged = upper;
  EXPECT_FALSE(ConvertLowerTriangleRows<TypeParam>(*this->solver, unchanged));
  EXPECT_EQ(std::tie(unchanged.col_idx, unchanged.values), std::tie(upper.col_idx, upper.values));
  if constexpr (TypeParam::symmetry != Symmetry::unsymmetric) {
    YaleMatrix lower = lower_triangle_of<TypeParam>(upper);
    const auto b = random_vector<T>(2 * upper.n, this->rng), x = random_vector<T>(2 * upper.n, this->rng);
    write_vectors("b", b);
    write_vectors("x", x);
    this->solver->lower_triangular = 1;
    CheckSolutionsOnDisk<TypeParam>(*this->solver, lower);
    this->expect_disk_residuals(upper, b, x, 0);
    EXPECT_EQ(std::tie(lower.row_ptr, lower.col_idx, lower.values),
              std::tie(upper.row_ptr, upper.col_idx, upper.values));
  }
}

}  // namespace
