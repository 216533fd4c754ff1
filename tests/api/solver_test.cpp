// The library's solver on generated systems of every kind, given as callers
// give them, each solution judged by a residual computed here.
#include "tessar/solver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/common/full_matrix.h"
#include "tools/common/kind_dispatch.h"
#include "tools/generator/generator.h"

namespace {

using cplx = std::complex<double>;

// A matrix as a caller holds it: compressed columns (or rows), every entry
// or one triangle, indices from base.
struct CallerMatrix {
  std::int32_t n = 0;
  std::vector<std::int64_t> ptr;
  std::vector<std::int32_t> idx;
  std::vector<cplx> values;
};

enum class Part { whole, lower, upper };

CallerMatrix caller_matrix(int kind, const YaleMatrix& stored, tsr::Storage storage, Part part, int base) {
  return with_kind(kind, [&](auto k) {
    const auto full = FullMatrix<decltype(k)>::from_stored(stored);
    CallerMatrix m{full.n(), {base}, {}, {}};
    std::vector<std::vector<std::pair<std::int32_t, cplx>>> outer(static_cast<std::size_t>(m.n));
    for (std::int32_t i = 0; i < m.n; ++i)
      for (const auto& [j, v] : full.row(i))
        if (!(part == Part::lower && i < j) && !(part == Part::upper && i > j))
          storage == tsr::Storage::columns ? outer[j].push_back({i, cplx(v)}) : outer[i].push_back({j, cplx(v)});
    for (const auto& entries : outer) {
      for (const auto& [i, v] : entries) m.idx.push_back(i + base), m.values.push_back(v);
      m.ptr.push_back(static_cast<std::int64_t>(m.idx.size()) + base);
    }
    return m;
  });
}

// The values (or vectors) in the scalar type of the kind: real parts for the real kinds.
template <class T>
std::vector<T> as(const std::vector<cplx>& v) {
  std::vector<T> out;
  for (const cplx& c : v) {
    if constexpr (std::is_same_v<T, double>) out.push_back(c.real());
    else out.push_back(c);
  }
  return out;
}

template <class T>
tsr::Solver make_solver(int kind, const CallerMatrix& m, const tsr::Options& options = {},
                        tsr::Storage storage = tsr::Storage::columns, int base = 0) {
  const std::vector<T> values = as<T>(m.values);
  return tsr::Solver(static_cast<tsr::Kind>(kind), m.n, m.ptr.data(), m.idx.data(), values.data(), options, storage,
                     base);
}

// Solves every right-hand side of the system in one call and checks each
// solution by its residual computed here; the solutions as complex values.
template <class T>
std::vector<cplx> solve_all(tsr::Solver& solver, const GeneratedSystem& system) {
  const std::vector<cplx> b = complex_values(system.b, system.kind >= 2);
  const std::vector<T> bt = as<T>(b);
  std::vector<T> x(bt.size());
  const tsr::Result result = solver.solve(bt.data(), x.data(), system.nrhs);
  const std::vector<cplx> solution(x.begin(), x.end());
  EXPECT_EQ(result.rhs.size(), std::size_t(system.nrhs));
  for (std::int32_t k = 0; k < system.nrhs; ++k) {
    EXPECT_TRUE(solved(system.a, system.kind, solution, b, k)) << "right-hand side " << k;
    EXPECT_LE(result.rhs[k].residual, 1e-10);
  }
  return solution;
}

// Every kind, in both storages, whole or one triangle, from 0 or 1; the
// indefinite and zero-diagonal families reach their answer by escalation
// where the first factor does not confirm it.
TEST(LibrarySolver, SolvesEveryKindAsCallersGiveTheMatrix) {
  const struct {
    Family family;
    std::int32_t size;
    int kind;
    tsr::Storage storage;
    Part part;
    int base;
    bool pivoting;
  } cases[] = {
      {Family::laplace3d, 6, 0, tsr::Storage::columns, Part::whole, 0, false},
      {Family::laplace3d, 6, 0, tsr::Storage::rows, Part::upper, 1, false},
      {Family::zero_diagonal, 30, 0, tsr::Storage::columns, Part::lower, 0, false},
      {Family::convdiff2d, 12, 1, tsr::Storage::columns, Part::whole, 1, false},
      {Family::zero_diagonal, 30, 1, tsr::Storage::rows, Part::whole, 0, true},
      {Family::helmholtz3d, 6, 2, tsr::Storage::columns, Part::lower, 0, false},
      {Family::convdiff3d, 6, 3, tsr::Storage::rows, Part::whole, 0, true},
      {Family::hermitian, 12, 4, tsr::Storage::columns, Part::upper, 0, false},
      {Family::hermitian, 12, 4, tsr::Storage::columns, Part::lower, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << family_name(c.family) << " kind " << c.kind << " base " << c.base);
    const GeneratedSystem system = generate(c.family, c.size, c.kind, 2, 7);
    tsr::Options options;
    options.pivoting = c.pivoting;
    const CallerMatrix m = caller_matrix(c.kind, system.a, c.storage, c.part, c.base);
    if (c.kind >= 2) {
      tsr::Solver solver = make_solver<cplx>(c.kind, m, options, c.storage, c.base);
      solve_all<cplx>(solver, system);
    } else {
      tsr::Solver solver = make_solver<double>(c.kind, m, options, c.storage, c.base);
      solve_all<double>(solver, system);
    }
  }
}

// New values on the same pattern give the new solution (2A: half of it), a
// tiny memory limit sends the factor to files in the working directory,
// which the solver removes, and two solvers on two threads at once find
// what one finds alone, bit for bit.
TEST(LibrarySolver, RefactorsOffcoreAndOnThreads) {
  const GeneratedSystem system = generate(Family::laplace3d, 7, 0, 1, 3);
  const CallerMatrix m = caller_matrix(0, system.a, tsr::Storage::columns, Part::whole, 0);
  const ScopedWorkDir dir;
  std::filesystem::create_directory("factor");
  tsr::Options offcore;
  offcore.memory_limit_kb = 1;
  offcore.work_dir = "factor";
  tsr::Solver solver = make_solver<double>(0, m, offcore);
  const std::vector<cplx> x = solve_all<double>(solver, system);
  std::vector<double> doubled = as<double>(m.values);
  for (double& v : doubled) v *= 2;
  solver.factorize(doubled.data());
  GeneratedSystem twice = system;
  for (double& v : twice.a.values) v *= 2;
  const std::vector<cplx> half = solve_all<double>(solver, twice);
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(half[i].real(), 0.5 * x[i].real(), 1e-9);
  solver = make_solver<double>(0, m);
  EXPECT_TRUE(std::filesystem::is_empty("factor")) << "factor files left behind";
  const std::vector<cplx> alone = solve_all<double>(solver, system);

  std::vector<cplx> on_thread[2];
  std::thread threads[2];
  for (int t = 0; t < 2; ++t)
    threads[t] = std::thread([&, t] {
      tsr::Solver own = make_solver<double>(0, m);
      on_thread[t] = solve_all<double>(own, system);
    });
  for (auto& thread : threads) thread.join();
  for (const auto& xt : on_thread) EXPECT_EQ(xt, alone) << "the same ordering and factor as alone";
}

// Input faults and a singular matrix end as tsr::Error with the command
// line's code and a message naming the fault; a failed solve leaves NaN, and
// neither keeps the next solve from using the factor.
TEST(LibrarySolver, FailuresAreErrorsWithTheCommandLinesCodes) {
  const std::vector<std::int64_t> ptr{0, 1, 2};
  const std::vector<std::int32_t> idx{0, 1}, bad_idx{0, 2};
  const std::vector<double> values{1.0, 0.0};
  const auto expect_error = [](const auto& call, int code, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no error, expected " << text;
    } catch (const tsr::Error& e) {
      EXPECT_EQ(e.code(), code);
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  expect_error([&] { tsr::Solver(tsr::Kind::real_symmetric, 2, ptr.data(), bad_idx.data(), values.data()); }, 1,
               "entry 1 of column 1 has row index 2, outside 0 … 1");
  const std::vector<std::int64_t> decreasing{0, 3, 2}, full_ptr{0, 2, 4};
  expect_error([&] { tsr::Solver(tsr::Kind::real_symmetric, 2, decreasing.data(), idx.data(), values.data()); }, 1,
               "column 1 ends at 2, before it starts (3)");
  // Both triangles of a symmetric kind, which must agree: (1, 0) = 2, (0, 1) = 1.
  const std::vector<std::int32_t> full_idx{0, 1, 0, 1};
  const std::vector<double> unsymmetric{4.0, 2.0, 1.0, 4.0};
  expect_error([&] { tsr::Solver(tsr::Kind::real_symmetric, 2, full_ptr.data(), full_idx.data(), unsymmetric.data()); },
               1, "the matrix is not symmetric: entry (1, 0) differs from entry (0, 1)");
  const std::vector<cplx> cvalues{1.0, 1.0};
  expect_error([&] { tsr::Solver(tsr::Kind::real_unsymmetric, 2, ptr.data(), idx.data(), cvalues.data()); }, 1,
               "a real kind needs real values");
  tsr::Options options;
  options.threads = 0;
  expect_error([&] { tsr::Solver(tsr::Kind::real_symmetric, 2, ptr.data(), idx.data(), values.data(), options).analyze(); },
               1, "Option threads needs a processor count of at least 1, not 0");
  options = {};
  options.escalate = false;
  tsr::Solver singular(tsr::Kind::real_symmetric, 2, ptr.data(), idx.data(), values.data(), options);
  expect_error([&] { singular.factorize(); }, 16, "singular matrix");
  std::vector<double> x{0.0, 0.0};
  const std::vector<double> inconsistent{1.0, 1.0};
  tsr::Solver escalating(tsr::Kind::real_symmetric, 2, ptr.data(), idx.data(), values.data());
  expect_error([&] { escalating.solve(inconsistent.data(), x.data()); }, 16, "tried:");
  EXPECT_TRUE(std::isnan(x[0]) && std::isnan(x[1]));
  const std::vector<double> not_finite{1.0, NAN}, consistent{2.0, 0.0};
  expect_error([&] { escalating.solve(not_finite.data(), x.data()); }, 1, "right-hand side 0 holds a value that is not a finite number in row 1");
  const tsr::Result kept = escalating.solve(consistent.data(), x.data());
  EXPECT_EQ(kept.factors, (std::vector<std::string>{"", "pivoting", "perturbed pivots"}));
  EXPECT_EQ(kept.rhs[0].factorization, 2) << "the factor of the failed solve serves the next one";
  EXPECT_DOUBLE_EQ(x[0], 2.0);
}

}  // namespace
