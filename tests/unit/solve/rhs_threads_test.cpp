// The right-hand-side threads with a stand-in per-thread solve: how many run
// at once, that every listed solution lands at its own place in the solution
// file, and that a failing right-hand side stops further launches and is
// reported once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "io/vectors.h"
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
    h.solve_one = [this](void* vector, std::int32_t thread, std::int32_t rhs) {
      const int now = ++running;
      int seen = most_running.load();
      while (now > seen && !most_running.compare_exchange_weak(seen, now)) {}
      {
        std::scoped_lock lock(mutex);
        threads_seen.insert(thread);
      }
      ++calls;
      auto* v = static_cast<double*>(vector);
      EXPECT_EQ(v[0], double(rhs)) << "the vector read is the one named";
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

  // Solves the listed right-hand sides into the solution file, made "x".
  int solve_into_x(const std::vector<std::int32_t>& rhs, DoublingSolve& solve) {
    begin_solution_file(*solver);
    const int result = SolveAllRhs(*solver, n, rhs, sizeof(double), solve.hooks());
    commit_solution_file(*solver);
    return result;
  }
};

// P = min(threads, listed right-hand sides); one thread solves in turn and
// announces each vector.
TEST_F(RhsThreads, ThreadsAreBoundedAndEveryListedSolutionLandsInPlace) {
  const struct {
    std::int32_t threads;
    std::vector<std::int32_t> rhs;
  } cases[] = {{8, {0, 1, 2}}, {1, {1, 3}}, {2, {0, 2, 3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    write_rhs(4);
    solver->ncpu_solve = c.threads;
    LogCapture log;
    DoublingSolve solve;
    ASSERT_EQ(solve_into_x(c.rhs, solve), 0);
    EXPECT_LE(solve.most_running.load(), std::min<int>(c.threads, c.rhs.size()));
    EXPECT_LT(*solve.threads_seen.rbegin(), std::min<int>(c.threads, c.rhs.size())) << "slots 0 … P−1";
    const auto x = read_vectors("x", false);
    ASSERT_EQ(x.size(), std::size_t((c.rhs.back() + 1) * n));
    for (std::int32_t k : c.rhs) EXPECT_EQ(x[k * n].real(), 2.0 * k) << k;
    if (c.threads == 1) EXPECT_TRUE(log.contains("Solving 2 rhs vector\n") && log.contains("Solving 4 rhs vector\n"));
  }
}

TEST_F(RhsThreads, FailingRightHandSideStopsLaunchesAndWritesNothingForIt) {
  for (std::int32_t threads : {1, 2}) {
    write_rhs(6);
    solver->ncpu_solve = threads;
    LogCapture log;
    DoublingSolve solve;
    solve.failing = 1;
    EXPECT_EQ(solve_into_x({0, 1, 2, 3, 4, 5}, solve), 16);
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
  EXPECT_EQ(SolveAllRhs(*solver, n, {}, sizeof(double), solve.hooks()), 0);
  EXPECT_EQ(solve.calls.load(), 0);
  EXPECT_FALSE(std::filesystem::exists("x"));
}

}  // namespace
