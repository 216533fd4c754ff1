#include "core/preferences.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "platform/process.h"
#include "tests/support/test_support.h"

namespace {

class PreferencesTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};
  std::unique_ptr<tessar> solver = make_test_solver(0);

  void apply(const std::string& text) {
    std::istringstream in(text);
    apply_preferences(*solver, in, "prefs.ini");
  }
};

// Zero and below count back from the processors (at least one); above one is capped.
TEST(ProcessorRule, CountsBackFromTheProcessorsAndCaps) {
  const int cases[][3] = {{0, 4, 4}, {-1, 4, 3}, {-8, 4, 1}, {1, 4, 1}, {64, 8, 8}, {3, 8, 3}};
  for (const auto& c : cases) EXPECT_EQ(processor_rule(c[0], c[1]), c[2]) << c[0] << " of " << c[1];
}

// Keys set their fields wherever they stand in the text; the hard memory
// limit is never below the soft one.
TEST_F(PreferencesTest, KeysSetTheirFields) {
  solver->Soft_Memory_Limit = 2'000'000;
  apply("DIRECT_SOLVER MemLimitHard 100");
  EXPECT_EQ(solver->mem_limit_hard, 2'000'000);
  apply("some text DIRECT_SOLVER MaxPostIter 0\nDIRECT_SOLVER ErrorNorm 1e-8 DIRECT_SOLVER CheckSolution\n"
        "DIRECT_SOLVER LowerTriangular DIRECT_SOLVER SaveAandB DIRECT_SOLVER WorkingDirectory /tmp/scratch\n"
        "DIRECT_SOLVER MaxRestarts 0 DIRECT_SOLVER GmresRestart 0 DIRECT_SOLVER GmresRestart 12 "
        "DIRECT_SOLVER GmresMaxIter 40 DIRECT_SOLVER FileIndex 7 DIRECT_SOLVER MaxNumCpu 0 "
        "DIRECT_SOLVER MemLimitSoft 3000000");
  const tessar& s = *solver;
  EXPECT_EQ(std::tuple(s.cg_iter, s.restart_limit, s.gmres_restart, s.gmres_iter, s.cg_tolerance),
            std::tuple(1, 0, 12, 40, 1e-8))
      << "MaxPostIter is at least 1, a GMRES cycle below 1 is refused";
  EXPECT_EQ(std::tuple(s.do_check, s.lower_triangular, s.save_a_and_b, s.work_dir, s.ncpu),
            std::tuple(true, 1, true, "/tmp/scratch", processor_count()));
  EXPECT_EQ(std::tuple(s.u_file_name, s.l_file_name, s.index_file_name), std::tuple("U_7", "L_7", "index_7"));
  EXPECT_EQ(std::tuple(s.Soft_Memory_Limit, s.mem_limit_hard), std::tuple(3'000'000, 3'000'000));
}

// A value that does not fit is left as the next token, so the key after it still applies.
TEST_F(PreferencesTest, MalformedMaterialNeverStopsTheReading) {
  apply("DIRECT_SOLVER MaxPostIter DIRECT_SOLVER QuietMode DIRECT_SOLVER Bogus DIRECT_SOLVER ErrorNorm x "
        "DIRECT_SOLVER MemLimitHard 99999999999 DIRECT_SOLVER WorkingDirectory " +
        std::string(300, 'w') + " DIRECT_SOLVER MaxRestarts 3 DIRECT_SOLVER");
  const tessar& s = *solver;
  EXPECT_EQ(std::tuple(s.quiet, s.cg_iter, s.cg_tolerance, s.mem_limit_hard, s.work_dir, s.restart_limit),
            std::tuple(true, 50, 1e-11, 0, ".", 3));
}

// prefs.ini overrides the environment (nbyxfmm, TS_MEM_LIMIT_SOFT), which overrides the defaults.
TEST(PreferencesFromEnvironment, FileOverridesEnvironmentAndEnvironmentOverridesDefaults) {
  ScopedWorkDir dir;
  {
    ScopedEnv one("nbyxfmm", "1");
    EXPECT_EQ(make_test_solver(0)->ncpu, 1);
  }
  ScopedEnv soft("TS_MEM_LIMIT_SOFT", "500000");
  ScopedEnv cpus("nbyxfmm", "64");
  auto solver = make_test_solver(0);
  EXPECT_EQ(std::tuple(solver->Soft_Memory_Limit, solver->ncpu), std::tuple(500'000, std::min(64, processor_count())));
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 700000\n");
  EXPECT_EQ(make_test_solver(0)->Soft_Memory_Limit, 700'000);
}

}  // namespace
