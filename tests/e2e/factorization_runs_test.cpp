// The factorization phase of the built solver on bad input and in the
// incore, offcore and kept-factor modes: exit status, messages, and which
// factor files a run leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

class FactorizationRuns : public ::testing::Test {
 protected:
  ScopedWorkDir dir;

  static void write_system_of(Family family, std::int32_t size, int kind) {
    write_system(fs::current_path(), generate(family, size, kind, 1, 7), false);
  }

  // The 4×4 matrix of ones, upper triangle: its second pivot is exactly zero.
  static void write_ones() {
    std::vector<std::int32_t> rows, cols;
    for (int i = 0; i < 4; ++i)
      for (int j = i; j < 4; ++j) {
        rows.push_back(i);
        cols.push_back(j);
      }
    write_matrix_file(matrix_from_entries(4, rows, cols, std::vector<double>(rows.size(), 1.0)));
    write_file("b", std::string(4 * 8, '\0'));
  }

  static void force_offcore() { write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n"); }
};

TEST_F(FactorizationRuns, ValueThatIsNotFiniteNamesItsEntry) {
  GeneratedSystem system = generate(Family::laplace2d, 5, 0, 1, 7);
  system.a.values[7] = INFINITY;
  write_system(fs::current_path(), system, false);
  RunResult run = run_binary({"-real_sym"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("row 2 of A holds a value that is not a finite number in column 3"), std::string::npos)
      << run.err;
}

TEST_F(FactorizationRuns, SingularMatrixFailsAndKeepsNoFactor) {
  write_ones();
  for (const char* path : {"-nofbs", "-pivoting"}) {
    RunResult run = run_binary({"-nofbs", path});
    EXPECT_EQ(run.status, 16) << path;
    EXPECT_NE(run.err.find("Matrix solver failed"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("ERROR:   Singular matrix"), std::string::npos);
    EXPECT_FALSE(fs::exists("index")) << "a later -back_exec run must not find a half-made factor";
    EXPECT_FALSE(fs::exists("U"));
  }
  RunResult perturbed = run_binary({"-nofbs", "-allow_perturbation"});
  EXPECT_EQ(perturbed.status, 0) << perturbed.err;
  EXPECT_EQ(perturbed.log.find("Number of perturbed pivots = 0\n"), std::string::npos);
  EXPECT_NE(perturbed.log.find("Number of perturbed pivots = "), std::string::npos);
  EXPECT_TRUE(fs::exists("index"));
}

TEST_F(FactorizationRuns, OffcoreFactorFilesGoUnlessTheFactorIsKept) {
  write_system_of(Family::convdiff3d, 6, 1);
  force_offcore();
  for (const char* path : {"-real_unsym", "-pivoting"}) {
    RunResult run = run_binary({"-real_unsym", path});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.log.find("Numerical Factorization goes offcore"), std::string::npos) << run.log;
    EXPECT_NE(run.err.find("solver :message Factor (Est. memory = "), std::string::npos);
    EXPECT_FALSE(fs::exists("U")) << path;
    EXPECT_FALSE(fs::exists("L")) << path;
  }
  RunResult kept = run_binary({"-real_unsym", "-nofbs"});
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_GT(fs::file_size("U"), 0u);
  EXPECT_GT(fs::file_size("L"), 0u);
  RunResult later = run_binary({"-back_exec"});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_TRUE(fs::exists("U")) << "a solve-only run keeps the factor it was given";
}

TEST_F(FactorizationRuns, UnwritableWorkingDirectoryIsReported) {
  write_system_of(Family::laplace3d, 5, 0);
  write_file("blocked", "a file where the working directory should be");
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\nDIRECT_SOLVER WorkingDirectory " + (fs::current_path() / "blocked").string() + "\n");
  RunResult run = run_binary({"-real_sym"});
  EXPECT_NE(run.status, 0);
  EXPECT_TRUE(run.status == 5 || run.status == 6) << run.status << "\n" << run.err;
  EXPECT_EQ(run.err.find("solver :progress 80"), std::string::npos) << "the factorization must not be reported done";
}

TEST_F(FactorizationRuns, EveryKindFactorsOnEveryPath) {
  const std::pair<Family, int> systems[] = {{Family::laplace3d, 0}, {Family::convdiff3d, 1}, {Family::helmholtz3d, 2},
                                            {Family::convdiff3d, 3}, {Family::hermitian, 4}};
  const char* const kind_switch[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym", "-complex_herm"};
  for (auto [family, kind] : systems) {
    write_system_of(family, family == Family::hermitian ? 12 : 7, kind);
    for (std::vector<std::string> path : {std::vector<std::string>{}, {"-pivoting"}, {"-double_precision", "-diag_scale"}}) {
      path.insert(path.begin(), kind_switch[kind]);
      RunResult run = run_binary(path);
      EXPECT_EQ(run.status, 0) << kind_switch[kind] << " " << path.back() << "\n" << run.err;
      EXPECT_NE(run.log.find(".... Numerical factorization done"), std::string::npos);
      EXPECT_NE(run.err.find("solver :progress 80.000000"), std::string::npos);
    }
  }
}

}  // namespace
