// Times the numerical factorization of a generated system in this process,
// with its flop count, its rate against the DGEMM rate measured in the same
// run (SGEMM's with -single_updates) and the peak resident memory of the
// process.
//
//   bench_factor <family> <size> [kind] [-ncpu n] [-pivoting] [-double_precision]
//                [-allow_perturbation] [-single_updates]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/reorder.h"
#include "api/kind_solvers.h"
#include "platform/blas.h"
#include "platform/core_library.h"
#include "platform/process.h"
#include "tools/generator/generator.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Real flops of the dense eliminations: a pivot with r rows below it costs a
// scaling of r entries and an update of r·r (unsymmetric) or r·(r+1)/2
// entries; complex arithmetic counts four times.
double factor_flops(const tessar& solver) {
  const bool unsymmetric = solver.symmetry == 1;
  double flops = 0;
  for (std::int32_t s = 0; s < solver.NSuper; ++s) {
    const std::int32_t f = solver.SNode[s], k = solver.SNode[s + 1] - f;
    const double m = static_cast<double>(solver.IU[f + 1] - solver.IU[f]);
    for (std::int32_t i = 0; i < k; ++i) {
      const double r = m - i - 1;
      flops += unsymmetric ? 2 * r + 2 * r * r : r + r * (r + 1);
    }
  }
  return solver.value_type == 1 ? 4 * flops : flops;
}

// Real GEMM rate of order n in precision T.
template <class T>
double gemm_gflops(int n) {
  std::vector<T> a(std::size_t(n) * n, T(0.5)), b(a), c(a.size());
  double best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto start = std::chrono::steady_clock::now();
    blas::gemm('N', 'N', n, n, n, T(1), a.data(), n, b.data(), n, T(0), c.data(), n);
    best = std::min(best, seconds_since(start));
  }
  return 2.0 * n * n * double(n) / best * 1e-9;
}

double peak_resident_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_factor <family> <size> [kind] [-ncpu n] [-pivoting] [-double_precision] "
                 "[-allow_perturbation] [-single_updates]\n");
    return 2;
  }
  const auto family = family_from_name(argv[1]);
  if (!family) {
    std::fprintf(stderr, "unknown family %s\n", argv[1]);
    return 2;
  }
  const std::int32_t size = std::atoi(argv[2]);
  const int kind = argc > 3 && argv[3][0] != '-' ? std::atoi(argv[3]) : natural_kind(*family);
  configure_log("-", 1);
  auto solver = make_solver(kind);
  solver->no_progress = true;
  for (int i = 3; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "-pivoting") solver->pivoting = true;
    if (flag == "-allow_perturbation") solver->pivoting = solver->allow_perturbation = true;
    if (flag == "-double_precision") solver->double_precision = true;
    if (flag == "-single_updates") solver->single_updates = true;
    // The processors of the factorization, and of the DGEMM it is measured against.
    if (flag == "-ncpu" && i + 1 < argc) solver->ncpu = std::clamp(std::atoi(argv[++i]), 1, processor_count());
  }
  set_thread_count(solver->ncpu);
  solver->set_elem_size();

  GeneratedSystem system = generate(*family, size, kind, 1, 1);
  YaleMatrix& a = system.a;
  const bool single_fronts = solver->single_updates && !solver->double_precision && !solver->pivoting;
  const double gemm_rate = single_fronts ? gemm_gflops<float>(2000) : gemm_gflops<double>(2000);
  auto start = std::chrono::steady_clock::now();
  Reorder(*solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
  const double analysis = seconds_since(start);
  start = std::chrono::steady_clock::now();
  blas::time_level3(true);
  const int result = solver->factorize(a);
  const double factor = seconds_since(start);
  const double level3 = blas::level3_seconds();
  blas::time_level3(false);
  const double flops = factor_flops(*solver);
  std::printf("%s %d kind %d: n = %d, NzU = %lld, result %d\n", argv[1], size, kind, a.n,
              static_cast<long long>(solver->NzU), result);
  std::printf("analysis %.2f s, factorization %.2f s, %.3g Gflop at %.2f GFLOP/s (%s %.2f GFLOP/s, %.0f %%)\n",
              analysis, factor, flops * 1e-9, flops / factor * 1e-9, single_fronts ? "SGEMM" : "DGEMM", gemm_rate,
              100 * flops / factor * 1e-9 / gemm_rate);
  // Time outside the level-3 routines: assembly, pivot search, copies, storing the factor.
  std::printf("level-3 BLAS %.2f s, outside it %.0f %% of the factorization\n", level3,
              100 * std::max(0.0, factor - level3) / factor);
  std::printf("peak resident memory %.0f MB, monitor peak %lld KB\n", peak_resident_mb(),
              static_cast<long long>(solver->memory_peak));
  return result;
}
