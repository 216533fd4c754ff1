// Dense kernel timings on one BLAS thread: the front factorizations of both
// paths against the DGEMM rate measured in the same run.
//
//   kernels_bench [front_order] [front_pivots]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/front_plain.h"
#include "kernels/front_threshold.h"
#include "platform/blas.h"
#include "platform/kind_traits.h"

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

// Flops of eliminating npiv pivots of an order-F front: r rows below a pivot
// cost r (scaling) plus r·(r+1) (symmetric) or 2·r² (unsymmetric).
double front_flops(int order, int npiv, bool unsymmetric) {
  double flops = 0;
  for (int i = 0; i < npiv; ++i) {
    const double r = order - i - 1;
    flops += unsymmetric ? r + 2 * r * r : r + r * (r + 1);
  }
  return flops;
}

// Rate of a front kernel on a diagonally dominant random front of the kind.
template <class K, class Kernel>
void time_front(const char* label, int order, int npiv, double gemm_rate, Kernel kernel) {
  using T = typename K::scalar;
  const auto real_front = random_symmetric(order, 4);
  std::vector<T> input(real_front.begin(), real_front.end()), front;
  for (int i = 0; i < order; ++i) input[i + std::size_t(i) * order] += T(order);
  const double t = best_time(3, [&] { front = input; }, [&] { kernel(front.data()); });
  const double rate = front_flops(order, npiv, K::symmetry == Symmetry::unsymmetric) / t * 1e-9;
  std::printf("%-28s F=%d npiv=%d: %.3f s, %.2f GFLOP/s, %.0f %% of DGEMM\n", label, order, npiv, t, rate,
              100 * rate / gemm_rate);
}

void time_fronts(int order, int npiv, double gemm_rate) {
  time_front<RealSymmetric>("FactorFrontPlain (real sym)", order, npiv, gemm_rate, [&](double* front) {
    int flag = 0;
    FactorFrontPlain<RealSymmetric>(npiv, order, front, flag);
  });
  time_front<RealUnsymmetric>("FactorFrontPlain (real LU)", order, npiv, gemm_rate, [&](double* front) {
    int flag = 0;
    FactorFrontPlain<RealUnsymmetric>(npiv, order, front, flag);
  });
  std::vector<int> position(order), record(npiv);
  time_front<RealSymmetric>("FactorFrontThreshold (sym)", order, npiv, gemm_rate, [&](double* front) {
    (void)FactorFrontThreshold<RealSymmetric>(order, npiv, front, ThresholdRule{}, position.data(), record.data());
  });
  time_front<RealUnsymmetric>("FactorFrontThreshold (LU)", order, npiv, gemm_rate, [&](double* front) {
    (void)FactorFrontThreshold<RealUnsymmetric>(order, npiv, front, ThresholdRule{}, position.data(), record.data());
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int order = argc > 1 ? std::atoi(argv[1]) : 3000;
  const int npiv = argc > 2 ? std::atoi(argv[2]) : 1000;
  blas::set_threads(1);
  const double gemm_rate = gemm_gflops(2000);
  std::printf("DGEMM n=2000: %.2f GFLOP/s\n", gemm_rate);
  time_fronts(order, npiv, gemm_rate);
  return 0;
}
