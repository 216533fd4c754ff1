#pragma once
// The input matrix in compressed rows. Symmetric and Hermitian kinds store one
// triangle (the upper by default, the lower with lower_triangular); the
// unsymmetric kinds store every entry of a structurally symmetric pattern.
// Complex values are stored as (real, imaginary) pairs of doubles.
#include <cstdint>
#include <vector>

struct YaleMatrix {
  std::int32_t n = 0;
  std::int64_t nnz = 0;
  std::vector<std::int64_t> row_ptr;  // n + 1 offsets, row_ptr[0] = 0, row_ptr[n] = nnz
  std::vector<std::int32_t> col_idx;  // nnz columns, strictly ascending within a row
  std::vector<double> values;         // nnz doubles (real kinds) or 2·nnz (complex kinds)
  bool complex = false;

  // Doubles per entry: 1 real, 2 complex.
  int value_width() const { return complex ? 2 : 1; }
};
