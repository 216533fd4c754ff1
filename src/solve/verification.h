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

// The confirmation of a solution before it is written: the true residual
// r = b − A·x in double precision against the matrix as read from "A"
// (unscaled, unpermuted; one triangle for the symmetric kinds), its relative
// norm ‖r‖₂/‖b‖₂ and the normwise backward error
// ‖r‖∞ / (‖A‖∞·‖x‖∞ + ‖b‖∞). A solution passes when every value of x and r is
// finite and the relative residual is at most the tolerance. Where no step
// of the run reaches that (the matrix's scaling can put it out of reach of
// double precision), a solution whose backward error is at most
// backward_error_bound is exact up to rounding in the data, and the run's
// last resort accepts it, provided its relative residual is at most the
// square root of the tolerance: a singular system without a solution has
// iterates that grow without bound, and with them a vanishing backward error
// while the residual stays large.
struct Confirmation {
  double relative = 0;
  double backward = 0;
  bool finite = true;
  bool passed = false;             // finite, relative residual within the tolerance
  bool at_rounding_level = false;  // finite, backward error within the bound, relative residual within √tolerance
};

// 128 unit roundoffs of double precision, 2⁻⁴⁶ ≈ 1.4e-14.
inline constexpr double backward_error_bound = 0x1p-46;

// ‖A‖∞ of a stored matrix: one triangle (either) for the symmetric kinds,
// whole rows otherwise.
template <class K>
double MatrixInfinityNorm(const YaleMatrix& a);

// a_norm is ‖A‖∞; r receives b − A·x.
template <class K>
Confirmation ConfirmSolution(const YaleMatrix& a, double a_norm, const typename K::scalar* x,
                             const typename K::scalar* b, typename K::scalar* r, double tolerance);
