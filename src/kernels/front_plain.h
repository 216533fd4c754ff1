#pragma once
// Factorization of the pivot columns of one dense front without pivoting, in
// place, for the runs that eliminate fronts without interchanges.
//
// A front of order F is a column-major F × F array with leading dimension F;
// its first npiv columns are the pivot columns, the trailing F − npiv rows and
// columns hold the update matrix for the parent. Symmetric and Hermitian
// kinds read only the lower triangle. On return:
// - real symmetric and complex Hermitian (LDL^T, LDL^H): the diagonal holds D
//   (real for the Hermitian kind), the first npiv columns below it W = L·D,
//   the first npiv rows right of it, across all F columns, L^T (L^H for the
//   Hermitian kind), and the lower triangle of the trailing block the update
//   matrix A22 − L21·D·L21^T (^H);
// - complex symmetric (L·L^T, unconjugated): the first npiv columns from the
//   diagonal down hold L, whose diagonal entries are the principal square
//   roots of the pivots, and the lower triangle of the trailing block the
//   update matrix A22 − L21·L21^T; the upper triangle is not written;
// - unsymmetric kinds (LU): the first npiv columns from the diagonal down hold
//   the lower factor with the pivots on its diagonal, the first npiv rows right
//   of the diagonal the unit upper factor (each row divided by its pivot), and
//   the trailing block the full update matrix A22 − L21·U12.
//
// flag: an exactly zero pivot sets it to 1 and returns at once, leaving the
// front partly factored. The symmetric and Hermitian kinds otherwise leave it
// as passed; a caller that passes 1 gets no update matrix, and when npiv
// exceeds plain_block_size only the first block of pivots is factored. The
// unsymmetric kinds ignore the value passed in and set 0 on success.
//
// No allocation, no state: safe to call from many threads on different fronts.
#include <cstdint>

#include "platform/kind_traits.h"

// Pivot columns per block. The symmetric and Hermitian kinds eliminate up to
// this many pivots column by column over all rows of the front, and more in
// blocks of this width with level-3 updates; LU always goes by such blocks.
template <class K>
inline constexpr int plain_block_size =
    K::is_complex && K::symmetry != Symmetry::unsymmetric ? 144 : 100;

// Instantiated for the five kinds and for their single-precision fronts
// (SingleFronts<K>), which the plain path computes in when asked.
template <class K>
void FactorFrontPlain(int npiv, int F, typename K::scalar* front, int& flag);
