#include "io/matrix_file.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// Raw records (value 1 + row + 10·column) of the plain or marker layout, for
// files no writer would make.
std::string records(const std::vector<std::pair<std::int32_t, std::int32_t>>& entries, bool markers = false) {
  std::string bytes;
  const auto put = [&](const auto& field) { bytes.append(reinterpret_cast<const char*>(&field), sizeof field); };
  for (auto [r, c] : entries) {
    if (markers) put(std::int32_t{16});
    put(r);
    put(c);
    put(1.0 + r + 10 * c);
    if (markers) put(std::int32_t{16});
  }
  return bytes;
}

// A 4×4 unsymmetric pattern with every row holding its diagonal.
YaleMatrix sample(bool complex) {
  std::vector<double> values(complex ? 16 : 8);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = 0.5 + static_cast<double>(k);
  return matrix_from_entries(4, {0, 0, 1, 1, 2, 2, 3, 3}, {0, 3, 1, 2, 1, 2, 0, 3}, values, complex);
}

class MatrixFileTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};

  struct Outcome {
    int code = 0;     // 0 when the action returned
    std::string log;  // what it logged, the fatal message included
  };

  Outcome outcome(const std::function<void()>& action) {
    const std::size_t start = log.text().size();
    const int code = failure_of(action).second;
    return {code, log.text().substr(start)};
  }

  // "A" as the solver of a kind reads it.
  static YaleMatrix read_back(int kind) {
    auto solver = make_test_solver(kind);
    const MatrixHeader header = read_matrix_header(*solver);
    YaleMatrix a;
    a.n = header.n;
    a.nnz = header.nnz;
    a.col_idx.resize(static_cast<std::size_t>(header.nnz));
    a.values.resize(static_cast<std::size_t>(header.nnz) * (kind >= 2 ? 2 : 1));
    (kind >= 2 ? read_matrix_complex : read_matrix_real)(*solver, a);
    return a;
  }
};

// TS_READ_ORLAN above zero selects the one-based marker layout, otherwise the
// plain one; the writer's files of both layouts and widths read back whole.
TEST_F(MatrixFileTest, ReadsBothLayoutsAndWidths) {
  for (const char* value : {"1", "0", "-2"}) {
    ScopedEnv orlan("TS_READ_ORLAN", value);
    const bool markers = value[0] == '1';
    const std::int32_t b = markers ? 1 : 0;
    write_file("A", records({{b, b}, {b + 1, b + 1}, {b + 2, b + 2}}, markers));
    const YaleMatrix diagonal = read_back(0);
    EXPECT_EQ(diagonal.col_idx, (std::vector<std::int32_t>{0, 1, 2})) << value;
    EXPECT_EQ(diagonal.row_ptr, (std::vector<std::int64_t>{0, 1, 2, 3})) << value;
    for (int kind : {1, 3}) {
      const YaleMatrix original = sample(kind == 3);
      write_matrix_file(original, markers);
      const YaleMatrix back = read_back(kind);
      EXPECT_EQ(back.row_ptr, original.row_ptr);
      EXPECT_EQ(back.col_idx, original.col_idx);
      EXPECT_EQ(back.values, original.values) << "kind " << kind << " TS_READ_ORLAN " << value;
    }
  }
}

TEST_F(MatrixFileTest, MalformedFilesEndWithTheirMessageAndCode) {
  const Outcome missing = outcome([] { read_back(0); });
  EXPECT_EQ(missing.code, 5);
  EXPECT_NE(missing.log.find("Opening A matrix"), std::string::npos);
  std::string truncated = records({{0, 0}, {1, 1}});
  truncated.pop_back();
  const struct {
    const char* what;
    std::string bytes;
    int kind, code;
    const char* message;
  } cases[] = {
      {"empty file", "", 0, 4, "empty"},
      {"truncated last record", truncated, 0, 4, "truncated"},
      {"last record off the diagonal", records({{0, 0}, {5, 7}}), 0, 4, "Last entry not [N,N]"},
      {"negative dimension", records({{-4, -4}}), 0, 1, "dimension"},
      {"dimension beyond the records", records({{0, 0}, {900000, 900000}}), 0, 1, "fewer than its dimension"},
      {"column beyond the dimension", records({{0, 0}, {0, 9}, {1, 1}}), 0, 1, "record 1"},
      {"negative column", records({{0, -1}, {0, 0}, {1, 1}}), 0, 1, "record 0"},
      {"row beyond the dimension", records({{0, 0}, {3, 3}, {1, 1}}), 0, 1, "record 1"},
      {"rows out of order", records({{0, 0}, {1, 1}, {2, 2}, {1, 1}, {2, 2}}), 0, 1, "out of order in record 3"},
      {"empty row", records({{0, 0}, {0, 1}, {0, 2}, {2, 2}}), 0, 1, "row 1 of A has no entries"},
      {"missing diagonal", records({{0, 0}, {0, 1}, {1, 0}, {2, 2}}), 0, 1, "row 1"},
      {"repeated column", records({{0, 0}, {0, 0}, {1, 1}}), 0, 1, "not ascending"},
      {"descending columns", records({{0, 1}, {0, 0}, {1, 1}}), 0, 1, "not ascending"},
      {"more rows than the dimension holds", records({{0, 0}, {1, 1}, {2, 2}, {1, 1}}), 0, 1, "record 2"},
      {"real records read as complex", records({{0, 0}, {1, 1}, {2, 2}}), 2, 4, "Last entry not [N,N]"},
  };
  for (const auto& bad : cases) {
    write_file("A", bad.bytes);
    const Outcome failed = outcome([&] { read_back(bad.kind); });
    EXPECT_EQ(failed.code, bad.code) << bad.what << ": " << failed.log;
    EXPECT_NE(failed.log.find(bad.message), std::string::npos) << bad.what << ": " << failed.log;
  }
  // The marker layout counts from 1: the least row is refused, not wrapped.
  ScopedEnv orlan("TS_READ_ORLAN", "1");
  write_file("A", records({{INT32_MIN, 1}, {1, 1}, {2, 2}}, true));
  EXPECT_NE(outcome([] { read_back(0); }).log.find("index outside the matrix in record 0"), std::string::npos);
}

// The check of a matrix given in memory: a broken rule ends the run with code 1, logging the row.
TEST_F(MatrixFileTest, InputCheckNamesTheOffendingRow) {
  const YaleMatrix upper = matrix_from_entries(3, {0, 0, 1, 2}, {0, 2, 1, 2}, {1, 2, 3, 4});
  YaleMatrix miscounted = sample(false);
  miscounted.nnz += 1;
  const struct {
    int kind, lower;
    YaleMatrix a;
    int code;
    const char* logged;
  } cases[] = {
      // Valid: the upper triangle, the lower one when marked so, a symmetric pattern.
      {0, 0, upper, 0, ""},
      {4, 1, matrix_from_entries(3, {0, 1, 2, 2}, {0, 1, 0, 2}, {1, 2, 3, 4}), 0, ""},
      {1, 0, sample(false), 0, ""},
      {0, 1, upper, 1, "Problem with input YALE matrix, row 0 col 2\n"},
      {1, 0, matrix_from_entries(4, {0, 0, 1, 2, 3}, {0, 3, 1, 2, 3}, {1, 2, 3, 4, 5}), 1,
       "Element (0 3) does not have a symmetric pair\n"},
      {0, 0, matrix_from_entries(2, {0, 1}, {1, 1}, {1, 2}), 1, "Row 0 is missing diagonal element\n"},
      {0, 0, matrix_from_entries(2, {0, 0, 1}, {1, 0, 1}, {1, 2, 3}), 1, "Problem with column ordering row 0\n"},
      {1, 0, miscounted, 1, "Inconsistent number of nonzeroes"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    auto solver = make_test_solver(c.kind);
    solver->lower_triangular = c.lower;
    const Outcome checked =
        outcome([&] { check_input_matrix(*solver, c.a.n, c.a.nnz, c.a.row_ptr.data(), c.a.col_idx.data()); });
    EXPECT_EQ(checked.code, c.code) << "case " << i;
    EXPECT_NE(checked.log.find(c.logged), std::string::npos) << "case " << i << ": " << checked.log;
  }
}

}  // namespace
