#include "factor/matrix_matching.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <vector>

#include "analysis/matching.h"
#include "core/tessar.h"
#include "factor/matrix_prep.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

constexpr const char* no_memory = "Can't allocate memory for the matching";

// |a_ii| of every row, 0 where the diagonal is not stored.
template <class K>
std::vector<double> diagonal_magnitudes(const YaleMatrix& a) {
  const auto* v = matrix_values<K>(a);
  std::vector<double> diagonal(static_cast<std::size_t>(a.n), 0.0);
  for (std::int32_t i = 0; i < a.n; ++i) {
    const auto first = a.col_idx.begin() + a.row_ptr[i], last = a.col_idx.begin() + a.row_ptr[i + 1];
    const auto at = std::lower_bound(first, last, i);
    if (at != last && *at == i) diagonal[i] = std::abs(v[at - a.col_idx.begin()]);
  }
  return diagonal;
}

// Whether some row has no stored diagonal or a zero one.
template <class K>
bool has_zero_diagonal(const YaleMatrix& a) {
  const std::vector<double> diagonal = diagonal_magnitudes<K>(a);
  return std::find(diagonal.begin(), diagonal.end(), 0.0) != diagonal.end();
}

// Symmetric kinds (one triangle stored): whether some diagonal entry is
// missing or below u times the largest other entry of its row, so that a
// 1×1 pivot there could fail the threshold test.
template <class K>
bool has_weak_diagonal(const YaleMatrix& a, double u) {
  const auto* v = matrix_values<K>(a);
  const auto n = static_cast<std::size_t>(a.n);
  const std::vector<double> diagonal = diagonal_magnitudes<K>(a);
  std::vector<double> largest(n, 0.0);
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      if (j == i) continue;
      largest[i] = std::max(largest[i], std::abs(v[p]));
      largest[j] = std::max(largest[j], std::abs(v[p]));
    }
  for (std::size_t i = 0; i < n; ++i)
    if (diagonal[i] <= 0.0 || diagonal[i] < u * largest[i]) return true;
  return false;
}

// The magnitudes of a stored whole: a copy of the pattern for the
// unsymmetric kinds, both triangles for the symmetric ones.
template <class K>
YaleMatrix whole_magnitudes(const YaleMatrix& a) {
  const auto* v = matrix_values<K>(a);
  YaleMatrix m;
  m.n = a.n;
  if constexpr (K::symmetry == Symmetry::unsymmetric) {
    m.row_ptr = a.row_ptr;
    m.col_idx = a.col_idx;
    m.values.resize(a.col_idx.size());
    for (std::size_t p = 0; p < m.values.size(); ++p) m.values[p] = std::abs(v[p]);
  } else {
    m.row_ptr.assign(static_cast<std::size_t>(a.n) + 1, 0);
    for (std::int32_t i = 0; i < a.n; ++i)
      for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
        ++m.row_ptr[i + 1];
        if (a.col_idx[p] != i) ++m.row_ptr[a.col_idx[p] + 1];
      }
    std::partial_sum(m.row_ptr.begin(), m.row_ptr.end(), m.row_ptr.begin());
    m.col_idx.resize(static_cast<std::size_t>(m.row_ptr[a.n]));
    m.values.resize(m.col_idx.size());
    std::vector<std::int64_t> next(m.row_ptr.begin(), m.row_ptr.end() - 1);
    for (std::int32_t i = 0; i < a.n; ++i)
      for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
        const std::int32_t j = a.col_idx[p];
        const double magnitude = std::abs(v[p]);
        m.col_idx[next[i]] = j;
        m.values[next[i]++] = magnitude;
        if (j == i) continue;
        m.col_idx[next[j]] = i;
        m.values[next[j]++] = magnitude;
      }
  }
  m.nnz = m.row_ptr[a.n];
  return m;
}

// Pairs along the cycles of the matching's permutation: a column whose
// scaled diagonal would fail the threshold test against its matched entry
// (scaled to 1) is paired with its neighbour on the cycle, the one with the
// larger scaled diagonal first.
template <class K>
void pair_weak_diagonals(tessar& solver, const YaleMatrix& a, const Matching& m, const std::vector<double>& d) {
  const auto n = static_cast<std::size_t>(a.n);
  std::vector<double> diagonal = diagonal_magnitudes<K>(a);
  for (std::size_t i = 0; i < n; ++i) diagonal[i] *= d[i] * d[i];
  const double weak = solver.pivot_threshold;
  std::vector<char> visited(n, 0);
  std::vector<std::int32_t> pairs, cycle;
  for (std::int32_t i = 0; i < a.n; ++i) {
    cycle.clear();
    for (std::int32_t j = i; !visited[j]; j = m.column_of_row[j]) {
      visited[j] = 1;
      cycle.push_back(j);
    }
    for (std::size_t t = 0; t + 1 < cycle.size();) {
      const std::int32_t x = cycle[t], y = cycle[t + 1];
      if (diagonal[x] >= weak && diagonal[y] >= weak) {
        ++t;
        continue;
      }
      pairs.push_back(diagonal[x] >= diagonal[y] ? x : y);
      pairs.push_back(diagonal[x] >= diagonal[y] ? y : x);
      t += 2;
    }
  }
  solver.pivot_pairs.allocate(solver, pairs.size(), no_memory);
  std::copy(pairs.begin(), pairs.end(), solver.pivot_pairs.begin());
  OrlDebug(2, L"Matching: %d pairs of columns kept together for 2x2 pivots\n", static_cast<int>(pairs.size() / 2));
}

template <class K>
void compute_matching(tessar& solver, const YaleMatrix& a) {
  const YaleMatrix m = whole_magnitudes<K>(a);
  Matching matching = MaximumProductMatching(m.n, m.row_ptr.data(), m.col_idx.data(), m.values.data());
  const auto n = static_cast<std::size_t>(a.n);
  solver.match_position.allocate(solver, n, no_memory);
  solver.row_scale.allocate(solver, n, no_memory);
  solver.column_scale.allocate(solver, n, no_memory);
  if constexpr (K::symmetry == Symmetry::unsymmetric) {
    std::copy(matching.column_of_row.begin(), matching.column_of_row.end(), solver.match_position.begin());
    std::copy(matching.row_scale.begin(), matching.row_scale.end(), solver.row_scale.begin());
    std::copy(matching.column_scale.begin(), matching.column_scale.end(), solver.column_scale.begin());
  } else {
    // Only the scaling is applied: a symmetric permutation keeps the pattern
    // the ordering needs, and the matching's row permutation would not.
    const std::vector<double> d = SymmetricMatchingScale(matching);
    std::iota(solver.match_position.begin(), solver.match_position.end(), 0);
    std::copy(d.begin(), d.end(), solver.row_scale.begin());
    std::copy(d.begin(), d.end(), solver.column_scale.begin());
    pair_weak_diagonals<K>(solver, a, matching, d);
  }
  std::int32_t moved = 0;
  for (std::int32_t i = 0; i < a.n; ++i) moved += solver.match_position[i] != i;
  OrlDebug(2, L"Matching: structural rank %d of %d, %d rows moved to the diagonal\n", matching.matched, a.n, moved);
  if (matching.matched < a.n)
    OrlDebug(1, L"The matrix is structurally singular: %d of %d rows can be matched to a nonzero\n",
             matching.matched, a.n);
}

template <class K>
void scale_symmetric(const tessar& solver, YaleMatrix& a) {
  auto* v = matrix_values<K>(a);
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p)
      v[p] *= solver.row_scale[i] * solver.row_scale[a.col_idx[p]];
}

// B = Dr·P·A·Dc with the pattern of B + Bᵀ and every diagonal entry: row q
// of B merges the columns of its own entries with the rows that hold an
// entry in column q and with q itself, the latter two as explicit zeros
// where B has no entry.
template <class K>
void permute_and_scale_rows(const tessar& solver, YaleMatrix& a) {
  using T = typename K::scalar;
  const std::int32_t n = a.n;
  const auto* v = matrix_values<K>(a);
  std::vector<std::int32_t> row_of(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) row_of[solver.match_position[i]] = i;
  // For each column q, the rows of B holding it, q itself first among its equals.
  std::vector<std::int64_t> t_ptr(static_cast<std::size_t>(n) + 1, 0);
  for (std::int32_t q = 0; q < n; ++q) ++t_ptr[q + 1];
  for (std::int64_t p = 0; p < a.row_ptr[n]; ++p) ++t_ptr[a.col_idx[p] + 1];
  std::partial_sum(t_ptr.begin(), t_ptr.end(), t_ptr.begin());
  std::vector<std::int32_t> t_rows(static_cast<std::size_t>(t_ptr[n]));
  std::vector<std::int64_t> next(t_ptr.begin(), t_ptr.end() - 1);
  for (std::int32_t q = 0; q < n; ++q) {
    t_rows[next[q]++] = q;
    const std::int32_t i = row_of[q];
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) t_rows[next[a.col_idx[p]]++] = q;
  }
  std::vector<std::int64_t> b_ptr(static_cast<std::size_t>(n) + 1, 0);
  std::vector<std::int32_t> b_cols;
  std::vector<T> b_values;
  b_cols.reserve(a.col_idx.size() + static_cast<std::size_t>(n));
  b_values.reserve(b_cols.capacity());
  for (std::int32_t q = 0; q < n; ++q) {
    const std::int32_t i = row_of[q];
    std::int64_t p = a.row_ptr[i], t = t_ptr[q];
    const std::int64_t p_end = a.row_ptr[i + 1], t_end = t_ptr[q + 1];
    std::int32_t last = -1;
    while (p < p_end || t < t_end) {
      const std::int32_t own = p < p_end ? a.col_idx[p] : n;
      const std::int32_t mirrored = t < t_end ? t_rows[t] : n;
      if (own <= mirrored) {
        b_cols.push_back(own);
        b_values.push_back(solver.row_scale[i] * v[p] * solver.column_scale[own]);
        last = own;
        ++p;
      } else {
        if (mirrored != last) {
          b_cols.push_back(mirrored);
          b_values.push_back(T(0));
          last = mirrored;
        }
        ++t;
      }
    }
    b_ptr[q + 1] = static_cast<std::int64_t>(b_cols.size());
  }
  a.row_ptr = std::move(b_ptr);
  a.col_idx = std::move(b_cols);
  a.nnz = a.row_ptr[n];
  a.values.resize(static_cast<std::size_t>(a.nnz) * a.value_width());
  std::copy(b_values.begin(), b_values.end(), matrix_values<K>(a));
}

}  // namespace

template <class K>
std::uint64_t MatchMatrix(tessar& solver, YaleMatrix& a) {
  if (!solver.matched()) {
    // A saved factor was made with the matching its analysis holds, or none.
    if (solver.factors_from_disk) return 0;
    // Automatically for an unsymmetric matrix with a zero diagonal entry,
    // and for a symmetric one whose factorization pivots where a diagonal
    // is weak: its matching serves the 2×2 pivots of paired columns, and is
    // dropped again where it pairs none.
    const bool pivots = solver.pivoting || solver.multi_thread;
    const bool automatic = K::symmetry == Symmetry::unsymmetric
                               ? has_zero_diagonal<K>(a)
                               : pivots && has_weak_diagonal<K>(a, solver.pivot_threshold);
    if (solver.matching == 0 || (solver.matching == 1 && !automatic)) return 0;
    compute_matching<K>(solver, a);
    if (K::symmetry != Symmetry::unsymmetric && solver.matching == 1 && solver.pivot_pairs.size() == 0) {
      OrlDebug(2, L"Matching: no weak diagonal to pair; the matrix is left as read\n");
      solver.match_position.release();
      solver.row_scale.release();
      solver.column_scale.release();
      return 0;
    }
  }
  if constexpr (K::symmetry != Symmetry::unsymmetric) {
    scale_symmetric<K>(solver, a);
    return 0;
  } else {
    const std::int64_t before = a.nnz;
    permute_and_scale_rows<K>(solver, a);
    const auto gained = static_cast<std::uint64_t>(a.nnz - before);
    const std::uint64_t kb = gained * (4 + sizeof(typename K::scalar)) / 1024;
    add_memory(solver, kb);
    return kb;
  }
}

template std::uint64_t MatchMatrix<RealSymmetric>(tessar&, YaleMatrix&);
template std::uint64_t MatchMatrix<RealUnsymmetric>(tessar&, YaleMatrix&);
template std::uint64_t MatchMatrix<ComplexSymmetric>(tessar&, YaleMatrix&);
template std::uint64_t MatchMatrix<ComplexUnsymmetric>(tessar&, YaleMatrix&);
template std::uint64_t MatchMatrix<ComplexHermitian>(tessar&, YaleMatrix&);
