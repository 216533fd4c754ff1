#pragma once
// The solution phase of one kind: the right-hand sides of "b" not yet solved
// (all of them in the first round) solved into the solution file with the
// factor of this run or of an earlier one, each confirmed against the matrix
// as read before it is written.
#include "io/yale_matrix.h"
#include "solve/rhs_ledger.h"
#include "solve/rhs_vectors.h"

class tessar;

// a is the matrix of the run: already reordered (and scaled) by this run's
// factorization, or as read from "A" when the factor comes from an earlier run
// (the saved analysis is then loaded and a is reordered here). original is
// the matrix as read from "A". The ledger, sized to the right-hand sides of
// vectors on first use, says which are left and records what each reached.
// Returns 0, or the error code of a right-hand side that failed.
template <class K>
[[nodiscard]] int SolutionPhase(tessar& solver, YaleMatrix& a, const YaleMatrix& original, RhsVectors& vectors,
                                RhsLedger& ledger);
