// The benchmark's judge of every run, whichever solver wrote "x": the relative
// residual ‖A·x − b‖₂ / ‖b‖₂ of each right-hand side, computed in double
// precision from "A", "b" and "x" in the current directory. A symmetric or
// Hermitian file's upper triangle is mirrored (conjugated for Hermitian).
//
//   compare_residual <kind>   prints "residual=<largest over the right-hand sides>
//                             backward=<largest normwise backward error> nrhs=<count>"
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <exception>
#include <vector>

#include "bench/compare/system_files.h"

namespace {

using Complex = std::complex<double>;

Complex value_at(const std::vector<double>& values, std::size_t k, int width) {
  return width == 2 ? Complex(values[2 * k], values[2 * k + 1]) : Complex(values[k], 0.0);
}

struct Judgement {
  double relative = 0;  // ‖A·x − b‖₂ / ‖b‖₂ (‖A·x − b‖₂ for a zero b)
  double backward = 0;  // ‖A·x − b‖∞ / (‖A‖∞·‖x‖∞ + ‖b‖∞)
};

// The residual of the vectors starting at value `offset`.
Judgement judge(const Triplets& a, int kind, const std::vector<double>& b, const std::vector<double>& x,
                std::size_t offset) {
  std::vector<Complex> r(static_cast<std::size_t>(a.n));
  std::vector<double> row_sums(r.size());
  for (std::size_t k = 0; k < a.rows.size(); ++k) {
    const auto i = static_cast<std::size_t>(a.rows[k]), j = static_cast<std::size_t>(a.cols[k]);
    const Complex v = value_at(a.values, k, a.width);
    r[i] += v * value_at(x, offset + j, a.width);
    row_sums[i] += std::abs(v);
    if (one_triangle_kind(kind) && i != j) {
      r[j] += (kind == 4 ? std::conj(v) : v) * value_at(x, offset + i, a.width);
      row_sums[j] += std::abs(v);
    }
  }
  double residual = 0, rhs = 0, r_max = 0, a_max = 0, x_max = 0, b_max = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const Complex bi = value_at(b, offset + i, a.width);
    residual += std::norm(r[i] - bi);
    rhs += std::norm(bi);
    r_max = std::max(r_max, std::abs(r[i] - bi));
    a_max = std::max(a_max, row_sums[i]);
    x_max = std::max(x_max, std::abs(value_at(x, offset + i, a.width)));
    b_max = std::max(b_max, std::abs(bi));
  }
  const double scale = a_max * x_max + b_max;
  return {rhs > 0 ? std::sqrt(residual / rhs) : std::sqrt(residual), scale > 0 ? r_max / scale : r_max};
}

// The larger of two residuals; a NaN (a solution with non-finite values) wins.
double worse(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: compare_residual <kind>   (in the directory of A, b and x)\n");
    return 2;
  }
  try {
    const int kind = parse_kind(argv[1]);
    const Triplets a = read_matrix_file("A", complex_kind(kind));
    const std::vector<double> b = read_vector_file("b"), x = read_vector_file("x");
    const std::size_t vector_doubles = static_cast<std::size_t>(a.n) * static_cast<std::size_t>(a.width);
    if (b.empty() || b.size() % vector_doubles != 0 || x.size() != b.size()) {
      std::fprintf(stderr, "compare_residual: b and x do not hold the same whole number of vectors\n");
      return 1;
    }
    Judgement largest;
    for (std::size_t offset = 0; offset < b.size() / a.width; offset += static_cast<std::size_t>(a.n)) {
      const Judgement one = judge(a, kind, b, x, offset);
      largest = {worse(largest.relative, one.relative), worse(largest.backward, one.backward)};
    }
    std::printf("residual=%.3e backward=%.3e nrhs=%zu\n", largest.relative, largest.backward,
                b.size() / vector_doubles);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compare_residual: %s\n", error.what());
    return 1;
  }
  return 0;
}
