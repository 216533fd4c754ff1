#pragma once
// The assembly tree of the supernodes, read off the factor structure: the
// parent of a supernode is the supernode holding the first off-diagonal row of
// its last column; the root of every other connected component hangs from the
// last supernode, as in the column tree of the analysis, so the supernodes
// form one tree. Every analysis path numbers supernodes in a postorder, so
// a supernode's last child is the supernode just before it and its update
// matrix is the one on top of the stack when the parent is assembled.
#include <cstdint>
#include <vector>

class tessar;

struct SupernodeTree {
  std::vector<std::int32_t> child_ptr;  // NSuper + 1 offsets into children
  std::vector<std::int32_t> children;   // ascending within each supernode

  std::int32_t child_count(std::int32_t s) const { return child_ptr[s + 1] - child_ptr[s]; }
};

// Builds the tree; a numbering that is not a postorder (a corrupt structure)
// ends the run with "Memory error", code 1.
SupernodeTree build_supernode_tree(tessar& solver);

// Front order of supernode s (its first column's structure, diagonal included)
// and the order of the update matrix it passes to its parent.
std::int64_t front_order(const tessar& solver, std::int32_t s);
std::int64_t update_order(const tessar& solver, std::int32_t s);
