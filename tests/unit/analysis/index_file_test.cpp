#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "analysis/index_file.h"
#include "tests/support/test_support.h"
#include "tests/unit/analysis/analysis_fixtures.h"

namespace {

std::unique_ptr<tessar> solver_of(int kind, bool pivoting) {
  auto solver = make_test_solver(kind);
  solver->no_progress = true;
  solver->pivoting = pivoting;
  return solver;
}

// Analyses a random pattern and saves its index file: a plain analysis that
// keeps its factor saves it itself, a pivoting one after the factorization.
std::unique_ptr<tessar> saved_analysis(int kind, bool pivoting, std::int32_t n) {
  auto solver = solver_of(kind, pivoting);
  solver->save_factor = !pivoting;
  analyse(*solver, matrix_of(random_pattern(n, 0.2, 11), kind));
  if (!pivoting) return solver;
  solver->Num2x2Pivots = 3;
  solver->NumPerturbed = 1;
  for (std::int32_t k = 0; k < n; ++k) solver->PivotOrder[k] = n - 1 - k;
  SaveIndexFile(*solver, n);
  return solver;
}

template <class A, class B>
bool same(const A& a, const B& b, std::int64_t count) {
  return std::equal(a.begin(), a.begin() + count, b.begin());
}

void expect_refused(int kind, bool pivoting, std::int32_t n, std::int32_t code, const std::string& text) {
  expect_fatal([&] { LoadIndexFile(*solver_of(kind, pivoting), n); }, code, text);
}

TEST(IndexFile, RoundTripRestoresTheAnalysis) {
  ScopedWorkDir dir;
  const std::int32_t n = 25;
  for (bool pivoting : {false, true}) {
    SCOPED_TRACE(pivoting ? "pivoting" : "plain");
    auto saved = saved_analysis(pivoting ? 1 : 0, pivoting, n);
    auto loaded = solver_of(pivoting ? 1 : 0, pivoting);
    LoadIndexFile(*loaded, n);
    ASSERT_EQ(loaded->sizeJU, saved->sizeJU);
    EXPECT_EQ(loaded->NzU, saved->NzU);
    EXPECT_TRUE(same(loaded->iperm, saved->iperm, n));
    EXPECT_TRUE(same(loaded->IU, saved->IU, n + 1));
    EXPECT_TRUE(same(loaded->IJU, saved->IJU, n));
    EXPECT_TRUE(same(loaded->JU, saved->JU, saved->sizeJU));
    if (!pivoting) continue;
    ASSERT_EQ(loaded->NSuper, saved->NSuper);
    EXPECT_TRUE(same(loaded->SNode, saved->SNode, saved->NSuper + 1));
    EXPECT_TRUE(same(loaded->PivotOrder, saved->PivotOrder, n));
    EXPECT_EQ(loaded->Num2x2Pivots, 3);
    EXPECT_EQ(loaded->NumPerturbed, 1);
  }
}

// A file of another kind, pivoting switch or matrix size, or a damaged one, is
// refused before any later phase can index outside its arrays; a full disk
// ends the save with its write failure.
TEST(IndexFile, RefusesAFileThatDoesNotFitTheRunAndReportsAFullDisk) {
  ScopedWorkDir dir;
  expect_refused(0, false, 10, 5, "Can't open temp file");
  const auto path = dir.path() / "index";
  for (bool pivoting : {false, true}) {
    SCOPED_TRACE(pivoting ? "pivoting" : "plain");
    saved_analysis(0, pivoting, 10);
    expect_refused(1, pivoting, 10, 1, "Solver type inconsistency");
    expect_refused(0, !pivoting, 10, 1, "does not match");
    for (std::int32_t n : {9, 11, 1000000}) expect_refused(0, pivoting, n, 1, "does not match");
    const auto size = std::filesystem::file_size(path);
    for (auto keep : {size - 1, size / 2, std::uintmax_t{10}, std::uintmax_t{2}}) {
      std::filesystem::resize_file(path, keep);
      expect_refused(0, pivoting, 10, 1, "does not match");
    }
  }
  // Damaged counts and starts: the subscript count, then the first column's
  // start in the subscripts (after the kind, the count and the permutation).
  const std::pair<std::size_t, std::int64_t> damages[] = {
      {4, std::int64_t{1} << 60}, {4, INT64_MAX - 3}, {12 + 4 * 10, INT64_MAX - 1}};
  for (const auto& [offset, huge] : damages) {
    saved_analysis(0, false, 10);
    std::string bytes = read_file(path);
    bytes.replace(offset, 8, reinterpret_cast<const char*>(&huge), 8);
    write_file(path, bytes);
    expect_refused(0, false, 10, 1, "does not match");
  }
  if (!std::filesystem::exists("/dev/full")) return;
  auto solver = saved_analysis(0, false, 10);
  solver->work_dir = "/dev";
  solver->index_file_name = "full";
  expect_fatal([&] { SaveIndexFile(*solver, 10); }, 200, "Can't write index file");
}

}  // namespace
