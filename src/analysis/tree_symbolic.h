#pragma once
// Symbolic factorization over the assembly tree: one index list per front.
#include "analysis/graph.h"
#include "core/front_tree.h"

class tessar;

// Builds the front index list of every node and stores the structure: SNode and
// NSuper (one supernode per node), IU (with the diagonal), IJU, JU and sizeJU,
// the pivots of a front sharing its list (IJU[f + i] = IJU[f] + i). Recomputes
// nrow from the lists. The tree must be numbered in postorder with the columns
// of each node consecutive and ascending in that order; pattern row k holds the
// entries of column k in that numbering.
void TreeSymbolicFactor(tessar& solver, FrontTree& tree, const PatternView& pattern);
