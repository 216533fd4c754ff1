#include "tools/mm/matrix_market.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "tests/support/test_support.h"
#include "tests/unit/tools/storage_rules.h"
#include "tools/generator/generator.h"

namespace {

class MatrixMarketTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
};

TEST_F(MatrixMarketTest, GeneratedMatricesSurviveARoundTripInEveryKind) {
  for (Family family : {Family::laplace2d, Family::zero_diagonal, Family::pivot2x2, Family::convdiff2d,
                        Family::helmholtz3d, Family::hermitian}) {
    for (int kind = 0; kind <= 4; ++kind) {
      if (!family_allows_kind(family, kind)) continue;
      SCOPED_TRACE(std::string(family_name(family)) + " kind " + std::to_string(kind));
      const YaleMatrix a = generate(family, 3, kind, 1, 9).a;
      write_matrix_market("round.mtx", a, kind);
      const MmMatrix file = read_matrix_market("round.mtx");
      EXPECT_EQ(default_kind(file), kind);
      const YaleMatrix back = convert_to_kind(file, kind);
      EXPECT_EQ(std::tie(back.row_ptr, back.col_idx, back.values, back.complex),
                std::tie(a.row_ptr, a.col_idx, a.values, a.complex));
    }
  }
}

// Each file's default kind, and its stored form in a kind: the upper triangle for
// the symmetric kinds (a lower one mirrored, conjugated for Hermitian), every
// entry with its mirror for the unsymmetric kinds (negated for skew files), and
// explicit zeros for absent diagonals and mirrors.
TEST_F(MatrixMarketTest, FilesConvertToTheStoredFormOfEachKind) {
  const std::string head = "%%MatrixMarket matrix coordinate ";
  const std::string hermitian = head + "complex hermitian\n2 2 3\n1 1 2 0\n2 1 1 2\n2 2 3 0\n";
  const std::string symmetric = head + "real symmetric\n2 2 2\n1 1 1\n2 1 3\n";
  const struct {
    std::string text;
    int default_kind, kind;
    std::vector<std::int32_t> cols;
    std::vector<double> values;
  } cases[] = {
      {head + "real symmetric\n% lower\n3 3 4\n1 1 4\n2 1 -1\n3 2 -2\n3 3 5\n", 0, 0, {0, 1, 1, 2, 2},
       {4, -1, 0, -2, 5}},
      {head + "real symmetric\n3 3 4\n1 1 4\n1 2 -1\n2 3 -2\n3 3 5\n", 0, 0, {0, 1, 1, 2, 2}, {4, -1, 0, -2, 5}},
      {hermitian, 4, 4, {0, 1, 1}, {2, 0, 1, -2, 3, 0}},
      {hermitian, 4, 3, {0, 1, 0, 1}, {2, 0, 1, -2, 1, 2, 3, 0}},
      {head + "integer general\n3 3 2\n1 3 7\n2 2 1\n", 1, 1, {0, 2, 1, 0, 2}, {0, 7, 1, 0, 0}},
      {symmetric, 0, 1, {0, 1, 0, 1}, {1, 3, 3, 0}},
      {symmetric, 0, 3, {0, 1, 0, 1}, {1, 0, 3, 0, 3, 0, 0, 0}},
      {head + "real skew-symmetric\n2 2 1\n2 1 3\n", 1, 1, {0, 1, 0, 1}, {0, -3, 3, 0}},
      {head + "complex general\n2 2 3\n1 2 1 1\n2 1 1 1\n2 2 1 0\n", 3, 2, {0, 1, 1}, {0, 0, 1, 1, 1, 0}},
      {head + "complex symmetric\n2 2 2\n1 1 1 1\n2 1 2 0\n", 2, 2, {0, 1, 1}, {1, 1, 2, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    write_file("m.mtx", c.text);
    const MmMatrix file = read_matrix_market("m.mtx");
    EXPECT_EQ(default_kind(file), c.default_kind);
    const YaleMatrix a = convert_to_kind(file, c.kind);
    expect_storage_rules(a, c.kind);
    EXPECT_EQ(a.col_idx, c.cols);
    EXPECT_EQ(a.values, c.values);
  }
}

// Also a file the kind cannot hold; the message is checked from its start.
TEST_F(MatrixMarketTest, BadFilesAreRejectedNamingTheLine) {
  const std::string real = "%%MatrixMarket matrix coordinate real general\n";
  const std::string complex = "%%MatrixMarket matrix coordinate complex general\n";
  const std::string skew = "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 3\n";
  const struct {
    std::string text;
    int kind;
    const char* message;
  } cases[] = {
      {"", 1, "m.mtx:0: the file is empty"},
      {"%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 1\n", 1, "m.mtx:1: the first line is not"},
      {"%%MatrixMarket matrix coordinate real\n", 1, "m.mtx:1: the banner needs 4 words"},
      {"%%MatrixMarket matrix coordinate pattern general\n", 1, "m.mtx:1: pattern matrices"},
      {"%%MatrixMarket matrix coordinate quaternion general\n", 1, "m.mtx:1: unknown field"},
      {"%%MatrixMarket matrix array real general\n2 2\n", 1, "m.mtx:1: a matrix must be in coordinate format"},
      {"%%MatrixMarket matrix coordinate real hermitian\n", 1, "m.mtx:1: a Hermitian matrix must have complex"},
      {real + "% only comments\n", 1, "m.mtx:2: the file ends before its size line"},
      {real + "2 3 1\n1 1 1\n", 1, "m.mtx:2: the matrix is not square"},
      {real + "2 2\n", 1, "m.mtx:2: the size line needs 3 numbers"},
      {real + "2 2 1\n3 1 1\n", 1, "m.mtx:3: row index 3 is outside 1 … 2"},
      {real + "2 2 1\n1 0 1\n", 1, "m.mtx:3: column index 0 is outside 1 … 2"},
      {real + "2 2 1\n1 1\n", 1, "m.mtx:3: expected 3 numbers on the line, found 2"},
      {real + "2 2 1\n1 1 x\n", 1, "m.mtx:3: expected a number, found \"x\""},
      {real + "2 2 3\n1 1 1\n\n2 2 1\n", 1, "m.mtx:5: the file ends after 2 of the 3 entries announced on line 2"},
      {real + "2 2 1\n1 1 1\n2 2 1\n", 1, "m.mtx:4: more entries than the 1 announced on line 2"},
      {real + "2 2 3\n1 1 1\n2 2 1\n1 1 2\n", 1, "m.mtx:5: entry (1, 1) repeats the entry given on line 3"},
      {"%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n2 1 1\n1 2 1\n", 1,
       "m.mtx:4: entry (1, 2) repeats the entry given on line 3"},
      {"%%MatrixMarket matrix coordinate complex hermitian\n1 1 1\n1 1 1 1\n", 1,
       "m.mtx:3: a diagonal entry of a Hermitian matrix must be real"},
      {complex + "1 1 1\n1 1 1 1\n", 1, "m.mtx:1: complex values cannot be converted to the real kind 1"},
      {complex + "2 2 3\n1 2 1 1\n2 1 1 1\n2 2 1 0\n", 4,
       "m.mtx:3: entry (1, 2) does not match entry (2, 1): the matrix is not Hermitian; convert it to kind 3"},
      {real + "2 2 2\n1 1 1\n2 1 3\n", 0,
       "m.mtx:4: entry (2, 1) does not match entry (1, 2): the matrix is not symmetric; convert it to kind 1"},
      {skew, 0, "m.mtx:3: entry (2, 1)"},
  };
  for (const auto& c : cases) {
    std::string error = "no error";
    write_file("m.mtx", c.text);
    try {
      convert_to_kind(read_matrix_market("m.mtx"), c.kind);
    } catch (const MatrixMarketError& e) {
      error = e.what();
    }
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
  }
}

// Arrays hold right-hand sides and solutions (real values widen to the complex
// kinds, not the reverse); A·1 is the right-hand side used when none is given.
TEST_F(MatrixMarketTest, ArraysCarryRightHandSidesAndSolutions) {
  const std::vector<double> values{1, 2, 3, 4, 5, 6.25};
  write_matrix_market_array("x.mtx", values, 3, 2, false);
  const MmArray real = read_matrix_market_array("x.mtx");
  EXPECT_EQ(real.cols, 2);
  EXPECT_EQ(vectors_for_kind(real, 3, 1), values);
  EXPECT_EQ(vectors_for_kind(real, 3, 3), (std::vector<double>{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6.25, 0}));
  EXPECT_THROW(vectors_for_kind(real, 4, 1), MatrixMarketError);
  write_matrix_market_array("z.mtx", values, 3, 1, true);
  const MmArray complex = read_matrix_market_array("z.mtx");
  EXPECT_EQ(vectors_for_kind(complex, 3, 4), values);
  EXPECT_THROW(vectors_for_kind(complex, 3, 0), MatrixMarketError);
  write_file("short.mtx", "%%MatrixMarket matrix array real general\n2 1\n1\n");
  EXPECT_THROW(read_matrix_market_array("short.mtx"), MatrixMarketError);
  for (int kind = 0; kind <= 4; ++kind) {
    const YaleMatrix a = generate(Family::zero_diagonal, 2, kind, 1, 3).a;
    const std::vector<std::complex<double>> ones(static_cast<std::size_t>(a.n), 1.0);
    const auto b = complex_values(multiply_by_ones(a, kind), a.complex);
    EXPECT_LT(backward_error(a, kind, ones, b, 0), 1e-15) << "kind " << kind;
  }
}

int run_command(const std::string& arguments) {
  const int status = std::system((std::string(TSR_MM_PATH) + " " + arguments + " > out.txt 2> err.txt").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MatrixMarketTest, CommandImportsAndExportsThroughTheSolverFiles) {
  const GeneratedSystem system = generate(Family::convdiff2d, 3, 3, 2, 4);
  write_matrix_market("a.mtx", system.a, 3);
  write_matrix_market_array("b.mtx", system.b, 9, 2, true);
  ASSERT_EQ(run_command("import a.mtx . --rhs b.mtx"), 0) << read_file("err.txt");
  EXPECT_EQ(read_file("A").size(), static_cast<std::size_t>(system.a.nnz) * 24);
  EXPECT_EQ(read_file("b"), std::string(reinterpret_cast<const char*>(system.b.data()), system.b.size() * 8));
  write_file("x", read_file("b"));
  ASSERT_EQ(run_command("export-x . x.mtx --kind 3"), 0) << read_file("err.txt");
  EXPECT_EQ(vectors_for_kind(read_matrix_market_array("x.mtx"), 9, 3), system.b);
  ASSERT_EQ(run_command("export-x . x.mtx --kind 3 --n 18"), 0) << read_file("err.txt");
  EXPECT_EQ(read_matrix_market_array("x.mtx").cols, 1);
}

}  // namespace
