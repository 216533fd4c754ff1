#pragma once
// Elimination of the pivot columns of one dense front with pivoting, for the
// five kinds: Bunch–Kaufman LDL^T (1×1 and 2×2 pivots) for the symmetric and
// Hermitian kinds, LU with row interchanges for the unsymmetric kinds. The
// pivots are chosen inside the pivot block only, so the order of the front
// never changes.
//
// Arguments shared by all kernels here:
//   npiv   number of pivot columns (the order of the pivot block A11);
//   F      order of the front and its leading dimension (column-major);
//   front  the F × F front; the symmetric kinds read only its lower triangle;
//   ipiv   the pivot record of the front, one 1-based entry per pivot column
//          in the LAPACK convention, counted from the front's first column.
//
// Layout on return, symmetric and Hermitian kinds (A = front):
//   A11 lower  unit lower L11 with every interchange applied, D in place
//              (diagonal, and the coupling entry of a 2×2 block at (k+1, k));
//   A21        L21;
//   A12        (L21·D)^T, conjugate-transposed for the Hermitian kind;
//   A22 lower  the update matrix A22 − L21·D·L21^T.
// Unsymmetric kinds: A11 holds L11 (unit, strictly lower) and U11, A12 holds
// L11⁻¹·P·A12, A21 holds A21·U11⁻¹ and A22 the update matrix A22 − A21·A12.
//
// The mode word selects the pivot-block factorization: 1 uses the perturbed
// factorization of the kind (small pivots replaced by ±f·eps) and returns the
// number of perturbed pivots; any other value uses the library's routine and
// is set to 0. info is the pivot-block factorization's INFO; when it is not
// zero the front is left after that factorization and nothing more is done.
#include "platform/kind_traits.h"

// Scalars of WORK that FactorFrontPivot (or factor_pivot_panel with width
// npiv) needs to run the pivot-block factorization blocked; 0 for the
// unsymmetric kinds, which take no WORK.
template <class K>
int front_pivot_work_size(int npiv);

// Factors the whole front in one call. For the symmetric kinds WORK holds
// lwork scalars, at least max(1, npiv / 2); the unsymmetric kinds ignore
// work and lwork. An illegal argument is reported and stops the process.
template <class K>
void FactorFrontPivot(int npiv, int F, typename K::scalar* front, int* ipiv,
                      typename K::scalar* work, int lwork, int& info, int& mode, const double& f);

// The same elimination split into kernels that several threads may run at
// once on one front. The pivot columns are taken in panels: a panel is the
// columns first .. first+width−1 of the pivot block, and its pivots are
// chosen among those columns. For each panel in turn:
//   1. factor_pivot_panel (alone);
//   2. solve_pivot_rows on tiles of the rows below the panel and, for the
//      unsymmetric kinds, solve_pivot_columns on tiles of the columns right
//      of it, in any order or concurrently;
//   3. update_pivot_tile on tiles of the part below and right of the panel
//      (for the symmetric kinds, tiles on or below the diagonal), in any
//      order or concurrently.
// Then, for the symmetric kinds, move_couplings_below over the pivot block.
// With one panel over the whole pivot block the result equals that of
// FactorFrontPivot; with several, the pivots of each panel are chosen
// among its own columns, and the layout is the same with the interchanges
// of all panels applied. The strict upper part of A11 is not part of the
// layout: it keeps what it held, or scratch of the split kernels.
//
// Between the panel factorization and move_couplings_below the coupling
// entry of each 2×2 pivot at k sits above the diagonal at (k, k+1), with
// zero at (k+1, k), so that the row solves see a unit lower L11.

// Factors the panel's diagonal block and applies its interchanges to the
// panel's rows in the earlier columns; ipiv[first .. first+width−1] is
// written, counted from the front's first column, and info counts likewise.
// For the symmetric kinds the panel's couplings are then moved above the
// diagonal. work and lwork as for FactorFrontPivot with npiv = width
// (lwork ≥ 1).
template <class K>
void factor_pivot_panel(int first, int width, int F, typename K::scalar* front, int* ipiv,
                        typename K::scalar* work, int lwork, int& info, int& mode, const double& f);

// Rows row_begin .. row_begin+row_count−1, all below the panel, of the
// panel's columns: symmetric kinds apply the panel's column interchanges,
// solve with L11^T (L11^H), copy the rows (conjugated for the Hermitian kind)
// into the panel's rows of the upper part and scale them by D⁻¹; unsymmetric
// kinds multiply them by U11⁻¹.
template <class K>
void solve_pivot_rows(int first, int width, int F, typename K::scalar* front, const int* ipiv,
                      int row_begin, int row_count);

// Unsymmetric kinds only: columns column_begin .. column_begin+column_count−1,
// all right of the panel, of the panel's rows: the panel's row interchanges,
// then multiplication by L11⁻¹.
template <class K>
void solve_pivot_columns(int first, int width, int F, typename K::scalar* front, const int* ipiv,
                         int column_begin, int column_count);

// Subtracts the panel's contribution from one tile of the part below and
// right of the panel: A(r, c) −= A(r, panel) · A(panel, c) for the tile's
// rows r and columns c; the symmetric kinds only where r ≥ c.
template <class K>
void update_pivot_tile(int first, int width, int F, typename K::scalar* front, int row_begin,
                       int row_count, int column_begin, int column_count);

// Symmetric kinds: move the coupling entry of every 2×2 pivot of the columns
// first .. first+width−1 from (k, k+1) to (k+1, k), leaving zero above, or
// the other way round.
template <class K>
void move_couplings_below(int first, int width, int F, typename K::scalar* front, const int* ipiv);
template <class K>
void move_couplings_above(int first, int width, int F, typename K::scalar* front, const int* ipiv);
