#pragma once
// The maximum-product matching applied to the input matrix before the
// ordering. Unsymmetric kinds: the rows are permuted to put the matched
// entries on the diagonal and both sides are scaled, B = Dr·P·A·Dc, with
// explicit zeros added so that B's pattern stays structurally symmetric.
// Symmetric and Hermitian kinds: the symmetric scaling D·A·D of the matching
// of the whole matrix, which keeps the pattern, the symmetry and the inertia.
#include <cstdint>

#include "io/yale_matrix.h"

class tessar;

// Applies the solver's matching to a: the one it holds (a saved analysis) or,
// where none is held and the run asks for one (solver.matching: always, or
// where a diagonal entry is zero or missing), a new one. Returns the KB
// charged for the entries the matrix gained.
template <class K>
std::uint64_t MatchMatrix(tessar& solver, YaleMatrix& a);
