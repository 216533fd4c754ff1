#pragma once
// The solution phase of one kind: the right-hand sides of "b" solved into "x"
// with the factor of this run or of an earlier one.
#include "io/yale_matrix.h"

class tessar;

// a is the matrix of the run: already reordered (and scaled) by this run's
// factorization, or as read from "A" when the factor comes from an earlier run
// (the saved analysis is then loaded and a is reordered here). Returns 0, or
// the error code of a right-hand side that failed.
template <class K>
[[nodiscard]] int SolutionPhase(tessar& solver, YaleMatrix& a);
