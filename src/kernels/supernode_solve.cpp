#include "kernels/supernode_solve.h"

#include <complex>

namespace {

// Working-precision type of a stored factor entry.
template <class Stored>
using Widened = std::conditional_t<blas::is_complex_v<Stored>, std::complex<double>, double>;

template <class K, class Stored>
constexpr bool matches_kind = std::is_same_v<Widened<Stored>, typename K::scalar>;

template <class Stored>
Widened<Stored> widen(const Stored& v) {
  return Widened<Stored>(v);
}

// The entry as it appears in the transposed triangle or block: conjugated for
// the Hermitian kind.
template <class K, class Stored>
typename K::scalar transposed(const Stored& v) {
  return K::mirror(widen(v));
}

template <class K>
constexpr char transpose_letter() {
  return K::symmetry == Symmetry::hermitian ? 'C' : 'T';
}

constexpr char diagonal_letter(Diagonal diagonal) { return diagonal == Diagonal::unit ? 'U' : 'N'; }

// Offset of column j's diagonal entry in a packed lower triangle of order w.
std::size_t packed_column_start(std::int32_t w, std::int32_t j) {
  const std::size_t jj = static_cast<std::size_t>(j);
  return jj * (2 * static_cast<std::size_t>(w) + 1 - jj) / 2;
}

std::size_t packed_size(std::int32_t w) { return packed_column_start(w, w); }

template <class Stored>
const Stored* offdiagonal_block(const SupernodeBlock<Stored>& block) {
  return block.entries + packed_size(block.width);
}

template <class Stored>
const Stored* offdiagonal_column(const SupernodeBlock<Stored>& block, std::int32_t j) {
  return offdiagonal_block(block) + static_cast<std::size_t>(j) * static_cast<std::size_t>(block.rows);
}

// x_s := T⁻¹·x_s in working precision, column by column.
template <class Stored, class T>
void lower_solve_loops(const Stored* packed, std::int32_t w, Diagonal diagonal, T* xs) {
  for (std::int32_t j = 0; j < w; ++j) {
    const Stored* column = packed + packed_column_start(w, j);
    if (diagonal == Diagonal::non_unit) xs[j] /= widen(column[0]);
    const T t = xs[j];
    for (std::int32_t i = j + 1; i < w; ++i) xs[i] -= widen(column[i - j]) * t;
  }
}

// x_s := T⁻ᵀ·x_s (T⁻ᴴ for the Hermitian kind), one inner product per column
// from the last column up.
template <class K, class Stored, class T>
void lower_transposed_solve_loops(const Stored* packed, std::int32_t w, Diagonal diagonal, T* xs) {
  for (std::int32_t j = w - 1; j >= 0; --j) {
    const Stored* column = packed + packed_column_start(w, j);
    T s = xs[j];
    for (std::int32_t i = j + 1; i < w; ++i) s -= transposed<K>(column[i - j]) * xs[i];
    if (diagonal == Diagonal::non_unit) s /= transposed<K>(column[0]);
    xs[j] = s;
  }
}

// x_rows −= B·x_s, scattered through the row subscripts.
template <class Stored, class T>
void subtract_block_product_loops(const SupernodeBlock<Stored>& block, T* x) {
  const T* xs = x + block.first;
  for (std::int32_t j = 0; j < block.width; ++j) {
    const Stored* column = offdiagonal_column(block, j);
    const T t = xs[j];
    for (std::int32_t k = 0; k < block.rows; ++k) x[block.row_subscripts[k]] -= widen(column[k]) * t;
  }
}

// x_s −= Bᵀ·x_rows (Bᴴ for the Hermitian kind), gathered through the row subscripts.
template <class K, class Stored, class T>
void subtract_transposed_block_product_loops(const SupernodeBlock<Stored>& block, T* x) {
  T* xs = x + block.first;
  for (std::int32_t j = 0; j < block.width; ++j) {
    const Stored* column = offdiagonal_column(block, j);
    T s{};
    for (std::int32_t k = 0; k < block.rows; ++k) s += transposed<K>(column[k]) * x[block.row_subscripts[k]];
    xs[j] -= s;
  }
}

// The segment as BLAS sees it: x_s itself when the factor is in working
// precision, otherwise a narrowed copy in spare.
template <class Stored, class T>
Stored* segment_in_factor_precision(T* xs, std::int32_t w, Stored* spare) {
  if constexpr (std::is_same_v<Stored, T>) {
    return xs;
  } else {
    for (std::int32_t j = 0; j < w; ++j) spare[j] = static_cast<Stored>(xs[j]);
    return spare;
  }
}

// Writes a narrowed segment back into x_s; nothing to do when BLAS worked on x_s.
template <class Stored, class T>
void return_segment(const Stored* segment, std::int32_t w, T* xs) {
  if constexpr (!std::is_same_v<Stored, T>)
    for (std::int32_t j = 0; j < w; ++j) xs[j] = widen(segment[j]);
}

template <class Stored, class T>
void gather_rows(const SupernodeBlock<Stored>& block, const T* x, Stored* gathered) {
  for (std::int32_t k = 0; k < block.rows; ++k) gathered[k] = static_cast<Stored>(x[block.row_subscripts[k]]);
}

template <class Stored, class T>
void scatter_add_rows(const SupernodeBlock<Stored>& block, const Stored* update, T* x) {
  for (std::int32_t k = 0; k < block.rows; ++k) x[block.row_subscripts[k]] += widen(update[k]);
}

// Work layout: the r entries of the off-diagonal rows first, then (single
// precision only) the w entries of the narrowed segment.
template <class Stored, class T>
void forward_blas(const SupernodeBlock<Stored>& block, Diagonal diagonal, T* x, Stored* work) {
  const std::int32_t w = block.width, r = block.rows;
  T* xs = x + block.first;
  Stored* segment = segment_in_factor_precision(xs, w, work + r);
  blas::tpsv('L', 'N', diagonal_letter(diagonal), w, block.entries, segment, 1);
  return_segment(segment, w, xs);
  if (r == 0) return;
  blas::gemv('N', r, w, Stored(-1), offdiagonal_block(block), r, segment, 1, Stored(0), work, 1);
  scatter_add_rows(block, work, x);
}

template <class K, class Stored, class T>
void backward_blas(const SupernodeBlock<Stored>& block, Diagonal diagonal, T* x, Stored* work) {
  const std::int32_t w = block.width, r = block.rows;
  T* xs = x + block.first;
  if (r > 0) {
    gather_rows(block, x, work);
    if constexpr (std::is_same_v<Stored, T>) {
      blas::gemv(transpose_letter<K>(), r, w, Stored(-1), offdiagonal_block(block), r, work, 1, Stored(1), xs, 1);
    } else {
      Stored* update = work + r;
      blas::gemv(transpose_letter<K>(), r, w, Stored(-1), offdiagonal_block(block), r, work, 1, Stored(0), update, 1);
      for (std::int32_t j = 0; j < w; ++j) xs[j] += widen(update[j]);
    }
  }
  Stored* segment = segment_in_factor_precision(xs, w, work + r);
  blas::tpsv('L', transpose_letter<K>(), diagonal_letter(diagonal), w, block.entries, segment, 1);
  return_segment(segment, w, xs);
}

template <class K, class Stored>
void divide_by_pivot(typename K::scalar& v, const Stored& d) {
  if constexpr (K::symmetry == Symmetry::hermitian) v /= std::real(widen(d));
  else v /= widen(d);
}

// Solves [d1 ē; e d2]·[y1; y2] = [x1; x2] in place, where e is the coupling
// element below d1 and ē the one above it (e itself for the symmetric kinds,
// its conjugate for the Hermitian kind). Dividing the first row by ē and the
// second by e gives a·y1 + y2 = p and y1 + b·y2 = q, solved without forming
// the determinant in the scale of the pivots.
template <class K>
void solve_two_by_two(typename K::scalar d1, typename K::scalar d2, typename K::scalar e, typename K::scalar& x1,
                      typename K::scalar& x2) {
  using T = typename K::scalar;
  const T e_above = K::mirror(e);
  const T a = d1 / e_above, b = d2 / e;
  const T p = x1 / e_above, q = x2 / e;
  const T denominator = a * b - T(1);
  x1 = (b * p - q) / denominator;
  x2 = (a * q - p) / denominator;
}

template <class K, class Stored>
typename K::scalar pivot_diagonal(const Stored& d) {
  if constexpr (K::symmetry == Symmetry::hermitian) return std::real(widen(d));
  else return widen(d);
}

}  // namespace

template <class K, class Stored>
void supernode_forward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                       Stored* work, SweepPath path) {
  static_assert(matches_kind<K, Stored>);
  if (path == SweepPath::blas) {
    forward_blas(block, diagonal, x, work);
    return;
  }
  lower_solve_loops(block.entries, block.width, diagonal, x + block.first);
  subtract_block_product_loops(block, x);
}

template <class K, class Stored>
void supernode_backward(const SupernodeBlock<Stored>& block, Diagonal diagonal, typename K::scalar* x,
                        Stored* work, SweepPath path) {
  static_assert(matches_kind<K, Stored>);
  if (path == SweepPath::blas) {
    backward_blas<K>(block, diagonal, x, work);
    return;
  }
  subtract_transposed_block_product_loops<K>(block, x);
  lower_transposed_solve_loops<K>(block.entries, block.width, diagonal, x + block.first);
}

template <class K, class Stored>
  requires(K::symmetry != Symmetry::unsymmetric)
std::int32_t supernode_diagonal_solve(const SupernodeBlock<Stored>& block, const std::int32_t* pivot_order,
                                      const Stored* couplings, typename K::scalar* x) {
  static_assert(matches_kind<K, Stored>);
  const std::int32_t w = block.width;
  typename K::scalar* xs = x + block.first;
  std::int32_t used = 0;
  for (std::int32_t j = 0; j < w; ++j) {
    const Stored& d = block.entries[packed_column_start(w, j)];
    if (pivot_order[block.first + j] >= 0) {
      divide_by_pivot<K>(xs[j], d);
      continue;
    }
    const Stored& d_next = block.entries[packed_column_start(w, j + 1)];
    solve_two_by_two<K>(pivot_diagonal<K>(d), pivot_diagonal<K>(d_next), widen(couplings[used]), xs[j], xs[j + 1]);
    ++used;
    ++j;
  }
  return used;
}

#define TSR_INSTANTIATE_SWEEPS(K, S)                                                                           \
  template void supernode_forward<K, S>(const SupernodeBlock<S>&, Diagonal, K::scalar*, S*, SweepPath);        \
  template void supernode_backward<K, S>(const SupernodeBlock<S>&, Diagonal, K::scalar*, S*, SweepPath);

#define TSR_INSTANTIATE_DIAGONAL(K, S)                                                                         \
  template std::int32_t supernode_diagonal_solve<K, S>(const SupernodeBlock<S>&, const std::int32_t*, const S*, \
                                                       K::scalar*);

TSR_INSTANTIATE_SWEEPS(RealSymmetric, float)
TSR_INSTANTIATE_SWEEPS(RealSymmetric, double)
TSR_INSTANTIATE_SWEEPS(RealUnsymmetric, float)
TSR_INSTANTIATE_SWEEPS(RealUnsymmetric, double)
TSR_INSTANTIATE_SWEEPS(ComplexSymmetric, std::complex<float>)
TSR_INSTANTIATE_SWEEPS(ComplexSymmetric, std::complex<double>)
TSR_INSTANTIATE_SWEEPS(ComplexUnsymmetric, std::complex<float>)
TSR_INSTANTIATE_SWEEPS(ComplexUnsymmetric, std::complex<double>)
TSR_INSTANTIATE_SWEEPS(ComplexHermitian, std::complex<float>)
TSR_INSTANTIATE_SWEEPS(ComplexHermitian, std::complex<double>)

TSR_INSTANTIATE_DIAGONAL(RealSymmetric, float)
TSR_INSTANTIATE_DIAGONAL(RealSymmetric, double)
TSR_INSTANTIATE_DIAGONAL(ComplexSymmetric, std::complex<float>)
TSR_INSTANTIATE_DIAGONAL(ComplexSymmetric, std::complex<double>)
TSR_INSTANTIATE_DIAGONAL(ComplexHermitian, std::complex<float>)
TSR_INSTANTIATE_DIAGONAL(ComplexHermitian, std::complex<double>)
