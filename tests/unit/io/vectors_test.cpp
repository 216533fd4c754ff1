#include "io/vectors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/test_support.h"

namespace {

class VectorsTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};

  // nrhs vectors of n doubles; vector k holds k·1000 + i.
  static std::vector<double> vectors(int n, int nrhs) {
    std::vector<double> v(static_cast<std::size_t>(n * nrhs));
    for (int k = 0; k < nrhs; ++k)
      for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(k * n + i)] = k * 1000 + i;
    return v;
  }

  static void write_b(const std::vector<double>& v, int n, int nrhs, bool markers) {
    std::FILE* file = std::fopen("b", "wb");
    ASSERT_TRUE(write_vector_records(file, v.data(), n, nrhs, 1, markers));
    std::fclose(file);
  }
};

// Whole vectors of the layout and width count, trailing bytes ignored; the
// markers frame each vector, and "b" closes after the last one.
TEST_F(VectorsTest, CountsAndReadsWholeVectorsOfTheLayoutAndWidth) {
  write_file("b", std::string(8008, '\0'));
  EXPECT_EQ(count_rhs(*make_test_solver(0), "b", 100), 10);
  EXPECT_EQ(count_rhs(*make_test_solver(2), "b", 100), 5);
  ScopedEnv orlan("TS_READ_ORLAN", "1");
  write_b(vectors(100, 3), 100, 3, true);
  EXPECT_EQ(read_file("b").size(), 2424u);
  auto solver = make_test_solver(0);
  EXPECT_EQ(count_rhs(*solver, "b", 100), 3);
  std::vector<double> got(100);
  for (int k = 0; k < 3; ++k) {
    read_rhs_vector(*solver, 100, got.data(), sizeof(double), k, 3);
    EXPECT_EQ(got[7], k * 1000 + 7);
  }
  EXPECT_EQ(solver->rhs_file, nullptr);
}

// Vectors are read in any order; a NaN ends the run with code 1, naming the vector and row.
TEST_F(VectorsTest, ReadsSeekToTheRequestedVectorAndRefuseValuesThatAreNotFinite) {
  std::vector<double> all = vectors(10, 3);
  all[2 * 10 + 6] = std::nan("");
  write_b(all, 10, 3, false);
  for (bool threaded : {false, true}) {
    auto solver = make_test_solver(0);
    solver->threaded_vector_io = threaded;
    std::vector<double> got(10);
    for (int k : {1, 0}) {
      read_rhs_vector(*solver, 10, got.data(), sizeof(double), k, 3);
      EXPECT_EQ(got[3], k * 1000 + 3);
    }
    EXPECT_EQ(failure_of([&] { read_rhs_vector(*solver, 10, got.data(), sizeof(double), 2, 3); }).second, 1);
  }
  EXPECT_TRUE(log.contains("right-hand side 3 of b holds a value that is not a finite number in row 6"));
}

// Solutions go to the partial file in rounds and in any order; "x" of an
// earlier run is gone from the start, and the new one appears only whole.
TEST_F(VectorsTest, SolutionFileAppearsOnlyWhenCommitted) {
  auto solver = make_test_solver(0);
  write_file("x", "stale");
  begin_solution_file(*solver);
  EXPECT_FALSE(std::filesystem::exists("x"));
  const std::vector<double> all = vectors(5, 4);
  for (const auto& round : {std::vector<int>{3, 1}, std::vector<int>{0, 2}}) {
    for (int k : round) write_solution_vector(*solver, 5, all.data() + 5 * k, sizeof(double), k);
    close_solution_file(*solver);
    EXPECT_FALSE(std::filesystem::exists("x"));
  }
  commit_solution_file(*solver);
  EXPECT_FALSE(std::filesystem::exists(partial_solution_file_name));
  const std::string x = read_file("x");
  ASSERT_EQ(x.size(), all.size() * sizeof(double));
  EXPECT_EQ(std::memcmp(x.data(), all.data(), x.size()), 0);
  std::vector<double> got(5);
  for (int k = 0; k < 4; ++k) read_solution_vector(*solver, 5, got.data(), sizeof(double), k, 4);
  EXPECT_EQ(got[4], 3004);
  EXPECT_EQ(solver->solution_file, nullptr);

  begin_solution_file(*solver);
  write_solution_vector(*solver, 5, all.data(), sizeof(double), 0);
  discard_solution_file(*solver);
  EXPECT_FALSE(std::filesystem::exists("x"));
  EXPECT_FALSE(std::filesystem::exists(partial_solution_file_name));
}

TEST_F(VectorsTest, ConcurrentSolveThreadsKeepEveryVectorWhole) {
  constexpr int n = 2000, nrhs = 16;
  write_b(vectors(n, nrhs), n, nrhs, false);
  auto solver = make_test_solver(0);
  solver->threaded_vector_io = true;
  begin_solution_file(*solver);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::vector<double> v(n);
      for (int k = t; k < nrhs; k += 4) {
        read_rhs_vector(*solver, n, v.data(), sizeof(double), k, nrhs);
        write_solution_vector(*solver, n, v.data(), sizeof(double), k);
      }
    });
  for (auto& t : threads) t.join();
  commit_solution_file(*solver);
  EXPECT_EQ(read_file("x"), read_file("b"));
}

// A missing file ends the run with code 5, a short vector with 4, a file
// without a whole vector or one that is not a regular file with 1, naming it.
TEST_F(VectorsTest, FailuresCarryTheirCodes) {
  auto solver = make_test_solver(0);
  std::vector<double> v(10);
  std::filesystem::create_directory("dir");
  write_file("short", std::string(799, '\0'));
  const auto rhs = [&] { read_rhs_vector(*solver, 10, v.data(), sizeof(double), 0, 1); };
  const std::pair<std::function<void()>, int> failures[] = {
      {rhs, 5},
      {[&] { read_solution_vector(*solver, 10, v.data(), sizeof(double), 0, 1); }, 5},
      {[&] { write_file("b", std::string(40, '\0')); rhs(); }, 4},
      {[&] { count_rhs(*solver, "short", 100); }, 1},
      {[&] { count_rhs(*solver, "dir", 100); }, 1},
      {[&] { count_rhs(*solver, "none", 100); }, 5},
  };
  int i = 0;
  for (const auto& [action, code] : failures) EXPECT_EQ(failure_of(action).second, code) << "case " << i++;
  EXPECT_TRUE(log.contains("short holds no whole right-hand side of dimension 100"));
  EXPECT_TRUE(log.contains("dir is not a regular file"));
}

}  // namespace
