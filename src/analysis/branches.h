#pragma once
// Distribution of the assembly tree's branches (independent subtrees) over the
// worker threads by estimated work.
#include <cstdint>

#include "core/front_tree.h"

class tessar;

// Floating-point work of one node's elimination, plus the input entries of its
// columns (rowptr indexed by the node's column numbers).
double NodeWork(const FrontTree& tree, std::int32_t symmetry, const std::int64_t* rowptr, std::int32_t s);

// Splits the heaviest branch into its children while the thread loads are out
// of balance (smallest / largest below 0.98) or there are fewer branches than
// threads, giving each new branch to the least-loaded thread; fills
// solver.branches from solver.front_tree for solver.ncpu threads.
void DistributeBranches(tessar& solver, const std::int64_t* rowptr);
