// Runs whose exit status a parent program can trust: every solution of a run
// that ends with 0 is checked here against "A" and "b"; a run that cannot
// solve ends with 16 and leaves no "x" (not even one of an earlier run); and
// inputs with nothing to solve are errors.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

// Writes a generated system into the current directory beside a stale "x".
YaleMatrix write_case(Family family, std::int32_t size, int kind, std::int32_t nrhs) {
  GeneratedSystem system = generate(family, size, kind, nrhs, 11);
  write_system(fs::current_path(), system, false);
  write_file("x", "an earlier run's solution");
  return system.a;
}

// Writes "A" and "b" and returns the matrix.
YaleMatrix with_b(const YaleMatrix& a, const std::vector<double>& b) {
  write_matrix_file(a);
  write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(double)));
  return a;
}

// A Laplacian of 25 rows with one right-hand side and a stale "x".
YaleMatrix laplace() { return write_case(Family::laplace2d, 5, 0, 1); }

// The same scaled by 1e100, beyond the range of a single-precision factor
// (and not so far that the squares of this test's residual overflow).
YaleMatrix scaled_laplace() {
  GeneratedSystem system = generate(Family::laplace2d, 5, 0, 1, 11);
  for (double& v : system.a.values) v *= 1e100;
  for (double& v : system.b) v *= 1e100;
  write_system(fs::current_path(), system, false);
  return system.a;
}

// Status 0: every vector of "x" solves its system; otherwise nothing that
// looks like a solution is left behind.
void expect_trustworthy(const RunResult& run, const YaleMatrix& a, int kind, const std::string& what) {
  EXPECT_FALSE(fs::exists("x.partial")) << what;
  if (run.status != 0) {
    EXPECT_FALSE(fs::exists("x")) << what;
    return;
  }
  const auto x = read_vectors("x", kind >= 2), b = read_vectors("b", kind >= 2);
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
               {{"-allow_perturbation"}, {"TS_MEM_LIMIT_SOFT=1", "TS_PATCH_ENTRIES=1500"}}};
  for (std::int32_t size : {20, 100})
    for (int kind = 0; kind < 5; ++kind)
      for (const auto& mode : modes) {
        ScopedWorkDir dir;
        const YaleMatrix a = write_case(Family::pivot2x2, size, kind, 2);
        std::vector<std::string> args{kind_switches[kind]};
        args.insert(args.end(), mode.switches.begin(), mode.switches.end());
        const RunResult run = run_binary(args, mode.env);
        std::string what = "size " + std::to_string(size) + (mode.env.empty() ? "" : " offcore");
        for (const auto& word : args) what += " " + word;
        EXPECT_EQ(run.status, 0) << what << "\n" << run.err;
        if (!mode.env.empty()) { EXPECT_NE(run.log.find("Post improvement goes offcore"), std::string::npos) << what; }
        expect_trustworthy(run, a, kind, what);
      }
}

// Runs of kind 0 that end solved or fail with their reason. Each step of the
// escalation is reached on a system that needs it and is named (the last one
// on a consistent system with an empty row and column, which only perturbed
// pivots factor). A singular system without a solution fails with 16, naming
// the right-hand side, its best residual and the steps tried. A "b" with
// nothing to solve, or a value no solver can take in "A" or "b", is an error
// naming it.
TEST(ConfirmedAnswers, EachRunSolvesOrFailsWithItsReason) {
  const std::string few_iterations = "DIRECT_SOLVER MaxPostIter 1\n";
  const std::string no_restarts = few_iterations + "DIRECT_SOLVER MaxRestarts 0\n";
  const struct {
    const char* what;
    YaleMatrix (*setup)();
    std::string prefs;
    int status;
    std::vector<const char*> messages;
    std::vector<std::string> args = {};
  } cases[] = {
      {"restart", [] { return write_case(Family::laplace3d, 6, 0, 2); }, few_iterations, 0,
       {"Solved after escalation: restarted iteration (2 of 2"}},
      {"GMRES", [] { return write_case(Family::laplace3d, 6, 0, 2); }, no_restarts, 0,
       {"Solved after escalation: flexible GMRES (2 of 2"}},
      {"double precision", [] { return write_case(Family::laplace3d, 6, 0, 2); },
       no_restarts + "DIRECT_SOLVER GmresMaxIter 0\n", 0,
       {"iteration after factoring again with a double precision factor (2 of 2"}},
      {"pivoting", [] { return write_case(Family::pivot2x2, 6, 0, 2); }, "", 0,
       {"after factoring again with pivoting (2 of 2"}},
      {"perturbed pivots",
       [] { return with_b(matrix_from_entries(4, {0, 0, 1, 2, 3}, {0, 1, 1, 2, 3}, {2, 1, 2, 0, 3}), {1, 2, 0, 3}); },
       "", 0, {"after factoring again with perturbed pivots (1 of 1"}},
      {"no solution", [] { return with_b(write_case(Family::singular, 6, 0, 1), std::vector<double>(36, 1.0)); },
       "", 16,
       {"Matrix solver failed: right-hand side 1 of 1 reached a relative residual of",
        "tried: iteration, restarted iteration, flexible GMRES, factoring again with", "perturbed pivots"}},
      {"beyond single precision", scaled_laplace, "", 0,
       {"Solved after escalation: iteration after factoring again with a double precision factor (1 of 1"}},
      {"beyond single precision, the factor kept", scaled_laplace, "", 16,
       {"the single-precision factor gave values that are not finite numbers: -double_precision or -diag_scale "
        "may solve; tried: iteration\n"},
       {"-awe_exec"}},
      {"empty b", [] { return with_b(laplace(), {}); }, "", 1, {"b holds no whole right-hand side of dimension"}},
      {"short b", [] { return with_b(laplace(), std::vector<double>(24)); }, "", 1,
       {"b holds no whole right-hand side"}},
      {"b a directory", [] { const YaleMatrix a = laplace(); fs::remove("b"); fs::create_directory("b"); return a; },
       "", 1, {"b is not a regular file"}},
      {"infinite entry of A", [] { YaleMatrix a = laplace(); a.values[7] = INFINITY; write_matrix_file(a); return a; },
       "", 1, {"row 2 of A holds a value that is not a finite number in column 3"}},
      {"NaN in b", [] { std::vector<double> b(2 * 25, 1.0); b[25 + 3] = std::nan(""); return with_b(laplace(), b); },
       "", 1, {"right-hand side 2 of b holds a value that is not a finite number in row 3"}},
  };
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    const YaleMatrix a = c.setup();
    write_file("prefs.ini", c.prefs);
    std::vector<std::string> args{"-real_sym"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = run_binary(args);
    EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
    for (const char* message : c.messages)
      EXPECT_NE(run.err.find(message), std::string::npos) << c.what << "\n" << run.err;
    expect_trustworthy(run, a, 0, c.what);
  }
}

}  // namespace
