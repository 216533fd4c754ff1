// Solves the 2D Laplacian of a 100 × 100 grid, given by its lower triangle in
// compressed columns, with tessar64's library; prints the residual it reports.
#include <tessar/solver.h>

#include <cstdio>
#include <vector>

int main() {
  const int m = 100, n = m * m;
  std::vector<std::int64_t> col_ptr{0};
  std::vector<std::int32_t> row_idx;
  std::vector<double> values;
  for (int j = 0; j < n; ++j) {
    row_idx.push_back(j), values.push_back(4.0);
    if (j % m != m - 1) row_idx.push_back(j + 1), values.push_back(-1.0);
    if (j + m < n) row_idx.push_back(j + m), values.push_back(-1.0);
    col_ptr.push_back(static_cast<std::int64_t>(row_idx.size()));
  }
  std::vector<double> b(n, 1.0), x(n);
  try {
    tsr::Options options;
    options.threads = 2;
    tsr::Solver solver(tsr::Kind::real_symmetric, n, col_ptr.data(), row_idx.data(), values.data(), options);
    const tsr::Result result = solver.solve(b.data(), x.data());
    std::printf("x[0] = %.6f, relative residual %.2e after %d iterations\n", x[0], result.rhs[0].residual,
                result.rhs[0].iterations);
  } catch (const tsr::Error& e) {
    std::fprintf(stderr, "tessar64 failed (%d): %s\n", e.code(), e.what());
    return e.code();
  }
}
