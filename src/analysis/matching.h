#pragma once
// Maximum-product matching of rows to columns and the scaling that comes
// from its dual variables (successive shortest augmenting paths on the
// logarithmic costs c_ij = log max_k |a_kj| − log |a_ij|). Placing row i at
// position column_of_row[i] puts the matched entries on the diagonal, and
// the scaled matrix r_i·a_ij·c_j has no entry above 1 in magnitude, with
// equality on the matched entries.
#include <cstdint>
#include <vector>

struct Matching {
  std::vector<std::int32_t> column_of_row;  // a permutation of 0 … n−1
  std::vector<double> row_scale;            // n positive factors
  std::vector<double> column_scale;         // n positive factors
  std::int32_t matched = 0;                 // structural rank: rows matched to a nonzero
};

// The matching of the n × n matrix whose row i holds the magnitudes
// magnitude[p] at columns col_idx[p], p in [row_ptr[i], row_ptr[i+1]); zero
// magnitudes count as absent. Where no perfect matching exists, the rows left
// unmatched take the columns left over, and their scale makes their largest
// scaled entry 1 (a row or column without entries gets scale 1).
Matching MaximumProductMatching(std::int32_t n, const std::int64_t* row_ptr, const std::int32_t* col_idx,
                                const double* magnitude);

// The symmetric scaling d_i = sqrt(row_scale[i]·column_scale[i]) of a
// matching computed on a symmetric matrix stored whole (both triangles):
// d_i·|a_ij|·d_j ≤ 1 on every entry.
std::vector<double> SymmetricMatchingScale(const Matching& m);
