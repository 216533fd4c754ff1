#include "solve/verification.h"

#include <algorithm>
#include <numeric>

#include "driver/charged_array.h"
#include "driver/tessar.h"
#include "io/file_helpers.h"
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

// Vectors in "x". Without the marker layout "x" is counted like "b"; with it
// "b" has framed vectors but "x" is still written plainly, so it is counted
// from its size in the plain layout.
template <class K>
std::int32_t count_solutions(tessar& solver, std::int32_t n) {
  if (!marker_layout_from_environment()) return count_rhs(solver, "x", n);
  const auto vector_bytes = static_cast<std::int64_t>(n) * static_cast<std::int64_t>(sizeof(typename K::scalar));
  return vector_bytes > 0 ? static_cast<std::int32_t>(file_size_in_dir(solver, ".", "x") / vector_bytes) : 0;
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
  if (count_solutions<K>(solver, n) != count) solver.fatal("Size of x file is different from size of b", 1);
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

template <class K>
double InSolveResidualCheck(const YaleMatrix& a, const typename K::scalar* x, typename K::scalar* b,
                            const std::int32_t* iperm, const typename K::scalar* scale, std::int32_t thread,
                            double reference_norm, typename K::scalar* q) {
  multiply_matrix<K>(a, x, q);
  for (std::int32_t i = 0; i < a.n; ++i) q[iperm[i]] -= b[i];
  if (scale) {
    // q and b belong to the scaled system S·A·S·y = S·b: row i of both carries
    // the factor s_i, which is taken off to measure A·x − b itself.
    for (std::int32_t i = 0; i < a.n; ++i) {
      q[iperm[i]] /= scale[i];
      b[i] /= scale[i];
    }
    reference_norm = vec::norm2(a.n, b);
  }
  const double residual_norm = vec::norm2(a.n, q);
  const double relative = reference_norm > 0.0 ? residual_norm / reference_norm : residual_norm;
  OrlDebug(1, L"Thread%d Svtr Rel.Error = %le\n", thread, relative);
  return relative;
}

#define TSR_INSTANTIATE_VERIFICATION(K)                                                                       \
  template double RelativeResidual<K>(tessar&, const YaleMatrix&, const K::scalar*, const K::scalar*);        \
  template bool ConvertLowerTriangleRows<K>(tessar&, YaleMatrix&);                                            \
  template void CheckSolutionsOnDisk<K>(tessar&, YaleMatrix&);                                                \
  template double InSolveResidualCheck<K>(const YaleMatrix&, const K::scalar*, K::scalar*, const std::int32_t*, \
                                          const K::scalar*, std::int32_t, double, K::scalar*);
TSR_INSTANTIATE_VERIFICATION(RealSymmetric)
TSR_INSTANTIATE_VERIFICATION(RealUnsymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexSymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexUnsymmetric)
TSR_INSTANTIATE_VERIFICATION(ComplexHermitian)
