#pragma once
// The numerical factorization phase of one kind: value check, optional copy
// of the matrix, diagonal scaling, permutation into the factor ordering, the
// memory plan and the plain or pivoting factorization.
#include "io/yale_matrix.h"

class tessar;

// Factors a (changed in place: scaled and permuted). Returns 0, or 16 for a
// singular matrix; a run that fails keeps no factor or index file that a
// later solve-only run could take for a good factor.
template <class K>
[[nodiscard]] int FactorizeMatrix(tessar& solver, YaleMatrix& a);
