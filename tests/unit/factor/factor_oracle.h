#pragma once
// Rebuilds, densely, the matrix a stored factor represents, from the factor
// blocks, the supernode structure and PivotOrder, so the factorization tests
// compare the factor with the input rather than with itself.
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "core/tessar.h"
#include "io/yale_matrix.h"
#include "platform/kind_traits.h"

namespace factor_tests {

template <class T>
struct Dense {
  std::int32_t n;
  std::vector<T> v;
  explicit Dense(std::int32_t order) : n(order), v(std::size_t(order) * order, T(0)) {}
  T& operator()(std::int32_t i, std::int32_t j) { return v[i + std::size_t(j) * n]; }
  const T& operator()(std::int32_t i, std::int32_t j) const { return v[i + std::size_t(j) * n]; }
};

template <class T>
T conj_of(const T& x) {
  if constexpr (std::is_same_v<T, double>) return x;
  else return std::conj(x);
}

// The whole matrix of a stored input (one triangle for the symmetric kinds).
template <class K>
Dense<typename K::scalar> dense_input(const YaleMatrix& a) {
  using T = typename K::scalar;
  const auto* values = reinterpret_cast<const T*>(a.values.data());
  Dense<T> d(a.n);
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      d(i, j) = values[p];
      if (K::symmetry != Symmetry::unsymmetric) d(j, i) = K::mirror(values[p]);
    }
  return d;
}

// B(iperm[i], iperm[j]) = A(i, j): the input in the factor ordering.
template <class T>
Dense<T> permuted(const Dense<T>& a, const std::int32_t* iperm) {
  Dense<T> b(a.n);
  for (std::int32_t j = 0; j < a.n; ++j)
    for (std::int32_t i = 0; i < a.n; ++i) b(iperm[i], iperm[j]) = a(i, j);
  return b;
}

// Calls swap(i, j) for each interchange PivotOrder records in columns
// [first, last), in column order: c with p ≥ 0, or c + 1 with −p for a 2×2 pivot.
template <class Swap>
void for_each_interchange(const std::int32_t* pivot_order, std::int32_t first, std::int32_t last, Swap swap) {
  for (std::int32_t c = first; c < last; ++c)
    if (pivot_order[c] >= 0)
      swap(c, pivot_order[c]);
    else
      swap(c + 1, -pivot_order[c]), ++c;
}

// Applies the pivot interchanges of PivotOrder to the rows (and for the
// symmetric kinds the columns) of b.
template <class T>
Dense<T> interchanged(const Dense<T>& b, const std::int32_t* pivot_order, bool symmetric) {
  std::vector<std::int32_t> order(b.n);
  for (std::int32_t i = 0; i < b.n; ++i) order[i] = i;
  for_each_interchange(pivot_order, 0, b.n, [&](std::int32_t i, std::int32_t j) { std::swap(order[i], order[j]); });
  Dense<T> out(b.n);
  for (std::int32_t j = 0; j < b.n; ++j)
    for (std::int32_t i = 0; i < b.n; ++i) out(i, j) = b(order[i], symmetric ? order[j] : j);
  return out;
}

// Front index set of supernode s: its first column, then that column's rows.
inline std::vector<std::int32_t> front_rows(const tessar& solver, std::int32_t s) {
  const std::int32_t f = solver.SNode[s];
  const std::int64_t m = solver.IU[f + 1] - solver.IU[f];
  std::vector<std::int32_t> rows{f};
  for (std::int64_t t = 0; t + 1 < m; ++t) rows.push_back(solver.JU[solver.IJU[f] + t]);
  return rows;
}

// Factors read off the stored blocks. Symmetric kinds: L (unit), D (1×1
// and 2×2 blocks); the complex symmetric plain factor is L with D = I;
// unsymmetric kinds: L (unit) and U.
template <class T>
struct Factors {
  Dense<T> L, D, U;
  explicit Factors(std::int32_t n) : L(n), D(n), U(n) {}
};

// The solve applies a supernode's interchanges to the vector before its own
// columns, so the stored L columns of earlier supernodes keep the rows of
// this one unpermuted; swapping those rows gives the explicit P·A = L·U form.
template <class T>
void interchange_earlier_columns(Dense<T>& L, const std::int32_t* pivot_order, std::int32_t f, std::int32_t k) {
  for_each_interchange(pivot_order, f, f + k, [&](std::int32_t a, std::int32_t b) {
    for (std::int32_t j = 0; j < f; ++j) std::swap(L(a, j), L(b, j));
  });
}

template <class K, class Stored>
Factors<typename K::scalar> read_factors(const tessar& solver, const Stored* u, const Stored* l, bool pivoting) {
  using T = typename K::scalar;
  const std::int32_t n = solver.SNode[solver.NSuper];
  Factors<T> out(n);
  std::int64_t pu = 0, pl = 0;
  const auto next_u = [&] { return T(u[pu++]); };
  const auto next_l = [&] { return T(l[pl++]); };
  for (std::int32_t s = 0; s < solver.NSuper; ++s) {
    const auto rows = front_rows(solver, s);
    const std::int32_t f = rows[0], k = solver.SNode[s + 1] - f, m = std::int32_t(rows.size());
    if (pivoting) interchange_earlier_columns(out.L, solver.PivotOrder.data(), f, k);
    if constexpr (K::symmetry == Symmetry::unsymmetric) {
      if (!pivoting) {
        for (std::int32_t q = 0; q < k; ++q) {
          for (std::int32_t i = q; i < m; ++i) out.U(f + q, rows[i]) = next_u();
          out.L(f + q, f + q) = T(1);
          for (std::int32_t i = q + 1; i < m; ++i) out.L(rows[i], f + q) = next_l();
        }
      } else {
        for (std::int32_t r = 0; r < k; ++r)
          for (std::int32_t i = r; i < k; ++i) out.U(f + r, f + i) = next_u();
        for (std::int32_t r = 0; r < k; ++r)
          for (std::int32_t i = k; i < m; ++i) out.U(f + r, rows[i]) = next_u();
        for (std::int32_t q = 0; q < k; ++q)
          for (std::int32_t i = q; i < k; ++i) out.L(f + i, f + q) = next_l();
        for (std::int32_t q = 0; q < k; ++q)
          for (std::int32_t i = k; i < m; ++i) out.L(rows[i], f + q) = next_l();
      }
    } else if (!pivoting) {
      for (std::int32_t q = 0; q < k; ++q) {
        const T d = next_u();
        const bool cholesky = K::symmetry == Symmetry::symmetric && K::is_complex;
        out.D(f + q, f + q) = cholesky ? T(1) : d;
        out.L(f + q, f + q) = cholesky ? d : T(1);
        for (std::int32_t i = q + 1; i < m; ++i) out.L(rows[i], f + q) = cholesky ? next_u() : next_u() / d;
      }
    } else {
      const std::int32_t* pivots = solver.PivotOrder.data();
      std::vector<bool> pair_start(k, false);
      for (std::int32_t q = 0; q < k; ++q)
        if (pivots[f + q] < 0) {
          pair_start[q] = true;
          ++q;
        }
      for (std::int32_t q = 0; q < k; ++q) {
        out.D(f + q, f + q) = next_u();
        out.L(f + q, f + q) = T(1);
        for (std::int32_t i = q + 1; i < k; ++i) {
          const T e = next_u();
          if (i == q + 1 && pair_start[q]) {
            out.D(f + i, f + q) = e;
            out.D(f + q, f + i) = K::mirror(e);
          } else {
            out.L(f + i, f + q) = e;
          }
        }
      }
      for (std::int32_t q = 0; q < k; ++q)
        for (std::int32_t i = k; i < m; ++i) out.L(rows[i], f + q) = next_u();
    }
  }
  return out;
}

// x · y, with y conjugate-transposed (Hermitian kind) or transposed.
template <class T>
Dense<T> product(const Dense<T>& x, const Dense<T>& y, bool transpose_y, bool conjugate_y) {
  Dense<T> out(x.n);
  for (std::int32_t j = 0; j < x.n; ++j)
    for (std::int32_t p = 0; p < x.n; ++p) {
      T yv = transpose_y ? y(j, p) : y(p, j);
      if (conjugate_y) yv = conj_of(yv);
      if (yv == T(0)) continue;
      for (std::int32_t i = 0; i < x.n; ++i) out(i, j) += x(i, p) * yv;
    }
  return out;
}

// The matrix the factors represent: L·D·L^T (L·D·L^H), L·L^T or L·U.
template <class K>
Dense<typename K::scalar> multiply_out(const Factors<typename K::scalar>& f) {
  if constexpr (K::symmetry == Symmetry::unsymmetric) {
    return product(f.L, f.U, false, false);
  } else {
    const bool hermitian = K::symmetry == Symmetry::hermitian;
    return product(product(f.L, f.D, false, false), f.L, true, hermitian);
  }
}

template <class T>
double relative_difference(const Dense<T>& a, const Dense<T>& b) {
  double diff = 0, norm = 0;
  for (std::size_t i = 0; i < a.v.size(); ++i) {
    diff += std::norm(a.v[i] - b.v[i]);
    norm += std::norm(b.v[i]);
  }
  return std::sqrt(diff / norm);
}

}  // namespace factor_tests
