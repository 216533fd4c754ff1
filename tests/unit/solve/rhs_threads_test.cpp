// The right-hand-side threads with a stand-in per-thread solve: how many run
// at once, that every solution lands at its own place in "x", and that a
// failing right-hand side stops further launches and is reported once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "solve/rhs_threads.h"
#include "tests/support/test_support.h"

namespace {

constexpr std::int32_t n = 5;

// "b" with nrhs vectors, vector k filled with the value k.
void write_rhs(std::int32_t nrhs) {
  std::vector<double> b;
  for (std::int32_t k = 0; k < nrhs; ++k) b.insert(b.end(), n, double(k));
  write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(double)));
}

// Solves by doubling the vector; fails the right-hand side whose value is `failing`.
struct DoublingSolve {
  std::atomic<int> running{0}, most_running{0}, calls{0};
  std::mutex mutex;
  std::set<std::int32_t> threads_seen;
  double failing = -1;

  RhsSolveHooks hooks() {
    RhsSolveHooks h;
    h.solve_one = [this](void* vector, std::int32_t thread) {
      const int now = ++running;
      int seen = most_running.load();
      while (now > seen && !most_running.compare_exchange_weak(seen, now)) {}
      {
        std::scoped_lock lock(mutex);
        threads_seen.insert(thread);
      }
      ++calls;
      auto* v = static_cast<double*>(vector);
      const bool fail = v[0] == failing;
      // The others take a while, so the failure is seen before they end.
      if (failing >= 0 && !fail) std::this_thread::sleep_for(std::chrono::milliseconds(30));
      for (std::int32_t i = 0; i < n; ++i) v[i] *= 2;
      --running;
      return fail ? 16 : 0;
    };
    h.share_patch_loads = [](std::int32_t) {};
    return h;
  }
};

class RhsThreads : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  std::unique_ptr<tessar> solver = make_test_solver(0);
};

TEST_F(RhsThreads, ThreadsAreBoundedByTheRightHandSidesAndEverySolutionLandsInPlace) {
  write_rhs(3);
  solver->ncpu_solve = 8;
  DoublingSolve solve;
  ASSERT_EQ(SolveAllRhs(*solver, n, 3, sizeof(double), solve.hooks()), 0);
  EXPECT_LE(solve.most_running.load(), 3);
  EXPECT_LE(*solve.threads_seen.rbegin(), 2) << "thread numbers are slots 0 … P−1";
  const auto x = read_vectors("x", false);
  ASSERT_EQ(x.size(), std::size_t(3 * n));
  for (std::int32_t k = 0; k < 3; ++k) EXPECT_EQ(x[k * n].real(), 2.0 * k) << k;
}

TEST_F(RhsThreads, OneThreadSolvesInTurnAndAnnouncesEachVector) {
  write_rhs(2);
  solver->ncpu_solve = 1;
  LogCapture log;
  DoublingSolve solve;
  ASSERT_EQ(SolveAllRhs(*solver, n, 2, sizeof(double), solve.hooks()), 0);
  EXPECT_TRUE(log.contains("Solving 1 rhs vector\n"));
  EXPECT_TRUE(log.contains("Solving 2 rhs vector\n"));
  EXPECT_EQ(solve.threads_seen, std::set<std::int32_t>{0});
}

TEST_F(RhsThreads, FailingRightHandSideStopsLaunchesAndWritesNothingForIt) {
  for (std::int32_t threads : {1, 2}) {
    write_rhs(6);
    std::filesystem::remove("x");
    solver->ncpu_solve = threads;
    LogCapture log;
    DoublingSolve solve;
    solve.failing = 1;
    EXPECT_EQ(SolveAllRhs(*solver, n, 6, sizeof(double), solve.hooks()), 16);
    const std::string text = log.text();
    const std::string line = "One of the right-hand side did not converge\n";
    EXPECT_EQ(text.find(line), text.rfind(line)) << "reported once";
    EXPECT_NE(text.find(line), std::string::npos);
    EXPECT_LT(solve.calls.load(), 6) << threads << " threads: launching goes on after a failure";
    const auto x = read_vectors("x", false);
    if (x.size() >= std::size_t(2 * n)) EXPECT_NE(x[n].real(), 2.0) << "the failed vector reached x";
  }
}

TEST_F(RhsThreads, NoRightHandSideDoesNothing) {
  DoublingSolve solve;
  EXPECT_EQ(SolveAllRhs(*solver, n, 0, sizeof(double), solve.hooks()), 0);
  EXPECT_EQ(solve.calls.load(), 0);
  EXPECT_FALSE(std::filesystem::exists("x"));
}

}  // namespace
