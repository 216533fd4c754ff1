#pragma once
// Threshold pivoting on one dense front, for the five kinds: the fully summed
// columns of the front are eliminated where a pivot passes the growth test
// against its whole column, rows outside the pivot block included, and the
// columns that find none are left for the parent front, delayed.
//
// The front is F × F, column-major with leading dimension F; its first npiv
// positions are fully summed. Pivots are moved to the front's first
// positions by symmetric interchanges of rows and columns, which only rename
// positions: order[p] is, on return, the position on entry of what now lies
// at position p. On return, with k pivots accepted:
//   symmetric and Hermitian kinds (lower triangle): positions 0 … k−1 hold
//   the unit lower L11 with D in place (a 2×2 block's coupling at (j+1, j))
//   and L21 below; the lower triangle of positions k … F−1 holds the update
//   matrix; the strict upper part is scratch.
//   unsymmetric kinds: L (unit, strictly lower) and U of the k pivot columns
//   and rows, and the update matrix in positions k … F−1. Rows may also be
//   interchanged without renaming (partial pivoting among the fully summed
//   rows): pivot[j] is the position, in the final order, of the row
//   interchanged with row j when pivot j was taken (j itself when none),
//   applied in increasing j as in a LAPACK pivot record.
// For the symmetric kinds pivot[j] is 1 for a 1×1 pivot and 2 for both
// columns of a 2×2 pivot. The delayed columns are positions k … npiv−1.
//
// A 1×1 pivot d of column j is accepted when |d| ≥ u·max_{i≠j} |a_ij|; a 2×2
// pivot D of columns j, r when |D⁻¹|·(γ_j, γ_r)ᵀ ≤ (1/u, 1/u)ᵀ entrywise,
// γ being each column's largest entry outside D (Duff and Reid's test), with
// |x| read as |Re x| + |Im x| for the complex kinds. A
// forced front (a root, which has no parent to delay to) takes, once no
// candidate passes, the 1×1 pivot with the best ratio to its column, or else
// any nonsingular 2×2 pivot; with tiny > 0 such a pivot below tiny in
// magnitude is replaced by ±tiny (and a zero column by tiny), with tiny = 0
// a front left without a nonzero pivot ends the elimination as singular. A
// fully summed column that is zero in every row of the front is singular in
// any front: it is taken at once as a perturbed pivot, or ends the
// elimination as singular.
#include <memory>

#include "platform/kind_traits.h"

struct ThresholdRule {
  double u = 0.01;
  bool forced = false;
  double tiny = 0.0;
};

struct FrontElimination {
  int eliminated = 0;  // pivots accepted
  int perturbed = 0;   // pivots replaced by ±tiny
  bool singular = false;
  // Largest magnitude of D (U for the unsymmetric kinds) and of the delayed
  // columns over the largest of the fully summed columns on entry (the
  // update matrix is left out, which keeps the cost to that of the pivot
  // search); 1 where those columns are zero.
  double growth = 1.0;
};

template <class K>
FrontElimination FactorFrontThreshold(int F, int npiv, typename K::scalar* front, const ThresholdRule& rule,
                                      int* order, int* pivot);

// The same elimination taken one panel at a time, for fronts that several
// threads factor together: next_panel() eliminates the next window of fully
// summed columns (serially: the pivot tests read whole columns), after which
// the columns right of the window, panel.right … F−1, must be updated by
// update_columns over any partition of that range (one call per part, in
// any order or at once) before the next panel. finish() gives the result.
struct ThresholdPanel {
  int first = 0;  // the window's first pivot position
  int taken = 0;  // pivots the window accepted, at first … first+taken−1
  int right = 0;  // first column right of the window
};

template <class K>
class ThresholdElimination {
 public:
  using T = typename K::scalar;
  ThresholdElimination(int F, int npiv, T* front, const ThresholdRule& rule, int* order, int* pivot,
                       int window = 64);
  ThresholdElimination(const ThresholdElimination&) = delete;
  ThresholdElimination& operator=(const ThresholdElimination&) = delete;
  ~ThresholdElimination();

  // False once every fully summed column is eliminated or left for the
  // parent (or the front proved singular).
  bool next_panel(ThresholdPanel& panel);
  // Whether columns right of the panel need an update at all.
  bool needs_update(const ThresholdPanel& panel) const;
  // Columns j0 … j1−1 (inside panel.right … F−1) updated by the panel.
  void update_columns(const ThresholdPanel& panel, int j0, int j1);
  FrontElimination finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
