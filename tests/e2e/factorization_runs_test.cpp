// The factorization phase of the built solver on a singular matrix and in
// the incore, offcore and kept-factor modes: exit status, messages, and which
// factor files a run leaves behind.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

// The 4×4 matrix of ones has an exactly zero second pivot: without perturbed
// pivots the run fails with 16 and leaves no half-made factor for a later
// -back_exec run; with them it factors.
TEST(FactorizationRuns, SingularMatrixFailsAndKeepsNoFactor) {
  ScopedWorkDir dir;
  write_matrix_file(matrix_from_entries(4, {0, 0, 0, 0, 1, 1, 1, 2, 2, 3}, {0, 1, 2, 3, 1, 2, 3, 2, 3, 3},
                                        std::vector<double>(10, 1.0)));
  write_file("b", std::string(4 * 8, '\0'));
  for (const char* path : {"-nofbs", "-pivoting"}) {
    const RunResult run = run_binary({"-nofbs", path});
    EXPECT_EQ(run.status, 16) << path;
    EXPECT_NE(run.err.find("Matrix solver failed"), npos) << run.err;
    EXPECT_NE(run.err.find("ERROR:   Singular matrix"), npos) << run.err;
    for (const char* left : {"index", "U"}) EXPECT_FALSE(fs::exists(left)) << path << " left " << left;
  }
  const RunResult perturbed = run_binary({"-nofbs", "-allow_perturbation"});
  EXPECT_EQ(perturbed.status, 0) << perturbed.err;
  EXPECT_EQ(perturbed.log.find("Number of perturbed pivots = 0\n"), npos);
  EXPECT_NE(perturbed.log.find("Number of perturbed pivots = "), npos);
  EXPECT_TRUE(fs::exists("index"));
}

// A working directory that is a file fails the offcore run with an I/O code
// before the factorization is reported done.
TEST(FactorizationRuns, UnwritableWorkingDirectoryIsReported) {
  ScopedWorkDir dir;
  write_system(fs::current_path(), generate(Family::laplace3d, 5, 0, 1, 7), false);
  write_file("blocked", "a file where the working directory should be");
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\nDIRECT_SOLVER WorkingDirectory " +
                              (fs::current_path() / "blocked").string() + "\n");
  const RunResult run = run_binary({"-real_sym"});
  EXPECT_TRUE(run.status == 5 || run.status == 6) << run.status << "\n" << run.err;
  EXPECT_EQ(run.err.find("solver :progress 80"), npos) << run.err;
}

// A disk that fills up (a file-size limit of the shell stands in for it) ends
// the run with 200 naming the file, one without room for the factor (/proc
// offers none) with 6 before anything is written; nothing is left that a
// later run could take as valid: no factor files or "index" of a
// factorization that keeps its factor, no "x" of a solve.
TEST(FactorizationRuns, AFullDiskEndsTheRunAndLeavesNothingValid) {
  const std::string offcore = "DIRECT_SOLVER MemLimitSoft 1\n";
  const struct {
    std::vector<std::string> args;
    std::string prefs;
    int status;
    const char* message;
  } cases[] = {{{"-nofbs"}, offcore, 200, ": File too large"},  // the index, or the factor after it
               {{}, "", 200, "Can not write svtr vector: x.partial: File too large"},
               {{}, offcore + "DIRECT_SOLVER WorkingDirectory /proc\n", 6,
                "Not enough disk space in /proc to solve the matrix"}};
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    write_system(fs::current_path(), generate(Family::laplace3d, 16, 0, 8, 7), false);
    write_file("prefs.ini", c.prefs);
    const RunResult run = run_binary(c.args, {}, "ulimit -f 150; trap '' XFSZ; ");
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), npos) << run.err;
    for (const char* left : {"U", "index", "x", "x.partial"}) EXPECT_FALSE(fs::exists(left)) << left;
  }
}

}  // namespace
