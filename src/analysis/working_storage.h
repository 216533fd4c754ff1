#pragma once
// Working-storage estimates of the multifrontal stack: the smallest peak of
// every subtree under the best child order (children are reordered to reach
// it), the stack peak of one subtree in its current order, and the peak of the
// multithreaded factorization. Sizes are counts of entries.
#include <cstdint>

#include "core/front_tree.h"

class tessar;

// Entries of an update matrix of order m: m·m for the unsymmetric kinds
// (symmetry 1), one triangle m·(m+1)/2 otherwise.
std::int64_t UpdateSize(std::int32_t symmetry, std::int64_t m);

// FrontTree version: fills MinWstore and key per node and rewrites each sibling
// list so that keys do not increase from firstChild on.
void TreeMinWstore(FrontTree& tree, std::int32_t symmetry, std::int64_t* MinWstore, std::int64_t* key);

// Peak of the private stack that factors the subtree of r in its postorder,
// plus one entry.
std::int64_t SubtreeStackPeak(const FrontTree& tree, std::int32_t symmetry, std::int32_t r);

// Peak in entries of the multithreaded factorization: the branches of
// solver.branches run on their own stacks, the nodes above them on a shared one.
// With one thread, the stack peak of the whole tree.
std::int64_t EstimateMultiThreadMemory(tessar& solver);
