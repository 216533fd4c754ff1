#include "core/memory_monitor.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/test_support.h"

namespace {

class MemoryMonitorTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  std::unique_ptr<tessar> solver = make_test_solver(0);
};

// Use and peak follow the charges, also from several threads; going past the
// hard limit is code 100, below zero code 1.
TEST_F(MemoryMonitorTest, ChargesTrackUseAndPeakWithinTheHardLimit) {
  add_memory(*solver, 4'000'000'000ULL);
  EXPECT_EQ(solver->memory_in_use, 4'000'000'000LL) << "no hard limit, no failure, no 32-bit wrap";
  release_memory(*solver, 4'000'000'000ULL - 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        add_memory(*solver, 3);
        release_memory(*solver, 3);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::tuple(solver->memory_in_use, solver->memory_peak), std::tuple(2, 4'000'000'000LL));
  EXPECT_EQ(failure_of([&] { release_memory(*solver, 3); }).second, 1);

  solver = make_test_solver(0);
  solver->mem_limit_hard = 1000;
  add_memory(*solver, 900);
  add_memory(*solver, 100);
  EXPECT_EQ(solver->memory_in_use, 1000) << "the limit itself is allowed";
  EXPECT_EQ(failure_of([&] { add_memory(*solver, 1); }).second, 100);
}

// The factor goes offcore only above the soft limit; a kept factor adds the
// factor (twice when incore) and the index file to the disk use. The disk
// check creates the working directory and ends the run with code 6 when the
// space runs short; an incore run without a kept factor makes none.
TEST_F(MemoryMonitorTest, OffcoreDecisionDiskUseAndDiskCheck) {
  write_file("index", std::string(4096, 'i'));
  solver->Soft_Memory_Limit = 1'000'000;
  add_memory(*solver, 200'000);
  for (auto [save_factor, factor_kb, offcore, disk_kb] :
       {std::tuple{false, 500'000, 0, 7}, {false, 500'001, 1, 7 + 500'001}, {true, 100, 0, 7 + 100 + 4 + 100}}) {
    solver->save_factor = save_factor;
    decide_incore_offcore(*solver, 300'000, 7, factor_kb);
    EXPECT_EQ(std::tuple(solver->offcore, solver->disk_usage), std::tuple(offcore, disk_kb)) << factor_kb;
  }
  solver = make_test_solver(0);
  solver->work_dir = "scratch/deeper";
  solver->Soft_Memory_Limit = 1;
  decide_incore_offcore(*solver, 0, 0, 2);
  EXPECT_TRUE(std::filesystem::is_directory("scratch/deeper"));
  EXPECT_EQ(failure_of([&] { decide_incore_offcore(*solver, 0, 0, 1LL << 50); }).second, 6);
  solver->Soft_Memory_Limit = 1LL << 60;
  solver->save_factor = false;
  EXPECT_EQ(failure_of([&] { decide_incore_offcore(*solver, 0, 1LL << 50, 1); }).second, 0);
}

}  // namespace
