#include "kernels/front_pivot.h"

#include <algorithm>
#include <cstddef>

#include "kernels/illegal_argument.h"
#include "kernels/perturbed_factorizations.h"
#include "platform/blas.h"

namespace {

// Columns of the update matrix per block in FactorFrontPivot: the diagonal
// part of each block is updated column by column, the rows below it by one
// matrix product.
constexpr int update_block_columns = 144;

template <class K>
constexpr bool is_unsymmetric = K::symmetry == Symmetry::unsymmetric;

// Element (i, j), 0-based, of a column-major array with leading dimension ld.
template <class T>
T* entry(T* a, int ld, int i, int j) {
  return a + i + static_cast<std::ptrdiff_t>(j) * ld;
}

void require(bool valid, const char* kernel, int parameter) {
  if (!valid) report_illegal_argument(kernel, parameter);
}

// The panel first .. first+width−1 of a front of order F; parameters 1 to 3.
void require_panel(const char* kernel, int first, int width, int F) {
  require(first >= 0, kernel, 1);
  require(width >= 0, kernel, 2);
  require(F >= first + width, kernel, 3);
}

// The range begin .. begin+count−1 lies after the panel and inside the
// front; parameters number and number + 1.
void require_range(const char* kernel, int begin, int count, int panel_end, int F, int number) {
  require(begin >= panel_end, kernel, number);
  require(count >= 0 && begin + count <= F, kernel, number + 1);
}

template <class K>
const char* symmetric_factorization_name() {
  if constexpr (K::symmetry == Symmetry::hermitian) return "ZHETRF";
  else if constexpr (K::is_complex) return "ZSYTRF";
  else return "DSYTRF";
}

template <class K, class T = typename K::scalar>
void perturbed_factorization(int n, T* a, int lda, int* ipiv, T* work, int lwork, int& info,
                             int& npert, const double& f) {
  if constexpr (is_unsymmetric<K>) {
    if constexpr (K::is_complex) TSZGETRF(n, n, a, lda, ipiv, info, npert, f);
    else TSDGETRF(n, n, a, lda, ipiv, info, npert, f);
  } else if constexpr (K::symmetry == Symmetry::hermitian) {
    TSZHETRF('L', n, a, lda, ipiv, work, lwork, info, npert, f);
  } else if constexpr (K::is_complex) {
    TSZSYTRF('L', n, a, lda, ipiv, work, lwork, info, npert, f);
  } else {
    TSDSYTRF('L', n, a, lda, ipiv, work, lwork, info, npert, f);
  }
}

template <class K, class T = typename K::scalar>
void library_factorization(int n, T* a, int lda, int* ipiv, T* work, int lwork, int& info) {
  if constexpr (is_unsymmetric<K>) blas::getrf(n, n, a, lda, ipiv, &info);
  else if constexpr (K::symmetry == Symmetry::hermitian) blas::hetrf('L', n, a, lda, ipiv, work, lwork, &info);
  else blas::sytrf('L', n, a, lda, ipiv, work, lwork, &info);
}

// The pivot-block factorization chosen by the mode word (see the header).
template <class K, class T = typename K::scalar>
void factor_block(int n, T* a, int lda, int* ipiv, T* work, int lwork, int& info, int& mode,
                  const double& f) {
  if (mode == 1) {
    perturbed_factorization<K>(n, a, lda, ipiv, work, lwork, info, mode, f);
  } else {
    library_factorization<K>(n, a, lda, ipiv, work, lwork, info);
    mode = 0;
  }
}

// Calls visit(row, partner) for each symmetric interchange of the panel, in
// pivot order: row is the interchanged row (k for a 1×1 pivot at k, k+1 for
// a 2×2 one), partner the row it was exchanged with, both 0-based; the
// columns before k (before row for a 1×1 pivot) hold the earlier pivots.
template <class Visit>
void for_each_interchange(int first, int width, const int* ipiv, Visit visit) {
  for (int k = first; k < first + width;) {
    const bool pair = ipiv[k] < 0;
    const int row = pair ? k + 1 : k;
    const int partner = (pair ? -ipiv[k] : ipiv[k]) - 1;
    if (partner != row) visit(k, row, partner);
    k += pair ? 2 : 1;
  }
}

// Calls visit(k) for each 2×2 pivot at k, k+1 of the panel.
template <class Visit>
void for_each_pair(int first, int width, const int* ipiv, Visit visit) {
  for (int k = first; k < first + width; k += ipiv[k] < 0 ? 2 : 1)
    if (ipiv[k] < 0) visit(k);
}

// The panel's factorization numbers its pivots from the panel's first
// column; the record counts from the front's first column.
void shift_pivot_record(int first, int width, int* ipiv) {
  for (int k = first; k < first + width; ++k) ipiv[k] += ipiv[k] > 0 ? first : -first;
}

// Symmetric kinds: the panel's interchanges applied to the rows of the
// columns before each pivot, earlier panels' included, which makes L
// explicit. (Earlier panels' copies of (L21·D)^T in the panel's columns lie
// in the strict upper part of A11, which nothing reads any more.)
template <class T>
void apply_symmetric_interchanges(int first, int width, int F, T* a, const int* ipiv) {
  for_each_interchange(first, width, ipiv, [&](int k, int row, int partner) {
    blas::swap(k, entry(a, F, row, 0), F, entry(a, F, partner, 0), F);
  });
}

// Unsymmetric kinds: the panel's row interchanges applied to the columns of
// the earlier panels.
template <class T>
void apply_row_interchanges_left(int first, int width, int F, T* a, const int* ipiv) {
  if (first > 0) blas::laswp(first, a, F, first + 1, first + width, ipiv, 1);
}

// Factors the panel's diagonal block, brings the pivot record into front
// numbering and applies the interchanges to the earlier columns.
template <class K, class T = typename K::scalar>
void factor_panel_block(int first, int width, int F, T* a, int* ipiv, T* work, int lwork, int& info,
                        int& mode, const double& f) {
  factor_block<K>(width, entry(a, F, first, first), F, ipiv + first, work, lwork, info, mode, f);
  shift_pivot_record(first, width, ipiv);
  if (info > 0) info += first;
  if (info != 0) return;
  if constexpr (is_unsymmetric<K>) apply_row_interchanges_left(first, width, F, a, ipiv);
  else apply_symmetric_interchanges(first, width, F, a, ipiv);
}

// The panel's symmetric interchanges applied to the columns of rows r0 .. r0+nr−1.
template <class T>
void interchange_row_tile(int first, int width, int F, T* a, const int* ipiv, int r0, int nr) {
  for_each_interchange(first, width, ipiv, [&](int, int row, int partner) {
    blas::swap(nr, entry(a, F, r0, row), 1, entry(a, F, r0, partner), 1);
  });
}

// Rows r0 .. r0+nr−1 of the panel's columns := themselves · L11^{-T}
// (L11^{-H} for the Hermitian kind), which turns L21·D·L11^T into L21·D.
template <class K, class T = typename K::scalar>
void solve_with_unit_lower(int first, int width, int F, T* a, int r0, int nr) {
  const char trans = K::symmetry == Symmetry::hermitian ? 'C' : 'T';
  blas::trsm('R', 'L', trans, 'U', nr, width, T(1), entry(a, F, first, first), F, entry(a, F, r0, first), F);
}

// Copies rows r0 .. r0+nr−1 of the panel's columns into the panel's rows of
// columns r0 .. r0+nr−1, conjugated for the Hermitian kind.
template <class K, class T = typename K::scalar>
void copy_to_upper(int first, int width, int F, T* a, int r0, int nr) {
  for (int j = first; j < first + width; ++j) {
    blas::copy(nr, entry(a, F, r0, j), 1, entry(a, F, j, r0), F);
    if constexpr (K::symmetry == Symmetry::hermitian) blas::lacgv(nr, entry(a, F, j, r0), F);
  }
}

// Each row (x, y) of the columns of a 2×2 pivot := (x, y) · D⁻¹ with
// D = [d11 mirror(e); e d22]. Dividing through by e first keeps the
// determinant from overflowing or underflowing.
template <class K, class T = typename K::scalar>
void scale_pair(T d11, T e, T d22, int nr, T* x, T* y) {
  const T a = d11 / K::mirror(e);
  const T b = d22 / e;
  const T denominator = a * b - T(1);
  const T s = T(1) / (denominator * K::mirror(e));
  const T t = T(1) / (denominator * e);
  for (int i = 0; i < nr; ++i) {
    const T xi = x[i];
    x[i] = s * (b * xi - y[i]);
    y[i] = t * (a * y[i] - xi);
  }
}

enum class Coupling { below, above };

// Rows r0 .. r0+nr−1 of the panel's columns := themselves · D⁻¹; the
// coupling entry of a 2×2 pivot at k is read at (k+1, k) or (k, k+1).
template <class K, class T = typename K::scalar>
void scale_by_inverse_d(int first, int width, int F, T* a, const int* ipiv, int r0, int nr,
                        Coupling coupling) {
  for (int k = first; k < first + width;) {
    if (ipiv[k] > 0) {
      blas::scal(nr, T(1) / *entry(a, F, k, k), entry(a, F, r0, k), 1);
      ++k;
      continue;
    }
    const T e = coupling == Coupling::below ? *entry(a, F, k + 1, k) : *entry(a, F, k, k + 1);
    scale_pair<K>(*entry(a, F, k, k), e, *entry(a, F, k + 1, k + 1), nr, entry(a, F, r0, k),
                  entry(a, F, r0, k + 1));
    k += 2;
  }
}

// A(r, c) −= A(r, panel) · A(panel, c) for r ≥ c in the tile: the rows of
// the tile that meet the diagonal column by column, the rows below the
// tile's last column in one product.
template <class T>
void update_lower_tile(int first, int width, int F, T* a, int r0, int nr, int c0, int nc) {
  const int row_end = r0 + nr;
  const int column_end = c0 + nc;
  const int band_end = std::min(row_end, column_end);
  for (int c = c0; c < column_end; ++c) {
    const int top = std::max(r0, c);
    if (top < band_end)
      blas::gemv('N', band_end - top, width, T(-1), entry(a, F, top, first), F, entry(a, F, first, c), 1,
                 T(1), entry(a, F, top, c), 1);
  }
  const int below = std::max(r0, column_end);
  if (below < row_end && nc > 0)
    blas::gemm('N', 'N', row_end - below, nc, width, T(-1), entry(a, F, below, first), F,
               entry(a, F, first, c0), F, T(1), entry(a, F, below, c0), F);
}

template <class T>
void update_full_tile(int first, int width, int F, T* a, int r0, int nr, int c0, int nc) {
  blas::gemm('N', 'N', nr, nc, width, T(-1), entry(a, F, r0, first), F, entry(a, F, first, c0), F, T(1),
             entry(a, F, r0, c0), F);
}

template <class T>
void move_couplings(int first, int width, int F, T* a, const int* ipiv, Coupling to) {
  for_each_pair(first, width, ipiv, [&](int k) {
    T* below = entry(a, F, k + 1, k);
    T* above = entry(a, F, k, k + 1);
    T* source = to == Coupling::above ? below : above;
    *(to == Coupling::above ? above : below) = *source;
    *source = T(0);
  });
}

// Takes the coupling entries of the 2×2 pivots out of L11 into work (in
// pivot order), leaving zeros, or puts them back.
template <class T>
void save_couplings(int npiv, int F, T* a, const int* ipiv, T* work) {
  int saved = 0;
  for_each_pair(0, npiv, ipiv, [&](int k) {
    work[saved++] = *entry(a, F, k + 1, k);
    *entry(a, F, k + 1, k) = T(0);
  });
}

template <class T>
void restore_couplings(int npiv, int F, T* a, const int* ipiv, const T* work) {
  int saved = 0;
  for_each_pair(0, npiv, ipiv, [&](int k) { *entry(a, F, k + 1, k) = work[saved++]; });
}

// The steps of FactorFrontPivot after the pivot block, symmetric kinds.
template <class K, class T = typename K::scalar>
void eliminate_symmetric(int npiv, int F, T* a, const int* ipiv, T* work) {
  const int rows = F - npiv;
  interchange_row_tile(0, npiv, F, a, ipiv, npiv, rows);
  save_couplings(npiv, F, a, ipiv, work);
  solve_with_unit_lower<K>(0, npiv, F, a, npiv, rows);
  restore_couplings(npiv, F, a, ipiv, work);
  copy_to_upper<K>(0, npiv, F, a, npiv, rows);
  scale_by_inverse_d<K>(0, npiv, F, a, ipiv, npiv, rows, Coupling::below);
  for (int j = npiv; j < F; j += update_block_columns)
    update_lower_tile(0, npiv, F, a, j, F - j, j, std::min(update_block_columns, F - j));
}

}  // namespace

template <class K>
int front_pivot_work_size(int npiv) {
  if constexpr (is_unsymmetric<K>) {
    return 0;
  } else {
    // One column more than the blocked factorization uses: the linked
    // library's complex matrix-vector product reads one element past the end
    // of its vector, and the perturbed factorization passes it rows of its
    // n × nb work array, up to the last column.
    const int nb = blas::ilaenv(1, symmetric_factorization_name<K>(), "L", npiv, -1, -1, -1);
    return std::max({1, npiv / 2, (nb + 1) * npiv});
  }
}

template <class K>
void FactorFrontPivot(int npiv, int F, typename K::scalar* front, int* ipiv, typename K::scalar* work,
                      int lwork, int& info, int& mode, const double& f) {
  constexpr const char* name = "FactorFrontPivot";
  require(npiv >= 0, name, 1);
  require(F >= npiv, name, 2);
  if constexpr (!is_unsymmetric<K>) require(lwork >= std::max(1, npiv / 2), name, 6);
  info = 0;
  if (npiv == 0) {
    mode = 0;
    return;
  }
  factor_panel_block<K>(0, npiv, F, front, ipiv, work, lwork, info, mode, f);
  if (info != 0) return;
  if constexpr (is_unsymmetric<K>) {
    solve_pivot_columns<K>(0, npiv, F, front, ipiv, npiv, F - npiv);
    solve_pivot_rows<K>(0, npiv, F, front, ipiv, npiv, F - npiv);
    update_full_tile(0, npiv, F, front, npiv, F - npiv, npiv, F - npiv);
  } else {
    eliminate_symmetric<K>(npiv, F, front, ipiv, work);
  }
}

template <class K>
void factor_pivot_panel(int first, int width, int F, typename K::scalar* front, int* ipiv,
                        typename K::scalar* work, int lwork, int& info, int& mode, const double& f) {
  constexpr const char* name = "factor_pivot_panel";
  require_panel(name, first, width, F);
  if constexpr (!is_unsymmetric<K>) require(lwork >= 1, name, 7);
  info = 0;
  if (width == 0) {
    mode = 0;
    return;
  }
  factor_panel_block<K>(first, width, F, front, ipiv, work, lwork, info, mode, f);
  if constexpr (!is_unsymmetric<K>)
    if (info == 0) move_couplings(first, width, F, front, ipiv, Coupling::above);
}

template <class K>
void solve_pivot_rows(int first, int width, int F, typename K::scalar* front, const int* ipiv,
                      int row_begin, int row_count) {
  constexpr const char* name = "solve_pivot_rows";
  require_panel(name, first, width, F);
  require_range(name, row_begin, row_count, first + width, F, 6);
  if (width == 0 || row_count == 0) return;
  if constexpr (is_unsymmetric<K>) {
    blas::trsm('R', 'U', 'N', 'N', row_count, width, typename K::scalar(1), entry(front, F, first, first), F,
               entry(front, F, row_begin, first), F);
  } else {
    interchange_row_tile(first, width, F, front, ipiv, row_begin, row_count);
    solve_with_unit_lower<K>(first, width, F, front, row_begin, row_count);
    copy_to_upper<K>(first, width, F, front, row_begin, row_count);
    scale_by_inverse_d<K>(first, width, F, front, ipiv, row_begin, row_count, Coupling::above);
  }
}

template <class K>
void solve_pivot_columns(int first, int width, int F, typename K::scalar* front, const int* ipiv,
                         int column_begin, int column_count) {
  static_assert(is_unsymmetric<K>, "column tiles exist for the unsymmetric kinds only");
  constexpr const char* name = "solve_pivot_columns";
  require_panel(name, first, width, F);
  require_range(name, column_begin, column_count, first + width, F, 6);
  if (width == 0 || column_count == 0) return;
  typename K::scalar* columns = entry(front, F, 0, column_begin);
  blas::laswp(column_count, columns, F, first + 1, first + width, ipiv, 1);
  blas::trsm('L', 'L', 'N', 'U', width, column_count, typename K::scalar(1), entry(front, F, first, first), F,
             entry(front, F, first, column_begin), F);
}

template <class K>
void update_pivot_tile(int first, int width, int F, typename K::scalar* front, int row_begin,
                       int row_count, int column_begin, int column_count) {
  constexpr const char* name = "update_pivot_tile";
  require_panel(name, first, width, F);
  require_range(name, row_begin, row_count, first + width, F, 5);
  require_range(name, column_begin, column_count, first + width, F, 7);
  if (width == 0 || row_count == 0 || column_count == 0) return;
  if constexpr (is_unsymmetric<K>)
    update_full_tile(first, width, F, front, row_begin, row_count, column_begin, column_count);
  else
    update_lower_tile(first, width, F, front, row_begin, row_count, column_begin, column_count);
}

template <class K>
void move_couplings_below(int first, int width, int F, typename K::scalar* front, const int* ipiv) {
  require_panel("move_couplings_below", first, width, F);
  move_couplings(first, width, F, front, ipiv, Coupling::below);
}

template <class K>
void move_couplings_above(int first, int width, int F, typename K::scalar* front, const int* ipiv) {
  require_panel("move_couplings_above", first, width, F);
  move_couplings(first, width, F, front, ipiv, Coupling::above);
}

#define TSR_FRONT_PIVOT_INSTANTIATE(K)                                                                  \
  template int front_pivot_work_size<K>(int);                                                          \
  template void FactorFrontPivot<K>(int, int, K::scalar*, int*, K::scalar*, int, int&, int&,           \
                                    const double&);                                                    \
  template void factor_pivot_panel<K>(int, int, int, K::scalar*, int*, K::scalar*, int, int&, int&,   \
                                      const double&);                                                  \
  template void solve_pivot_rows<K>(int, int, int, K::scalar*, const int*, int, int);                  \
  template void update_pivot_tile<K>(int, int, int, K::scalar*, int, int, int, int);

#define TSR_FRONT_PIVOT_INSTANTIATE_SYMMETRIC(K)                                                        \
  TSR_FRONT_PIVOT_INSTANTIATE(K)                                                                       \
  template void move_couplings_below<K>(int, int, int, K::scalar*, const int*);                        \
  template void move_couplings_above<K>(int, int, int, K::scalar*, const int*);

#define TSR_FRONT_PIVOT_INSTANTIATE_UNSYMMETRIC(K)                                                      \
  TSR_FRONT_PIVOT_INSTANTIATE(K)                                                                       \
  template void solve_pivot_columns<K>(int, int, int, K::scalar*, const int*, int, int);

TSR_FRONT_PIVOT_INSTANTIATE_SYMMETRIC(RealSymmetric)
TSR_FRONT_PIVOT_INSTANTIATE_SYMMETRIC(ComplexSymmetric)
TSR_FRONT_PIVOT_INSTANTIATE_SYMMETRIC(ComplexHermitian)
TSR_FRONT_PIVOT_INSTANTIATE_UNSYMMETRIC(RealUnsymmetric)
TSR_FRONT_PIVOT_INSTANTIATE_UNSYMMETRIC(ComplexUnsymmetric)
