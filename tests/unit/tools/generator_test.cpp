#include "tools/generator/generator.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "io/matrix_file.h"
#include "tests/support/test_support.h"
#include "tests/unit/tools/storage_rules.h"

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

// In every kind: the ones vector spans the null space of the singular family
// (kind 4 excepted), pivot2x2 has only zero diagonals, the saddle point one per
// size.
TEST(GeneratorFamilies, HardCasesHaveTheirNullVectorsAndZeroDiagonals) {
  for (int kind = 0; kind <= 4; ++kind) {
    const auto zero_diagonals = [&](Family family) {
      const YaleMatrix a = generate(family, 4, kind, 1, 3).a;
      expect_storage_rules(a, kind);  // every diagonal stored
      std::int32_t zeros = 0;
      for (std::int32_t i = 0; i < a.n; ++i)
        for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p)
          zeros += a.col_idx[p] == i && stored_value(a, p) == 0.0;
      return std::pair{zeros, a.n};
    };
    EXPECT_EQ(zero_diagonals(Family::pivot2x2), std::pair(8, 8)) << "kind " << kind;
    EXPECT_EQ(zero_diagonals(Family::zero_diagonal), std::pair(4, 12)) << "kind " << kind;
    const YaleMatrix singular = generate(Family::singular, 4, kind, 1, 3).a;
    const std::vector<std::complex<double>> ones(static_cast<std::size_t>(singular.n), 1.0), zeros(ones.size(), 0.0);
    if (kind < 4) { EXPECT_LT(backward_error(singular, kind, ones, zeros, 0), 1e-15) << "kind " << kind; }
  }
}

}  // namespace
