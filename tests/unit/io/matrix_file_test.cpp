#include "io/matrix_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/support/test_support.h"

namespace {

// Raw record bytes of the default or marker layout, for files no writer would make.
std::string record(std::int32_t row, std::int32_t col, double value, bool markers = false) {
  std::string bytes;
  auto put = [&](const void* p, std::size_t n) { bytes.append(static_cast<const char*>(p), n); };
  std::int32_t marker = 16;
  if (markers) put(&marker, 4);
  put(&row, 4);
  put(&col, 4);
  put(&value, 8);
  if (markers) put(&marker, 4);
  return bytes;
}

std::string records(const std::vector<std::pair<std::int32_t, std::int32_t>>& entries, bool markers = false) {
  std::string bytes;
  for (auto [r, c] : entries) bytes += record(r, c, 1.0 + r + 10 * c, markers);
  return bytes;
}

class MatrixFileTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};

  struct Failure {
    std::string message;
    int code = 0;
  };

  YaleMatrix read_back(int kind) {
    auto solver = make_test_solver(kind);
    MatrixHeader header = read_matrix_header(*solver);
    YaleMatrix a;
    a.n = header.n;
    a.nnz = header.nnz;
    a.col_idx.resize(static_cast<std::size_t>(header.nnz));
    a.values.resize(static_cast<std::size_t>(header.nnz) * (solver->value_type == 1 ? 2 : 1));
    if (solver->value_type == 1)
      read_matrix_complex(*solver, a);
    else
      read_matrix_real(*solver, a);
    return a;
  }

  // Reads "A" as the kind would and returns the fatal error it ends with.
  Failure read_failure(int kind = 0) {
    try {
      read_back(kind);
    } catch (const TessarException& e) {
      return {e.message().str(), e.code()};
    }
    return {};
  }
};

// A 4×4 unsymmetric pattern with every row holding its diagonal.
YaleMatrix sample(bool complex) {
  std::vector<std::int32_t> rows{0, 0, 1, 1, 2, 2, 3, 3};
  std::vector<std::int32_t> cols{0, 3, 1, 2, 1, 2, 0, 3};
  std::vector<double> values;
  for (std::size_t k = 0; k < rows.size() * (complex ? 2 : 1); ++k) values.push_back(0.5 + static_cast<double>(k));
  return matrix_from_entries(4, rows, cols, values, complex);
}

TEST_F(MatrixFileTest, HeaderTakesDimensionFromTheLastRecord) {
  std::vector<std::pair<std::int32_t, std::int32_t>> diagonal;
  for (int i = 0; i < 10; ++i) diagonal.emplace_back(i, i);
  write_file("A", records(diagonal));
  auto solver = make_test_solver(0);
  MatrixHeader header = read_matrix_header(*solver);
  EXPECT_EQ(header.n, 10);
  EXPECT_EQ(header.nnz, 10);
  EXPECT_TRUE(log.contains("Dim = 10 NZ = 10\n"));
}

TEST_F(MatrixFileTest, MarkerLayoutIsOneBased) {
  ScopedEnv orlan("TS_READ_ORLAN", "1");
  write_file("A", records({{1, 1}, {2, 2}, {3, 3}}, true));
  ASSERT_EQ(read_file("A").size(), 72u);
  YaleMatrix a = read_back(0);
  EXPECT_EQ(a.n, 3);
  EXPECT_EQ(a.nnz, 3);
  EXPECT_EQ(a.col_idx, (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(a.row_ptr, (std::vector<std::int64_t>{0, 1, 2, 3}));
}

TEST_F(MatrixFileTest, NonPositiveOrlanSelectsTheDefaultLayout) {
  ScopedEnv orlan("TS_READ_ORLAN", "-2");
  write_file("A", records({{0, 0}, {1, 1}}));
  EXPECT_EQ(read_back(0).n, 2);
}

TEST_F(MatrixFileTest, RoundTripsBothLayoutsAndWidths) {
  for (bool markers : {false, true}) {
    ScopedEnv orlan("TS_READ_ORLAN", markers ? "1" : "0");
    for (int kind : {1, 3}) {
      YaleMatrix original = sample(kind == 3);
      write_matrix_file(original, markers);
      YaleMatrix back = read_back(kind);
      EXPECT_EQ(back.n, original.n);
      EXPECT_EQ(back.row_ptr, original.row_ptr);
      EXPECT_EQ(back.col_idx, original.col_idx);
      EXPECT_EQ(back.values, original.values) << "kind " << kind << " markers " << markers;
    }
  }
}

TEST_F(MatrixFileTest, WriterPutsAInTheWorkingDirectory) {
  auto solver = make_test_solver(2);
  solver->work_dir = "out";
  std::filesystem::create_directory("out");
  YaleMatrix original = sample(true);
  write_matrix_complex(*solver, original);
  EXPECT_TRUE(log.contains("Saving tessar A matrix\n"));
  std::filesystem::rename("out/A", "A");
  EXPECT_EQ(read_back(3).values, original.values);

  solver->work_dir = "missing";
  try {
    write_matrix_complex(*solver, original);
    FAIL();
  } catch (const TessarException& e) {
    EXPECT_EQ(e.code(), 5);
  }
  EXPECT_TRUE(log.contains("Could not open missing/A file\n"));
}

TEST_F(MatrixFileTest, SaveAandBCopiesBothFiles) {
  write_file("A", records({{0, 0}}));
  write_file("b", std::string(8, 'b'));
  auto solver = make_test_solver(0);
  solver->save_a_and_b = true;
  read_matrix_header(*solver);
  EXPECT_EQ(read_file("_A_"), read_file("A"));
  EXPECT_EQ(read_file("_b_"), read_file("b"));
}

struct BadFile {
  const char* what;
  std::string bytes;
  int code;
  const char* message_part;
};

TEST_F(MatrixFileTest, MalformedFilesEndWithTheirMessageAndCode) {
  std::string truncated = records({{0, 0}, {1, 1}});
  truncated.pop_back();
  const BadFile cases[] = {
      {"empty file", "", 4, "empty"},
      {"truncated last record", truncated, 4, "truncated"},
      {"last record off the diagonal", records({{0, 0}, {5, 7}}), 4, "Last entry not [N,N]"},
      {"negative dimension", records({{-4, -4}}), 1, "dimension"},
      {"dimension beyond the records", records({{0, 0}, {900000, 900000}}), 1, "fewer than its dimension"},
      {"column beyond the dimension", records({{0, 0}, {0, 9}, {1, 1}}), 1, "record 1"},
      {"negative column", records({{0, -1}, {0, 0}, {1, 1}}), 1, "record 0"},
      {"row beyond the dimension", records({{0, 0}, {3, 3}, {1, 1}}), 1, "record 1"},
      {"rows out of order", records({{0, 0}, {1, 1}, {2, 2}, {1, 1}, {2, 2}}), 1, "out of order in record 3"},
      {"empty row", records({{0, 0}, {0, 1}, {0, 2}, {2, 2}}), 1, "row 1 of A has no entries"},
      {"missing diagonal", records({{0, 0}, {0, 1}, {1, 0}, {2, 2}}), 1, "row 1"},
      {"repeated column", records({{0, 0}, {0, 0}, {1, 1}}), 1, "not ascending"},
      {"descending columns", records({{0, 1}, {0, 0}, {1, 1}}), 1, "not ascending"},
      {"more rows than the dimension holds", records({{0, 0}, {1, 1}, {2, 2}, {1, 1}}), 1, "record 2"},
  };
  for (const BadFile& bad : cases) {
    write_file("A", bad.bytes);
    Failure failure = read_failure();
    EXPECT_EQ(failure.code, bad.code) << bad.what << ": " << failure.message;
    EXPECT_NE(failure.message.find(bad.message_part), std::string::npos) << bad.what << ": " << failure.message;
  }
}

TEST_F(MatrixFileTest, CorruptedFilesNeverEscapeTheChecks) {
  const std::uint64_t seed = 20261206;
  std::mt19937_64 rng(seed);
  write_matrix_file(sample(false));
  const std::string valid = read_file("A");
  int rejected = 0;
  for (int trial = 0; trial < 300; ++trial) {
    std::string bytes = valid;
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips)
      bytes[rng() % bytes.size()] = static_cast<char>(rng() % 8 == 0 ? 0xFF : rng() % 6);
    if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
    write_file("A", bytes);
    Failure failure = read_failure(1);
    if (failure.code != 0) {
      ++rejected;
      EXPECT_TRUE(failure.code == 1 || failure.code == 4) << "seed " << seed << " trial " << trial;
    }
  }
  EXPECT_GT(rejected, 0) << "seed " << seed;
}

TEST_F(MatrixFileTest, MissingFileIsAnOpenFailure) {
  Failure failure = read_failure();
  EXPECT_EQ(failure.message, "Opening A matrix");
  EXPECT_EQ(failure.code, 5);
}

TEST_F(MatrixFileTest, ComplexKindReadsTheFileWithItsWiderRecords) {
  write_file("A", records({{0, 0}, {1, 1}, {2, 2}}));  // 48 bytes: two complex records
  Failure failure = read_failure(2);
  EXPECT_NE(failure.code, 0) << "real records misread as complex must not pass";
}

class InputCheckTest : public MatrixFileTest {
 protected:
  Failure check(int kind, const YaleMatrix& a, int lower = 0) {
    auto solver = make_test_solver(kind);
    solver->lower_triangular = lower;
    try {
      check_input_matrix(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
    } catch (const TessarException& e) {
      return {e.message().str(), e.code()};
    }
    return {};
  }
};

TEST_F(InputCheckTest, SymmetricKindsHoldOneTriangle) {
  YaleMatrix upper = matrix_from_entries(3, {0, 0, 1, 2}, {0, 2, 1, 2}, {1, 2, 3, 4});
  EXPECT_EQ(check(0, upper).code, 0);
  EXPECT_FALSE(log.contains("Input is fine")) << "a valid symmetric matrix logs nothing after the banner";
  Failure failure = check(0, upper, 1);
  EXPECT_EQ(failure.message, "Error in the input");
  EXPECT_EQ(failure.code, 1);
  EXPECT_TRUE(log.contains("Problem with input YALE matrix, row 0 col 2\n"));
  YaleMatrix lower = matrix_from_entries(3, {0, 1, 2, 2}, {0, 1, 0, 2}, {1, 2, 3, 4});
  EXPECT_EQ(check(4, lower, 1).code, 0);
}

TEST_F(InputCheckTest, UnsymmetricKindsNeedASymmetricPattern) {
  YaleMatrix a = sample(false);
  EXPECT_EQ(check(1, a).code, 0);
  EXPECT_TRUE(log.contains("....... Input is fine .......\n"));
  YaleMatrix one_sided = matrix_from_entries(4, {0, 0, 1, 2, 3}, {0, 3, 1, 2, 3}, {1, 2, 3, 4, 5});
  EXPECT_EQ(check(1, one_sided).code, 1);
  EXPECT_TRUE(log.contains("Element (0 3) does not have a symmetric pair\n"));
}

TEST_F(InputCheckTest, DiagonalAndOrderAndCount) {
  YaleMatrix no_diagonal = matrix_from_entries(2, {0, 1}, {1, 1}, {1, 2});
  EXPECT_EQ(check(0, no_diagonal).code, 1);
  EXPECT_TRUE(log.contains("Row 0 is missing diagonal element\n"));
  YaleMatrix unordered = matrix_from_entries(2, {0, 0, 1}, {1, 0, 1}, {1, 2, 3});
  EXPECT_EQ(check(0, unordered).code, 1);
  EXPECT_TRUE(log.contains("Problem with column ordering row 0\n"));
  YaleMatrix miscounted = sample(false);
  miscounted.nnz += 1;
  EXPECT_EQ(check(1, miscounted).message, "Inconsistent number of nonzeroes");
}

}  // namespace
