// Whole runs of the built solver as a parent program makes them: "A" and "b"
// in, "x" out. The residual of every solution is computed here from the
// generated matrix, not taken from the solver's own check.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;
using cdouble = std::complex<double>;

const char* const kind_switch[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym", "-complex_herm"};

// The family each kind is tried on, small enough for a fast suite.
std::pair<Family, std::int32_t> family_of(int kind) {
  switch (kind) {
    case 0: return {Family::laplace3d, 8};
    case 1: return {Family::convdiff3d, 8};
    case 2: return {Family::helmholtz3d, 8};
    case 3: return {Family::convdiff3d, 7};
    default: return {Family::hermitian, 14};
  }
}

// The right-hand sides of a generated system as complex values.
std::vector<cdouble> rhs_of(const GeneratedSystem& s) {
  std::vector<cdouble> b;
  const std::size_t step = s.a.complex ? 2 : 1;
  for (std::size_t i = 0; i + step <= s.b.size(); i += step) b.emplace_back(s.b[i], s.a.complex ? s.b[i + 1] : 0.0);
  return b;
}

double relative_residual(const GeneratedSystem& s, const std::vector<cdouble>& x, std::int32_t k) {
  return relative_residual(s.a, s.kind, x, rhs_of(s), k);
}

struct Plan {
  std::vector<std::string> switches;
  bool offcore = false;
  std::int32_t nrhs = 1;
};

std::string describe(int kind, const Plan& p) {
  std::string text = kind_switch[kind];
  for (const auto& s : p.switches) text += " " + s;
  return text + (p.offcore ? " offcore" : "") + " nrhs " + std::to_string(p.nrhs);
}

// Every factor of the test plan (kind, path, placement, precision, right-hand
// sides) appears in some run, each kind on every path.
const std::vector<Plan>& plans() {
  static const std::vector<Plan> all = {
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
  return all;
}

class SolveRuns : public ::testing::TestWithParam<int> {
 protected:
  ScopedWorkDir dir;
};

TEST_P(SolveRuns, EveryPathSolvesToDoublePrecision) {
  const int kind = GetParam();
  const auto [family, size] = family_of(kind);
  for (const Plan& plan : plans()) {
    const GeneratedSystem system = generate(family, size, kind, plan.nrhs, 11);
    write_system(fs::current_path(), system, false);
    fs::remove("x");
    fs::remove("tessar.log");
    if (plan.offcore) write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
    else fs::remove("prefs.ini");
    std::vector<std::string> args{kind_switch[kind]};
    args.insert(args.end(), plan.switches.begin(), plan.switches.end());
    RunResult run = run_binary(args);
    ASSERT_EQ(run.status, 0) << describe(kind, plan) << "\n" << run.err;
    EXPECT_EQ(plan.offcore, run.log.find("goes offcore") != std::string::npos) << describe(kind, plan);
    const auto x = read_vectors("x", kind >= 2);
    ASSERT_EQ(x.size(), std::size_t(system.a.n) * plan.nrhs) << describe(kind, plan);
    for (std::int32_t k = 0; k < plan.nrhs; ++k)
      EXPECT_LE(relative_residual(system, x, k), 1e-10) << describe(kind, plan) << " rhs " << k;
    EXPECT_NE(run.err.find("solver :progress 100.000000"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SolveRuns, ::testing::Values(0, 1, 2, 3, 4),
                         [](const auto& info) { return std::string(kind_switch[info.param] + 1); });

class SolveModes : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  GeneratedSystem system = generate(Family::laplace3d, 7, 0, 2, 5);
  void SetUp() override { write_system(fs::current_path(), system, false); }
};

TEST_F(SolveModes, KeptFactorSolvesAgainInALaterRun) {
  for (const char* keep : {"-nofbs", "-awe_exec"}) {
    fs::remove("x");
    ASSERT_EQ(run_binary({"-pivoting", keep}).status, 0) << keep;
    fs::remove("x");
    for (const char* later : {"-back_exec", "-nonf"}) {
      // The later run names the factorization's pivoting switch again.
      std::vector<std::string> args{later, "-pivoting"};
      RunResult run = run_binary(args);
      ASSERT_EQ(run.status, 0) << keep << " " << later << "\n" << run.err;
      const auto x = read_vectors("x", false);
      ASSERT_EQ(x.size(), std::size_t(system.a.n) * 2);
      EXPECT_LE(relative_residual(system, x, 1), 1e-10) << keep << " " << later;
      EXPECT_TRUE(fs::exists("U")) << "a solve-only run keeps the factor it was given";
    }
  }
}

TEST_F(SolveModes, MultiThreadedFactorIsFoundThroughItsBlockIndex) {
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
  ASSERT_EQ(run_binary({"-mt", "-nofbs"}).status, 0);
  EXPECT_TRUE(fs::exists("U_diag_index"));
  EXPECT_TRUE(fs::exists("U_offdiag_index"));
  RunResult later = run_binary({"-back_exec", "-mt"});
  ASSERT_EQ(later.status, 0) << later.err;
  EXPECT_LE(relative_residual(system, read_vectors("x", false), 0), 1e-10);
  fs::remove("x");
  ASSERT_EQ(run_binary({"-mt"}).status, 0);
  EXPECT_FALSE(fs::exists("U_diag_index")) << "a run that keeps nothing removes its index files";
  EXPECT_FALSE(fs::exists("U"));
}

TEST_F(SolveModes, ZeroRightHandSideGivesZeroSolution) {
  write_file("b", std::string(std::size_t(system.a.n) * 8, '\0'));
  RunResult run = run_binary({});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const cdouble& v : read_vectors("x", false)) EXPECT_EQ(v, cdouble(0));
}

TEST_F(SolveModes, CheckReadsTheSolutionsOnDisk) {
  ASSERT_EQ(run_binary({}).status, 0);
  RunResult check = run_binary({"-nofbs", "-check"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.log.find("Svtr1  Rel.Error = "), std::string::npos) << check.log;
  const std::string x = read_file("x");
  write_file("x", x.substr(0, x.size() / 2));
  RunResult short_x = run_binary({"-nofbs", "-check"});
  EXPECT_EQ(short_x.status, 1);
  EXPECT_NE(short_x.err.find("Size of x file is different from size of b"), std::string::npos) << short_x.err;
}

}  // namespace
