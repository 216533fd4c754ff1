#include "solve/verification.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/charged_array.h"
#include "core/tessar.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "kernels/vector_kernels.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"
#include "solve/matrix_product.h"

namespace {

constexpr const char* conversion_failure = "Can't allocate memory for solution verification";
constexpr const char* check_failure = "Cannot check the solution";

// A row whose first stored column lies left of its diagonal: the matrix holds
// its lower triangle (rows are sorted, so such a column comes before any larger one).
bool holds_lower_entries(const YaleMatrix& a) {
  for (std::int32_t i = 0; i < a.n; ++i)
    if (a.row_ptr[i] < a.row_ptr[i + 1] && a.col_idx[a.row_ptr[i]] < i) return true;
  return false;
}

// Moves every entry (i, j) with j < i to (j, i) with the mirrored value, by a
// counting sort on the new row. Rows are taken in ascending order, so each new
// row receives its diagonal first and then its columns in ascending order.
template <class K>
void transpose_lower_rows(tessar& solver, YaleMatrix& a) {
  using T = typename K::scalar;
  const auto n = static_cast<std::size_t>(a.n);
  const auto nnz = static_cast<std::size_t>(a.row_ptr[n]);
  auto* values = reinterpret_cast<T*>(a.values.data());
  ChargedArray<std::int64_t> starts;
  ChargedArray<std::int32_t> columns;
  ChargedArray<T> moved;
  starts.allocate(solver, n + 2, conversion_failure);
  columns.allocate(solver, nnz, conversion_failure);
  moved.allocate(solver, nnz, conversion_failure);

  // starts[r + 2] counts row r, so that after the prefix sum starts[r + 1] is
  // row r's fill cursor and ends as its end.
  std::fill(starts.begin(), starts.end(), 0);
  for (std::size_t p = 0; p < nnz; ++p) ++starts[static_cast<std::size_t>(a.col_idx[p]) + 2];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      const std::int64_t slot = starts[static_cast<std::size_t>(j) + 1]++;
      columns[slot] = i;
      moved[slot] = j == i ? values[p] : K::mirror(values[p]);
    }
  std::copy_n(starts.begin(), n + 1, a.row_ptr.begin());
  std::copy_n(columns.begin(), nnz, a.col_idx.begin());
  std::copy_n(moved.begin(), nnz, values);
}

// Vectors in "x", which always has the plain layout (also where "b" has markers).
std::int64_t count_solutions(tessar& solver, std::int32_t n) {
  return count_vectors(solver, solution_file_name, n, false);
}

}  // namespace

template <class K>
double RelativeResidual(tessar& solver, const YaleMatrix& a, const typename K::scalar* x,
                        const typename K::scalar* b) {
  ChargedArray<typename K::scalar> r;
  r.allocate(solver, static_cast<std::size_t>(a.n), check_failure);
  multiply_matrix<K>(a, x, r.data());
  for (std::int32_t i = 0; i < a.n; ++i) r[i] -= b[i];
  const double residual_norm = vec::norm2(a.n, r.data());
  const double rhs_norm = vec::norm2(a.n, b);
  if (rhs_norm == 0.0) {
    if (residual_norm != 0.0) solver.fatal("Nontrivial solution for zero RHS", 1);
    return 0.0;
  }
  return residual_norm / rhs_norm;
}

template <class K>
bool ConvertLowerTriangleRows(tessar& solver, YaleMatrix& a) {
  if (K::symmetry == Symmetry::unsymmetric || !holds_lower_entries(a)) return false;
  transpose_lower_rows<K>(solver, a);
  return true;
}

template <class K>
void CheckSolutionsOnDisk(tessar& solver, YaleMatrix& a) {
  const std::int32_t n = a.n;
  const std::int32_t count = count_rhs(solver, "b", n);
  if (count_solutions(solver, n) != count) solver.fatal("Size of x file is different from size of b", 1);
  ConvertLowerTriangleRows<K>(solver, a);

  ChargedArray<typename K::scalar> b, x;
  b.allocate(solver, static_cast<std::size_t>(n), check_failure);
  x.allocate(solver, static_cast<std::size_t>(n), check_failure);
  for (std::int32_t k = 0; k < count; ++k) {
    read_rhs_vector(solver, n, b.data(), sizeof(typename K::scalar), k, count);
    read_solution_vector(solver, n, x.data(), sizeof(typename K::scalar), k, count);
    OrlDebug(2, L"Svtr%d  Rel.Error = %le\n", k, RelativeResidual<K>(solver, a, x.data(), b.data()));
  }
}

namespace {

// max |vᵢ|, and whether every value is finite.
template <class T>
double max_magnitude(std::int32_t n, const T* v, bool& finite) {
  double largest = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const double size = std::abs(v[i]);
    if (!std::isfinite(size)) finite = false;
    largest = std::max(largest, size);
  }
  return largest;
}

}  // namespace

template <class K>
double MatrixInfinityNorm(const YaleMatrix& a) {
  const auto* v = reinterpret_cast<const typename K::scalar*>(a.values.data());
  std::vector<double> row_sums(static_cast<std::size_t>(a.n), 0.0);
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const double size = std::abs(v[p]);
      row_sums[i] += size;
      if (K::symmetry != Symmetry::unsymmetric && a.col_idx[p] != i) row_sums[a.col_idx[p]] += size;
    }
  return row_sums.empty() ? 0.0 : *std::max_element(row_sums.begin(), row_sums.end());
}

template <class K>
Confirmation ConfirmSolution(const YaleMatrix& a, double a_norm, const typename K::scalar* x,
                             const typename K::scalar* b, typename K::scalar* r, double tolerance) {
  const std::int32_t n = a.n;
  multiply_matrix<K>(a, x, r);
  for (std::int32_t i = 0; i < n; ++i) r[i] = b[i] - r[i];
  Confirmation c;
  const double x_max = max_magnitude(n, x, c.finite);
  const double r_max = max_magnitude(n, r, c.finite);
  const double b_max = max_magnitude(n, b, c.finite);
  if (!c.finite) {
    c.relative = c.backward = std::numeric_limits<double>::infinity();
    return c;
  }
  const double r_norm = vec::norm2(n, r), b_norm = vec::norm2(n, b);
  c.relative = b_norm > 0 ? r_norm / b_norm : (r_norm > 0 ? std::numeric_limits<double>::infinity() : 0.0);
  const double scale = a_norm * x_max + b_max;
  c.backward = scale > 0 ? r_max / scale : 0.0;
  c.passed = c.relative <= tolerance;
  c.at_rounding_level = c.backward <= backward_error_bound && c.relative <= std::sqrt(tolerance);
  return c;
}

#define TSR_INSTANTIATE_VERIFICATION(K)                                                                       \
  template double RelativeResidual<K>(tessar&, const YaleMatrix&, const K::scalar*, const K::scalar*);        \
  template bool ConvertLowerTriangleRows<K>(tessar&, YaleMatrix&);                                            \
  template void CheckSolutionsOnDisk<K>(tessar&, YaleMatrix&);                                                \
  template double MatrixInfinityNorm<K>(const YaleMatrix&);                                                  \
  template Confirmation ConfirmSolution<K>(const YaleMatrix&, double, const K::scalar*, const K::scalar*,    \
                                           K::scalar*, double);
TSR_INSTANTIATE_VERIFICATION(RealSymmetric)
TSR_INSTANTIATE_VERIFICATION(RealUnsymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexSymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexUnsymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexHermitian)
