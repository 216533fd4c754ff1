#pragma once
// The storage rules of each kind, checked on a stored matrix independently of
// the tools.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/test_support.h"

inline bool symmetric_storage(int kind) { return kind == 0 || kind == 2 || kind == 4; }

// "A" of a kind: consistent offsets, columns strictly ascending, the diagonal
// in every row, only the upper triangle for the symmetric kinds, a symmetric
// pattern for the unsymmetric ones, a real diagonal for the Hermitian kind.
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
