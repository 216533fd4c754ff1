#include <gtest/gtest.h>

#include "driver/kind_solvers.h"
#include "driver/progress.h"
#include "tests/support/test_support.h"

namespace {

TEST(SoftMemoryLimit, HoldsBackFivePercentCappedAndFloored) {
  EXPECT_EQ(soft_memory_limit_kb(16'777'216), 15'938'356);
  EXPECT_EQ(soft_memory_limit_kb(67'108'864), 67'108'864 - 2'097'152);
  EXPECT_EQ(soft_memory_limit_kb(524'288), 524'288);
  EXPECT_EQ(soft_memory_limit_kb(100'000), 524'288);
}

TEST(KindSolvers, EachClassCarriesItsKindCodes) {
  ScopedWorkDir dir;
  struct Expected {
    int solver_type, value_type, symmetry, post_method, elem_size;
  };
  const Expected expected[] = {{0, 0, 0, 0, 4}, {1, 0, 1, 1, 4}, {2, 1, 0, 0, 8}, {3, 1, 1, 1, 8}, {4, 1, 2, 0, 8}};
  for (int kind = 0; kind < 5; ++kind) {
    auto solver = make_test_solver(kind);
    EXPECT_EQ(solver->solver_type, expected[kind].solver_type);
    EXPECT_EQ(solver->value_type, expected[kind].value_type);
    EXPECT_EQ(solver->symmetry, expected[kind].symmetry);
    EXPECT_EQ(solver->post_method, expected[kind].post_method);
    EXPECT_EQ(solver->elem_size, expected[kind].elem_size);
    EXPECT_EQ(solver->offcore, 1);
    EXPECT_GE(solver->Soft_Memory_Limit, 524'288);
  }
  EXPECT_EQ(make_solver(5), nullptr);
  EXPECT_EQ(make_solver(-1), nullptr);
}

TEST(KindSolvers, ConstructionLogsItsBannerAndLeavesOneOpenMpThread) {
  ScopedWorkDir dir;
  LogCapture log{2};
  auto solver = make_test_solver(3);
  EXPECT_TRUE(log.contains("Initializing complex asymmetric matrix solver\n"));
  EXPECT_TRUE(log.contains("TotalRAM detected "));
  EXPECT_STREQ(std::getenv("OMP_NUM_THREADS"), "1");
}

TEST(Progress, LinesAreCappedAndSilencedByQuietModes) {
  ScopedWorkDir dir;
  auto solver = make_test_solver(0);
  ::testing::internal::CaptureStderr();
  report_progress(*solver, 130);
  report_progress(*solver, -5);
  report_message(*solver, "Factor (Est. memory = 1MB, disk = 1MB)");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "solver :progress 100.000000\nsolver :progress -5.000000\n"
            "solver :message Factor (Est. memory = 1MB, disk = 1MB)\n");

  for (bool tessar::*flag : {&tessar::quiet, &tessar::no_progress}) {
    auto silent = make_test_solver(0);
    (*silent).*flag = true;
    ::testing::internal::CaptureStderr();
    report_progress(*silent, 42);
    report_message(*silent, "hidden");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
  EXPECT_EQ(band_midpoint(0, 30), 15);
  EXPECT_EQ(band_midpoint(30, 81), 55);
}

}  // namespace

namespace {

TEST(SolverDestruction, RemovesOnlyFactorFilesThatWereTemporary) {
  ScopedWorkDir dir;
  auto files = {"U", "L", "U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index", "index"};
  auto lay_out = [&] {
    for (const char* f : files) write_file(f, "f");
  };
  lay_out();
  {
    auto solver = make_test_solver(1);
    solver->multi_thread = true;
  }
  for (const char* f : files) EXPECT_EQ(std::filesystem::exists(f), std::string(f) == "index") << f;

  lay_out();
  {
    auto solver = make_test_solver(0);
    solver->offcore = 1;
  }
  EXPECT_FALSE(std::filesystem::exists("U"));
  EXPECT_TRUE(std::filesystem::exists("L")) << "a symmetric kind has no L file";

  lay_out();
  {
    auto solver = make_test_solver(0);
    solver->save_factor = true;
  }
  EXPECT_TRUE(std::filesystem::exists("U")) << "a kept factor stays";
  {
    auto solver = make_test_solver(0);
    solver->offcore = 0;
  }
  EXPECT_TRUE(std::filesystem::exists("U")) << "an incore run removes nothing";
}

}  // namespace
