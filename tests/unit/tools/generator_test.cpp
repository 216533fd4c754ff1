#include "tools/generator/generator.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <string>

#include "io/matrix_file.h"
#include "io/vectors.h"
#include "tests/support/test_support.h"
#include "tests/unit/tools/dense_oracle.h"

namespace {

struct Case {
  Family family;
  int kind;
};

std::vector<Case> every_allowed_case() {
  std::vector<Case> cases;
  for (Family family : all_families())
    for (int kind = 0; kind <= 4; ++kind)
      if (family_allows_kind(family, kind)) cases.push_back({family, kind});
  return cases;
}

// Cholesky of a dense Hermitian (or real symmetric) matrix; false at the first non-positive pivot.
bool positive_definite(Dense a) {
  for (std::int32_t j = 0; j < a.n; ++j) {
    double pivot = a(j, j).real();
    for (std::int32_t k = 0; k < j; ++k) pivot -= std::norm(a(j, k));
    if (!(pivot > 0)) return false;
    a(j, j) = std::sqrt(pivot);
    for (std::int32_t i = j + 1; i < a.n; ++i) {
      for (std::int32_t k = 0; k < j; ++k) a(i, j) -= a(i, k) * std::conj(a(j, k));
      a(i, j) /= a(j, j).real();
    }
  }
  return true;
}

class EveryFamilyAndKind : public ::testing::TestWithParam<Case> {
 protected:
  // Small enough for dense checks, large enough to have interior points.
  GeneratedSystem generate_small(std::int32_t nrhs, std::uint64_t seed = 7) const {
    const Family f = GetParam().family;
    const bool three_d = f == Family::laplace3d || f == Family::helmholtz3d || f == Family::convdiff3d ||
                         f == Family::elasticity3d;
    return generate(f, three_d ? 4 : 5, GetParam().kind, nrhs, seed);
  }
};

// The matrix follows its kind's storage rules, holds complex entries for the
// complex kinds, b = A·x_exact, and the seed alone determines the system.
TEST_P(EveryFamilyAndKind, SystemIsStoredForItsKindAndSolvedByItsExactSolutions) {
  const int kind = GetParam().kind;
  const GeneratedSystem system = generate_small(3);
  EXPECT_EQ(system.kind, kind);
  expect_storage_rules(system.a, kind);
  bool complex_entry = false;
  for (std::int64_t p = 0; p < system.a.nnz; ++p) complex_entry |= stored_value(system.a, p).imag() != 0;
  EXPECT_EQ(complex_entry, kind >= 2);
  const auto x = complex_values(system.x_exact, system.a.complex);
  const auto b = complex_values(system.b, system.a.complex);
  ASSERT_EQ(x.size(), static_cast<std::size_t>(3 * system.a.n));
  ASSERT_EQ(b.size(), x.size());
  for (std::int32_t k = 0; k < 3; ++k) EXPECT_LT(backward_error(system.a, kind, x, b, k), 1e-15) << "vector " << k;
  const GeneratedSystem again = generate_small(3), other = generate_small(3, 8);
  EXPECT_EQ(again.a.values, system.a.values);
  EXPECT_EQ(again.b, system.b);
  EXPECT_NE(other.x_exact, system.x_exact);
}

INSTANTIATE_TEST_SUITE_P(Generator, EveryFamilyAndKind, ::testing::ValuesIn(every_allowed_case()),
                         [](const auto& info) {
                           return std::string(family_name(info.param.family)) + "_kind" +
                                  std::to_string(info.param.kind);
                         });

// Laplacians and elasticity are positive definite; the Hermitian family and the
// real part of Helmholtz are indefinite (neither A nor −A positive definite),
// Helmholtz with a positive absorbing term on the diagonal.
TEST(GeneratorFamilies, DefinitenessIsAsDescribed) {
  const struct {
    Family family;
    int kind;
    bool definite;
  } cases[] = {{Family::laplace2d, 0, true},    {Family::laplace2d, 4, true},   {Family::laplace3d, 0, true},
               {Family::laplace3d, 4, true},    {Family::elasticity3d, 0, true}, {Family::helmholtz3d, 2, false},
               {Family::hermitian, 4, false}};
  for (const auto& c : cases) {
    Dense a = dense_of(generate(c.family, 4, c.kind, 1, 3).a, c.kind);
    for (std::int32_t i = 0; c.kind == 2 && i < a.n; ++i) EXPECT_GT(a(i, i).imag(), 0.0);
    for (Complex& entry : a.entries) entry = c.kind == 2 ? entry.real() : entry;
    EXPECT_EQ(positive_definite(a), c.definite) << family_name(c.family) << " kind " << c.kind;
    for (Complex& entry : a.entries) entry = -entry;
    EXPECT_FALSE(positive_definite(a)) << family_name(c.family) << " kind " << c.kind;
  }
}

// In every kind: the ones vector spans the null space of the singular family
// (kind 4 excepted), pivot2x2 has only zero diagonals, the saddle point one per
// size, and components falls into size disconnected parts.
TEST(GeneratorFamilies, HardCasesHaveTheirNullVectorsZeroDiagonalsAndComponents) {
  for (int kind = 0; kind <= 4; ++kind) {
    const auto zero_diagonals = [&](Family family) {
      const Dense d = dense_of(generate(family, 4, kind, 1, 3).a, kind);
      std::int32_t zeros = 0;
      for (std::int32_t i = 0; i < d.n; ++i) zeros += d(i, i) == 0.0;
      return std::pair{zeros, d.n};
    };
    EXPECT_EQ(zero_diagonals(Family::pivot2x2), std::pair(8, 8)) << "kind " << kind;
    EXPECT_EQ(zero_diagonals(Family::zero_diagonal), std::pair(4, 12)) << "kind " << kind;
    const YaleMatrix singular = generate(Family::singular, 4, kind, 1, 3).a;
    const std::vector<Complex> ones(static_cast<std::size_t>(singular.n), 1.0), zeros(ones.size(), 0.0);
    if (kind < 4) {
      EXPECT_LT(backward_error(singular, kind, ones, zeros, 0), 1e-15) << "kind " << kind;
    }

    const YaleMatrix a = generate(Family::components, 5, kind, 1, 3).a;
    ASSERT_EQ(a.n, 15);
    std::vector<std::int32_t> parent(15);
    std::iota(parent.begin(), parent.end(), 0);
    const auto root = [&](std::int32_t v) {
      while (parent[v] != v) v = parent[v] = parent[parent[v]];
      return v;
    };
    for (std::int32_t i = 0; i < a.n; ++i)
      for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) parent[root(a.col_idx[p])] = root(i);
    std::int32_t parts = 0;
    for (std::int32_t v = 0; v < a.n; ++v) parts += root(v) == v;
    EXPECT_EQ(parts, 5) << "kind " << kind;
  }
}

TEST(GeneratorRequests, RejectsKindsSizesAndCountsItCannotMake) {
  EXPECT_THROW(generate(Family::helmholtz3d, 3, 0, 1, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::convdiff2d, 3, 2, 1, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::hermitian, 3, 2, 1, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::laplace2d, 3, 5, 1, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::laplace2d, 0, 0, 1, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::laplace2d, 3, 0, 0, 1), std::invalid_argument);
  EXPECT_THROW(generate(Family::laplace3d, 2000, 0, 1, 1), std::invalid_argument);
  try {
    write_system("/nonexistent/directory", generate(Family::laplace2d, 2, 0, 1, 1), false);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("/nonexistent/directory/A"), std::string::npos) << error.what();
  }
}

int run_command(const std::string& arguments) {
  const int status = std::system((std::string(TSR_GENERATE_PATH) + " " + arguments + " > out.txt 2> err.txt").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// File sizes for the default kind and an explicit one; a complex system in the
// marker layout as the solver reads it; bad arguments print the usage and exit with 2.
TEST(GenerateCommand, WritesTheRequestedSystemOrExitsWithTwo) {
  ScopedWorkDir dir;
  ASSERT_EQ(run_command("laplace3d 3 ."), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("A").size(), (27u + 3 * 9 * 2) * 16);
  EXPECT_EQ(read_file("b").size(), 27u * 8);
  ASSERT_EQ(run_command("laplace2d 2 . --kind 4"), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("A").size(), 8u * 24);
  ASSERT_EQ(run_command("helmholtz3d 2 . --nrhs 2 --seed 4 --markers"), 0) << read_file("err.txt");
  const GeneratedSystem system = generate(Family::helmholtz3d, 2, 2, 2, 4);
  ScopedEnv markers("TS_READ_ORLAN", "1");
  auto solver = make_test_solver(2);
  const MatrixHeader header = read_matrix_header(*solver);
  EXPECT_EQ(header.n, 8);
  EXPECT_EQ(header.nnz, system.a.nnz);
  EXPECT_EQ(count_rhs(*solver, "b", 8), 2);
  std::vector<double> second(16);
  read_rhs_vector(*solver, 8, second.data(), 2 * sizeof(double), 1, 2);
  EXPECT_EQ(second, std::vector<double>(system.b.begin() + 16, system.b.end()));
  for (const char* arguments : {"", "laplace3d 3", "cube 3 .", "laplace3d three .", "laplace3d 3 . --kind",
                                "laplace3d 3 . --kind 7", "helmholtz3d 3 . --kind 0", "laplace3d 3 . --colour red"}) {
    EXPECT_EQ(run_command(arguments), 2) << arguments;
    EXPECT_NE(read_file("err.txt").find("usage: tsr_generate"), std::string::npos) << arguments;
  }
}

}  // namespace
