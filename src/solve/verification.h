#pragma once
// How well a solution satisfies A·x = b: the relative residual
// ‖A·x − b‖₂ / ‖b‖₂ in double precision. Two checks use it: the on-disk check
// (-check) reads "b" and "x" vector by vector after the solution phase, and the
// in-solve check (-check_solution) measures each solution right after its
// iteration converged. Neither changes the solution.
#include <cstdint>

#include "io/yale_matrix.h"

class tessar;

// ‖A·x − b‖₂ / ‖b‖₂ for a matrix in the row form multiply_matrix<K> takes.
// The residual goes to a temporary vector of a.n entries charged to the
// memory monitor. For ‖b‖₂ = 0 the result is 0 when the residual is zero too;
// a non-zero residual ends the run with "Nontrivial solution for zero RHS", code 1.
template <class K>
double RelativeResidual(tessar& solver, const YaleMatrix& a, const typename K::scalar* x,
                        const typename K::scalar* b);

// The on-disk check, run on the main thread once "x" is complete. a is the
// matrix as read from "A" (not permuted, not scaled); a symmetric matrix given
// by its lower triangle is brought into the upper one-triangle row form in
// place first. Fails with "Size of x file is different from size of b", code
// 1, when the two files hold different numbers of vectors, before any residual
// is computed; logs "Svtr%d  Rel.Error = %le\n" at level 2 per vector.
template <class K>
void CheckSolutionsOnDisk(tessar& solver, YaleMatrix& a);

// Rebuilds a symmetric matrix stored as lower-triangle rows into upper-triangle
// rows (each row's diagonal first), mirroring the values (conjugated for the
// Hermitian kind). Returns false, leaving a alone, when no row holds a column
// below its diagonal or the kind is unsymmetric.
template <class K>
bool ConvertLowerTriangleRows(tessar& solver, YaleMatrix& a);

// The in-solve check (-check_solution), called by the solve thread after its
// iteration converged, on its own vectors:
//   a      the matrix as the iteration used it: permuted and, with diag_scale, scaled;
//   x      the converged solution in the permuted (and scaled) unknowns;
//   b      the kept copy of the right-hand side after scaling, in unpermuted
//          order; it is divided by the scale factors here (the caller frees it);
//   iperm  unpermuted row → permuted position;
//   scale  solver.scale_vector viewed as scalars when diag_scale is in force, else null;
//   reference_norm  ‖b‖₂ taken at the start of the solve (used only without scaling);
//   q      work vector of a.n entries.
// The residual is taken in the unscaled system: q = A·x − b permuted back, each
// row divided by its scale factor, against ‖b‖₂ of the unscaled right-hand side.
// Logs "Thread%d Svtr Rel.Error = %le\n" at level 1 and returns the value; a
// zero reference norm reports the residual norm itself.
template <class K>
double InSolveResidualCheck(const YaleMatrix& a, const typename K::scalar* x, typename K::scalar* b,
                            const std::int32_t* iperm, const typename K::scalar* scale, std::int32_t thread,
                            double reference_norm, typename K::scalar* q);
