// Dense kernel timings on one BLAS thread: the perturbed LDL^T against the
// library's, and the front factorizations against the DGEMM rate measured in
// the same run.
//
//   kernels_bench [n_sytrf] [front_order] [front_pivots]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/perturbed_factorizations.h"
#include "platform/blas.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of `repeats` timings of run(), each on a fresh copy made by prepare().
template <class Prepare, class Run>
double best_time(int repeats, Prepare prepare, Run run) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

std::vector<double> random_symmetric(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<double> a(std::size_t(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) a[i + std::size_t(j) * n] = a[j + std::size_t(i) * n] = u(rng);
  return a;
}

double gemm_gflops(int n) {
  const auto a = random_symmetric(n, 1), b = random_symmetric(n, 2);
  std::vector<double> c(std::size_t(n) * n);
  const double t = best_time(3, [] {}, [&] {
    blas::gemm('N', 'N', n, n, n, 1.0, a.data(), n, b.data(), n, 0.0, c.data(), n);
  });
  return 2.0 * n * n * double(n) / t * 1e-9;
}

void compare_sytrf(int n) {
  const auto input = random_symmetric(n, 3);
  std::vector<double> a;
  std::vector<int> ipiv(n);
  const int lwork = n * blas::ilaenv(1, "DSYTRF", "L", n, -1, -1, -1);
  std::vector<double> work(lwork);
  int info = 0, npert = 0;
  const double ours = best_time(3, [&] { a = input; }, [&] {
    TSDSYTRF('L', n, a.data(), n, ipiv.data(), work.data(), lwork, info, npert, 1.0);
  });
  const double library = best_time(3, [&] { a = input; }, [&] {
    blas::sytrf('L', n, a.data(), n, ipiv.data(), work.data(), lwork, &info);
  });
  std::printf("TSDSYTRF n=%d: %.3f s, DSYTRF %.3f s, ratio %.3f\n", n, ours, library, ours / library);
}

}  // namespace

int main(int argc, char** argv) {
  const int n_sytrf = argc > 1 ? std::atoi(argv[1]) : 3000;
  blas::set_threads(1);
  const double gemm_rate = gemm_gflops(2000);
  std::printf("DGEMM n=2000: %.2f GFLOP/s\n", gemm_rate);
  compare_sytrf(n_sytrf);
  return 0;
}
