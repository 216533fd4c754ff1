#include "tools/mm/matrix_market.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"
#include "tests/unit/tools/dense_oracle.h"
#include "tools/generator/generator.h"

namespace {

class MatrixMarketTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;

  YaleMatrix import(const std::string& text, int kind) {
    write_file("m.mtx", text);
    return convert_to_kind(read_matrix_market("m.mtx"), kind);
  }

  // The message of the error a file ends with.
  std::string import_error(const std::string& text, int kind) {
    try {
      import(text, kind);
    } catch (const MatrixMarketError& error) {
      return error.what();
    }
    return "no error";
  }
};

void expect_identical(const YaleMatrix& a, const YaleMatrix& b) {
  EXPECT_EQ(a.n, b.n);
  EXPECT_EQ(a.nnz, b.nnz);
  EXPECT_EQ(a.row_ptr, b.row_ptr);
  EXPECT_EQ(a.col_idx, b.col_idx);
  EXPECT_EQ(a.values, b.values);
  EXPECT_EQ(a.complex, b.complex);
}

TEST_F(MatrixMarketTest, GeneratedMatricesSurviveARoundTripInEveryKind) {
  for (Family family : {Family::laplace2d, Family::zero_diagonal, Family::pivot2x2, Family::convdiff2d,
                        Family::helmholtz3d, Family::hermitian}) {
    for (int kind = 0; kind <= 4; ++kind) {
      if (!family_allows_kind(family, kind)) continue;
      const YaleMatrix a = generate(family, 3, kind, 1, 9).a;
      write_matrix_market("round.mtx", a, kind);
      const MmMatrix file = read_matrix_market("round.mtx");
      EXPECT_EQ(default_kind(file), kind);
      SCOPED_TRACE(std::string(family_name(family)) + " kind " + std::to_string(kind));
      expect_identical(convert_to_kind(file, kind), a);
    }
  }
}

TEST_F(MatrixMarketTest, SymmetricKindsFromOneTriangleAreStoredUpper) {
  const std::string lower =
      "%%MatrixMarket matrix coordinate real symmetric\n% lower triangle\n3 3 4\n1 1 4\n2 1 -1\n3 2 -2\n3 3 5\n";
  const YaleMatrix a = import(lower, 0);
  expect_storage_rules(a, 0);
  EXPECT_EQ(a.col_idx, (std::vector<std::int32_t>{0, 1, 1, 2, 2}));
  EXPECT_EQ(a.values, (std::vector<double>{4, -1, 0, -2, 5}));
  const std::string upper = "%%MatrixMarket matrix coordinate real symmetric\n3 3 4\n1 1 4\n1 2 -1\n2 3 -2\n3 3 5\n";
  expect_identical(import(upper, 0), a);
}

TEST_F(MatrixMarketTest, HermitianFilesAreConjugatedWhenMirrored) {
  const std::string text = "%%MatrixMarket matrix coordinate complex hermitian\n2 2 3\n1 1 2 0\n2 1 1 2\n2 2 3 0\n";
  const YaleMatrix a = import(text, 4);
  expect_storage_rules(a, 4);
  EXPECT_EQ(a.values, (std::vector<double>{2, 0, 1, -2, 3, 0}));
  const Dense full = dense_of(import(text, 3), 3);
  EXPECT_EQ(full(1, 0), Complex(1, 2));
  EXPECT_EQ(full(0, 1), Complex(1, -2));
}

TEST_F(MatrixMarketTest, MissingDiagonalsAndMirrorEntriesBecomeExplicitZeros) {
  const std::string text = "%%MatrixMarket matrix coordinate real general\n3 3 2\n1 3 7\n2 2 1\n";
  const YaleMatrix a = import(text, 1);
  expect_storage_rules(a, 1);
  EXPECT_EQ(a.col_idx, (std::vector<std::int32_t>{0, 2, 1, 0, 2}));
  EXPECT_EQ(a.values, (std::vector<double>{0, 7, 1, 0, 0}));
}

TEST_F(MatrixMarketTest, SymmetryOfTheFileIsExpandedForUnsymmetricKinds) {
  const std::string symmetric = "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n2 1 3\n";
  EXPECT_EQ(dense_of(import(symmetric, 1), 1)(0, 1), Complex(3));
  EXPECT_EQ(dense_of(import(symmetric, 3), 3)(0, 1), Complex(3));
  const std::string skew = "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 3\n";
  const Dense a = dense_of(import(skew, 1), 1);
  EXPECT_EQ(a(1, 0), Complex(3));
  EXPECT_EQ(a(0, 1), Complex(-3));
}

TEST_F(MatrixMarketTest, GeneralFilesConvertToSymmetricKindsOnlyWhenSymmetric) {
  const std::string symmetric = "%%MatrixMarket matrix coordinate complex general\n2 2 3\n1 2 1 1\n2 1 1 1\n2 2 1 0\n";
  EXPECT_EQ(import(symmetric, 2).values, (std::vector<double>{0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(import_error(symmetric, 4),
            "m.mtx:3: entry (1, 2) does not match entry (2, 1): the matrix is not Hermitian; convert it to kind 3");
  const std::string unsymmetric = "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n2 1 3\n";
  EXPECT_EQ(import_error(unsymmetric, 0),
            "m.mtx:4: entry (2, 1) does not match entry (1, 2): the matrix is not symmetric; convert it to kind 1");
  const std::string skew = "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 3\n";
  EXPECT_NE(import_error(skew, 0).find("m.mtx:3: entry (2, 1)"), std::string::npos);
}

TEST_F(MatrixMarketTest, DefaultKindFollowsFieldAndSymmetry) {
  const std::pair<const char*, int> banners[] = {{"real symmetric", 0},    {"integer general", 1},
                                                 {"complex symmetric", 2}, {"complex general", 3},
                                                 {"complex hermitian", 4}, {"real skew-symmetric", 1}};
  for (const auto& [banner, kind] : banners) {
    write_file("m.mtx", std::string("%%MatrixMarket matrix coordinate ") + banner + "\n1 1 0\n");
    EXPECT_EQ(default_kind(read_matrix_market("m.mtx")), kind) << banner;
  }
}

// Each malformed file with the start of the message it must end with.
TEST_F(MatrixMarketTest, MalformedFilesAreRejectedNamingTheLine) {
  const std::string real = "%%MatrixMarket matrix coordinate real general\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "m.mtx:0: the file is empty"},
      {"%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 1\n", "m.mtx:1: the first line is not"},
      {"%%MatrixMarket matrix coordinate real\n", "m.mtx:1: the banner needs 4 words"},
      {"%%MatrixMarket matrix coordinate pattern general\n", "m.mtx:1: pattern matrices"},
      {"%%MatrixMarket matrix coordinate quaternion general\n", "m.mtx:1: unknown field"},
      {"%%MatrixMarket matrix array real general\n2 2\n", "m.mtx:1: a matrix must be in coordinate format"},
      {"%%MatrixMarket matrix coordinate real hermitian\n", "m.mtx:1: a Hermitian matrix must have complex"},
      {real + "% only comments\n", "m.mtx:2: the file ends before its size line"},
      {real + "2 3 1\n1 1 1\n", "m.mtx:2: the matrix is not square"},
      {real + "2 2\n", "m.mtx:2: the size line needs 3 numbers"},
      {real + "2 2 1\n3 1 1\n", "m.mtx:3: row index 3 is outside 1 … 2"},
      {real + "2 2 1\n1 0 1\n", "m.mtx:3: column index 0 is outside 1 … 2"},
      {real + "2 2 1\n1 1\n", "m.mtx:3: expected 3 numbers on the line, found 2"},
      {real + "2 2 1\n1 1 x\n", "m.mtx:3: expected a number, found \"x\""},
      {real + "2 2 3\n1 1 1\n\n2 2 1\n", "m.mtx:5: the file ends after 2 of the 3 entries announced on line 2"},
      {real + "2 2 1\n1 1 1\n2 2 1\n", "m.mtx:4: more entries than the 1 announced on line 2"},
      {real + "2 2 3\n1 1 1\n2 2 1\n1 1 2\n", "m.mtx:5: entry (1, 1) repeats the entry given on line 3"},
      {"%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n2 1 1\n1 2 1\n",
       "m.mtx:4: entry (1, 2) repeats the entry given on line 3"},
      {"%%MatrixMarket matrix coordinate complex hermitian\n1 1 1\n1 1 1 1\n",
       "m.mtx:3: a diagonal entry of a Hermitian matrix must be real"},
  };
  for (const auto& [text, message] : cases) {
    const std::string error = import_error(text, 1);
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
  }
  EXPECT_EQ(import_error("%%MatrixMarket matrix coordinate complex general\n1 1 1\n1 1 1 1\n", 1),
            "m.mtx:1: complex values cannot be converted to the real kind 1");
}

TEST_F(MatrixMarketTest, ArraysCarryRightHandSidesAndSolutions) {
  const std::vector<double> values{1, 2, 3, 4, 5, 6.25};
  write_matrix_market_array("x.mtx", values, 3, 2, false);
  const MmArray real = read_matrix_market_array("x.mtx");
  EXPECT_EQ(real.rows, 3);
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
}

TEST_F(MatrixMarketTest, DefaultRightHandSideIsTheProductWithOnes) {
  for (int kind = 0; kind <= 4; ++kind) {
    const YaleMatrix a = generate(Family::zero_diagonal, 2, kind, 1, 3).a;
    const Dense full = dense_of(a, kind);
    const auto b = complex_values(multiply_by_ones(a, kind), a.complex);
    EXPECT_LT(scaled_residual(full, std::vector<Complex>(a.n, 1.0), b, 0), 1e-15) << "kind " << kind;
  }
}

TEST(MatrixMarketFiles, SharedCollectionMatricesConvert) {
  const auto sources = shared_dir() / "matrix-sources";
  const struct {
    const char* file;
    int kind;
    std::int32_t n;
    std::int64_t nnz;
  } expected[] = {{"cu_lap2D_5pt_n100.mtx", 0, 10000, 29800},
                  {"ss_west0479.mtx", 1, 479, 4257},
                  {"px_young4c.mtx", 2, 841, 2465},
                  {"ss_young1c.mtx", 3, 841, 4089},
                  {"px_mhd1280b.mtx", 4, 1280, 12029}};
  for (const auto& e : expected) {
    if (!std::filesystem::exists(sources / e.file)) GTEST_SKIP() << "missing " << e.file;
    const MmMatrix file = read_matrix_market(sources / e.file);
    ASSERT_EQ(default_kind(file), e.kind) << e.file;
    const YaleMatrix a = convert_to_kind(file, e.kind);
    EXPECT_EQ(a.n, e.n) << e.file;
    EXPECT_EQ(a.nnz, e.nnz) << e.file;
    if (a.n <= 1000) expect_storage_rules(a, e.kind);
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

TEST_F(MatrixMarketTest, CommandReportsErrorsWithFileAndLine) {
  write_file("bad.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 1\n5 1 1\n");
  EXPECT_EQ(run_command("import bad.mtx ."), 1);
  EXPECT_NE(read_file("err.txt").find("bad.mtx:3: row index 5"), std::string::npos) << read_file("err.txt");
  EXPECT_EQ(run_command("export-x . x.mtx --kind 0"), 1);
  EXPECT_EQ(run_command("import bad.mtx . --kind 9"), 2);
  EXPECT_EQ(run_command("export-x . x.mtx"), 2);
  EXPECT_EQ(run_command("convert bad.mtx ."), 2);
  EXPECT_NE(read_file("err.txt").find("usage: tsr_mm"), std::string::npos);
}

}  // namespace
