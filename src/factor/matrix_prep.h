#pragma once
// Preparation of the input matrix for the numerical factorization: the value
// check, the 1-norm used to scale perturbed pivots, the symmetric diagonal
// scaling and the permutation into the factor ordering. The matrix is the
// compressed-row input (io/yale_matrix.h); all changes are made in place.
#include <cstdint>

#include "io/yale_matrix.h"

class tessar;

// Logs zero diagonals and ends the run with "Invalid Matix", code 1, at the
// first value that is not finite, after a line naming its row and column.
template <class K>
void CheckMatrixValues(tessar& solver, const YaleMatrix& a);

// Largest column sum of magnitudes of the whole matrix; symmetric kinds expect
// the stored upper triangle of each row with its diagonal first (the permuted
// matrix), unsymmetric kinds sum each stored row.
template <class K>
double MatrixOneNorm(const YaleMatrix& a);

// Scales row and column i by 1/sqrt(a_ii) (1 where |a_ii| <= 1e-12) and keeps
// the factors in solver.scale_vector for the solution phase.
template <class K>
void ScaleMatrix(tessar& solver, YaleMatrix& a);

// Renumbers rows and columns through solver.iperm, sorts the entries into
// rows and each row by column. Symmetric kinds keep one triangle: each entry
// moves to the row of its smaller index, so every row starts with its
// diagonal (a Hermitian entry moved across the diagonal is conjugated).
template <class K>
void PermuteMatrix(tessar& solver, YaleMatrix& a);
// The same through position: row and column i become position[i].
template <class K>
void PermuteMatrix(tessar& solver, YaleMatrix& a, const std::int32_t* position);

// Values of a viewed as the kind's scalars.
template <class K>
typename K::scalar* matrix_values(YaleMatrix& a) {
  return reinterpret_cast<typename K::scalar*>(a.values.data());
}
template <class K>
const typename K::scalar* matrix_values(const YaleMatrix& a) {
  return reinterpret_cast<const typename K::scalar*>(a.values.data());
}
