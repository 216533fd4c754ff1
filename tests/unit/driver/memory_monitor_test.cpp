#include "driver/memory_monitor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

class MemoryMonitorTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  std::unique_ptr<tessar> solver = make_test_solver(0);

  int failure_code(const std::function<void()>& action) {
    try {
      action();
    } catch (const TessarException& e) {
      return e.code();
    }
    return 0;
  }
};

TEST_F(MemoryMonitorTest, HardLimitAllowsTheLimitItselfAndStopsBeyond) {
  add_memory(*solver, 4'000'000'000ULL);
  EXPECT_EQ(solver->memory_in_use, 4'000'000'000LL) << "no hard limit, no failure, no 32-bit wrap";
  release_memory(*solver, 4'000'000'000ULL);

  solver->mem_limit_hard = 1000;
  add_memory(*solver, 900);
  add_memory(*solver, 100);
  EXPECT_EQ(solver->memory_in_use, 1000);
  EXPECT_EQ(failure_code([&] { add_memory(*solver, 1); }), 100);
}

TEST_F(MemoryMonitorTest, PeakOnlyGrowsAndNegativeTotalIsAFault) {
  add_memory(*solver, 5);
  add_memory(*solver, 7);
  release_memory(*solver, 10);
  EXPECT_EQ(solver->memory_in_use, 2);
  EXPECT_EQ(solver->memory_peak, 12);
  EXPECT_EQ(failure_code([&] { release_memory(*solver, 10); }), 1);
}

TEST_F(MemoryMonitorTest, ConcurrentChargesBalance) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        add_memory(*solver, 3);
        release_memory(*solver, 3);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(solver->memory_in_use, 0);
  EXPECT_GE(solver->memory_peak, 3);
}

TEST_F(MemoryMonitorTest, ChargedArrayChargesWhileHeld) {
  {
    ChargedArray<double> a;
    a.allocate(*solver, 10 * 1024, "no memory");
    EXPECT_EQ(solver->memory_in_use, 80);
    a.resize(20 * 1024, "no memory");
    EXPECT_EQ(solver->memory_in_use, 160);
  }
  EXPECT_EQ(solver->memory_in_use, 0);
  solver->mem_limit_hard = 10;
  ChargedArray<double> big;
  EXPECT_EQ(failure_code([&] { big.allocate(*solver, 1 << 20, "no memory"); }), 100);
}

TEST_F(MemoryMonitorTest, FactorGoesOffcoreOnlyAboveTheSoftLimit) {
  solver->Soft_Memory_Limit = 1'000'000;
  add_memory(*solver, 200'000);
  solver->save_factor = false;
  decide_incore_offcore(*solver, 300'000, 7, 500'000);
  EXPECT_EQ(solver->offcore, 0);
  EXPECT_EQ(solver->disk_usage, 7);
  decide_incore_offcore(*solver, 300'000, 7, 500'001);
  EXPECT_EQ(solver->offcore, 1);
  EXPECT_EQ(solver->disk_usage, 7 + 500'001);
}

TEST_F(MemoryMonitorTest, IncoreRunThatKeepsItsFactorCountsItTwice) {
  solver->Soft_Memory_Limit = 1'000'000;
  solver->save_factor = true;
  write_file("index", std::string(4096, 'i'));
  decide_incore_offcore(*solver, 0, 1, 100);
  EXPECT_EQ(solver->offcore, 0);
  EXPECT_EQ(solver->disk_usage, 1 + 100 + 4 + 100);
}

TEST_F(MemoryMonitorTest, DiskCheckHoldsBackTwoPercent) {
  EXPECT_EQ(available_disk_mb(10'000.0 * 1'048'576), 9'800);
  solver->Soft_Memory_Limit = 1;
  EXPECT_EQ(failure_code([&] { decide_incore_offcore(*solver, 0, 0, 1LL << 50); }), 6);
  solver->Soft_Memory_Limit = 1LL << 60;
  solver->save_factor = false;
  EXPECT_EQ(failure_code([&] { decide_incore_offcore(*solver, 0, 1LL << 50, 1); }), 0)
      << "an incore run without a kept factor makes no disk check";
}

TEST_F(MemoryMonitorTest, DiskCheckCreatesTheWorkingDirectory) {
  solver->work_dir = "scratch/deeper";
  solver->Soft_Memory_Limit = 1;
  decide_incore_offcore(*solver, 0, 0, 2);
  EXPECT_EQ(solver->offcore, 1);
  EXPECT_TRUE(std::filesystem::is_directory("scratch/deeper"));
}

}  // namespace
