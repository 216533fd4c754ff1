#include "kernels/front_plain.h"

#include <algorithm>
#include <complex>
#include <cstddef>

#include "platform/blas.h"

namespace {

// The front as an F × F column-major array: element (i, j), 0-based.
template <class T>
struct Front {
  T* a;
  int F;
  T* at(int i, int j) const { return a + i + static_cast<std::ptrdiff_t>(j) * F; }
  T& operator()(int i, int j) const { return *at(i, j); }
};

// Pivot k against the earlier columns first .. k−1 of the current range and
// the rows k+1 .. row_end−1: d = A(k,k) − W(k,·)·L^T(·,k), then the column
// below the pivot becomes W and row k right of the pivot L^T (conjugated for
// the Hermitian kind). False on an exactly zero pivot, which is stored.
template <class K>
bool ldl_pivot(Front<typename K::scalar> f, int k, int first, int row_end) {
  using T = typename K::scalar;
  const int width = k - first;
  T d = f(k, k) - blas::dotu(width, f.at(k, first), f.F, f.at(first, k), 1);
  if constexpr (K::symmetry == Symmetry::hermitian) d = T(std::real(d), 0.0);
  f(k, k) = d;
  if (d == T(0)) return false;
  const int below = row_end - k - 1;
  if (below > 0 && width > 0)
    blas::gemv('N', below, width, T(-1), f.at(k + 1, first), f.F, f.at(first, k), 1, T(1), f.at(k + 1, k), 1);
  const T inverse = T(1) / d;
  for (int i = k + 1; i < row_end; ++i) f(k, i) = K::mirror(f(i, k)) * inverse;
  return true;
}

// Pivots first .. end−1 over the rows up to row_end; false at a zero pivot.
template <class K>
bool ldl_pivots(Front<typename K::scalar> f, int first, int end, int row_end) {
  for (int k = first; k < end; ++k)
    if (!ldl_pivot<K>(f, k, first, row_end)) return false;
  return true;
}

// Columns k0 .. k0+kb−1, from the diagonal down to row F−1, minus their
// products with the earlier pivot columns: W(·, 0..k0−1) · L^T(0..k0−1, block).
// The upper part of the diagonal block is overwritten by the pivot steps.
template <class T>
void ldl_update_block_columns(Front<T> f, int k0, int kb) {
  if (k0 == 0) return;
  blas::gemm('N', 'N', f.F - k0, kb, k0, T(-1), f.at(k0, 0), f.F, f.at(0, k0), f.F, T(1), f.at(k0, k0), f.F);
}

// Rows below the block k0 .. k0+kb−1: solving with the block's unit upper
// triangle (its L^T) turns them into W, and their mirrored rows L^T fill the
// block's rows to the right of the block.
template <class K>
void ldl_rows_below_block(Front<typename K::scalar> f, int k0, int kb) {
  using T = typename K::scalar;
  const int r0 = k0 + kb;
  if (r0 >= f.F) return;
  blas::trsm('R', 'U', 'N', 'U', f.F - r0, kb, T(1), f.at(k0, k0), f.F, f.at(r0, k0), f.F);
  for (int k = k0; k < r0; ++k) {
    const T inverse = T(1) / f(k, k);
    for (int i = r0; i < f.F; ++i) f(k, i) = K::mirror(f(i, k)) * inverse;
  }
}

// A22 −= W21 · L^T12 on the lower triangle, in column blocks of nb, each
// block from its diagonal down.
template <class T>
void ldl_update_matrix(Front<T> f, int npiv, int nb) {
  for (int c0 = npiv; c0 < f.F; c0 += nb) {
    const int cb = std::min(nb, f.F - c0);
    blas::gemm('N', 'N', f.F - c0, cb, npiv, T(-1), f.at(c0, 0), f.F, f.at(0, c0), f.F, T(1), f.at(c0, c0), f.F);
  }
}

// Up to nb pivots column by column over all rows of the front. More go by
// blocks of nb: the block's columns take the earlier blocks' contribution with
// one GEMM, its pivots are eliminated within the block, and the rows below it
// are solved with TRSM. A flag of 1 from the caller stops after the first
// block, and in either case before the update matrix.
template <class K>
void factor_ldl(int npiv, Front<typename K::scalar> f, int& flag) {
  constexpr int nb = plain_block_size<K>;
  if (npiv <= nb) {
    if (!ldl_pivots<K>(f, 0, npiv, f.F)) {
      flag = 1;
      return;
    }
  } else {
    for (int k0 = 0; k0 < npiv; k0 += nb) {
      const int kb = std::min(nb, npiv - k0);
      ldl_update_block_columns(f, k0, kb);
      if (!ldl_pivots<K>(f, k0, k0 + kb, k0 + kb)) {
        flag = 1;
        return;
      }
      if (flag == 1) return;
      ldl_rows_below_block<K>(f, k0, kb);
    }
  }
  if (flag == 1 || npiv == 0) return;
  ldl_update_matrix(f, npiv, nb);
}

// The principal square root. A pivot on the negative real axis whose zero
// imaginary part carries a minus sign still gets the root i·√|d|.
template <class T>
T principal_sqrt(T d) {
  if (d.imag() == 0) d.imag(0);
  return std::sqrt(d);
}

// Pivot k against the earlier columns first .. k−1 of the range and the rows
// k+1 .. row_end−1: l = √(A(k,k) − L(k,·)·L(k,·)^T), then the column below
// becomes L(·,k). False on an exactly zero pivot, before anything is stored.
template <class T>
bool cholesky_pivot(Front<T> f, int k, int first, int row_end) {
  const int width = k - first;
  const T d = f(k, k) - blas::dotu(width, f.at(k, first), f.F, f.at(k, first), f.F);
  if (d == T(0)) return false;
  const T l = principal_sqrt(d);
  f(k, k) = l;
  const int below = row_end - k - 1;
  if (below <= 0) return true;
  if (width > 0)
    blas::gemv('N', below, width, T(-1), f.at(k + 1, first), f.F, f.at(k, first), f.F, T(1), f.at(k + 1, k), 1);
  blas::scal(below, T(1) / l, f.at(k + 1, k), 1);
  return true;
}

template <class T>
bool cholesky_pivots(Front<T> f, int first, int end, int row_end) {
  for (int k = first; k < end; ++k)
    if (!cholesky_pivot(f, k, first, row_end)) return false;
  return true;
}

// The block's lower diagonal part minus L(block, 0..k0−1)·L(block, 0..k0−1)^T.
template <class T>
void cholesky_update_diagonal_block(Front<T> f, int k0, int kb) {
  if (k0 == 0) return;
  blas::syrk('L', 'N', kb, k0, T(-1), f.at(k0, 0), f.F, T(1), f.at(k0, k0), f.F);
}

// Rows below the block k0 .. k0+kb−1: updated from the earlier columns, then
// solved against the block's L^T, which makes them the block's part of L21.
template <class T>
void cholesky_rows_below_block(Front<T> f, int k0, int kb) {
  const int r0 = k0 + kb;
  if (r0 >= f.F) return;
  const int rows = f.F - r0;
  if (k0 > 0)
    blas::gemm('N', 'T', rows, kb, k0, T(-1), f.at(r0, 0), f.F, f.at(k0, 0), f.F, T(1), f.at(r0, k0), f.F);
  blas::trsm('R', 'L', 'T', 'N', rows, kb, T(1), f.at(k0, k0), f.F, f.at(r0, k0), f.F);
}

// The same structure as factor_ldl, with SYRK for the diagonal blocks and the
// update matrix.
template <class K>
void factor_cholesky(int npiv, Front<typename K::scalar> f, int& flag) {
  using T = typename K::scalar;
  constexpr int nb = plain_block_size<K>;
  if (npiv <= nb) {
    if (!cholesky_pivots(f, 0, npiv, f.F)) {
      flag = 1;
      return;
    }
  } else {
    for (int k0 = 0; k0 < npiv; k0 += nb) {
      const int kb = std::min(nb, npiv - k0);
      cholesky_update_diagonal_block(f, k0, kb);
      if (!cholesky_pivots(f, k0, k0 + kb, k0 + kb)) {
        flag = 1;
        return;
      }
      if (flag == 1) return;
      cholesky_rows_below_block(f, k0, kb);
    }
  }
  if (flag == 1 || npiv == 0 || npiv == f.F) return;
  blas::syrk('L', 'N', f.F - npiv, npiv, T(-1), f.at(npiv, 0), f.F, T(1), f.at(npiv, npiv), f.F);
}

// Pivot k of the block ending at column end: row k up to the end of the
// block is divided by the pivot, and the rows k+1 .. end−1 of the block's
// columns right of k get the rank-1 update. False on an exactly zero pivot;
// a NaN pivot goes on.
template <class T>
bool lu_pivot(Front<T> f, int k, int end) {
  if (f(k, k) == T(0)) return false;
  const int right = end - k - 1;
  if (right == 0) return true;
  blas::scal(right, T(1) / f(k, k), f.at(k, k + 1), f.F);
  blas::geru(right, right, T(-1), f.at(k + 1, k), 1, f.at(k, k + 1), f.F, f.at(k + 1, k + 1), f.F);
  return true;
}

template <class T>
bool lu_pivots(Front<T> f, int first, int end) {
  for (int k = first; k < end; ++k)
    if (!lu_pivot(f, k, end)) return false;
  return true;
}

// The block's rows right of the block become the unit upper factor with one
// solve against the block's lower triangle (pivots on its diagonal), the rows
// below it the lower factor with one solve against its unit upper triangle,
// and their product leaves the trailing square.
template <class T>
void lu_around_block(Front<T> f, int j0, int jb) {
  const int r0 = j0 + jb;
  if (r0 >= f.F) return;
  const int rest = f.F - r0;
  blas::trsm('L', 'L', 'N', 'N', jb, rest, T(1), f.at(j0, j0), f.F, f.at(j0, r0), f.F);
  blas::trsm('R', 'U', 'N', 'U', rest, jb, T(1), f.at(j0, j0), f.F, f.at(r0, j0), f.F);
  blas::gemm('N', 'N', rest, rest, jb, T(-1), f.at(r0, j0), f.F, f.at(j0, r0), f.F, T(1), f.at(r0, r0), f.F);
}

// The pivots go in blocks of nb even when they all fit in one, each block
// eliminated within its own columns, then its row block, column block and
// the trailing square by level-3 calls: the rank-1 updates stay inside the
// block, which for fronts with few pivots and many rows is several times
// faster than updating the whole row per pivot.
template <class K>
void factor_lu(int npiv, Front<typename K::scalar> f, int& flag) {
  constexpr int nb = plain_block_size<K>;
  flag = 0;
  for (int j0 = 0; j0 < npiv; j0 += nb) {
    const int jb = std::min(nb, npiv - j0);
    if (!lu_pivots(f, j0, j0 + jb)) {
      flag = 1;
      return;
    }
    lu_around_block(f, j0, jb);
  }
}

}  // namespace

template <class K>
void FactorFrontPlain(int npiv, int F, typename K::scalar* front, int& flag) {
  const Front<typename K::scalar> f{front, F};
  if constexpr (K::symmetry == Symmetry::unsymmetric) factor_lu<K>(npiv, f, flag);
  else if constexpr (K::symmetry == Symmetry::symmetric && K::is_complex) factor_cholesky<K>(npiv, f, flag);
  else factor_ldl<K>(npiv, f, flag);
}

#define TSR_PLAIN_INSTANTIATE(K) template void FactorFrontPlain<K>(int, int, K::scalar*, int&);
TSR_PLAIN_INSTANTIATE(RealSymmetric)
TSR_PLAIN_INSTANTIATE(RealUnsymmetric)
TSR_PLAIN_INSTANTIATE(ComplexSymmetric)
TSR_PLAIN_INSTANTIATE(ComplexUnsymmetric)
TSR_PLAIN_INSTANTIATE(ComplexHermitian)
TSR_PLAIN_INSTANTIATE(SingleFronts<RealSymmetric>)
TSR_PLAIN_INSTANTIATE(SingleFronts<RealUnsymmetric>)
TSR_PLAIN_INSTANTIATE(SingleFronts<ComplexSymmetric>)
TSR_PLAIN_INSTANTIATE(SingleFronts<ComplexUnsymmetric>)
TSR_PLAIN_INSTANTIATE(SingleFronts<ComplexHermitian>)
#undef TSR_PLAIN_INSTANTIATE
