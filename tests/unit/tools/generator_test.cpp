#include "tools/generator/generator.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(family_name(info.param.family)) + "_kind" + std::to_string(info.param.kind);
}

std::vector<Case> every_allowed_case() {
  std::vector<Case> cases;
  for (Family family : all_families())
    for (int kind = 0; kind <= 4; ++kind)
      if (family_allows_kind(family, kind)) cases.push_back({family, kind});
  return cases;
}

// Small enough for dense checks, large enough to have interior points.
std::int32_t small_size(Family family) {
  const bool three_d = family == Family::laplace3d || family == Family::helmholtz3d || family == Family::convdiff3d ||
                       family == Family::elasticity3d;
  return three_d ? 4 : 5;
}

// Cholesky of a dense Hermitian (or real symmetric) matrix; false at the first
// non-positive pivot.
bool positive_definite(Dense a) {
  for (std::int32_t j = 0; j < a.n; ++j) {
    double pivot = a(j, j).real();
    for (std::int32_t k = 0; k < j; ++k) pivot -= std::norm(a(j, k));
    if (!(pivot > 0)) return false;
    a(j, j) = std::sqrt(pivot);
    for (std::int32_t i = j + 1; i < a.n; ++i) {
      Complex sum = a(i, j);
      for (std::int32_t k = 0; k < j; ++k) sum -= a(i, k) * std::conj(a(j, k));
      a(i, j) = sum / a(j, j).real();
    }
  }
  return true;
}

std::int32_t connected_components(const YaleMatrix& a) {
  std::vector<std::int32_t> parent(a.n);
  std::iota(parent.begin(), parent.end(), 0);
  const auto root = [&](std::int32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  };
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) parent[root(a.col_idx[p])] = root(i);
  std::int32_t count = 0;
  for (std::int32_t v = 0; v < a.n; ++v) count += root(v) == v;
  return count;
}

std::vector<Complex> stored_diagonal(const YaleMatrix& a) {
  std::vector<Complex> diagonal;
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p)
      if (a.col_idx[p] == i) diagonal.push_back(stored_value(a, p));
  return diagonal;
}

class EveryFamilyAndKind : public ::testing::TestWithParam<Case> {
 protected:
  GeneratedSystem generate_small(std::int32_t nrhs, std::uint64_t seed = 7) const {
    return generate(GetParam().family, small_size(GetParam().family), GetParam().kind, nrhs, seed);
  }
};

TEST_P(EveryFamilyAndKind, MatrixFollowsTheStorageRulesOfItsKind) {
  const GeneratedSystem system = generate_small(1);
  EXPECT_EQ(system.kind, GetParam().kind);
  expect_storage_rules(system.a, GetParam().kind);
}

TEST_P(EveryFamilyAndKind, ExactSolutionsSatisfyTheSystem) {
  const GeneratedSystem system = generate_small(3);
  const Dense a = dense_of(system.a, GetParam().kind);
  const auto x = complex_values(system.x_exact, system.a.complex);
  const auto b = complex_values(system.b, system.a.complex);
  ASSERT_EQ(x.size(), static_cast<std::size_t>(3 * a.n));
  ASSERT_EQ(b.size(), x.size());
  for (std::size_t k = 0; k < 3; ++k) EXPECT_LT(scaled_residual(a, x, b, k * a.n), 1e-15) << "vector " << k;
}

TEST_P(EveryFamilyAndKind, SeedDeterminesTheSystem) {
  const GeneratedSystem first = generate_small(1, 11);
  const GeneratedSystem again = generate_small(1, 11);
  const GeneratedSystem other = generate_small(1, 12);
  EXPECT_EQ(first.a.values, again.a.values);
  EXPECT_EQ(first.b, again.b);
  EXPECT_NE(first.x_exact, other.x_exact);
}

// "A" and "b" as the solver reads them, through its own reader and input check.
YaleMatrix read_with_solver(int kind, std::int32_t& nrhs) {
  auto solver = make_test_solver(kind);
  const MatrixHeader header = read_matrix_header(*solver);
  YaleMatrix a;
  a.n = header.n;
  a.nnz = header.nnz;
  a.col_idx.resize(static_cast<std::size_t>(header.nnz));
  a.values.resize(static_cast<std::size_t>(header.nnz) * (kind >= 2 ? 2 : 1));
  if (kind >= 2)
    read_matrix_complex(*solver, a);
  else
    read_matrix_real(*solver, a);
  check_input_matrix(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
  nrhs = count_rhs(*solver, "b", a.n);
  return a;
}

TEST_P(EveryFamilyAndKind, SolverReadsTheWrittenFilesInBothLayouts) {
  ScopedWorkDir dir;
  const GeneratedSystem system = generate_small(2);
  for (const char* markers : {"0", "1"}) {
    ScopedEnv layout("TS_READ_ORLAN", markers);
    write_system(dir.path(), system, markers[0] == '1');
    std::int32_t nrhs = 0;
    const YaleMatrix a = read_with_solver(GetParam().kind, nrhs);
    EXPECT_EQ(a.row_ptr, system.a.row_ptr);
    EXPECT_EQ(a.col_idx, system.a.col_idx);
    EXPECT_EQ(a.values, system.a.values);
    EXPECT_EQ(nrhs, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Generator, EveryFamilyAndKind, ::testing::ValuesIn(every_allowed_case()), case_name);

TEST(GeneratorFamilies, ComplexKindsHaveComplexEntries) {
  for (const Case& c : every_allowed_case()) {
    if (c.kind < 2) continue;
    const YaleMatrix a = generate(c.family, small_size(c.family), c.kind, 1, 7).a;
    bool complex_entry = false;
    for (std::int64_t p = 0; p < a.nnz; ++p) complex_entry = complex_entry || stored_value(a, p).imag() != 0;
    EXPECT_TRUE(complex_entry) << family_name(c.family) << " kind " << c.kind;
  }
}

TEST(GeneratorFamilies, LaplaciansArePositiveDefiniteInTheRealAndHermitianKinds) {
  for (Family family : {Family::laplace2d, Family::laplace3d})
    for (int kind : {0, 4}) EXPECT_TRUE(positive_definite(dense_of(generate(family, 4, kind, 1, 3).a, kind)));
}

// Three unknowns per point; the divergence term couples different components
// of diagonal neighbours (points 0 and 1 + 4 + 16 of the 4³ grid share a cell).
TEST(GeneratorFamilies, ElasticityIsPositiveDefiniteAndCouplesComponentsAcrossCells) {
  const YaleMatrix a = generate(Family::elasticity3d, 4, 0, 1, 3).a;
  ASSERT_EQ(a.n, 3 * 64);
  const Dense d = dense_of(a, 0);
  EXPECT_TRUE(positive_definite(d));
  const std::int32_t corner = 0, opposite = 1 + 4 + 16;
  EXPECT_NE(d(3 * corner, 3 * opposite + 1).real(), 0.0);
  EXPECT_NE(d(3 * corner + 2, 3 * opposite).real(), 0.0);
  EXPECT_EQ(d(3 * corner, 3 * (opposite + 1)).real(), 0.0);
}

Dense scaled(Dense a, Complex factor) {
  for (Complex& entry : a.entries) entry *= factor;
  return a;
}

// Neither A nor −A positive definite.
bool indefinite(const Dense& a) { return !positive_definite(a) && !positive_definite(scaled(a, -1.0)); }

TEST(GeneratorFamilies, HelmholtzIsIndefiniteWithAPositiveAbsorbingTerm) {
  const Dense a = dense_of(generate(Family::helmholtz3d, 4, 2, 1, 3).a, 2);
  Dense real_part = a;
  for (Complex& entry : real_part.entries) entry = entry.real();
  EXPECT_TRUE(indefinite(real_part));
  for (std::int32_t i = 0; i < a.n; ++i) EXPECT_GT(a(i, i).imag(), 0.0);
}

TEST(GeneratorFamilies, HermitianFamilyIsIndefinite) {
  const YaleMatrix a = generate(Family::hermitian, 6, 4, 1, 3).a;
  EXPECT_TRUE(indefinite(dense_of(a, 4)));
  bool complex_coupling = false;
  for (std::int64_t p = 0; p < a.nnz; ++p) complex_coupling = complex_coupling || stored_value(a, p).imag() != 0;
  EXPECT_TRUE(complex_coupling);
}

TEST(GeneratorFamilies, SingularFamilyAnnihilatesTheOnesVector) {
  for (int kind : {0, 1, 2, 3}) {
    const Dense a = dense_of(generate(Family::singular, 4, kind, 1, 3).a, kind);
    const std::vector<Complex> ones(a.n, 1.0), zeros(a.n, 0.0);
    EXPECT_LT(scaled_residual(a, ones, zeros, 0), 1e-15) << "kind " << kind;
  }
}

TEST(GeneratorFamilies, HardCasesHaveTheirZeroDiagonalsAndComponents) {
  for (int kind = 0; kind <= 4; ++kind) {
    const auto pivot = stored_diagonal(generate(Family::pivot2x2, 4, kind, 1, 3).a);
    EXPECT_EQ(pivot.size(), 8u);
    EXPECT_EQ(std::count(pivot.begin(), pivot.end(), Complex(0.0)), 8) << "kind " << kind;
    const auto saddle = stored_diagonal(generate(Family::zero_diagonal, 4, kind, 1, 3).a);
    EXPECT_EQ(saddle.size(), 12u);
    EXPECT_EQ(std::count(saddle.begin(), saddle.end(), Complex(0.0)), 4) << "kind " << kind;
    const YaleMatrix components = generate(Family::components, 5, kind, 1, 3).a;
    EXPECT_EQ(components.n, 15);
    EXPECT_EQ(connected_components(components), 5) << "kind " << kind;
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
}

TEST(GeneratorFiles, WriteFailureNamesTheFile) {
  const GeneratedSystem system = generate(Family::laplace2d, 2, 0, 1, 1);
  try {
    write_system("/nonexistent/directory", system, false);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("/nonexistent/directory/A"), std::string::npos) << error.what();
  }
}

int run_command(const std::string& arguments) {
  const int status = std::system((std::string(TSR_GENERATE_PATH) + " " + arguments + " > out.txt 2> err.txt").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(GenerateCommand, WritesTheDefaultKindIntoTheGivenDirectory) {
  ScopedWorkDir dir;
  ASSERT_EQ(run_command("laplace3d 3 ."), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("A").size(), (27u + 3 * 9 * 2) * 16);
  EXPECT_EQ(read_file("b").size(), 27u * 8);
  ASSERT_EQ(run_command("helmholtz3d 2 . --nrhs 2 --seed 4 --markers"), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("b").size(), 2u * (8 * 16 + 8));
  ASSERT_EQ(run_command("laplace2d 2 . --kind 4"), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("A").size(), 8u * 24);
}

TEST(GenerateCommand, BadArgumentsPrintUsageAndExitWithTwo) {
  ScopedWorkDir dir;
  for (const char* arguments : {"", "laplace3d 3", "cube 3 .", "laplace3d three .", "laplace3d 3 . --kind",
                                "laplace3d 3 . --kind 7", "helmholtz3d 3 . --kind 0", "laplace3d 3 . --colour red"}) {
    EXPECT_EQ(run_command(arguments), 2) << arguments;
    EXPECT_NE(read_file("err.txt").find("usage: tsr_generate"), std::string::npos) << arguments;
  }
}

}  // namespace
