// Whole runs of the built solver as a parent program makes them: "A" and "b"
// in, "x" out. The residual of every solution is computed here from the
// generated matrix, not taken from the solver's own check.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

const char* const kind_switch[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym", "-complex_herm"};

// The relative residual of vector k of "x" against "b", from the matrix itself.
double residual_on_disk(const YaleMatrix& a, int kind, std::int32_t k) {
  return relative_residual(a, kind, read_vectors("x", kind >= 2), read_vectors("b", kind >= 2), k);
}

// Every factor of the test plan (path, placement, precision, right-hand
// sides) appears in some run; every kind runs every plan.
const struct Plan {
  std::vector<std::string> switches;
  bool offcore;
  std::int32_t nrhs;
} plans[] = {
    {{}, false, 1},
    {{"-pivoting"}, true, 1},
    {{"-allow_perturbation", "-double_precision"}, false, 2},
    {{"-diag_scale", "-ncpu", "2"}, false, 3},
    {{"-pivoting", "-double_precision", "-enforce_CG"}, true, 2},
    {{"-diag_scale", "-pivoting", "-ncpu", "2"}, false, 3},
    {{"-double_precision"}, true, 1},
    {{"-allow_perturbation", "-diag_scale", "-ncpu", "2"}, true, 2},
    {{"-mt", "-ncpu", "2"}, true, 2},
    {{"-mt", "-allow_perturbation"}, false, 1},
};

class SolveRuns : public ::testing::TestWithParam<int> {};

TEST_P(SolveRuns, EveryPathSolvesToDoublePrecision) {
  const int kind = GetParam();
  // The family each kind is tried on, small enough for a fast suite.
  const std::pair<Family, std::int32_t> families[] = {
      {Family::laplace3d, 8}, {Family::convdiff3d, 8}, {Family::helmholtz3d, 8}, {Family::convdiff3d, 7},
      {Family::hermitian, 14}};
  for (const Plan& plan : plans) {
    ScopedWorkDir dir;
    const GeneratedSystem system = generate(families[kind].first, families[kind].second, kind, plan.nrhs, 11);
    write_system(fs::current_path(), system, false);
    if (plan.offcore) write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
    std::vector<std::string> args{kind_switch[kind]};
    args.insert(args.end(), plan.switches.begin(), plan.switches.end());
    std::string what = plan.offcore ? "offcore" : "incore";
    for (const auto& word : args) what += " " + word;
    what += " nrhs " + std::to_string(plan.nrhs);

    const RunResult run = run_binary(args);
    ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
    EXPECT_EQ(plan.offcore, run.log.find("goes offcore") != std::string::npos) << what;
    EXPECT_NE(run.err.find("solver :progress 80.000000"), std::string::npos) << what << "\n" << run.err;
    EXPECT_NE(run.err.find("solver :progress 100.000000"), std::string::npos) << what << "\n" << run.err;
    ASSERT_EQ(read_vectors("x", kind >= 2).size(), std::size_t(system.a.n) * plan.nrhs) << what;
    for (std::int32_t k = 0; k < plan.nrhs; ++k)
      EXPECT_LE(residual_on_disk(system.a, kind, k), 1e-10) << what << " rhs " << k;
  }
}

// Single-precision update products, on systems whose fronts are large enough
// to take them, still solve to double precision after refinement.
TEST(SingleUpdates, EveryKindSolvesToDoublePrecision) {
  const std::pair<Family, std::int32_t> families[] = {
      {Family::laplace3d, 12}, {Family::convdiff3d, 12}, {Family::helmholtz3d, 12}, {Family::convdiff3d, 11},
      {Family::hermitian, 300}};
  for (int kind = 0; kind < 5; ++kind) {
    ScopedWorkDir dir;
    const GeneratedSystem system = generate(families[kind].first, families[kind].second, kind, 1, 3);
    write_system(fs::current_path(), system, false);
    const RunResult run = run_binary({kind_switch[kind], "-single_updates", "-ncpu", "2"});
    ASSERT_EQ(run.status, 0) << kind_switch[kind] << "\n" << run.err;
    EXPECT_LE(residual_on_disk(system.a, kind, 0), 1e-10) << kind_switch[kind];
  }
}

// A graph large enough to be split by its top separator is ordered the same
// whether its two sides are ordered one after the other or at once.
TEST(SplitOrdering, OneAndTwoProcessorsGiveTheSameFactor) {
  ScopedWorkDir dir;
  const GeneratedSystem system = generate(Family::laplace3d, 35, 0, 1, 3);
  write_system(fs::current_path(), system, false);
  std::string fill[2];
  for (int ncpu : {1, 2}) {
    const RunResult run = run_binary({"-ncpu", std::to_string(ncpu)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(residual_on_disk(system.a, 0, 0), 1e-10) << ncpu;
    const std::size_t at = run.log.find("NzU = ");
    ASSERT_NE(at, std::string::npos) << run.log;
    fill[ncpu - 1] = run.log.substr(at, run.log.find('\n', at) - at);
  }
  EXPECT_EQ(fill[0], fill[1]);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SolveRuns, ::testing::Values(0, 1, 2, 3, 4),
                         [](const auto& info) { return std::string(kind_switch[info.param] + 1); });

class SolveModes : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  GeneratedSystem system = generate(Family::laplace3d, 7, 0, 2, 5);
  void SetUp() override { write_system(fs::current_path(), system, false); }
};

// A factor kept by -nofbs or -awe_exec solves both right-hand sides in each
// later solve-only run, which keeps the factor for the next one.
TEST_F(SolveModes, KeptFactorSolvesAgainInALaterRun) {
  for (const char* keep : {"-nofbs", "-awe_exec"}) {
    ASSERT_EQ(run_binary({"-pivoting", keep}).status, 0) << keep;
    for (const char* later : {"-back_exec", "-nonf"}) {
      fs::remove("x");
      const RunResult run = run_binary({later, "-pivoting"});
      ASSERT_EQ(run.status, 0) << keep << " " << later << "\n" << run.err;
      ASSERT_EQ(read_vectors("x", false).size(), std::size_t(system.a.n) * 2);
      EXPECT_LE(residual_on_disk(system.a, 0, 1), 1e-10) << keep << " " << later;
      EXPECT_TRUE(fs::exists("U")) << keep << " " << later;
    }
  }
}

// An offcore multi-threaded factor is found again through its block index
// files, which a run that keeps nothing removes.
TEST_F(SolveModes, MultiThreadedFactorIsFoundThroughItsBlockIndex) {
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
  ASSERT_EQ(run_binary({"-mt", "-nofbs"}).status, 0);
  EXPECT_TRUE(fs::exists("U_diag_index"));
  EXPECT_TRUE(fs::exists("U_offdiag_index"));
  const RunResult later = run_binary({"-back_exec", "-mt"});
  ASSERT_EQ(later.status, 0) << later.err;
  EXPECT_LE(residual_on_disk(system.a, 0, 0), 1e-10);
  ASSERT_EQ(run_binary({"-mt"}).status, 0);
  EXPECT_FALSE(fs::exists("U_diag_index"));
  EXPECT_FALSE(fs::exists("U"));
}

// -check measures the solutions on disk.
TEST_F(SolveModes, CheckReadsTheSolutionsOnDisk) {
  ASSERT_EQ(run_binary({}).status, 0);
  const RunResult check = run_binary({"-nofbs", "-check"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.log.find("Svtr1  Rel.Error = "), std::string::npos) << check.log;
}

}  // namespace
