#pragma once
// Test-side view of a stored matrix, written independently of the tools: the
// dense matrix it stands for (the implied triangle mirrored, conjugated for
// the Hermitian kind) and checks of the storage rules of each kind.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <vector>

#include "io/yale_matrix.h"

using Complex = std::complex<double>;

inline Complex stored_value(const YaleMatrix& a, std::int64_t p) {
  const auto k = static_cast<std::size_t>(p);
  return a.complex ? Complex(a.values[2 * k], a.values[2 * k + 1]) : Complex(a.values[k], 0.0);
}

struct Dense {
  std::int32_t n = 0;
  std::vector<Complex> entries;  // row by row
  Complex& operator()(std::int32_t i, std::int32_t j) { return entries[static_cast<std::size_t>(i) * n + j]; }
  Complex operator()(std::int32_t i, std::int32_t j) const { return entries[static_cast<std::size_t>(i) * n + j]; }
};

inline bool symmetric_storage(int kind) { return kind == 0 || kind == 2 || kind == 4; }

inline Dense dense_of(const YaleMatrix& a, int kind) {
  Dense d{a.n, std::vector<Complex>(static_cast<std::size_t>(a.n) * a.n)};
  for (std::int32_t i = 0; i < a.n; ++i) {
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      d(i, j) = stored_value(a, p);
      if (symmetric_storage(kind) && i != j) d(j, i) = kind == 4 ? std::conj(d(i, j)) : d(i, j);
    }
  }
  return d;
}

// Vectors of n values of a kind's layout as complex numbers.
inline std::vector<Complex> complex_values(const std::vector<double>& values, bool complex) {
  std::vector<Complex> out;
  for (std::size_t k = 0; k < values.size(); k += complex ? 2 : 1)
    out.emplace_back(values[k], complex ? values[k + 1] : 0.0);
  return out;
}

// The storage rules of "A" for a kind: consistent offsets, columns strictly
// ascending, the diagonal in every row, only the upper triangle for the
// symmetric kinds, a symmetric pattern for the unsymmetric ones, a real
// diagonal for the Hermitian kind.
inline void expect_storage_rules(const YaleMatrix& a, int kind) {
  ASSERT_EQ(a.row_ptr.size(), static_cast<std::size_t>(a.n) + 1);
  ASSERT_EQ(a.row_ptr.front(), 0);
  ASSERT_EQ(a.row_ptr.back(), a.nnz);
  ASSERT_EQ(a.col_idx.size(), static_cast<std::size_t>(a.nnz));
  ASSERT_EQ(a.values.size(), static_cast<std::size_t>(a.nnz * a.value_width()));
  ASSERT_EQ(a.complex, kind >= 2);
  std::vector<std::vector<bool>> held(a.n, std::vector<bool>(a.n));
  for (std::int32_t i = 0; i < a.n; ++i) {
    bool diagonal = false;
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      ASSERT_TRUE(j >= 0 && j < a.n);
      ASSERT_TRUE(p == a.row_ptr[i] || j > a.col_idx[p - 1]) << "columns not ascending in row " << i;
      ASSERT_TRUE(!symmetric_storage(kind) || j >= i) << "entry below the diagonal in row " << i;
      EXPECT_TRUE(j != i || kind != 4 || stored_value(a, p).imag() == 0.0) << "complex diagonal in row " << i;
      diagonal = diagonal || j == i;
      held[i][j] = true;
    }
    ASSERT_TRUE(diagonal) << "row " << i << " lacks its diagonal";
  }
  if (symmetric_storage(kind)) return;
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int32_t j = 0; j < a.n; ++j) ASSERT_EQ(held[i][j], held[j][i]) << "(" << i << ", " << j << ")";
}
