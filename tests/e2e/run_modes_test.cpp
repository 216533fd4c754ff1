// Runs the built tessar64 in a temporary directory and checks its exit status,
// its standard error stream and its log for each run mode that exists.
#include <gtest/gtest.h>

#include <cstdint>

#include "tests/support/test_support.h"

namespace {

class RunModes : public ::testing::Test {
 protected:
  ScopedWorkDir dir;

  // A 5×5 tridiagonal matrix, upper triangle, real or complex.
  static void write_tridiagonal(bool complex) {
    std::vector<std::int32_t> rows, cols;
    std::vector<double> values;
    for (int i = 0; i < 5; ++i) {
      for (int j = i; j <= std::min(i + 1, 4); ++j) {
        rows.push_back(i);
        cols.push_back(j);
        values.push_back(i == j ? 4.0 : -1.0);
        if (complex) values.push_back(0.0);
      }
    }
    write_matrix_file(matrix_from_entries(5, rows, cols, values, complex));
    write_file("b", std::string(5 * (complex ? 16 : 8), '\0'));
  }

  static void write_index(std::int32_t kind) { write_file("index", std::string(reinterpret_cast<char*>(&kind), 4)); }
};

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(RunModes, PlainRunAnalysesAndEndsNormally) {
  write_tridiagonal(false);
  RunResult run = run_binary({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ends_with(run.log, "exit status(0) \n")) << run.log;
  EXPECT_NE(run.log.find("Initializing real symmetric matrix solver\n"), std::string::npos);
  EXPECT_NE(run.log.find("Dim = 5 NZ = 9\n"), std::string::npos);
  EXPECT_NE(run.err.find("solver :progress 0.000000\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("solver :progress 30.000000\n"), std::string::npos);
  EXPECT_NE(run.log.find("Memory in use = 0 KB\n"), std::string::npos) << "the matrix charge is released";
  EXPECT_NE(run.log.find("Number of rhs = 1\n"), std::string::npos);
}

TEST_F(RunModes, SolvingRunNeedsItsRightHandSides) {
  write_tridiagonal(false);
  std::filesystem::remove("b");
  RunResult run = run_binary({});
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.err.find("Can not open b file"), std::string::npos) << run.err;
  RunResult factor_only = run_binary({"-nofbs"});
  EXPECT_EQ(factor_only.status, 0) << factor_only.err;
}

TEST_F(RunModes, BuiltEndsAfterConstruction) {
  RunResult run = run_binary({"-built", "-gl_exec"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.log.find("Full 64-bit matrix solver\n"), std::string::npos);
  EXPECT_EQ(run.log.find("GLINT"), std::string::npos);
}

TEST_F(RunModes, UnsupportedModesFailWithCodeOne) {
  RunResult gl = run_binary({"-gl_exec"});
  EXPECT_EQ(gl.status, 1);
  EXPECT_NE(gl.err.find("Error in tessar64: No classical output for this matrix type\n, code 1\n"), std::string::npos);
  RunResult decomp = run_binary({"-decomp_exec"});
  EXPECT_EQ(decomp.status, 1);
  EXPECT_NE(decomp.log.find("It is not implemented"), std::string::npos);
}

TEST_F(RunModes, MissingMatrixIsAnOpenFailure) {
  RunResult run = run_binary({"-complex_herm"});
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.err.find("Error in tessar64: Opening A matrix\n, code 5\n"), std::string::npos);
}

TEST_F(RunModes, BackExecTakesTheKindFromTheIndexFile) {
  RunResult missing = run_binary({"-back_exec"});
  EXPECT_EQ(missing.status, 5);
  EXPECT_NE(missing.err.find("Can not read index\n"), std::string::npos);

  write_file("index", "");
  RunResult empty = run_binary({"-back_exec"});
  EXPECT_EQ(empty.status, 4);
  EXPECT_NE(empty.err.find("Can not read Solver_Type\n"), std::string::npos);

  write_tridiagonal(true);
  write_index(3);
  RunResult run = run_binary({"-back_exec", "-real_sym"});
  EXPECT_NE(run.log.find("Initializing complex asymmetric matrix solver\n"), std::string::npos) << run.log;
  EXPECT_EQ(run.err.find("solver :progress"), std::string::npos) << "-back_exec runs quietly";

  write_index(7);
  RunResult odd = run_binary({"-back_exec"});
  EXPECT_EQ(odd.status, 1);
  EXPECT_NE(odd.err.find("index holds solver type 7"), std::string::npos) << odd.err;
}

TEST_F(RunModes, SolvingFromDiskReusesTheSavedAnalysis) {
  write_tridiagonal(false);
  RunResult save = run_binary({"-nofbs"});
  ASSERT_EQ(save.status, 0) << save.err;
  ASSERT_TRUE(std::filesystem::exists("index"));
  RunResult back = run_binary({"-back_exec"});
  EXPECT_EQ(back.status, 0) << back.err;
  RunResult pivoting = run_binary({"-back_exec", "-pivoting"});
  EXPECT_EQ(pivoting.status, 1) << "an index saved without pivoting is refused: " << pivoting.err;
  EXPECT_NE(pivoting.err.find("index"), std::string::npos);

  write_file("b", std::string(6 * 8, '\0'));
  write_matrix_file(matrix_from_entries(6, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}, {1, 1, 1, 1, 1, 1}));
  RunResult other = run_binary({"-nonf"});
  EXPECT_EQ(other.status, 1) << "an index of another matrix size is refused: " << other.err;
}

TEST_F(RunModes, SwitchWithoutItsValueIsNamed) {
  write_tridiagonal(false);
  RunResult run = run_binary({"-ncpu"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("-ncpu"), std::string::npos) << run.err;
}

TEST_F(RunModes, MalformedMatrixEndsWithItsCode) {
  write_file("A", std::string(15, '\0'));
  RunResult run = run_binary({});
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.err.find("truncated record"), std::string::npos) << run.err;
}

TEST_F(RunModes, PhaseTimesGoToTessarProf) {
  write_tridiagonal(false);
  ASSERT_EQ(run_binary({"-nofbs"}).status, 0);
  RunResult run = run_binary({"-nonf"}, {"TESSAR_PROFILE=1"});
  EXPECT_EQ(run.status, 0);
  std::string prof = read_file("tessar.prof");
  EXPECT_EQ(prof.find("Preprocessing time:  real = "), 0u) << prof;
  EXPECT_NE(prof.find("\nFactorization time:  real = "), std::string::npos);
  EXPECT_NE(prof.find("\nSolution time:  real = "), std::string::npos);
  EXPECT_EQ(std::count(prof.begin(), prof.end(), '\n'), 3);
}

TEST_F(RunModes, PreferencesAndDebugLevelShapeTheRun) {
  write_tridiagonal(false);
  write_file("prefs.ini", "junk DIRECT_SOLVER QuietMode DIRECT_SOLVER MaxPostIter abc DIRECT_SOLVER");
  RunResult quiet = run_binary({});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err.find("solver :progress"), std::string::npos);
  EXPECT_NE(quiet.log.find("Quiet mode is on\n"), std::string::npos);
  EXPECT_NE(quiet.err.find("MaxPostIter in prefs.ini needs an integer value"), std::string::npos)
      << "warnings reach the person";

  std::filesystem::remove("tessar.log");
  std::filesystem::remove("prefs.ini");
  RunResult silent = run_binary({}, {"TS_DEBUG_LEVEL=1"});
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.log, "") << "nothing at level 1 or without a level in a good run";
}

TEST_F(RunModes, InputCheckCatchesTheWrongTriangle) {
  write_matrix_file(matrix_from_entries(2, {0, 1, 1}, {0, 0, 1}, {4, -1, 4}));
  write_file("b", std::string(16, '\0'));
  RunResult run = run_binary({"-real_sym"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.log.find("Problem with input YALE matrix, row 1 col 0\n"), std::string::npos) << run.log;
  RunResult lower = run_binary({"-real_sym", "-low_tri"});
  EXPECT_EQ(lower.status, 0) << lower.err;
}

}  // namespace
