// The right-hand-side threads, with a stand-in per-thread solve.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "io/vectors.h"
#include "solve/rhs_threads.h"
#include "solve/rhs_vectors.h"
#include "tests/support/test_support.h"

namespace {

constexpr std::int32_t n = 5;

void raise_to(std::atomic<int>& most, int value) {
  for (int seen = most.load(); value > seen && !most.compare_exchange_weak(seen, value);) {}
}

// Solves by doubling the vector; fails the right-hand side whose value is
// `failing`, while the others take a while, so the failure is seen before
// they end.
struct DoublingSolve {
  std::atomic<int> running{0}, most_running{0}, highest_slot{-1}, calls{0};
  std::vector<std::int32_t> shared_loads;  // the thread counts announced, in turn
  std::int32_t skipped = 0;  // right-hand sides not launched after a failure
  double failing = -1;

  RhsSolveHooks hooks() {
    RhsSolveHooks h;
    h.solve_one = [this](void* vector, std::int32_t thread, std::int32_t rhs) {
      raise_to(most_running, ++running);
      raise_to(highest_slot, thread);
      ++calls;
      auto* v = static_cast<double*>(vector);
      EXPECT_EQ(v[0], double(rhs)) << "the vector read is the one named";
      const bool fail = v[0] == failing;
      if (failing >= 0 && !fail) std::this_thread::sleep_for(std::chrono::milliseconds(30));
      for (std::int32_t i = 0; i < n; ++i) v[i] *= 2;
      --running;
      return fail ? 16 : 0;
    };
    h.share_patch_loads = [this](std::int32_t threads, std::int32_t) { shared_loads.push_back(threads); };
    h.launches_stopped = [this](std::int32_t count) { skipped += count; };
    return h;
  }
};

class RhsThreads : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  std::unique_ptr<tessar> solver = make_test_solver(0);
};

// P = min(threads, listed right-hand sides) run at once, in slots 0 … P−1,
// and share the patch loads; every solution lands at its own place in "x". A
// failing right-hand side stops further launches, is reported once and its
// solution is not written. No right-hand side runs nothing.
TEST_F(RhsThreads, ThreadsAreBoundedSolutionsLandInPlaceAndAFailureStopsLaunches) {
  const struct {
    std::int32_t threads, nrhs;
    std::vector<std::int32_t> rhs;
    double failing;
  } cases[] = {{8, 4, {0, 1, 2}, -1},
               {1, 4, {1, 3}, -1},
               {2, 4, {0, 2, 3}, -1},
               {1, 6, {0, 1, 2, 3, 4, 5}, 1},
               {2, 6, {0, 1, 2, 3, 4, 5}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, failing " << c.failing);
    std::vector<double> b;
    for (std::int32_t k = 0; k < c.nrhs; ++k) b.insert(b.end(), n, double(k));
    write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(double)));
    solver->ncpu_solve = c.threads;
    LogCapture log;
    DoublingSolve solve;
    solve.failing = c.failing;
    begin_solution_file(*solver);
    FileRhsVectors files;
    EXPECT_EQ(SolveAllRhs(*solver, files, n, c.rhs, sizeof(double), solve.hooks()), c.failing < 0 ? 0 : 16);
    commit_solution_file(*solver);
    const int p = std::min<int>(c.threads, c.rhs.size());
    EXPECT_LE(solve.most_running.load(), p);
    EXPECT_LT(solve.highest_slot.load(), p);
    EXPECT_EQ(solve.shared_loads.front(), p);

    const std::string text = log.text(), line = "One of the right-hand side did not converge\n";
    EXPECT_EQ(text.find(line) != std::string::npos, c.failing >= 0);
    EXPECT_EQ(text.find(line), text.rfind(line)) << "reported once";
    const auto x = read_vectors("x", false);
    if (c.failing < 0) {
      ASSERT_EQ(x.size(), std::size_t((c.rhs.back() + 1) * n));
      for (std::int32_t k : c.rhs) EXPECT_EQ(x[k * n].real(), 2.0 * k) << k;
    } else {
      EXPECT_LT(solve.calls.load(), int(c.rhs.size())) << "launching goes on after a failure";
      EXPECT_EQ(solve.skipped, p > 1 ? int(c.rhs.size()) - solve.calls.load() : 0);
      EXPECT_TRUE(x.size() < std::size_t(2 * n) || x[n].real() != 2.0) << "the failed vector reached x";
    }
  }
  DoublingSolve none;
  FileRhsVectors files;
  EXPECT_EQ(SolveAllRhs(*solver, files, n, {}, sizeof(double), none.hooks()), 0);
  EXPECT_EQ(none.calls.load(), 0);
}

}  // namespace
