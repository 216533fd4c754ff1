// The multi-threaded factorization (-mt) of the built solver: repeated runs
// with random thread counts, tile widths and front limits, incore and through
// a writer ring much smaller than the factor, matrices that delay pivots, and
// the failures that must stop every thread (singular, memory).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

// Families and kinds that give fronts of the shared top and, for the last
// two, delayed pivots.
const struct Case {
  Family family;
  std::int32_t size;
  int kind;
} cases[] = {
    {Family::laplace3d, 9, 0},      {Family::convdiff3d, 8, 1},    {Family::helmholtz3d, 8, 2},
    {Family::convdiff3d, 7, 3},     {Family::hermitian, 14, 4},    {Family::zero_diagonal, 60, 0},
    {Family::pivot2x2, 300, 1},
};

TEST(ParallelFactorization, RandomSchedulesSolveEveryTime) {
  std::mt19937 random(2026);
  for (int round = 0; round < 28; ++round) {
    const Case& c = cases[round % std::size(cases)];
    ScopedWorkDir dir;
    const GeneratedSystem system = generate(c.family, c.size, c.kind, 2, 5 + round);
    write_system(fs::current_path(), system, false);
    const bool offcore = round % 4 == 3;
    if (offcore) write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\n");
    const std::string threads = std::to_string(2 + random() % 7);
    const std::string tile = std::to_string(1 + random() % 160);
    const std::string fronts = std::to_string(1 + random() % 4);
    const std::string what = std::string(kind_switches[c.kind]) + " -ncpu " + threads + " -nblock " + tile +
                             " fronts " + fronts + (offcore ? " offcore" : "");
    const RunResult run = run_binary({kind_switches[c.kind], "-mt", "-ncpu", threads, "-nblock", tile},
                                     {"TS_ALLOWED_FRONTS=" + fronts, offcore ? "TS_PATCH_ENTRIES=1500" : "TS_PATCH_ENTRIES=0"});
    ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
    const auto x = read_vectors("x", c.kind >= 2), b = read_vectors("b", c.kind >= 2);
    for (std::int32_t k = 0; k < 2; ++k) EXPECT_TRUE(solved(system.a, c.kind, x, b, k)) << what << " rhs " << k;
    EXPECT_NE(run.log.find("Maximum allowed concurrent frontal matrices is set to = " + fronts), npos) << what;
    if (offcore) {
      EXPECT_NE(run.log.find("Post improvement goes offcore"), npos) << what;
      // The ring holds a twentieth of the factor (or its largest block):
      // the writer went round it.
      const std::size_t at = run.log.find("Factor writer: ");
      ASSERT_NE(at, npos) << what;
      EXPECT_GE(std::stoi(run.log.substr(at + 15)), 1) << what;
    }
  }
}

// On one thread -mt factors the supernodes of the pivoting path in its
// order: the same solution to the last bit, delayed pivots included. On
// three threads too: column tiles are computed apart and children assembled
// in a fixed order, so the bits depend on neither the thread count nor the
// schedule.
TEST(ParallelFactorization, AnyThreadCountEqualsThePivotingPath) {
  for (const Case& c : cases) {
    ScopedWorkDir dir;
    write_system(fs::current_path(), generate(c.family, c.size, c.kind, 1, 9), false);
    ASSERT_EQ(run_binary({kind_switches[c.kind], "-pivoting"}).status, 0) << kind_switches[c.kind];
    const std::string pivoting = read_file("x");
    for (const char* threads : {"1", "3"}) {
      ASSERT_EQ(run_binary({kind_switches[c.kind], "-mt", "-ncpu", threads}).status, 0) << kind_switches[c.kind];
      EXPECT_EQ(read_file("x"), pivoting) << kind_switches[c.kind] << " size " << c.size << " threads " << threads;
    }
  }
}

// A singular matrix stops every thread: one singular line, code 16, no
// factor left; a hard limit reached inside a thread ends the run with 100,
// as it does on one thread.
TEST(ParallelFactorization, FailuresInThreadsEndTheRun) {
  ScopedWorkDir dir;
  // A 3D Laplacian whose row and column 500 are zero: exactly singular.
  GeneratedSystem system = generate(Family::laplace3d, 10, 0, 1, 3);
  write_system(fs::current_path(), system, false);
  YaleMatrix& a = system.a;
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p)
      if (i == 500 || a.col_idx[p] == 500) a.values[p] = 0;
  write_matrix_file(a);
  const RunResult singular = run_binary({"-mt", "-ncpu", "4", "-nofbs"});
  EXPECT_EQ(singular.status, 16) << singular.err;
  // One line per factorization, as many as the single-thread path writes
  // (the run escalates once), however many threads found the zero pivot.
  const RunResult single = run_binary({"-pivoting", "-nofbs"});
  EXPECT_EQ(single.status, 16);
  EXPECT_EQ(occurrences(singular.err, "ERROR:   Singular matrix"), occurrences(single.err, "ERROR:   Singular matrix"))
      << singular.err;
  for (const char* left : {"U", "index"}) EXPECT_FALSE(fs::exists(left)) << left;

  write_system(fs::current_path(), generate(Family::laplace3d, 14, 0, 1, 3), false);
  // Offcore, so that the analysis fits under the limit and the threads do not.
  write_file("prefs.ini", "DIRECT_SOLVER MemLimitSoft 1\nDIRECT_SOLVER MemLimitHard 700\n");
  const RunResult memory = run_binary({"-mt", "-ncpu", "4"});
  EXPECT_EQ(memory.status, 100) << memory.err;
  EXPECT_NE(memory.err.find("Not enough memory"), npos) << memory.err;
  EXPECT_NE(memory.log.find("Thread 1 launched"), npos) << memory.log;
  EXPECT_FALSE(fs::exists("x"));
  // The same limit on one thread, keeping the factor: nothing is kept.
  const RunResult one = run_binary({"-nofbs", "-pivoting"});
  EXPECT_EQ(one.status, 100) << one.err;
  EXPECT_NE(one.err.find("above the hard limit of 700 KB (MemLimitHard in prefs.ini)"), npos) << one.err;
  for (const char* left : {"U", "index"}) EXPECT_FALSE(fs::exists(left)) << left;
}

}  // namespace
