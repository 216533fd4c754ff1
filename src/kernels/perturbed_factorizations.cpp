// Blocked LDL^T (Bunch–Kaufman) and LU factorizations that never stop on a
// small pivot: a pivot whose candidates all lie below tau = f * eps is
// replaced by +-tau and counted. The block structure is that of the library
// routines of the same stems, so that all O(n^3) work goes through gemm:
// panels of nb columns are factored against a work array W = L·D holding the
// panel's updated columns, and the trailing matrix is updated once per panel.
//
// Storage of the symmetric result is the library's: column k of L holds the
// multipliers of pivot k with only the interchanges of later pivots applied
// to the rows below it, D sits on the diagonal (and the subdiagonal of each
// 2×2 block), and ipiv records the interchanges (1-based; negative pairs for
// 2×2 pivots).
#include "kernels/perturbed_factorizations.h"

#include <algorithm>
#include <cmath>

#include "kernels/illegal_argument.h"
#include "platform/blas.h"
#include "platform/kind_traits.h"

namespace {

// Growth bound of Bunch–Kaufman pivoting, (1 + sqrt(17)) / 8.
constexpr double kAlpha = 0.6403882032022076;

template <class T>
double cabs1(const T& x) {
  if constexpr (blas::is_complex_v<T>) return std::abs(x.real()) + std::abs(x.imag());
  else return std::abs(x);
}

template <class T>
double real_part(const T& x) {
  if constexpr (blas::is_complex_v<T>) return x.real();
  else return x;
}

template <class T>
T conj_if(const T& x, bool conjugate) {
  if constexpr (blas::is_complex_v<T>) return conjugate ? std::conj(x) : x;
  else return x;
}

// The symmetric factorizations differ only in conjugation and in how the
// diagonal is measured: Hermitian pivots are real and measured by |Re|.
template <class T, bool Hermitian>
struct SymmetricRules {
  static double diagonal_magnitude(const T& x) {
    if constexpr (Hermitian) return std::abs(real_part(x));
    else return cabs1(x);
  }
  static T mirror(const T& x) { return conj_if(x, Hermitian); }
  static void make_real(T& x) {
    if constexpr (Hermitian) x = T(real_part(x));
  }
  static T perturbed(const T& pivot, double tau) { return T(real_part(pivot) < 0 ? -tau : tau); }
  // Entry (i, j) of the trailing update L_i · D · L_j^(T or H) uses W(i) and
  // the mirrored L(j), so the second operand is conjugated when Hermitian.
  static constexpr char update_trans = Hermitian ? 'C' : 'T';
};

// Column-major view with 0-based indices.
template <class T>
struct Matrix {
  T* data;
  int ld;
  T& operator()(int i, int j) const { return data[i + static_cast<std::ptrdiff_t>(j) * ld]; }
  T* at(int i, int j) const { return &(*this)(i, j); }
};

// Multipliers of a 2×2 pivot: given row (x, y) of L·D and the block
// [[d11, conj(b)], [b, d22]] (b unconjugated when symmetric), returns row
// (x, y)·D^-1. Scaled by b as the library does, so that no product of two
// block entries can overflow.
template <class T, bool Hermitian>
struct TwoByTwoInverse {
  T s;          // scaled reciprocal of the determinant, divided by b
  T e11, e22;   // d22 / b and d11 / b (or / |b| when Hermitian)
  T u;          // b / |b| when Hermitian, 1 otherwise

  TwoByTwoInverse(const T& d11, const T& b, const T& d22) {
    if constexpr (Hermitian) {
      const double beta = std::abs(b);
      const double r22 = real_part(d22) / beta, r11 = real_part(d11) / beta;
      const double t = 1.0 / (r22 * r11 - 1.0);
      e11 = T(r22);
      e22 = T(r11);
      u = b / beta;
      s = T(t / beta);
    } else {
      e11 = d22 / b;
      e22 = d11 / b;
      const T t = T(1) / (e11 * e22 - T(1));
      s = t / b;
      u = T(1);
    }
  }
  T first(const T& x, const T& y) const { return s * (e11 * x - u * y); }
  T second(const T& x, const T& y) const { return s * (e22 * y - conj_if(u, true) * x); }
};

// Outcome of the pivot search for column k.
struct PivotChoice {
  int kp;     // row/column interchanged with the last column of the pivot block
  int kstep;  // 1 or 2
};

// The Bunch–Kaufman choice for column k of an order-m matrix. diag is the
// updated diagonal entry (perturbed here when every candidate is below tau),
// column(i) the updated entries below it, and rowmax_and_diagonal(imax)
// yields the largest off-diagonal magnitude in row/column imax and the
// magnitude of its diagonal entry.
template <class T, class Rules, class RowMax>
PivotChoice choose_pivot(int k, int m, T& diag, const T* below, double tau, int& npert,
                         RowMax rowmax_and_diagonal) {
  double absakk = Rules::diagonal_magnitude(diag);
  int imax = k;
  double colmax = 0.0;
  if (k < m - 1) {
    imax = k + blas::iamax(m - k - 1, below, 1);
    colmax = cabs1(below[imax - k - 1]);
  }
  if (std::max(absakk, colmax) < tau) {
    diag = Rules::perturbed(diag, tau);
    ++npert;
    return {k, 1};
  }
  if (absakk >= kAlpha * colmax) return {k, 1};
  const auto [rowmax, diagonal_imax] = rowmax_and_diagonal(imax);
  if (absakk >= kAlpha * colmax * (colmax / rowmax)) return {k, 1};
  if (diagonal_imax >= kAlpha * rowmax) return {imax, 1};
  return {imax, 2};
}

// Records pivot k (local, 0-based) in the library's 1-based convention.
inline void record_pivot(int* ipiv, int k, const PivotChoice& c) {
  if (c.kstep == 1) {
    ipiv[k] = c.kp + 1;
  } else {
    ipiv[k] = -(c.kp + 1);
    ipiv[k + 1] = -(c.kp + 1);
  }
}

// Symmetric interchange of rows/columns kk and kp (kk < kp) of the trailing
// matrix a(k:m, k:m), lower triangle only; for a 2×2 pivot at k the entry
// a(k+1, k) of the block's first column moves with it.
template <class T, bool Hermitian>
void interchange_trailing(int m, Matrix<T> a, int k, int kk, int kp, int kstep) {
  using R = SymmetricRules<T, Hermitian>;
  if (kp < m - 1) blas::swap(m - kp - 1, a.at(kp + 1, kk), 1, a.at(kp + 1, kp), 1);
  for (int j = kk + 1; j < kp; ++j) {
    const T t = R::mirror(a(j, kk));
    a(j, kk) = R::mirror(a(kp, j));
    a(kp, j) = t;
  }
  a(kp, kk) = R::mirror(a(kp, kk));
  std::swap(a(kk, kk), a(kp, kp));
  if (kstep == 2) std::swap(a(k + 1, k), a(kp, k));
}

// 1×1 pivot at k: rank-1 update of the trailing lower triangle with column k,
// then column k is divided by the pivot.
template <class T, bool Hermitian>
void eliminate_one(int m, Matrix<T> a, int k) {
  using R = SymmetricRules<T, Hermitian>;
  if (k == m - 1) return;
  const T r = Hermitian ? T(1.0 / real_part(a(k, k))) : T(1) / a(k, k);
  for (int j = k + 1; j < m; ++j) {
    blas::axpy(m - j, -r * R::mirror(a(j, k)), a.at(j, k), 1, a.at(j, j), 1);
    R::make_real(a(j, j));
  }
  blas::scal(m - k - 1, r, a.at(k + 1, k), 1);
}

// 2×2 pivot at k, k+1: rank-2 update of the trailing lower triangle, then
// the two columns become multipliers.
template <class T, bool Hermitian>
void eliminate_two(int m, Matrix<T> a, int k) {
  using R = SymmetricRules<T, Hermitian>;
  if (k >= m - 2) return;
  const TwoByTwoInverse<T, Hermitian> inv(a(k, k), a(k + 1, k), a(k + 1, k + 1));
  for (int j = k + 2; j < m; ++j) {
    const T lk = inv.first(a(j, k), a(j, k + 1));
    const T lk1 = inv.second(a(j, k), a(j, k + 1));
    blas::axpy(m - j, -R::mirror(lk), a.at(j, k), 1, a.at(j, j), 1);
    blas::axpy(m - j, -R::mirror(lk1), a.at(j, k + 1), 1, a.at(j, j), 1);
    a(j, k) = lk;
    a(j, k + 1) = lk1;
    R::make_real(a(j, j));
  }
}

// Unblocked factorization of the trailing order-m matrix a: every step
// updates the whole trailing matrix at once (rank-1 or rank-2).
template <class T, bool Hermitian>
void factor_unblocked(int m, Matrix<T> a, int* ipiv, double tau, int& npert) {
  using R = SymmetricRules<T, Hermitian>;
  for (int k = 0; k < m;) {
    R::make_real(a(k, k));
    const auto rowmax = [&](int imax) {
      double rmax = cabs1(a(imax, k - 1 + blas::iamax(imax - k, a.at(imax, k), a.ld)));
      if (imax < m - 1) rmax = std::max(rmax, cabs1(a(imax + blas::iamax(m - imax - 1, a.at(imax + 1, imax), 1), imax)));
      return std::pair{rmax, R::diagonal_magnitude(a(imax, imax))};
    };
    const PivotChoice c = choose_pivot<T, R>(k, m, a(k, k), k < m - 1 ? a.at(k + 1, k) : nullptr, tau, npert, rowmax);
    const int kk = k + c.kstep - 1;
    if (c.kp != kk) interchange_trailing<T, Hermitian>(m, a, k, kk, c.kp, c.kstep);
    if (c.kstep == 1) eliminate_one<T, Hermitian>(m, a, k);
    else eliminate_two<T, Hermitian>(m, a, k);
    record_pivot(ipiv, k, c);
    k += c.kstep;
  }
}

// w(k:m, col) -= a(k:m, 0:k) · w(row, 0:k)^(T or H): brings a column of the
// panel up to date with the panel's earlier pivots.
template <class T, bool Hermitian>
void update_panel_column(int m, int k, Matrix<T> a, Matrix<T> w, int row, int col) {
  if (k == 0) return;
  if constexpr (Hermitian) blas::lacgv(k, w.at(row, 0), w.ld);
  blas::gemv('N', m - k, k, T(-1), a.at(k, 0), a.ld, w.at(row, 0), w.ld, T(1), w.at(k, col), 1);
  if constexpr (Hermitian) blas::lacgv(k, w.at(row, 0), w.ld);
}

// Loads the updated column imax (rows k..m-1, entries above imax mirrored
// from its row) into w(:, k+1); returns its largest off-diagonal magnitude
// and the magnitude of its diagonal entry.
template <class T, bool Hermitian>
std::pair<double, double> load_candidate_column(int m, int k, int imax, Matrix<T> a, Matrix<T> w) {
  using R = SymmetricRules<T, Hermitian>;
  for (int i = k; i < imax; ++i) w(i, k + 1) = R::mirror(a(imax, i));
  blas::copy(m - imax, a.at(imax, imax), 1, w.at(imax, k + 1), 1);
  update_panel_column<T, Hermitian>(m, k, a, w, imax, k + 1);
  R::make_real(w(imax, k + 1));
  double rowmax = cabs1(w(k - 1 + blas::iamax(imax - k, w.at(k, k + 1), 1), k + 1));
  if (imax < m - 1) rowmax = std::max(rowmax, cabs1(w(imax + blas::iamax(m - imax - 1, w.at(imax + 1, k + 1), 1), k + 1)));
  return {rowmax, R::diagonal_magnitude(w(imax, k + 1))};
}

// Moves the not yet updated column kk of a to position kp (kk < kp) and
// swaps rows kk and kp in the panel's factored columns of a and in w.
template <class T, bool Hermitian>
void interchange_panel(int m, int k, int kk, int kp, Matrix<T> a, Matrix<T> w) {
  using R = SymmetricRules<T, Hermitian>;
  a(kp, kp) = a(kk, kk);
  for (int i = kk + 1; i < kp; ++i) a(kp, i) = R::mirror(a(i, kk));
  if (kp < m - 1) blas::copy(m - kp - 1, a.at(kp + 1, kk), 1, a.at(kp + 1, kp), 1);
  if (k > 0) blas::swap(k, a.at(kk, 0), a.ld, a.at(kp, 0), a.ld);
  blas::swap(kk + 1, w.at(kk, 0), w.ld, w.at(kp, 0), w.ld);
}

// Writes the multipliers of the pivot block at k from its updated columns in w.
template <class T, bool Hermitian>
void store_panel_pivot(int m, int k, int kstep, Matrix<T> a, Matrix<T> w) {
  if (kstep == 1) {
    blas::copy(m - k, w.at(k, k), 1, a.at(k, k), 1);
    if (k < m - 1) {
      const T r = Hermitian ? T(1.0 / real_part(a(k, k))) : T(1) / a(k, k);
      blas::scal(m - k - 1, r, a.at(k + 1, k), 1);
    }
    return;
  }
  const TwoByTwoInverse<T, Hermitian> inv(w(k, k), w(k + 1, k), w(k + 1, k + 1));
  for (int j = k + 2; j < m; ++j) {
    a(j, k) = inv.first(w(j, k), w(j, k + 1));
    a(j, k + 1) = inv.second(w(j, k), w(j, k + 1));
  }
  a(k, k) = w(k, k);
  a(k + 1, k) = w(k + 1, k);
  a(k + 1, k + 1) = w(k + 1, k + 1);
}

// column -= rows × kb block of a · (row of w)^(T or H). Complex types take a
// one-column gemm: the library's complex matrix-vector product (0.3.21) reads
// one element past a strided vector, which at the panel's last column of w
// would lie beyond the caller's work array.
template <class T, bool Hermitian>
void update_diagonal_block_column(int rows, int kb, const T* a_rows, int lda, const T* w_row, int ldw, T* column) {
  if constexpr (blas::is_complex_v<T>) {
    blas::gemm('N', SymmetricRules<T, Hermitian>::update_trans, rows, 1, kb, T(-1), a_rows, lda, w_row, ldw, T(1),
               column, lda);
  } else {
    blas::gemv('N', rows, kb, T(-1), a_rows, lda, w_row, ldw, T(1), column, 1);
  }
}

// Lower triangle of a(kb:m, kb:m) -= a(kb:m, 0:kb) · w(kb:m, 0:kb)^(T or H),
// in column blocks of nb: matrix-vector products on each block's diagonal
// part, one gemm below it.
template <class T, bool Hermitian>
void update_trailing(int m, int kb, int nb, Matrix<T> a, Matrix<T> w) {
  using R = SymmetricRules<T, Hermitian>;
  for (int j = kb; j < m; j += nb) {
    const int jb = std::min(nb, m - j);
    for (int jj = j; jj < j + jb; ++jj) {
      update_diagonal_block_column<T, Hermitian>(j + jb - jj, kb, a.at(jj, 0), a.ld, w.at(jj, 0), w.ld, a.at(jj, jj));
      R::make_real(a(jj, jj));
    }
    if (j + jb < m)
      blas::gemm('N', R::update_trans, m - j - jb, jb, kb, T(-1), a.at(j + jb, 0), a.ld, w.at(j, 0), w.ld, T(1),
                 a.at(j + jb, j), a.ld);
  }
}

// The panel applied each interchange to all its earlier columns, which the
// W-based updates need; afterwards those swaps are undone in the columns
// before each pivot, so the stored form is that of the unblocked routine.
template <class T>
void restore_unblocked_form(int kb, Matrix<T> a, const int* ipiv) {
  for (int j = kb - 1; j >= 0;) {
    const int jj = j;
    int jp = ipiv[j];
    if (jp < 0) {
      jp = -jp;
      --j;
    }
    --j;
    jp -= 1;
    if (jp != jj && j >= 0) blas::swap(j + 1, a.at(jp, 0), a.ld, a.at(jj, 0), a.ld);
  }
}

// Factors at most nb - 1 columns (nb when the last pivot is 2×2) of the
// trailing order-m matrix a against the work array w (m × nb), then updates
// the rest of the trailing matrix. Returns the number of columns factored.
template <class T, bool Hermitian>
int factor_panel(int m, int nb, Matrix<T> a, Matrix<T> w, int* ipiv, double tau, int& npert) {
  using R = SymmetricRules<T, Hermitian>;
  int k = 0;
  while (k < nb - 1 && k < m) {
    blas::copy(m - k, a.at(k, k), 1, w.at(k, k), 1);
    update_panel_column<T, Hermitian>(m, k, a, w, k, k);
    R::make_real(w(k, k));
    const auto rowmax = [&](int imax) { return load_candidate_column<T, Hermitian>(m, k, imax, a, w); };
    PivotChoice c = choose_pivot<T, R>(k, m, w(k, k), k < m - 1 ? w.at(k + 1, k) : nullptr, tau, npert, rowmax);
    if (c.kstep == 1 && c.kp != k) blas::copy(m - k, w.at(k, k + 1), 1, w.at(k, k), 1);
    const int kk = k + c.kstep - 1;
    if (c.kp != kk) interchange_panel<T, Hermitian>(m, k, kk, c.kp, a, w);
    store_panel_pivot<T, Hermitian>(m, k, c.kstep, a, w);
    record_pivot(ipiv, k, c);
    k += c.kstep;
  }
  update_trailing<T, Hermitian>(m, k, nb, a, w);
  restore_unblocked_form(k, a, ipiv);
  return k;
}

// Shifts the local pivot records of a trailing matrix starting at k0 to
// global numbering.
inline void offset_pivots(int* ipiv, int count, int k0) {
  for (int i = 0; i < count; ++i) ipiv[i] += ipiv[i] > 0 ? k0 : -k0;
}

template <class T, bool Hermitian>
void symmetric_factorization(const char* name, const char* stem, char uplo, int n, T* a, int lda, int* ipiv, T* work,
                             int lwork, int& info, int& npert, double f) {
  npert = 0;
  info = 0;
  const bool upper = uplo == 'U' || uplo == 'u';
  if (!upper && uplo != 'L' && uplo != 'l') info = -1;
  else if (n < 0) info = -2;
  else if (lda < std::max(1, n)) info = -4;
  else if (lwork < 1 && lwork != -1) info = -7;
  if (info != 0) report_illegal_argument(name, -info);

  int nb = blas::ilaenv(1, stem, upper ? "U" : "L", n, -1, -1, -1);
  const T optimal_work = T(static_cast<double>(nb) * n);
  work[0] = optimal_work;
  if (lwork == -1) return;
  if (upper) {
    info = -1;
    return;
  }
  int nbmin = 2;
  if (nb > 1 && nb < n && lwork < n * nb) {
    nb = std::max(lwork / n, 1);
    nbmin = std::max(2, blas::ilaenv(2, stem, "L", n, -1, -1, -1));
  }
  if (nb < nbmin) nb = n;

  const double tau = f * blas::epsilon();
  const Matrix<T> w{work, n};
  int k = 0;
  while (k < n) {
    const Matrix<T> trailing{a + k + static_cast<std::ptrdiff_t>(k) * lda, lda};
    int kb;
    if (k < n - nb) {
      kb = factor_panel<T, Hermitian>(n - k, nb, trailing, w, ipiv + k, tau, npert);
    } else {
      kb = n - k;
      factor_unblocked<T, Hermitian>(kb, trailing, ipiv + k, tau, npert);
    }
    offset_pivots(ipiv + k, kb, k);
    k += kb;
  }
  work[0] = optimal_work;
}

// Unblocked LU of the m × n matrix a with partial pivoting; pivots below tau
// in modulus become +-tau.
template <class T>
void factor_lu_unblocked(int m, int n, Matrix<T> a, int* ipiv, double tau, int& npert) {
  for (int j = 0; j < std::min(m, n); ++j) {
    const int p = j - 1 + blas::iamax(m - j, a.at(j, j), 1);
    ipiv[j] = p + 1;
    if (std::abs(a(p, j)) < tau) {
      a(p, j) = T(real_part(a(p, j)) < 0 ? -tau : tau);
      ++npert;
    }
    if (p != j) blas::swap(n, a.at(j, 0), a.ld, a.at(p, 0), a.ld);
    if (j < m - 1) blas::scal(m - j - 1, T(1) / a(j, j), a.at(j + 1, j), 1);
    if (j < std::min(m, n) - 1)
      blas::geru(m - j - 1, n - j - 1, T(-1), a.at(j + 1, j), 1, a.at(j, j + 1), a.ld, a.at(j + 1, j + 1), a.ld);
  }
}

template <class T>
void lu_factorization(const char* name, const char* stem, int m, int n, T* a, int lda, int* ipiv, int& info,
                      int& npert, double f) {
  npert = 0;
  info = 0;
  if (m < 0) info = -1;
  else if (n < 0) info = -2;
  else if (lda < std::max(1, m)) info = -4;
  if (info != 0) report_illegal_argument(name, -info);
  if (m == 0 || n == 0) return;

  const double tau = f * blas::epsilon();
  const Matrix<T> am{a, lda};
  const int mn = std::min(m, n);
  const int nb = blas::ilaenv(1, stem, " ", m, n, -1, -1);
  if (nb <= 1 || nb >= mn) {
    factor_lu_unblocked(m, n, am, ipiv, tau, npert);
    return;
  }
  for (int j = 0; j < mn; j += nb) {
    const int jb = std::min(mn - j, nb);
    factor_lu_unblocked(m - j, jb, Matrix<T>{am.at(j, j), lda}, ipiv + j, tau, npert);
    for (int i = j; i < std::min(m, j + jb); ++i) ipiv[i] += j;
    blas::laswp(j, a, lda, j + 1, j + jb, ipiv, 1);
    if (j + jb < n) {
      blas::laswp(n - j - jb, am.at(0, j + jb), lda, j + 1, j + jb, ipiv, 1);
      blas::trsm('L', 'L', 'N', 'U', jb, n - j - jb, T(1), am.at(j, j), lda, am.at(j, j + jb), lda);
      if (j + jb < m)
        blas::gemm('N', 'N', m - j - jb, n - j - jb, jb, T(-1), am.at(j + jb, j), lda, am.at(j, j + jb), lda, T(1),
                   am.at(j + jb, j + jb), lda);
    }
  }
}

}  // namespace

void TSDSYTRF(char uplo, int n, double* a, int lda, int* ipiv, double* work, int lwork, int& info, int& npert,
              const double& f) {
  symmetric_factorization<double, false>("TSDSYTRF", "DSYTRF", uplo, n, a, lda, ipiv, work, lwork, info, npert, f);
}

void TSZSYTRF(char uplo, int n, std::complex<double>* a, int lda, int* ipiv, std::complex<double>* work, int lwork,
              int& info, int& npert, const double& f) {
  symmetric_factorization<std::complex<double>, false>("TSZSYTRF", "ZSYTRF", uplo, n, a, lda, ipiv, work, lwork, info,
                                                       npert, f);
}

void TSZHETRF(char uplo, int n, std::complex<double>* a, int lda, int* ipiv, std::complex<double>* work, int lwork,
              int& info, int& npert, const double& f) {
  symmetric_factorization<std::complex<double>, true>("TSZHETRF", "ZHETRF", uplo, n, a, lda, ipiv, work, lwork, info,
                                                      npert, f);
}

void TSDGETRF(int m, int n, double* a, int lda, int* ipiv, int& info, int& npert, const double& f) {
  lu_factorization("TSDGETRF", "DGETRF", m, n, a, lda, ipiv, info, npert, f);
}

void TSZGETRF(int m, int n, std::complex<double>* a, int lda, int* ipiv, int& info, int& npert, const double& f) {
  lu_factorization("TSZGETRF", "ZGETRF", m, n, a, lda, ipiv, info, npert, f);
}
