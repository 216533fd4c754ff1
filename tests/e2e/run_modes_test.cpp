// Runs the built tessar64 in a temporary directory and checks its exit status,
// its standard error stream and its log for each run mode that exists.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

// A 5×5 tridiagonal matrix, upper triangle, real or complex, and a zero "b".
void write_tridiagonal(bool complex) {
  std::vector<double> values;
  for (int p = 0; p < 9; ++p) {
    values.push_back(p % 2 ? -1.0 : 4.0);
    if (complex) values.push_back(0.0);
  }
  write_matrix_file(matrix_from_entries(5, {0, 0, 1, 1, 2, 2, 3, 3, 4}, {0, 1, 1, 2, 2, 3, 3, 4, 4}, values, complex));
  write_file("b", std::string(5 * (complex ? 16 : 8), '\0'));
}

void write_index(std::int32_t kind) { write_file("index", std::string(reinterpret_cast<char*>(&kind), 4)); }

// The lower triangle of a symmetric 2×2 matrix, where the upper one is expected.
void write_lower_triangle() {
  write_matrix_file(matrix_from_entries(2, {0, 1, 1}, {0, 0, 1}, {4, -1, 4}));
  write_file("b", std::string(16, '\0'));
}

// One run in a fresh directory: the exit status a parent program reads, and
// what the standard error stream and the log must hold.
TEST(RunModes, EachRunEndsWithItsStatusAndMessages) {
  const struct {
    const char* what;
    void (*setup)();
    std::vector<std::string> args;
    int status;
    std::vector<std::string> err, log;
    bool quiet = false;  // no progress lines on the standard error stream
  } cases[] = {
      {"plain", [] { write_tridiagonal(false); }, {}, 0,
       {"solver :progress 0.000000\n", "solver :progress 30.000000\n"},
       {"Dim = 5 NZ = 9\n", "Memory in use = 0 KB\n", "exit status(0) \n"}},
      {"no b", [] { write_tridiagonal(false); fs::remove("b"); }, {}, 5, {"Can not open b file"}, {}},
      {"no b, factor only", [] { write_tridiagonal(false); fs::remove("b"); }, {"-nofbs"}, 0, {}, {}},
      {"-built ends before -gl_exec", [] {}, {"-built", "-gl_exec"}, 0, {}, {"Full 64-bit matrix solver\n"}},
      {"-gl_exec", [] {}, {"-gl_exec"}, 1,
       {"Error in tessar64: No classical output for this matrix type\n, code 1\n"}, {}},
      {"-decomp_exec", [] {}, {"-decomp_exec"}, 1, {}, {"It is not implemented"}},
      {"no A", [] {}, {"-complex_herm"}, 5, {"Error in tessar64: Opening A matrix\n, code 5\n"}, {}},
      {"no index", [] {}, {"-back_exec"}, 5, {"Can not read index\n"}, {}},
      {"empty index", [] { write_file("index", ""); }, {"-back_exec"}, 4, {"Can not read Solver_Type\n"}, {}},
      {"index of no kind", [] { write_index(7); }, {"-back_exec"}, 1, {"index holds solver type 7"}, {}},
      {"kind from index over the switch", [] { write_tridiagonal(true); write_index(3); }, {"-back_exec", "-real_sym"},
       1, {}, {"Initializing complex asymmetric matrix solver\n"}, true},
      {"quiet mode in prefs.ini",
       [] {
         write_tridiagonal(false);
         write_file("prefs.ini", "junk DIRECT_SOLVER QuietMode DIRECT_SOLVER MaxPostIter abc DIRECT_SOLVER");
       },
       {}, 0, {"MaxPostIter in prefs.ini needs an integer value"}, {"Quiet mode is on\n"}, true},
      {"switch without its value", [] { write_tridiagonal(false); }, {"-ncpu"}, 1, {"-ncpu"}, {}},
      {"truncated A", [] { write_file("A", std::string(15, '\0')); }, {}, 4, {"truncated record"}, {}},
      {"wrong triangle", write_lower_triangle, {"-real_sym"}, 1, {}, {"Problem with input YALE matrix, row 1 col 0\n"}},
      {"lower triangle declared", write_lower_triangle, {"-real_sym", "-low_tri"}, 0, {}, {}},
  };
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    c.setup();
    const RunResult run = run_binary(c.args);
    EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
    for (const auto& line : c.err) EXPECT_NE(run.err.find(line), npos) << c.what << "\n" << run.err;
    for (const auto& line : c.log) EXPECT_NE(run.log.find(line), npos) << c.what << "\n" << run.log;
    if (c.quiet) { EXPECT_EQ(run.err.find("solver :progress"), npos) << c.what << "\n" << run.err; }
  }
}

// A saved analysis is reused by later runs (which solve the zero right-hand
// side exactly), and refused where it does not fit; the later runs write
// phase times to tessar.prof when asked.
TEST(RunModes, SolvingFromDiskReusesTheSavedAnalysis) {
  ScopedWorkDir dir;
  write_tridiagonal(false);
  ASSERT_EQ(run_binary({"-nofbs"}).status, 0);
  ASSERT_TRUE(fs::exists("index"));
  fs::remove("tessar.log");
  RunResult back = run_binary({"-back_exec"}, {"TS_DEBUG_LEVEL=1"});
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.log, "") << "a good run at debug level 1 logs nothing";
  const auto x = read_vectors("x", false);
  EXPECT_EQ(x.size(), 5u);
  for (const auto& v : x) EXPECT_EQ(v, std::complex<double>(0)) << "a zero right-hand side gives a zero solution";
  RunResult pivoting = run_binary({"-back_exec", "-pivoting"});
  EXPECT_EQ(pivoting.status, 1) << "an index saved without pivoting is refused: " << pivoting.err;
  EXPECT_NE(pivoting.err.find("index"), npos);
  RunResult profiled = run_binary({"-nonf"}, {"TESSAR_PROFILE=1"});
  EXPECT_EQ(profiled.status, 0) << profiled.err;
  const std::string prof = read_file("tessar.prof");
  EXPECT_EQ(prof.find("Preprocessing time:  real = "), 0u) << prof;
  EXPECT_NE(prof.find("\nFactorization time:  real = "), npos) << prof;
  EXPECT_NE(prof.find("\nSolution time:  real = "), npos) << prof;
  EXPECT_EQ(std::count(prof.begin(), prof.end(), '\n'), 3) << prof;

  write_file("b", std::string(6 * 8, '\0'));
  write_matrix_file(matrix_from_entries(6, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}, {1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(run_binary({"-nonf"}).status, 1) << "an index of another matrix size is refused";
}

}  // namespace
