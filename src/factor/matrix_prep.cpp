#include "factor/matrix_prep.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <vector>

#include "core/charged_array.h"

#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

template <class T>
bool is_finite(const T& x) {
  if constexpr (std::is_same_v<T, double>) return std::isfinite(x);
  else return std::isfinite(x.real()) && std::isfinite(x.imag());
}

template <class T>
bool is_zero(const T& x) {
  return x == T(0);
}

[[noreturn]] void fail_on_entry(tessar& solver, std::int32_t row, std::int32_t column) {
  OrlDebug(1, L"Invalid entry %d %d\n", row, column);
  solver.fatal("Invalid Matix", 1);
}

// Position of row i's diagonal in a symmetric kind's stored triangle.
std::int64_t symmetric_diagonal(const tessar& solver, const YaleMatrix& a, std::int32_t i) {
  return solver.lower_triangular ? a.row_ptr[i + 1] - 1 : a.row_ptr[i];
}

std::int64_t unsymmetric_diagonal(const YaleMatrix& a, std::int32_t i) {
  const auto first = a.col_idx.begin() + a.row_ptr[i], last = a.col_idx.begin() + a.row_ptr[i + 1];
  return std::lower_bound(first, last, i) - a.col_idx.begin();
}

// Principal square root, or 1/sqrt|d| for the Hermitian kind so that the
// scaled matrix stays Hermitian.
template <class K>
typename K::scalar scale_factor(const typename K::scalar& d) {
  using T = typename K::scalar;
  if (std::abs(d) <= 1e-12) return T(1);
  if constexpr (!K::is_complex || K::symmetry == Symmetry::hermitian) return T(1.0 / std::sqrt(std::abs(d)));
  else return T(1) / std::sqrt(d);
}

// ptr[b] := the first position of bucket b when entry e goes to bucket
// index[e] (ptr holds one more offset than there are buckets).
void bucket_offsets(const std::int32_t* index, std::int64_t nnz, std::vector<std::int64_t>& ptr) {
  std::fill(ptr.begin(), ptr.end(), 0);
  for (std::int64_t e = 0; e < nnz; ++e) ++ptr[index[e] + 1];
  std::partial_sum(ptr.begin(), ptr.end(), ptr.begin());
}

// Moves the entries of a into row buckets given by rows[], in place: each
// entry is swapped straight into the next free slot of its row.
template <class T>
void bucket_by_row(std::int32_t n, std::int32_t* rows, std::int32_t* cols, T* values, std::vector<std::int64_t>& row_ptr) {
  bucket_offsets(rows, row_ptr[n], row_ptr);
  std::vector<std::int64_t> next(row_ptr.begin(), row_ptr.end() - 1);
  for (std::int32_t r = 0; r < n; ++r) {
    while (next[r] < row_ptr[r + 1]) {
      const std::int64_t e = next[r];
      const std::int32_t target = rows[e];
      if (target == r) {
        ++next[r];
        continue;
      }
      const std::int64_t slot = next[target]++;
      std::swap(rows[e], rows[slot]);
      std::swap(cols[e], cols[slot]);
      std::swap(values[e], values[slot]);
    }
  }
}

// Sorts every row by column, carrying the values.
template <class T>
void sort_rows(std::int32_t n, const std::vector<std::int64_t>& row_ptr, std::int32_t* cols, T* values) {
  std::vector<std::int64_t> order;
  std::vector<std::int32_t> col_copy;
  std::vector<T> value_copy;
  for (std::int32_t r = 0; r < n; ++r) {
    const std::int64_t start = row_ptr[r], len = row_ptr[r + 1] - start;
    if (std::is_sorted(cols + start, cols + start + len)) continue;
    order.resize(len);
    std::iota(order.begin(), order.end(), start);
    std::sort(order.begin(), order.end(), [&](std::int64_t x, std::int64_t y) { return cols[x] < cols[y]; });
    col_copy.resize(len);
    value_copy.resize(len);
    for (std::int64_t i = 0; i < len; ++i) {
      col_copy[i] = cols[order[i]];
      value_copy[i] = values[order[i]];
    }
    std::copy(col_copy.begin(), col_copy.end(), cols + start);
    std::copy(value_copy.begin(), value_copy.end(), values + start);
  }
}

// Whether the copy sort_by_row_and_column makes of nnz entries fits under
// the soft memory limit (the sort in place needs none).
template <class T>
bool sorting_copy_fits(const tessar& solver, std::int64_t nnz) {
  const auto kb = static_cast<std::int64_t>(nnz * (sizeof(std::int32_t) + sizeof(T)) / 1024);
  return solver.memory_in_use + kb <= solver.Soft_Memory_Limit;
}

// Sorts the entries of a by row and, inside each row, by column: a stable
// counting sort by column into a copy, then by row back into place. Each
// pass reads in order and writes each entry once, where sorting in place
// chases chains of swaps from one cache miss to the next.
template <class T>
void sort_by_row_and_column(tessar& solver, std::int32_t n, const std::int32_t* rows, std::int32_t* cols, T* values,
                            std::vector<std::int64_t>& row_ptr) {
  const std::int64_t nnz = row_ptr[n];
  const char* message = "Can not allocate memory for ReorderSpace";
  ChargedArray<std::int32_t> by_column_rows;
  ChargedArray<T> by_column_values;
  by_column_rows.allocate(solver, static_cast<std::size_t>(nnz), message);
  by_column_values.allocate(solver, static_cast<std::size_t>(nnz), message);
  by_column_rows.back_now();
  by_column_values.back_now();
  std::vector<std::int64_t> column_ptr(static_cast<std::size_t>(n) + 1);
  bucket_offsets(cols, nnz, column_ptr);
  std::vector<std::int64_t> next(column_ptr.begin(), column_ptr.end() - 1);
  for (std::int64_t e = 0; e < nnz; ++e) {
    const std::int64_t slot = next[cols[e]]++;
    by_column_rows[slot] = rows[e];
    by_column_values[slot] = values[e];
  }
  bucket_offsets(rows, nnz, row_ptr);
  next.assign(row_ptr.begin(), row_ptr.end() - 1);
  for (std::int32_t c = 0; c < n; ++c)
    for (std::int64_t e = column_ptr[c]; e < column_ptr[c + 1]; ++e) {
      const std::int64_t slot = next[by_column_rows[e]]++;
      cols[slot] = c;
      values[slot] = by_column_values[e];
    }
}

}  // namespace

template <class K>
void CheckMatrixValues(tessar& solver, const YaleMatrix& a) {
  const auto* v = matrix_values<K>(a);
  const bool symmetric = K::symmetry != Symmetry::unsymmetric;
  for (std::int32_t i = 0; i < a.n; ++i) {
    const std::int64_t diagonal = symmetric ? symmetric_diagonal(solver, a, i) : -1;
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const bool on_diagonal = symmetric ? p == diagonal : a.col_idx[p] == i;
      if (on_diagonal && is_zero(v[p])) OrlDebug(symmetric ? 1 : 2, L"Zero diagonal, row %d\n", i);
      if (is_finite(v[p])) continue;
      if (symmetric && on_diagonal) {
        OrlDebug(1, L"Invalid diagonal %d\n", i);
        solver.fatal("Invalid Matix", 1);
      }
      fail_on_entry(solver, i, a.col_idx[p]);
    }
  }
}

template <class K>
double MatrixOneNorm(const YaleMatrix& a) {
  const auto* v = matrix_values<K>(a);
  double norm = 0.0;
  if constexpr (K::symmetry == Symmetry::unsymmetric) {
    for (std::int32_t i = 0; i < a.n; ++i) {
      double sum = 0.0;
      for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) sum += std::abs(v[p]);
      norm = std::max(norm, sum);
    }
  } else {
    std::vector<double> column_sum(a.n, 0.0);
    for (std::int32_t j = 0; j < a.n; ++j) {
      double sum = column_sum[j];
      for (std::int64_t p = a.row_ptr[j]; p < a.row_ptr[j + 1]; ++p) {
        const double magnitude = std::abs(v[p]);
        sum += magnitude;
        if (a.col_idx[p] != j) column_sum[a.col_idx[p]] += magnitude;
      }
      norm = std::max(norm, sum);
    }
  }
  return norm;
}

template <class K>
void ScaleMatrix(tessar& solver, YaleMatrix& a) {
  using T = typename K::scalar;
  auto* v = matrix_values<K>(a);
  const std::size_t width = K::is_complex ? 2 : 1;
  if (!solver.scale_vector.allocated())
    solver.scale_vector.allocate(solver, width * a.n, "Can't allocate memory for diagonal scaling");
  T* s = reinterpret_cast<T*>(solver.scale_vector.data());
  for (std::int32_t i = 0; i < a.n; ++i) {
    const std::int64_t d = K::symmetry == Symmetry::unsymmetric ? unsymmetric_diagonal(a, i)
                                                               : symmetric_diagonal(solver, a, i);
    s[i] = scale_factor<K>(v[d]);
  }
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) v[p] = s[i] * v[p] * s[a.col_idx[p]];
}

template <class K>
void PermuteMatrix(tessar& solver, YaleMatrix& a) {
  PermuteMatrix<K>(solver, a, solver.iperm.data());
}

template <class K>
void PermuteMatrix(tessar& solver, YaleMatrix& a, const std::int32_t* position) {
  const auto nnz = static_cast<std::size_t>(a.row_ptr[a.n]);
  if (solver.ReorderSpace.size() < nnz) solver.ReorderSpace.allocate(solver, nnz, "ReorderSpace");
  std::int32_t* rows = solver.ReorderSpace.data();
  std::int32_t* cols = a.col_idx.data();
  auto* v = matrix_values<K>(a);
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      rows[p] = position[i];
      cols[p] = position[cols[p]];
      if (K::symmetry != Symmetry::unsymmetric && rows[p] > cols[p]) {
        std::swap(rows[p], cols[p]);
        v[p] = K::mirror(v[p]);
      }
    }
  if (sorting_copy_fits<std::remove_pointer_t<decltype(v)>>(solver, static_cast<std::int64_t>(nnz))) {
    sort_by_row_and_column(solver, a.n, rows, cols, v, a.row_ptr);
  } else {
    bucket_by_row(a.n, rows, cols, v, a.row_ptr);
    sort_rows(a.n, a.row_ptr, cols, v);
  }
}

#define TSR_INSTANTIATE_PREP(K)                                 \
  template void CheckMatrixValues<K>(tessar&, const YaleMatrix&); \
  template double MatrixOneNorm<K>(const YaleMatrix&);          \
  template void ScaleMatrix<K>(tessar&, YaleMatrix&);           \
  template void PermuteMatrix<K>(tessar&, YaleMatrix&);           \
  template void PermuteMatrix<K>(tessar&, YaleMatrix&, const std::int32_t*);
TSR_INSTANTIATE_PREP(RealSymmetric)
TSR_INSTANTIATE_PREP(RealUnsymmetric)
TSR_INSTANTIATE_PREP(ComplexSymmetric)
TSR_INSTANTIATE_PREP(ComplexUnsymmetric)
TSR_INSTANTIATE_PREP(ComplexHermitian)
