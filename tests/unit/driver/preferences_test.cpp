#include "driver/preferences.h"

#include <gtest/gtest.h>

#include <sstream>

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

TEST(ProcessorRule, CountsBackFromTheProcessorsAndCaps) {
  EXPECT_EQ(processor_rule(0, 4), 4);
  EXPECT_EQ(processor_rule(-1, 4), 3);
  EXPECT_EQ(processor_rule(-8, 4), 1);
  EXPECT_EQ(processor_rule(1, 4), 1);
  EXPECT_EQ(processor_rule(64, 8), 8);
  EXPECT_EQ(processor_rule(3, 8), 3);
}

TEST_F(PreferencesTest, HardLimitIsRaisedToTheSoftLimit) {
  solver->Soft_Memory_Limit = 2'000'000;
  apply("DIRECT_SOLVER MemLimitHard 100");
  EXPECT_EQ(solver->mem_limit_hard, 2'000'000);
  EXPECT_TRUE(log.contains("Preference sets mem_limit_hard to 2000000 KiloBytes\n"));
  apply("DIRECT_SOLVER MemLimitSoft 3000000");
  EXPECT_EQ(solver->Soft_Memory_Limit, 3'000'000);
  EXPECT_EQ(solver->mem_limit_hard, 3'000'000);
}

TEST_F(PreferencesTest, KeysSetTheirFields) {
  apply("some text DIRECT_SOLVER MaxPostIter 0\nDIRECT_SOLVER ErrorNorm 1e-8 DIRECT_SOLVER CheckSolution\n"
        "DIRECT_SOLVER LowerTriangular DIRECT_SOLVER SaveAandB DIRECT_SOLVER WorkingDirectory /tmp/scratch\n"
        "DIRECT_SOLVER MaxRestarts 0 DIRECT_SOLVER GmresRestart 0 DIRECT_SOLVER GmresRestart 12 "
        "DIRECT_SOLVER GmresMaxIter 40");
  EXPECT_EQ(solver->cg_iter, 1);
  EXPECT_EQ(solver->restart_limit, 0);
  EXPECT_EQ(solver->gmres_restart, 12) << "a cycle below 1 is refused";
  EXPECT_EQ(solver->gmres_iter, 40);
  EXPECT_DOUBLE_EQ(solver->cg_tolerance, 1e-8);
  EXPECT_TRUE(solver->do_check);
  EXPECT_EQ(solver->lower_triangular, 1);
  EXPECT_TRUE(solver->save_a_and_b);
  EXPECT_EQ(solver->work_dir, "/tmp/scratch");
}

TEST_F(PreferencesTest, FileIndexNamesTheFactorAndIndexFiles) {
  apply("DIRECT_SOLVER FileIndex 7");
  EXPECT_EQ(solver->u_file_name, "U_7");
  EXPECT_EQ(solver->l_file_name, "L_7");
  EXPECT_EQ(solver->index_file_name, "index_7");
  EXPECT_TRUE(log.contains("Ufile if U_7, Lfile is L_7\n"));
}

TEST_F(PreferencesTest, AValuelessKeyLeavesTheNextTokenAlone) {
  apply("DIRECT_SOLVER QuietMode 1 DIRECT_SOLVER MaxPostIter 9");
  EXPECT_TRUE(solver->quiet);
  EXPECT_EQ(solver->cg_iter, 9);
}

TEST_F(PreferencesTest, MalformedMaterialNeverStopsTheReading) {
  apply("DIRECT_SOLVER MaxPostIter DIRECT_SOLVER QuietMode DIRECT_SOLVER Bogus DIRECT_SOLVER ErrorNorm x "
        "DIRECT_SOLVER MemLimitHard 99999999999 DIRECT_SOLVER WorkingDirectory " +
        std::string(300, 'w') + " DIRECT_SOLVER");
  EXPECT_TRUE(solver->quiet);
  EXPECT_EQ(solver->cg_iter, 50);
  EXPECT_DOUBLE_EQ(solver->cg_tolerance, 1e-11);
  EXPECT_EQ(solver->mem_limit_hard, 0);
  EXPECT_EQ(solver->work_dir, ".");
  EXPECT_TRUE(log.contains("Unknowns solver directive in prefs.ini file\n"));
}

TEST_F(PreferencesTest, MaxNumCpuAppliesTheProcessorRule) {
  apply("DIRECT_SOLVER MaxNumCpu 0");
  EXPECT_EQ(solver->ncpu, processor_count());
}

TEST(PreferencesFromEnvironment, FileOverridesEnvironmentAndEnvironmentOverridesDefaults) {
  ScopedWorkDir dir;
  ScopedEnv soft("TS_MEM_LIMIT_SOFT", "500000");
  ScopedEnv cpus("nbyxfmm", "64");
  {
    auto solver = make_test_solver(0);
    EXPECT_EQ(solver->Soft_Memory_Limit, 500'000);
    EXPECT_EQ(solver->ncpu, std::min(64, processor_count()));
  }
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 700000\n");
  auto solver = make_test_solver(0);
  EXPECT_EQ(solver->Soft_Memory_Limit, 700'000);
}

TEST(PreferencesFromEnvironment, SingleProcessorUnlessAskedForMore) {
  ScopedWorkDir dir;
  ScopedEnv cpus("nbyxfmm", "1");
  EXPECT_EQ(make_test_solver(0)->ncpu, 1);
}

}  // namespace
