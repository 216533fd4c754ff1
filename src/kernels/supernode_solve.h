#pragma once
// Dense work of the block-form substitution on one supernode: the solve with
// its packed lower-triangular diagonal block, the update through its
// off-diagonal block, and the solve with the 1×1 and 2×2 pivots of D.
//
// A supernode of width w with r off-diagonal rows is stored as the w × w lower
// triangle packed by columns (column j holds rows j .. w-1, the diagonal
// first), followed by the r × w off-diagonal block column by column. For L the
// triangle's diagonal positions hold the pivots of D and are not read by the
// unit solves; for the unsymmetric kinds' U, stored as its transpose, they
// hold U's diagonal. The vector x is always in working precision (double or
// complex double) while the factor is stored in single or double precision:
// narrow supernodes are processed in inline loops that widen every stored
// entry, wide ones through the packed triangular solve and matrix-vector
// product of BLAS in the factor's precision.
//
// The functions keep no state, allocate nothing and may be called from many
// threads at once on different vectors.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/blas.h"
#include "platform/kind_traits.h"

// One supernode's factor block and where its columns and rows sit in x.
template <class Stored>
struct SupernodeBlock {
  const Stored* entries;                // packed w × w triangle, then the r × w off-diagonal block
  std::int32_t first;                   // position of the supernode's first column in x
  std::int32_t width;                   // w
  std::int32_t rows;                    // r
  const std::int32_t* row_subscripts;   // r positions in x of the off-diagonal rows (0-based)
};

// Whether the diagonal of the packed triangle is taken as 1 or read.
enum class Diagonal { unit, non_unit };

// The two ways a sweep over one supernode is carried out; both give the same
// result up to rounding.
enum class SweepPath { loops, blas };

template <class Stored>
inline constexpr bool is_single_precision_v = std::is_same_v<blas::real_t<Stored>, float>;

// Smallest width at which the BLAS path is used, for supernodes with
// off-diagonal rows and for the root (r = 0) in each sweep. Below it the call
// overhead and, in single precision, the narrowing of x outweigh the gain.
template <class Stored>
constexpr SweepPath forward_sweep_path(std::int32_t width, std::int32_t rows) {
  const std::int32_t threshold = rows > 0 ? (is_single_precision_v<Stored> ? 864 : 1152) : 144;
  return width >= threshold ? SweepPath::blas : SweepPath::loops;
}

template <class Stored>
constexpr SweepPath backward_sweep_path(std::int32_t width, std::int32_t rows) {
  const std::int32_t root_threshold = is_single_precision_v<Stored> ? 576 : 144;
  const std::int32_t threshold = rows > 0 ? (is_single_precision_v<Stored> ? 864 : 1152) : root_threshold;
  return width >= threshold ? SweepPath::blas : SweepPath::loops;
}

// Entries of the work vector, in the factor's precision, that a sweep over a
// supernode of this width and row count needs on either path: the product
// with (or gathered copy of) the off-diagonal rows, and in single precision
// also the narrowed segment of x.
template <class Stored>
constexpr std::size_t supernode_solve_work_size(std::int32_t width, std::int32_t rows) {
  return static_cast<std::size_t>(rows) + (is_single_precision_v<Stored> ? static_cast<std::size_t>(width) : 0);
}

// Forward sweep: solves T·x_s = x_s with the packed lower triangle T
// ("Lower", "No transpose", unit or not), then x_rows −= B·x_s with the
// off-diagonal block B, scattered through the row subscripts.
template <class K, class Stored>
void supernode_forward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                       Stored* work, SweepPath path);

// Backward sweep: x_s −= Bᵀ·x_rows gathered through the row subscripts, then
// solves Tᵀ·x_s = x_s ("Lower", "Transpose", unit or not). The Hermitian kind
// uses the conjugate transposes Bᴴ and Tᴴ.
template <class K, class Stored>
void supernode_backward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                        Stored* work, SweepPath path);

// The same sweeps on the path chosen by the width thresholds.
template <class K, class Stored>
void supernode_forward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                       Stored* work) {
  supernode_forward<K>(block, diagonal, x, work, forward_sweep_path<Stored>(block.width, block.rows));
}

template <class K, class Stored>
void supernode_backward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                        Stored* work) {
  supernode_backward<K>(block, diagonal, x, work, backward_sweep_path<Stored>(block.width, block.rows));
}

// Solves D·x_s = x_s with the pivots of a symmetric kind's supernode. The
// diagonal comes from the packed triangle; pivot_order is the whole pivot
// sequence (indexed by column), where a negative value at a column marks the
// first column of a 2×2 pivot. The coupling element of each 2×2 pivot (the
// entry below its first diagonal element, moved out of the factor) is taken
// from couplings in order. The Hermitian kind reads only the real part of the
// diagonal. Returns the number of coupling elements used.
template <class K, class Stored>
  requires(K::symmetry != Symmetry::unsymmetric)
[[nodiscard]] std::int32_t supernode_diagonal_solve(const SupernodeBlock<Stored>& block,
                                                    const std::int32_t* pivot_order, const Stored* couplings,
                                                    typename K::scalar* x);
