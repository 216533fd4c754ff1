#include "kernels/front_threshold.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <vector>

#include "platform/blas.h"

namespace {

// A window's pivots are chosen among its own columns, updated column by
// column as pivots are taken; the columns right of the window are updated
// once it is done, by matrix products. Columns a window leaves behind open
// the next one.
// Column blocks of the symmetric kinds' update right of a window: each
// block's product covers its rows from its diagonal down.
constexpr int product_columns = 128;

// A pivot found: column c, and r its 2×2 partner (symmetric kinds, −1 for a
// 1×1 pivot) or the row that pivots it (unsymmetric kinds).
struct Choice {
  bool found = false;
  int c = 0;
  int r = -1;
  bool perturb = false;
  bool zero = false;  // column c is zero in every row left
};

// The magnitude the pivot tests compare: |x| for real entries, |Re x| + |Im x|
// for complex ones, which is within a factor √2 of |x| and needs no root.
inline double magnitude(double x) { return std::abs(x); }
inline double magnitude(const std::complex<double>& x) { return std::abs(x.real()) + std::abs(x.imag()); }

template <class K>
class ThresholdFront {
 public:
  using T = typename K::scalar;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  static constexpr bool hermitian = K::symmetry == Symmetry::hermitian;

  ThresholdFront(int F, int npiv, T* a, const ThresholdRule& rule, int* order, int* pivot, int window)
      : F_(F), P_(npiv), a_(a), rule_(rule), order_(order), pivot_(pivot), window_(std::max(window, 1)) {
    for (int p = 0; p < F; ++p) order_[p] = p;
    if constexpr (!symmetric) partner_.assign(static_cast<std::size_t>(npiv), 0);
    before_ = largest_in_columns(0, P_);
    e_ = std::min(P_, window_);
  }

  // One window of fully summed columns eliminated; false when none is left.
  bool next_panel(ThresholdPanel& panel) {
    if (done_ || cur_ >= P_ || result_.singular) return false;
    const int first = cur_;
    cur_ = eliminate_window(cur_, e_);
    panel = {first, cur_ - first, e_};
    if (e_ == P_ && cur_ == first) done_ = true;
    e_ = std::min(P_, e_ + window_);
    return true;
  }

  bool needs_update(const ThresholdPanel& panel) const { return panel.taken > 0 && panel.right < F_; }

  // The columns j0 … j1−1 right of the window updated by its pivots.
  void update_columns(const ThresholdPanel& panel, int j0, int j1) {
    if (!needs_update(panel) || j0 >= j1) return;
    const int first = panel.first, taken = panel.taken, cur = first + taken;
    if constexpr (symmetric) {
      for (int j = j0; j < j1; j += product_columns) {
        const int width = std::min(product_columns, j1 - j);
        blas::gemm('N', 'N', F_ - j, width, taken, T(-1), &at(j, first), F_, &at(first, j), F_, T(1), &at(j, j), F_);
      }
    } else {
      blas::trsm('L', 'L', 'N', 'U', taken, j1 - j0, T(1), &at(first, first), F_, &at(first, j0), F_);
      blas::gemm('N', 'N', F_ - cur, j1 - j0, taken, T(-1), &at(cur, first), F_, &at(first, j0), F_, T(1),
                 &at(cur, j0), F_);
    }
  }

  FrontElimination finish() {
    result_.eliminated = cur_;
    if constexpr (!symmetric) final_row_record(cur_);
    const double after = largest_after(cur_);
    result_.growth = before_ > 0 ? after / before_ : 1.0;
    return result_;
  }

 private:
  T& at(int i, int j) { return a_[i + static_cast<std::ptrdiff_t>(j) * F_]; }
  // Entry (i, j) of a symmetric kind's front from its lower triangle.
  T sym(int i, int j) { return i >= j ? at(i, j) : K::mirror(at(j, i)); }
  // The pivot of column j as the test sees it (real for the Hermitian kind).
  T diagonal(int j) {
    if constexpr (hermitian) return T(std::real(at(j, j)));
    else return at(j, j);
  }
  T tiny_like(const T& d) const { return T(std::real(d) < 0 ? -rule_.tiny : rule_.tiny); }

  // Takes pivots in the window cur … e−1 until none passes; returns the
  // next pivot position.
  int eliminate_window(int cur, int e) {
    const bool last_chance = rule_.forced && e == P_;
    while (cur < e) {
      Choice choice = choose(cur, e, rule_.u);
      if (choice.zero && rule_.tiny <= 0) {
        result_.singular = true;
        break;
      }
      if (!choice.found && last_chance) choice = choose_forced(cur, e);
      if (!choice.found) {
        if (!last_chance) break;
        if (rule_.tiny <= 0) {
          result_.singular = true;
          break;
        }
        choice = {true, cur, symmetric ? -1 : cur, true};
      }
      if (choice.perturb) ++result_.perturbed;
      cur = take(choice, cur, e);
    }
    return cur;
  }

  // Largest |entry| of column c over the rows from, …, F−1 other than c and skip.
  double column_max(int c, int from, int skip) {
    double largest = 0;
    if constexpr (symmetric) {
      for (int i = from; i < c; ++i)
        if (i != skip) largest = std::max(largest, magnitude(at(c, i)));
      for (int i = c + 1; i < F_; ++i)
        if (i != skip) largest = std::max(largest, magnitude(at(i, c)));
    } else {
      for (int i = from; i < F_; ++i)
        if (i != c && i != skip) largest = std::max(largest, magnitude(at(i, c)));
    }
    return largest;
  }

  // The row among rows from … to−1 other than c with the largest entry in
  // column c; −1 when all are zero.
  int largest_row(int c, int from, int to) {
    int best = -1;
    double largest = 0;
    for (int i = from; i < to; ++i) {
      const double v = magnitude(symmetric ? sym(i, c) : at(i, c));
      if (i != c && v > largest) {
        largest = v;
        best = i;
      }
    }
    return best;
  }

  Choice choose(int cur, int e, double u) {
    for (int c = cur; c < e; ++c) {
      const double g = column_max(c, cur, -1);
      const double d = magnitude(diagonal(c));
      if (d > 0 && d >= u * g) return {true, c, symmetric ? -1 : c};
      // No later elimination fills a column that is zero in every row left,
      // in this front or above: the matrix is singular, and the column is
      // taken here, perturbed where that is allowed.
      if (g == 0) return {rule_.tiny > 0, c, symmetric ? -1 : c, true, true};
      if constexpr (symmetric) {
        const int r = largest_row(c, cur, e);
        if (r >= 0 && passes_two_by_two(c, r, cur, u)) return {true, c, r};
      } else {
        const int r = largest_row(c, cur, P_);
        if (r >= 0 && magnitude(at(r, c)) >= u * std::max(g, d)) return {true, c, r};
      }
    }
    return {};
  }

  // Duff and Reid's test of the 2×2 pivot of columns c and r.
  bool passes_two_by_two(int c, int r, int cur, double u) {
    const T acc = diagonal(c), arr = diagonal(r), b = sym(r, c);
    const double det = magnitude(acc * arr - b * K::mirror(b));
    if (det == 0) return false;
    const double gc = column_max(c, cur, r), gr = column_max(r, cur, c);
    return u * (magnitude(arr) * gc + magnitude(b) * gr) <= det && u * (magnitude(b) * gc + magnitude(acc) * gr) <= det;
  }

  // The forced front's choice once no candidate passes.
  Choice choose_forced(int cur, int e) {
    const int rows_to = symmetric ? e : P_;
    Choice best;
    double best_ratio = -1;
    for (int c = cur; c < e; ++c) {
      // Unsymmetric kinds pivot on the largest fully summed row, the diagonal
      // where it is as large.
      int r = c;
      if (!symmetric) {
        const int other = largest_row(c, cur, rows_to);
        if (other >= 0 && magnitude(at(other, c)) > magnitude(at(c, c))) r = other;
      }
      const double d = magnitude(symmetric ? diagonal(c) : at(r, c));
      if (d == 0) continue;
      const double g = column_max(c, cur, symmetric ? -1 : r);
      const double ratio = g == 0 ? std::numeric_limits<double>::infinity() : d / g;
      if (ratio > best_ratio) {
        best_ratio = ratio;
        best = {true, c, symmetric ? -1 : r, d < rule_.tiny};
      }
    }
    if (best.found || !symmetric) return best;
    for (int c = cur; c < e; ++c) {
      const int r = largest_row(c, cur, e);
      if (r >= 0 && passes_two_by_two(c, r, cur, 0.0)) return {true, c, r};
    }
    return {};
  }

  int take(Choice choice, int cur, int e) {
    if constexpr (symmetric) {
      swap_symmetric(cur, choice.c);
      if (choice.r < 0) {
        if (choice.perturb) at(cur, cur) = tiny_like(at(cur, cur));
        eliminate_one(cur, e);
        pivot_[cur] = 1;
        return cur + 1;
      }
      const int r = choice.r == cur ? choice.c : choice.r;
      swap_symmetric(cur + 1, r);
      eliminate_two(cur, e);
      pivot_[cur] = pivot_[cur + 1] = 2;
      return cur + 2;
    } else {
      swap_symmetric(cur, choice.c);
      int r = choice.r;
      if (r == cur) r = choice.c;
      else if (r == choice.c) r = cur;
      if (r != cur) blas::swap(F_, &at(cur, 0), F_, &at(r, 0), F_);
      partner_[static_cast<std::size_t>(cur)] = order_[r];
      if (choice.perturb) at(cur, cur) = tiny_like(at(cur, cur));
      eliminate_lu(cur, e);
      return cur + 1;
    }
  }

  // Renames positions p ≤ q into each other: rows and columns interchanged.
  // The symmetric kinds move the lower triangle only.
  void swap_symmetric(int p, int q) {
    if (p == q) return;
    std::swap(order_[p], order_[q]);
    if constexpr (symmetric) {
      blas::swap(p, &at(p, 0), F_, &at(q, 0), F_);
      std::swap(at(p, p), at(q, q));
      for (int i = p + 1; i < q; ++i) {
        const T t = at(i, p);
        at(i, p) = K::mirror(at(q, i));
        at(q, i) = K::mirror(t);
      }
      if constexpr (hermitian) at(q, p) = std::conj(at(q, p));
      if (q + 1 < F_) blas::swap(F_ - q - 1, &at(q + 1, p), 1, &at(q + 1, q), 1);
    } else {
      blas::swap(F_, &at(0, p), 1, &at(0, q), 1);
      blas::swap(F_, &at(p, 0), F_, &at(q, 0), F_);
    }
  }

  // A 1×1 pivot at k: (L·D)ᵀ kept above the diagonal in row k, the window's
  // later columns updated by one rank-1 product (which also writes their
  // strict upper part, scratch), the column scaled to L.
  void eliminate_one(int k, int e) {
    const T d = diagonal(k);
    at(k, k) = d;
    for (int j = k + 1; j < F_; ++j) at(k, j) = K::mirror(at(j, k));
    if (k + 1 < e) blas::geru(F_ - k - 1, e - k - 1, T(-1) / d, &at(k + 1, k), 1, &at(k, k + 1), F_, &at(k + 1, k + 1), F_);
    if (k + 1 < F_) blas::scal(F_ - k - 1, T(1) / d, &at(k + 1, k), 1);
  }

  // A 2×2 pivot D at k, k+1 with W = L·D in its columns: the same steps with
  // the rows of L solved from W = L·D.
  void eliminate_two(int k, int e) {
    const T a = diagonal(k), c = diagonal(k + 1), b = at(k + 1, k), bt = K::mirror(b);
    at(k, k) = a;
    at(k + 1, k + 1) = c;
    const T det = a * c - b * bt;
    const auto l1 = [&](int i) { return (at(i, k) * c - at(i, k + 1) * b) / det; };
    const auto l2 = [&](int i) { return (at(i, k + 1) * a - at(i, k) * bt) / det; };
    for (int j = e; j < F_; ++j) {
      at(k, j) = K::mirror(at(j, k));
      at(k + 1, j) = K::mirror(at(j, k + 1));
    }
    for (int q = k + 2; q < e; ++q) {
      const T m1 = K::mirror(l1(q)), m2 = K::mirror(l2(q));
      blas::axpy(F_ - q, -m1, &at(q, k), 1, &at(q, q), 1);
      blas::axpy(F_ - q, -m2, &at(q, k + 1), 1, &at(q, q), 1);
    }
    for (int i = k + 2; i < F_; ++i) {
      const T x = l1(i), y = l2(i);
      at(i, k) = x;
      at(i, k + 1) = y;
    }
  }

  // The unsymmetric kinds' pivot at k: L's column, and the window's later
  // columns updated by one rank-1 product.
  void eliminate_lu(int k, int e) {
    const int below = F_ - k - 1;
    if (below == 0) return;
    blas::scal(below, T(1) / at(k, k), &at(k + 1, k), 1);
    if (k + 1 < e) blas::geru(below, e - k - 1, T(-1), &at(k + 1, k), 1, &at(k, k + 1), F_, &at(k + 1, k + 1), F_);
  }

  // Row interchanges named by the final positions of their partners.
  void final_row_record(int taken) {
    std::vector<int> position(static_cast<std::size_t>(F_));
    for (int p = 0; p < F_; ++p) position[static_cast<std::size_t>(order_[p])] = p;
    for (int j = 0; j < taken; ++j) pivot_[j] = position[static_cast<std::size_t>(partner_[static_cast<std::size_t>(j)])];
  }

  // Largest |entry| of columns from … to−1, from their diagonal down for the
  // symmetric kinds and from row `from` for the unsymmetric ones.
  double largest_in_columns(int from, int to) {
    double largest = 0;
    for (int j = from; j < to; ++j)
      for (int i = symmetric ? j : from; i < F_; ++i) largest = std::max(largest, magnitude(at(i, j)));
    return largest;
  }

  // D (U's rows for the unsymmetric kinds) of the taken pivots and the
  // delayed columns, as they leave the front.
  double largest_after(int taken) {
    double largest = largest_in_columns(taken, P_);
    for (int j = 0; j < taken; ++j) {
      if constexpr (symmetric) {
        largest = std::max(largest, magnitude(at(j, j)));
        if (pivot_[j] == 2 && j + 1 < taken) largest = std::max(largest, magnitude(at(j + 1, j)));
      } else {
        for (int q = j; q < F_; ++q) largest = std::max(largest, magnitude(at(j, q)));
      }
    }
    return largest;
  }

  const int F_, P_;
  T* a_;
  const ThresholdRule rule_;
  int* order_;
  int* pivot_;
  const int window_;
  double before_ = 0;
  int cur_ = 0, e_ = 0;  // next pivot position, end of the next window
  bool done_ = false;
  std::vector<int> partner_;  // unsymmetric kinds: the position on entry of each pivot's row partner
  FrontElimination result_;
};

}  // namespace

template <class K>
struct ThresholdElimination<K>::State : ThresholdFront<K> {
  using ThresholdFront<K>::ThresholdFront;
};

template <class K>
ThresholdElimination<K>::ThresholdElimination(int F, int npiv, T* front, const ThresholdRule& rule, int* order,
                                              int* pivot, int window)
    : state_(std::make_unique<State>(F, npiv, front, rule, order, pivot, window)) {}

template <class K>
ThresholdElimination<K>::~ThresholdElimination() = default;

template <class K>
bool ThresholdElimination<K>::next_panel(ThresholdPanel& panel) {
  return state_->next_panel(panel);
}

template <class K>
bool ThresholdElimination<K>::needs_update(const ThresholdPanel& panel) const {
  return state_->needs_update(panel);
}

template <class K>
void ThresholdElimination<K>::update_columns(const ThresholdPanel& panel, int j0, int j1) {
  state_->update_columns(panel, j0, j1);
}

template <class K>
FrontElimination ThresholdElimination<K>::finish() {
  return state_->finish();
}

template <class K>
FrontElimination FactorFrontThreshold(int F, int npiv, typename K::scalar* front, const ThresholdRule& rule,
                                      int* order, int* pivot) {
  ThresholdFront<K> elimination(F, npiv, front, rule, order, pivot, 64);
  ThresholdPanel panel;
  while (elimination.next_panel(panel)) elimination.update_columns(panel, panel.right, F);
  return elimination.finish();
}

template class ThresholdElimination<RealSymmetric>;
template class ThresholdElimination<RealUnsymmetric>;
template class ThresholdElimination<ComplexSymmetric>;
template class ThresholdElimination<ComplexUnsymmetric>;
template class ThresholdElimination<ComplexHermitian>;

template FrontElimination FactorFrontThreshold<RealSymmetric>(int, int, double*, const ThresholdRule&, int*, int*);
template FrontElimination FactorFrontThreshold<RealUnsymmetric>(int, int, double*, const ThresholdRule&, int*, int*);
template FrontElimination FactorFrontThreshold<ComplexSymmetric>(int, int, std::complex<double>*, const ThresholdRule&,
                                                                 int*, int*);
template FrontElimination FactorFrontThreshold<ComplexUnsymmetric>(int, int, std::complex<double>*,
                                                                   const ThresholdRule&, int*, int*);
template FrontElimination FactorFrontThreshold<ComplexHermitian>(int, int, std::complex<double>*, const ThresholdRule&,
                                                                 int*, int*);
