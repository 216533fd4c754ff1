// Times the analysis of the 7-point Laplacian on a g × g × g grid (upper
// triangle, real symmetric kind) for one analysis path and prints the sizes of
// the structure it produces.
//
//   bench_analysis [g = 80] [plain | pivoting | mt] [threads = 2]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/reorder.h"
#include "api/kind_solvers.h"
#include "platform/core_library.h"

namespace {

struct Pattern {
  std::int32_t n = 0;
  std::vector<std::int64_t> row_ptr;
  std::vector<std::int32_t> col_idx;
};

// Row of grid point (x, y, z) holds the point and its neighbours at +1 in each direction.
Pattern laplacian_3d(std::int32_t g) {
  Pattern p;
  p.n = g * g * g;
  p.row_ptr.reserve(static_cast<std::size_t>(p.n) + 1);
  p.col_idx.reserve(static_cast<std::size_t>(p.n) * 4);
  p.row_ptr.push_back(0);
  for (std::int32_t z = 0; z < g; ++z) {
    for (std::int32_t y = 0; y < g; ++y) {
      for (std::int32_t x = 0; x < g; ++x) {
        const std::int32_t i = (z * g + y) * g + x;
        p.col_idx.push_back(i);
        if (x + 1 < g) p.col_idx.push_back(i + 1);
        if (y + 1 < g) p.col_idx.push_back(i + g);
        if (z + 1 < g) p.col_idx.push_back(i + g * g);
        p.row_ptr.push_back(static_cast<std::int64_t>(p.col_idx.size()));
      }
    }
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  const std::int32_t g = argc > 1 ? std::atoi(argv[1]) : 80;
  const std::string path = argc > 2 ? argv[2] : "plain";
  configure_log("-", 1);
  auto solver = make_solver(0);
  solver->no_progress = true;
  solver->pivoting = path != "plain";
  solver->multi_thread = path == "mt";
  solver->ncpu = argc > 3 ? std::atoi(argv[3]) : 2;

  const Pattern p = laplacian_3d(g);
  const auto start = std::chrono::steady_clock::now();
  Reorder(*solver, p.n, p.row_ptr.back(), p.row_ptr.data(), p.col_idx.data());
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

  std::printf("path %s  n %d  NzA %lld  NzU %lld  sizeJU %lld  NSuper %d  analysis %.2f s  peak %lld KB\n",
              path.c_str(), p.n, static_cast<long long>(p.row_ptr.back()), static_cast<long long>(solver->NzU),
              static_cast<long long>(solver->sizeJU), solver->NSuper, seconds.count(),
              static_cast<long long>(solver->memory_peak));
  return 0;
}
