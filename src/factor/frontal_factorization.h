#pragma once
// The single-thread multifrontal factorization. For each supernode in turn it
// places a dense front at the top of the stack area, extend-adds the update
// matrices of its children, adds the entries of A, eliminates the pivot
// columns with a dense kernel, stores the factor block and pushes the update
// matrix. Two paths: plain (no interchanges) and pivoting (threshold pivoting
// with 1×1 and 2×2 pivots for the symmetric kinds and row interchanges for
// the unsymmetric kinds, columns without an acceptable pivot delayed to the
// parent front, small pivots of the root optionally perturbed).
#include <cstdint>

#include "io/yale_matrix.h"

class tessar;
struct SupernodeTree;

// Factors the permuted matrix a with the memory plan already in place.
// Returns 0, or 16 when a pivot is singular (after logging
// "ERROR:   Singular matrix\n"). The pivoting path then rewrites the
// analysis to describe the factor it made (factor/factor_structure.h) and
// renumbers a to match; the memory plan grows where delayed pivots need it.
template <class K>
[[nodiscard]] int FactorFronts(tessar& solver, YaleMatrix& a, const SupernodeTree& tree, bool pivoting);
