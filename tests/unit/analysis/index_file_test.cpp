#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "analysis/index_file.h"
#include "platform/error.h"
#include "tests/support/test_support.h"
#include "tests/unit/analysis/analysis_fixtures.h"

namespace {

std::unique_ptr<tessar> saved_analysis(int kind, bool pivoting, std::int32_t n) {
  auto solver = make_test_solver(kind);
  solver->no_progress = true;
  solver->pivoting = pivoting;
  analyse(*solver, matrix_of(random_pattern(n, 0.2, 11), stores_whole_rows(kind)));
  if (pivoting) {
    solver->Num2x2Pivots = 3;
    solver->NumPerturbed = 1;
    for (std::int32_t k = 0; k < n; ++k) solver->PivotOrder[k] = n - 1 - k;
  }
  SaveIndexFile(*solver, n);
  return solver;
}

std::unique_ptr<tessar> loader(int kind, bool pivoting) {
  auto solver = make_test_solver(kind);
  solver->pivoting = pivoting;
  return solver;
}

template <class A, class B>
bool same(const A& a, const B& b, std::size_t count) {
  return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(count), b.begin());
}

void expect_refused(tessar& solver, std::int32_t n, std::int32_t code, const std::string& text) {
  try {
    LoadIndexFile(solver, n);
    FAIL() << "expected a fatal error";
  } catch (const TessarException& e) {
    EXPECT_EQ(e.code(), code);
    EXPECT_NE(e.message().str().find(text), std::string::npos) << e.message().str();
  }
}

TEST(IndexFile, RoundTripWithoutPivoting) {
  ScopedWorkDir dir;
  const std::int32_t n = 25;
  auto saved = saved_analysis(0, false, n);
  auto loaded = loader(0, false);
  LoadIndexFile(*loaded, n);
  EXPECT_EQ(loaded->sizeJU, saved->sizeJU);
  EXPECT_EQ(loaded->NzU, saved->NzU);
  EXPECT_TRUE(same(loaded->iperm, saved->iperm, n));
  EXPECT_TRUE(same(loaded->IU, saved->IU, n + 1));
  EXPECT_TRUE(same(loaded->IJU, saved->IJU, n));
  for (std::int32_t k = 0; k < n; ++k) EXPECT_EQ(stored_structure(*loaded, k), stored_structure(*saved, k));
}

TEST(IndexFile, RoundTripWithPivoting) {
  ScopedWorkDir dir;
  const std::int32_t n = 25;
  auto saved = saved_analysis(1, true, n);
  auto loaded = loader(1, true);
  LoadIndexFile(*loaded, n);
  EXPECT_EQ(loaded->NSuper, saved->NSuper);
  EXPECT_TRUE(same(loaded->SNode, saved->SNode, saved->NSuper + 1));
  EXPECT_TRUE(same(loaded->JU, saved->JU, saved->sizeJU));
  EXPECT_TRUE(same(loaded->PivotOrder, saved->PivotOrder, n));
  EXPECT_EQ(loaded->Num2x2Pivots, 3);
  EXPECT_EQ(loaded->NumPerturbed, 1);
}

TEST(IndexFile, RefusesAnotherKind) {
  ScopedWorkDir dir;
  saved_analysis(0, false, 10);
  auto loaded = loader(1, false);
  expect_refused(*loaded, 10, 1, "Solver type inconsistency");
}

TEST(IndexFile, RefusesAPivotingSwitchThatDiffersFromTheSavingRun) {
  ScopedWorkDir dir;
  saved_analysis(0, false, 10);
  auto with_pivoting = loader(0, true);
  expect_refused(*with_pivoting, 10, 1, "does not match");
  saved_analysis(0, true, 10);
  auto without_pivoting = loader(0, false);
  expect_refused(*without_pivoting, 10, 1, "does not match");
}

TEST(IndexFile, RefusesAnotherMatrixSize) {
  ScopedWorkDir dir;
  for (bool pivoting : {false, true}) {
    saved_analysis(0, pivoting, 10);
    for (std::int32_t n : {9, 11, 1000000}) {
      auto loaded = loader(0, pivoting);
      expect_refused(*loaded, n, 1, "does not match");
    }
  }
}

TEST(IndexFile, RefusesATruncatedFile) {
  ScopedWorkDir dir;
  for (bool pivoting : {false, true}) {
    saved_analysis(0, pivoting, 10);
    const auto path = dir.path() / "index";
    const auto size = std::filesystem::file_size(path);
    for (auto keep : {size - 1, size / 2, std::uintmax_t{10}, std::uintmax_t{2}}) {
      std::filesystem::resize_file(path, keep);
      auto loaded = loader(0, pivoting);
      expect_refused(*loaded, 10, 1, "does not match");
    }
  }
}

TEST(IndexFile, RefusesACorruptSubscriptCount) {
  ScopedWorkDir dir;
  saved_analysis(0, false, 10);
  const auto path = dir.path() / "index";
  std::string bytes = read_file(path);
  const std::int64_t huge = std::int64_t{1} << 60;
  bytes.replace(4, 8, reinterpret_cast<const char*>(&huge), 8);
  write_file(path, bytes);
  auto loaded = loader(0, false);
  expect_refused(*loaded, 10, 1, "does not match");
}

TEST(IndexFile, FullDiskEndsWithTheWriteFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ScopedWorkDir dir;
  auto solver = saved_analysis(0, false, 10);
  solver->work_dir = "/dev";
  solver->index_file_name = "full";
  try {
    SaveIndexFile(*solver, 10);
    FAIL() << "expected a fatal error";
  } catch (const TessarException& e) {
    EXPECT_EQ(e.code(), 200);
  }
}

TEST(IndexFile, MissingFileEndsWithTheOpenFailure) {
  ScopedWorkDir dir;
  auto loaded = loader(0, false);
  expect_refused(*loaded, 10, 5, "Can't open temp file");
}

}  // namespace
