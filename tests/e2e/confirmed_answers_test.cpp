// Runs whose exit status a parent program can trust: every solution of a run
// that ends with 0 is checked here against "A" and "b"; a run that cannot
// solve ends with 16 and leaves no "x" (not even one of an earlier run); and
// inputs with nothing to solve are errors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

const char* const kind_switch[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym", "-complex_herm"};

// Writes a generated system into the current directory beside a stale "x".
YaleMatrix write_case(Family family, std::int32_t size, int kind, std::int32_t nrhs) {
  GeneratedSystem system = generate(family, size, kind, nrhs, 11);
  write_system(fs::current_path(), system, false);
  write_file("x", "an earlier run's solution");
  return system.a;
}

RunResult run_kind(int kind, const std::vector<std::string>& switches) {
  std::vector<std::string> args{kind_switch[kind]};
  args.insert(args.end(), switches.begin(), switches.end());
  return run_binary(args);
}

// Status 0: every vector of "x" solves its system; otherwise nothing that
// looks like a solution is left behind.
void expect_trustworthy(const RunResult& run, const YaleMatrix& a, int kind, const std::string& what) {
  EXPECT_FALSE(fs::exists("x.partial")) << what;
  if (run.status != 0) {
    EXPECT_FALSE(fs::exists("x")) << what;
    return;
  }
  const bool complex = kind >= 2;
  const auto x = read_vectors("x", complex), b = read_vectors("b", complex);
  ASSERT_EQ(x.size(), b.size()) << what;
  for (std::int32_t k = 0; k < std::int32_t(b.size() / a.n); ++k)
    EXPECT_TRUE(solved(a, kind, x, b, k)) << what << " rhs " << k;
}

// Zero diagonals paired by weak couplings: factors with tiny or perturbed
// pivots whose refinement drifts. Every kind and mode ends solved, also on
// two solve threads and with the factor out of core.
TEST(ConfirmedAnswers, PivotTwoByTwoSystemsAreSolvedInEveryMode) {
  const struct {
    std::vector<std::string> switches;
    std::vector<std::string> env;
  } modes[] = {{{}, {}},
               {{"-allow_perturbation"}, {}},
               {{"-pivoting", "-double_precision"}, {}},
               {{"-allow_perturbation", "-diag_scale", "-ncpu", "2"}, {}},
               {{"-allow_perturbation"}, {"TS_MEM_LIMIT_SOFT=1"}}};
  for (std::int32_t size : {20, 100})
    for (int kind = 0; kind < 5; ++kind)
      for (const auto& mode : modes) {
        ScopedWorkDir dir;
        const YaleMatrix a = write_case(Family::pivot2x2, size, kind, 2);
        std::vector<std::string> args{kind_switch[kind]};
        args.insert(args.end(), mode.switches.begin(), mode.switches.end());
        const RunResult run = run_binary(args, mode.env);
        std::string what = "size " + std::to_string(size);
        for (const auto& word : args) what += " " + word;
        if (!mode.env.empty()) what += " offcore";
        EXPECT_EQ(run.status, 0) << what << "\n" << run.err;
        expect_trustworthy(run, a, kind, what);
      }
}

// A consistent system with an empty row and column (a stored zero): no
// pivot exists for it, and only perturbed pivots factor the matrix.
YaleMatrix write_empty_row_case() {
  const YaleMatrix a = matrix_from_entries(4, {0, 0, 1, 2, 3}, {0, 1, 1, 2, 3}, {2, 1, 2, 0, 3});
  write_matrix_file(a);
  const std::vector<double> b{1, 2, 0, 3};
  write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * 8));
  return a;
}

// Each step of the escalation on a system that needs it: the line on the
// standard error stream names the step that solved it.
TEST(ConfirmedAnswers, EachEscalationStepIsReachedAndSolves) {
  const char* few_iterations = "DIRECT_SOLVER MaxPostIter 1\n";
  const char* no_restarts = "DIRECT_SOLVER MaxPostIter 1\nDIRECT_SOLVER MaxRestarts 0\n";
  const struct {
    Family family;
    std::int32_t size;
    const char* prefs;
    const char* message;
  } cases[] = {
      {Family::laplace3d, 6, few_iterations, "Solved after escalation: restarted iteration (2 of 2"},
      {Family::laplace3d, 6, no_restarts, "Solved after escalation: flexible GMRES (2 of 2"},
      {Family::laplace3d, 6, "DIRECT_SOLVER MaxPostIter 1\nDIRECT_SOLVER MaxRestarts 0\nDIRECT_SOLVER GmresMaxIter 0\n",
       "iteration after factoring again with a double precision factor (2 of 2"},
      {Family::pivot2x2, 6, "", "after factoring again with pivoting (2 of 2"},
      {Family::singular, 0, "", "after factoring again with perturbed pivots (1 of 1"},
  };
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    const YaleMatrix a = c.size > 0 ? write_case(c.family, c.size, 0, 2) : write_empty_row_case();
    write_file("prefs.ini", c.prefs);
    const RunResult run = run_kind(0, {});
    EXPECT_EQ(run.status, 0) << c.message << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    expect_trustworthy(run, a, 0, c.message);
  }
}

// A singular system without a solution: every step fails, the message names
// the right-hand side, its best residual and the steps, and no "x" remains.
TEST(ConfirmedAnswers, SystemWithoutSolutionFailsCleanly) {
  ScopedWorkDir dir;
  const YaleMatrix a = write_case(Family::singular, 6, 0, 1);
  write_file("b", std::string(reinterpret_cast<const char*>(std::vector<double>(a.n, 1.0).data()), a.n * 8));
  const RunResult run = run_kind(0, {});
  EXPECT_EQ(run.status, 16) << run.err;
  for (const char* part : {"Matrix solver failed: right-hand side 1 of 1 reached a relative residual of",
                           "tried: iteration, restarted iteration, flexible GMRES, factoring again with",
                           "perturbed pivots"})
    EXPECT_NE(run.err.find(part), std::string::npos) << part << "\n" << run.err;
  expect_trustworthy(run, a, 0, "singular");
}

// Nothing to solve, or a value no solver can take: an error naming the file,
// and the stale "x" is gone.
TEST(ConfirmedAnswers, RightHandSidesWithNothingToSolveAreErrors) {
  const struct {
    const char* what;
    std::function<void(std::int32_t n)> make_b;
    const char* message;
  } cases[] = {
      {"empty", [](std::int32_t) { write_file("b", ""); }, "b holds no whole right-hand side of dimension"},
      {"short", [](std::int32_t n) { write_file("b", std::string(n * 8 - 8, '\0')); },
       "b holds no whole right-hand side"},
      {"directory",
       [](std::int32_t) {
         fs::remove("b");
         fs::create_directory("b");
       },
       "b is not a regular file"},
      {"NaN",
       [](std::int32_t n) {
         std::vector<double> b(2 * n, 1.0);
         b[n + 3] = std::nan("");
         write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * 8));
       },
       "right-hand side 2 of b holds a value that is not a finite number in row 3"},
  };
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    const YaleMatrix a = write_case(Family::laplace2d, 5, 0, 1);
    c.make_b(a.n);
    const RunResult run = run_kind(0, {});
    EXPECT_EQ(run.status, 1) << c.what << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
    EXPECT_FALSE(fs::exists("x")) << c.what;
    EXPECT_FALSE(fs::exists("x.partial")) << c.what;
  }
}

}  // namespace
