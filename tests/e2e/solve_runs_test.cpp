// Whole runs of the built solver as a parent program makes them: "A" and "b"
// in, "x" out. The residual of every solution is computed here from the
// generated matrix, not taken from the solver's own check.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

// The relative residual of vector k of "x" against "b", from the matrix itself.
double residual_on_disk(const YaleMatrix& a, int kind, std::int32_t k) {
  return relative_residual(a, kind, read_vectors("x", kind >= 2), read_vectors("b", kind >= 2), k);
}

// Every factor of the test plan (path, placement, precision, right-hand
// sides) appears in some run; every kind runs every plan, and no run leaves
// factor files behind.
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
    {{"-single_updates", "-ncpu", "2"}, true, 2},
    {{"-single_updates"}, false, 1},
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
    std::vector<std::string> args{kind_switches[kind]};
    args.insert(args.end(), plan.switches.begin(), plan.switches.end());
    std::string what = plan.offcore ? "offcore" : "incore";
    for (const auto& word : args) what += " " + word;
    what += " nrhs " + std::to_string(plan.nrhs);

    // Offcore the solve reads the factor in patches too, small ones.
    const RunResult run = run_binary(args, {plan.offcore ? "TS_PATCH_ENTRIES=1500" : "TS_PATCH_ENTRIES=0"});
    ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
    EXPECT_EQ(plan.offcore, run.log.find("Numerical Factorization goes offcore") != std::string::npos) << what;
    EXPECT_EQ(plan.offcore, run.log.find("Post improvement goes offcore") != std::string::npos) << what;
    EXPECT_NE(run.err.find("solver :message Factor (Est. memory = "), std::string::npos) << what << "\n" << run.err;
    EXPECT_NE(run.err.find("solver :progress 80.000000"), std::string::npos) << what << "\n" << run.err;
    EXPECT_NE(run.err.find("solver :progress 100.000000"), std::string::npos) << what << "\n" << run.err;
    for (const char* left : {"U", "L", "U_diag_index"}) EXPECT_FALSE(fs::exists(left)) << what << " left " << left;
    ASSERT_EQ(read_vectors("x", kind >= 2).size(), std::size_t(system.a.n) * plan.nrhs) << what;
    for (std::int32_t k = 0; k < plan.nrhs; ++k)
      EXPECT_LE(residual_on_disk(system.a, kind, k), 1e-10) << what << " rhs " << k;
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

// What a run's log says of its patch reads: loads and substitutions from the
// closing line (−1 without one), and the patches its substitutions ran.
struct PatchCounts {
  long loads = -1, substitutions = -1, lines = 0, patches_run = 0;
};
PatchCounts patch_counts(const std::string& log) {
  PatchCounts c;
  const auto at = log.rfind("Factor read in ");
  if (at != std::string::npos)
    std::sscanf(log.c_str() + at, "Factor read in %ld patch loads (%*f MB) for %ld substitutions", &c.loads,
                &c.substitutions);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    int forward = 0, backward = 0;
    if (std::sscanf(line.c_str(), "%d Forward patches%*[ ,]%d Backward patches", &forward, &backward) == 2) {
      ++c.lines;
      c.patches_run += forward + backward;
    }
  }
  return c;
}

// A vector b of the system holding its first nrhs right-hand sides.
GeneratedSystem first_rhs(GeneratedSystem system, std::int32_t nrhs) {
  system.b.resize(system.b.size() / system.nrhs * nrhs);
  system.nrhs = nrhs;
  return system;
}

// Right-hand sides solved over a factor kept by one run and read in small
// patches by later ones: 1, 2, 3 and 17 on 1, 2 and 4 threads, every kind
// and factor form, each solution checked here. One thread loads every patch
// for itself; threads that share the reads load a patch for several
// substitutions at once. The Krylov chain (BiCG, BiCGStab, restarts, GMRES)
// that one iteration towards an unreachable tolerance sets going (its answers
// confirmed by their backward error) runs in shared sweeps too; a soft memory
// limit that leaves no room for more solve threads lowers their number.
TEST(OffcoreSolveThreads, ShareThePatchReadsAndSolveEveryRightHandSide) {
  struct Run {
    std::int32_t nrhs, threads;
    bool memory_short = false;
  };
  const struct {
    int kind;
    Family family;
    std::int32_t size;
    std::vector<std::string> switches;
    std::string prefs;
    std::vector<Run> runs;
  } cases[] = {
      {0, Family::laplace3d, 8, {}, "", {{1, 1}, {2, 2}, {3, 4}, {17, 1}, {17, 2}, {17, 4}, {17, 4, true}}},
      {1, Family::convdiff3d, 8, {"-pivoting", "-bicgstab"},
       "DIRECT_SOLVER MaxPostIter 1\nDIRECT_SOLVER ErrorNorm 1e-20\n",
       {{17, 4}}},
      {2, Family::helmholtz3d, 8, {"-mt", "-ncpu", "2"}, "", {{3, 2}, {17, 4}}},
      {3, Family::convdiff3d, 7, {}, "", {{3, 2}, {17, 4}}},
      {4, Family::hermitian, 14, {"-pivoting"}, "", {{17, 4}}},
  };
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    const GeneratedSystem system = generate(c.family, c.size, c.kind, 17, 7);
    write_system(fs::current_path(), system, false);
    std::vector<std::string> args{kind_switches[c.kind]};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    std::vector<std::string> keep = args;
    keep.push_back("-nofbs");
    ASSERT_EQ(run_binary(keep).status, 0) << kind_switches[c.kind];
    for (const Run& r : c.runs) {
      const std::string what = std::string(kind_switches[c.kind]) + " nrhs " + std::to_string(r.nrhs) + " threads " +
                               std::to_string(r.threads) + (r.memory_short ? " memory short" : "");
      write_system(fs::current_path(), first_rhs(system, r.nrhs), false);
      write_file("prefs.ini", c.prefs + (r.memory_short ? "DIRECT_SOLVER MemLimitSoft 1\n" : ""));
      std::vector<std::string> solve = args;
      solve.insert(solve.end(), {"-back_exec", "-ncpu_fbs", std::to_string(r.threads)});
      fs::remove("tessar.log");
      const RunResult run = run_binary(solve, {r.memory_short ? "TS_PATCH_ENTRIES=0" : "TS_PATCH_ENTRIES=1500"});
      ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
      EXPECT_NE(run.log.find("Post improvement goes offcore"), std::string::npos) << what;
      const int asked = std::min(r.threads, r.nrhs), fit = r.memory_short ? 1 : asked;
      const std::string phase = "Solution phase: " + std::to_string(fit) + " of " + std::to_string(asked);
      EXPECT_NE(run.log.find(phase), std::string::npos) << what;
      for (std::int32_t k = 0; k < r.nrhs; ++k) EXPECT_LE(residual_on_disk(system.a, c.kind, k), 1e-10) << what << k;
      const PatchCounts counts = patch_counts(run.log);
      EXPECT_EQ(counts.substitutions, counts.lines) << what;
      if (fit == 1) { EXPECT_GE(counts.loads, counts.patches_run - counts.substitutions) << what; }
      if (r.nrhs == 17 && fit == 4) { EXPECT_LE(2 * counts.loads, counts.patches_run) << what; }
    }
  }
}

// A first right-hand side without a solution (a singular system whose other
// right-hand sides are consistent), seventeen on four threads over a factor
// read in shared sweeps: the run ends with 16 naming it, the threads beside
// it finish their vectors (none waits for it at the barrier), no further
// right-hand side is launched once it failed, and no "x" is left.
TEST(OffcoreSolveThreads, ARightHandSideWithoutSolutionStopsTheLaunches) {
  ScopedWorkDir dir;
  GeneratedSystem system = generate(Family::singular, 12, 0, 17, 7);
  std::mt19937 engine(1);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (std::int32_t i = 0; i < system.a.n; ++i) system.b[i] = value(engine);
  write_system(fs::current_path(), system, false);
  ASSERT_EQ(run_binary({"-allow_perturbation", "-nofbs"}).status, 0);
  fs::remove("tessar.log");
  const RunResult run = run_binary({"-allow_perturbation", "-back_exec", "-ncpu_fbs", "4"}, {"TS_PATCH_ENTRIES=200"});
  EXPECT_EQ(run.status, 16) << run.err;
  EXPECT_NE(run.err.find("right-hand side 1 of 17"), std::string::npos) << run.err;
  EXPECT_NE(run.log.find("Post improvement goes offcore"), std::string::npos);
  EXPECT_NE(run.log.find("Solution phase: 4 of 4"), std::string::npos);
  const int launched = occurrences(run.log, "succesfully launched");
  EXPECT_LT(launched, 17);
  EXPECT_EQ(occurrences(run.log, "returned with error code 0"), launched - 1);
  EXPECT_FALSE(fs::exists("x"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SolveRuns, ::testing::Values(0, 1, 2, 3, 4),
                         [](const auto& info) { return std::string(kind_switches[info.param] + 1); });

class SolveModes : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  GeneratedSystem system = generate(Family::laplace3d, 7, 0, 2, 5);
  void SetUp() override { write_system(fs::current_path(), system, false); }
};

// A factor kept by -nofbs or -awe_exec solves both right-hand sides in each
// later solve-only run, which keeps the factor for the next one; -check then
// measures the solutions on disk.
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
  const RunResult check = run_binary({"-nofbs", "-check"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.log.find("Svtr1  Rel.Error = "), std::string::npos) << check.log;
}

// A kept factor is refused, before any of it is read, by a later run that
// asks for the other precision or whose analysis it does not belong to; no
// "x" is written.
TEST_F(SolveModes, AKeptFactorOfAnotherPrecisionOrAnalysisIsRefused) {
  const struct {
    std::vector<std::string> keep, later;
    std::uintmax_t truncate_to;
    const char* message;
  } cases[] = {
      {{"-nofbs"}, {"-back_exec", "-double_precision"}, 0, "U holds a factor kept in single precision"},
      {{"-nofbs", "-double_precision"}, {"-nonf"}, 0, "U holds a factor kept in double precision"},
      {{"-nofbs"}, {"-back_exec"}, 1000, "U holds 1000 bytes where the saved analysis needs"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(run_binary(c.keep).status, 0);
    if (c.truncate_to > 0) fs::resize_file("U", c.truncate_to);
    fs::remove("x");
    const RunResult later = run_binary(c.later);
    EXPECT_EQ(later.status, 1) << later.err;
    EXPECT_NE(later.err.find(c.message), std::string::npos) << later.err;
    EXPECT_FALSE(fs::exists("x"));
  }
}

// A run that keeps its factor, killed at a random moment, and then a run that
// solves with what it left: the later run refuses or solves to double
// precision; it never ends with 0 and a wrong "x".
TEST_F(SolveModes, AKilledFactorizationNeverGivesAWrongSolutionLater) {
  write_system(fs::current_path(), generate(Family::laplace3d, 16, 0, 1, 3), false);
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
  const YaleMatrix a = generate(Family::laplace3d, 16, 0, 1, 3).a;
  std::mt19937 random(11);
  for (int round = 0; round < 12; ++round) {
    const std::string after = std::to_string(0.005 * (1 + random() % 14));  // seconds, within a run's 70 ms
    (void)run_binary({"-nofbs"}, {}, "timeout -s KILL " + after + " ");
    fs::remove("x");
    const RunResult later = run_binary({"-back_exec"});
    if (later.status == 0) {
      EXPECT_LE(relative_residual(a, 0, read_vectors("x", false), read_vectors("b", false), 0), 1e-10) << after;
    } else {
      EXPECT_FALSE(fs::exists("x")) << after;
    }
  }
}

// An offcore multi-threaded factor is found again through its block index
// files, which a run that keeps nothing removes.
TEST_F(SolveModes, MultiThreadedFactorIsFoundThroughItsBlockIndex) {
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
  ASSERT_EQ(run_binary({"-mt", "-nofbs"}).status, 0);
  for (const char* index : {"U_diag_index", "U_offdiag_index"}) EXPECT_TRUE(fs::exists(index)) << index;
  const RunResult later = run_binary({"-back_exec", "-mt"});
  ASSERT_EQ(later.status, 0) << later.err;
  EXPECT_LE(residual_on_disk(system.a, 0, 0), 1e-10);
  ASSERT_EQ(run_binary({"-mt"}).status, 0);
  EXPECT_FALSE(fs::exists("U_diag_index"));
  EXPECT_FALSE(fs::exists("U"));
}

}  // namespace
